"""Single-source Dijkstra against scipy.sparse.csgraph.dijkstra, side by side.

    python bench/bench_dijkstra.py [--repeats N]

Both get the same CSR arrays and source and both return predecessors. scipy
is given a csr_matrix built once, outside the timing.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import dijkstra as scipy_dijkstra

sys.path.insert(0, os.path.dirname(__file__))
from common import grid, median_time, random_graph  # noqa: E402

import quillharbour  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    graphs = {
        "grid 1000x1000": grid(1000, 1000),
        "random 1M/8M": random_graph(1_000_000, 8_000_000),
    }
    print(f"{'graph':<16} {'quillharbour':>13} {'scipy':>10} {'scipy/qh':>9}")
    for name, (indptr, indices, weights) in graphs.items():
        n = len(indptr) - 1
        matrix = csr_matrix((weights, indices, indptr), shape=(n, n))
        source = 0
        qh_dist, _ = quillharbour.dijkstra(indptr, indices, weights, source)
        sp_dist, _ = scipy_dijkstra(matrix, indices=source, return_predecessors=True)
        assert np.array_equal(qh_dist, sp_dist), "distances disagree"
        t_qh = median_time(lambda: quillharbour.dijkstra(indptr, indices, weights, source), args.repeats)
        t_sp = median_time(
            lambda: scipy_dijkstra(matrix, indices=source, return_predecessors=True), args.repeats
        )
        print(f"{name:<16} {t_qh:>12.3f}s {t_sp:>9.3f}s {t_sp / t_qh:>8.2f}x")


if __name__ == "__main__":
    main()
