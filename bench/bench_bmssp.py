"""BMSSP against Dijkstra on the same input and on its constant-degree transform.

    python bench/bench_bmssp.py [--repeats N] [--graphs grid,random,rmat]

For each graph: the time of `bmssp` over the time of `dijkstra` on the same
arrays; the time of `bmssp` over `dijkstra` run on the transformed graph
(built here with NumPy by the same numbering rules, and checked: its
distances mapped back equal the input's); and the peak memory of a `bmssp`
call per transformed vertex, measured in a fresh process as the growth of
its peak RSS over the call (the run's own memory, results included). Times are the calling thread's CPU seconds,
interleaved round by round. The share of a run spent in the transform is
reported by the native benchmark (bench/native_bmssp.cpp).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import csr, grid, interleaved_times, random_graph, rmat  # noqa: E402

import quillharbour  # noqa: E402

GRAPHS = {
    "grid": ("grid 1000x1000", lambda: grid(1000, 1000)),
    "random": ("random 1M/8M", lambda: random_graph(1_000_000, 8_000_000)),
    "rmat": ("rmat 2^20 x8", lambda: rmat(20, 8)),
}


def transform(indptr, indices, weights):
    """The constant-degree transform: rings of zero-weight copies, one copy per edge end."""
    n = len(indptr) - 1
    m = len(indices)
    tails = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
    heads = indices.astype(np.int64)
    deg = np.bincount(tails, minlength=n) + np.bincount(heads, minlength=n)
    copies = np.maximum(deg, 1)
    base = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(copies, out=base[1:])
    # slot of each edge end: tail ends and head ends interleaved in edge order
    ends = np.empty(2 * m, dtype=np.int64)
    ends[0::2] = tails
    ends[1::2] = heads
    order = np.argsort(ends, kind="stable")
    rank = np.empty(2 * m, dtype=np.int64)
    starts = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(ends, minlength=n), out=starts[1:])
    rank[order] = np.arange(2 * m) - starts[ends[order]]
    slot = base[ends] + rank
    ring_v = np.flatnonzero(deg >= 2)
    ring_from = np.concatenate([np.arange(base[v], base[v] + deg[v]) for v in ring_v]) if ring_v.size else np.zeros(0, np.int64)
    owner = np.repeat(ring_v, deg[ring_v])
    ring_to = ring_from + 1
    last = ring_to == base[owner] + deg[owner]
    ring_to[last] = base[owner[last]]
    frm = np.concatenate([ring_from, slot[0::2]])
    to = np.concatenate([ring_to, slot[1::2]])
    w = np.concatenate([np.zeros(ring_from.size), weights])
    t_indptr, t_indices, t_weights = csr(int(base[-1]), frm, to, w)
    return (t_indptr, t_indices, t_weights), base[:-1]


def peak_bytes_of_bmssp(graph, source, tmpdir):
    """Growth of peak RSS over one bmssp call, in a process holding only the graph."""
    path = os.path.join(tmpdir, "graph.npz")
    np.savez(path, indptr=graph[0], indices=graph[1], weights=graph[2])
    code = textwrap.dedent(
        f"""
        import numpy as np
        import quillharbour

        def high_water():  # this process's peak RSS in bytes (ru_maxrss survives exec)
            with open("/proc/self/status") as f:
                line = next(l for l in f if l.startswith("VmHWM:"))
            return int(line.split()[1]) * 1024

        with np.load({path!r}) as f:
            g = (f["indptr"], f["indices"], f["weights"])
        before = high_water()
        d, p = quillharbour.bmssp(*g, {source})
        print(high_water() - before)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--graphs", default="grid,random,rmat")
    args = parser.parse_args()
    print(f"{'graph':<16} {'n':>9} {'n_prime':>10} {'dijkstra':>9} {'dij(T)':>9} {'bmssp':>9} "
          f"{'bmssp/dij':>10} {'bmssp/dij(T)':>13} {'peak B/v':>9}")
    for key in args.graphs.split(","):
        label, build = GRAPHS[key]
        g = build()
        source = int(np.argmax(np.diff(g[0])))  # a hub: inside the giant component on R-MAT
        tg, first_copy = transform(*g)
        n_prime = len(tg[0]) - 1
        d_in, _ = quillharbour.dijkstra(*g, source)
        d_t, _ = quillharbour.dijkstra(*tg, int(first_copy[source]))
        assert np.array_equal(d_t[first_copy], d_in), "transformed distances disagree"
        d_b, _ = quillharbour.bmssp(*g, source)
        assert np.array_equal(d_b, d_in), "bmssp distances disagree"
        times = interleaved_times(
            {
                "dijkstra": lambda: quillharbour.dijkstra(*g, source),
                "dijkstra_t": lambda: quillharbour.dijkstra(*tg, int(first_copy[source])),
                "bmssp": lambda: quillharbour.bmssp(*g, source),
            },
            args.repeats,
        )
        med = {k: v[len(v) // 2] for k, v in times.items()}
        with tempfile.TemporaryDirectory() as tmpdir:
            peak = peak_bytes_of_bmssp(g, source, tmpdir) / n_prime
        print(f"{label:<16} {len(g[0]) - 1:>9} {n_prime:>10} {med['dijkstra']:>8.2f}s {med['dijkstra_t']:>8.2f}s "
              f"{med['bmssp']:>8.2f}s {med['bmssp'] / med['dijkstra']:>9.2f}x "
              f"{med['bmssp'] / med['dijkstra_t']:>12.2f}x {peak:>9.1f}")


if __name__ == "__main__":
    main()
