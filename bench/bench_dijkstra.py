"""Single-source Dijkstra against the peers, side by side in one process.

    python bench/bench_dijkstra.py [--repeats N] [--against PATH]

quillharbour.dijkstra and scipy.sparse.csgraph.dijkstra get the same CSR
arrays and source and both return predecessors. igraph (distances only) and
NetworKit (Dijkstra with stored paths) run too when installed; their graph
objects are built once, outside the timing. Every contender runs
single-threaded, so times are the process's CPU time (see quillharbour.bench.interleaved_times).
Calls are interleaved round by round; the table shows the median and the
best time of each and the ratio peer / quillharbour of the medians.

--against takes the _quillharbour extension file of another build (say, the
previous commit's) and times its dijkstra as "before" beside the current one,
after checking that both return the same distances and predecessors bit for
bit.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import dijkstra as scipy_dijkstra

sys.path.insert(0, os.path.dirname(__file__))
import quillharbour
from common import load_build, same_outputs
from quillharbour.bench import interleaved_times
from quillharbour.generators import lattice, multigraph


def peers(indptr, indices, weights, source):
    n = len(indptr) - 1
    matrix = csr_matrix((weights, indices, indptr), shape=(n, n))
    fns = {
        "quillharbour": lambda: quillharbour.dijkstra(indptr, indices, weights, source),
        "scipy": lambda: scipy_dijkstra(matrix, indices=source, return_predecessors=True),
    }
    tails = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
    try:
        import igraph

        g = igraph.Graph(n=n, edges=np.column_stack([tails, indices]).tolist(), directed=True)
        g.es["w"] = weights.tolist()
        fns["igraph"] = lambda: g.distances(source=source, weights="w", algorithm="dijkstra")
    except ImportError:
        pass
    try:
        import networkit as nk

        nk.setNumberOfThreads(1)
        G = nk.Graph(n, weighted=True, directed=True)
        G.addEdges((weights, (tails, indices.astype(np.int64))), checkMultiEdge=False)

        def run_nk():
            d = nk.distance.Dijkstra(G, source, storePaths=True)
            d.run()
            return d

        fns["networkit"] = run_nk
    except ImportError:
        pass
    return fns, matrix


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--against", metavar="PATH", help="another build's _quillharbour extension file")
    args = parser.parse_args()
    before = load_build(args.against) if args.against else None
    graphs = {
        "grid 1000x1000": lattice(1000, 1000, seed=1),
        "random 1M/8M": multigraph(1_000_000, 8_000_000, seed=2),
    }
    print(f"{'graph':<16} {'method':<13} {'median':>9} {'best':>9} {'peer/qh':>8}")
    for name, (indptr, indices, weights) in graphs.items():
        source = 0
        fns, matrix = peers(indptr, indices, weights, source)
        if before is not None:
            old, new = before.dijkstra(indptr, indices, weights, source), quillharbour.dijkstra(
                indptr, indices, weights, source)
            assert same_outputs(old, new), "outputs differ from --against"
            fns["before"] = lambda: before.dijkstra(indptr, indices, weights, source)
        qh_dist, _ = quillharbour.dijkstra(indptr, indices, weights, source)
        sp_dist = scipy_dijkstra(matrix, indices=source)
        assert np.array_equal(qh_dist, sp_dist), "distances disagree with scipy"
        times = interleaved_times(fns, args.repeats)
        base = times["quillharbour"][len(times["quillharbour"]) // 2]
        for method, ts in times.items():
            med = ts[len(ts) // 2]
            print(f"{name:<16} {method:<13} {med:>8.3f}s {ts[0]:>8.3f}s {med / base:>7.2f}x")


if __name__ == "__main__":
    main()
