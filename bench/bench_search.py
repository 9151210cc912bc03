"""The keyword options of shortest_paths against scipy and against masking full searches.

    python bench/bench_search.py [--repeats N] [--sources K]

On the random 1M-vertex / 8M-arc graph of bench_dijkstra.py, each option is
timed three ways, interleaved round by round: quillharbour with the option,
scipy.sparse.csgraph.dijkstra with the same option, and what a user does
without the option (one full quillharbour search, then masked, with the same method; for min_only,
one full search per source and the minimum over the rows; for directed=False,
the reverse arcs added by hand to a new CSR graph, then one full search). The limit is the
distance within which about 1% of the vertices lie. Results are checked equal
(distances) before timing. Times are the process's CPU time (all threads),
since the per-source rows run on the pool; the table shows medians and the
ratios other / quillharbour-with-option.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import dijkstra as scipy_dijkstra

from quillharbour import dijkstra
from quillharbour.api import shortest_paths
from quillharbour.bench import interleaved_times
from quillharbour.generators import multigraph
from quillharbour.graph import from_edges


def masked(dist, limit):
    return np.where(dist <= limit, dist, np.inf)


def both_ways(g):
    """The graph with every arc added backwards, built by hand as a user would."""
    indptr, indices, weights = g
    tails = np.repeat(np.arange(len(indptr) - 1, dtype=np.int32), np.diff(indptr))
    return from_edges(len(indptr) - 1, np.concatenate([tails, indices]), np.concatenate([indices, tails]),
               np.concatenate([weights, weights]), sort=False)


def cases(g, matrix, k):
    full, _ = dijkstra(*g, 0)
    limit = float(np.quantile(full[np.isfinite(full)], 0.01))
    rng = np.random.default_rng(5)
    sources = rng.choice(len(full), size=k, replace=False)
    near = np.flatnonzero(full <= limit)[:8]
    return {
        f"limit={limit:g}": (
            lambda: shortest_paths(g, 0, limit=limit, return_predecessors=False),
            lambda: scipy_dijkstra(matrix, indices=0, limit=limit),
            lambda: masked(dijkstra(*g, 0)[0], limit),
        ),
        f"bmssp limit={limit:g}": (
            lambda: shortest_paths(g, 0, method="bmssp", limit=limit)[0],
            lambda: scipy_dijkstra(matrix, indices=0, limit=limit),
            lambda: masked(shortest_paths(g, 0, method="bmssp")[0], limit),
        ),
        f"min_only k={k}": (
            lambda: shortest_paths(g, sources, min_only=True)[0],
            lambda: scipy_dijkstra(matrix, indices=sources, min_only=True, return_predecessors=True)[0],
            lambda: shortest_paths(g, sources)[0].min(axis=0),
        ),
        "directed=False": (
            lambda: shortest_paths(g, 0, directed=False, return_predecessors=False),
            lambda: scipy_dijkstra(matrix, indices=0, directed=False),
            lambda: dijkstra(*both_ways(g), 0)[0],
        ),
        "targets (8 within the limit)": (
            lambda: shortest_paths(g, 0, targets=near)[0][near],
            None,
            lambda: dijkstra(*g, 0)[0][near],
        ),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sources", type=int, default=16)
    args = parser.parse_args()
    g = multigraph(1_000_000, 8_000_000, seed=2)
    n = len(g[0]) - 1
    matrix = csr_matrix((g[2], g[1], g[0]), shape=(n, n))
    print(f"{'option':<30} {'qh':>8} {'scipy':>8} {'without':>8} {'scipy/qh':>9} {'without/qh':>10}")
    for name, (ours, theirs, full) in cases(g, matrix, args.sources).items():
        ref = full()
        assert np.array_equal(ours(), ref), f"{name}: disagrees with the search without the option"
        fns = {"qh": ours, "without": full}
        if theirs is not None:
            assert np.array_equal(theirs(), ref), f"{name}: disagrees with scipy"
            fns["scipy"] = theirs
        times = interleaved_times(fns, args.repeats, clock=time.process_time)
        med = {key: ts[len(ts) // 2] for key, ts in times.items()}
        sp = med.get("scipy", float("nan"))
        print(f"{name:<30} {med['qh']:>7.3f}s {sp:>7.3f}s {med['without']:>7.3f}s "
              f"{sp / med['qh']:>8.2f}x {med['without'] / med['qh']:>9.2f}x")


if __name__ == "__main__":
    main()
