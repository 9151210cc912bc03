"""BMSSP against Dijkstra on the same input and on its constant-degree transform.

    python bench/bench_bmssp.py [--repeats N] [--graphs grid,random,rmat] [--processes P] [--no-share]
                                [--against PATH]

The graphs: grid, random, rmat (the default, about a million vertices each) and their
mid-size kin grid-mid, random-mid, rmat-mid (a fifth to an eighth of that).

For each graph: the time of `bmssp` over the time of `dijkstra` on the same
arrays; the time of `bmssp` over `dijkstra` run on the transformed graph
(built here with NumPy by the same numbering rules, and checked: its
distances mapped back equal the input's); the share of a `bmssp` run spent
building its transformed graph; and the peak memory of a `bmssp` call per
transformed vertex, measured in a fresh process as the growth of its peak RSS
over the call (the run's own memory, results included). Times are the
process's CPU seconds (the call's own thread, see quillharbour.bench.interleaved_times),
interleaved round by round.

With --processes P the timing of each graph runs in P fresh processes, one after another, and
the table gives the medians over them, with the range of bmssp/dij(T) across the processes. On
a shared host a process's memory placement can move the random-access searches by a tenth, for
the whole life of the process; repeats within one process do not average that out.

The module does not expose its transform on its own, so the share comes from
the native benchmark (bench/native_bmssp.cpp), built here with CMake from the
same sources and run on the same graph and source: the median time of the
run's transform over the median time of a whole run, in one process. Without
CMake or a compiler the column reads "-".

--against takes the _quillharbour extension file of another build and times
its bmssp beside this one's ("before/now", over the same rounds), after
checking that both return the same distances and predecessors bit for bit.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import quillharbour
from common import load_build, same_outputs
from quillharbour.bench import interleaved_times
from quillharbour.generators import integer_weights, lattice, multigraph, rmat
from quillharbour.graph import from_edges

ROOT = Path(__file__).resolve().parent.parent

GRAPHS = {
    "grid": ("grid 1000x1000", lambda: lattice(1000, 1000, seed=1)),
    "random": ("random 1M/8M", lambda: multigraph(1_000_000, 8_000_000, seed=2)),
    "rmat": ("rmat 2^20 x8", lambda: rmat(20, 8, seed=3, weights=integer_weights(1, 100), sort=False)),
    # mid-size graphs: --graphs grid-mid,random-mid,rmat-mid
    "grid-mid": ("grid 400x400", lambda: lattice(400, 400, seed=1)),
    "random-mid": ("random 200k/1.6M", lambda: multigraph(200_000, 1_600_000, seed=2)),
    "rmat-mid": ("rmat 2^17 x8", lambda: rmat(17, 8, seed=3, weights=integer_weights(1, 100), sort=False)),
    "small": ("grid 300x300", lambda: lattice(300, 300, seed=1)),  # a quick check of the script itself
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
    ring_from = (np.concatenate([np.arange(base[v], base[v] + deg[v]) for v in ring_v]) if ring_v.size
                 else np.zeros(0, np.int64))
    owner = np.repeat(ring_v, deg[ring_v])
    ring_to = ring_from + 1
    last = ring_to == base[owner] + deg[owner]
    ring_to[last] = base[owner[last]]
    frm = np.concatenate([ring_from, slot[0::2]])
    to = np.concatenate([ring_to, slot[1::2]])
    w = np.concatenate([np.zeros(ring_from.size), weights])
    t_indptr, t_indices, t_weights = from_edges(int(base[-1]), frm, to, w, sort=False)
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


def build_native_benchmark(build_dir):
    """The native benchmark binary, built from this checkout; (path, None) or (None, why not)."""
    if shutil.which("cmake") is None:
        return None, "cmake not found"
    steps = [
        ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
         "-DQH_BUILD_EXTENSION=OFF", "-DQH_BUILD_NATIVE_TESTS=ON", f"-DPython_EXECUTABLE={sys.executable}"],
        ["cmake", "--build", str(build_dir), "-j2", "--target", "qh_native_bmssp"],
    ]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            lines = (done.stderr or done.stdout).strip().splitlines()
            return None, f"native build failed: {lines[-1] if lines else done.returncode}"
    return Path(build_dir) / "qh_native_bmssp", None


def transform_share(binary, graph, source, tmpdir, repeats):
    """Median transform time over median run time, from the native benchmark on this graph."""
    prefix = os.path.join(tmpdir, "graph")
    graph[0].astype(np.int64).tofile(prefix + ".indptr")
    graph[1].astype(np.int32).tofile(prefix + ".indices")
    graph[2].astype(np.float64).tofile(prefix + ".weights")
    out = subprocess.run([str(binary), f"file:{prefix}:{source}", "share", "0", str(repeats)],
                         capture_output=True, text=True, check=True)
    return float(re.search(r"^transform share (\S+)$", out.stdout, re.M).group(1))


def timed_medians(g, tg, first_copy, source, repeats, before):
    """Median times of the contenders on one graph, interleaved in this process, after checking
    that they agree."""
    d_in, _ = quillharbour.dijkstra(*g, source)
    d_t, _ = quillharbour.dijkstra(*tg, int(first_copy[source]))
    assert np.array_equal(d_t[first_copy], d_in), "transformed distances disagree"
    d_b, _ = quillharbour.bmssp(*g, source)
    assert np.array_equal(d_b, d_in), "bmssp distances disagree"
    fns = {
        "dijkstra": lambda: quillharbour.dijkstra(*g, source),
        "dijkstra_t": lambda: quillharbour.dijkstra(*tg, int(first_copy[source])),
        "bmssp": lambda: quillharbour.bmssp(*g, source),
    }
    if before is not None:
        assert same_outputs(before.bmssp(*g, source), quillharbour.bmssp(*g, source)), \
            "outputs differ from --against"
        fns["before"] = lambda: before.bmssp(*g, source)
    # The two builds take turns going first: the second of two like calls finds much of the
    # first's freed memory still mapped (on the 400x400 grid 34 page faults a call, against
    # 120 for the first), which favoured whichever build always went second.
    names = list(fns)
    orders = [names, names[:-2] + ["before", "bmssp"]] if before is not None else []
    times = interleaved_times(fns, repeats, orders=orders)
    return {k: v[len(v) // 2] for k, v in times.items()}


def medians_in_fresh_processes(key, args):
    """timed_medians of graph `key` in each of args.processes fresh processes, one after another
    (see --processes above)."""
    runs = []
    for _ in range(args.processes):
        cmd = [sys.executable, __file__, "--graphs", key, "--repeats", str(args.repeats), "--medians-only"]
        if args.against:
            cmd += ["--against", args.against]
        out = subprocess.run(cmd, capture_output=True, text=True, check=True)
        runs.append(json.loads(out.stdout.splitlines()[-1]))
    return runs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--graphs", default="grid,random,rmat")
    parser.add_argument("--processes", type=int, default=1,
                        help="time each graph in this many fresh processes and report the medians over them")
    parser.add_argument("--no-share", action="store_true", help="skip the native build and the transform share")
    parser.add_argument("--native-build", default=str(ROOT / "build" / "native-bench"),
                        help="CMake build directory of the native benchmark")
    parser.add_argument("--against", metavar="PATH", help="another build's _quillharbour extension file")
    parser.add_argument("--medians-only", action="store_true", help=argparse.SUPPRESS)  # one fresh process's part
    args = parser.parse_args()
    if args.processes < 1:
        parser.error("--processes must be at least 1")
    before = load_build(args.against) if args.against else None
    if args.medians_only:
        key = args.graphs
        g = GRAPHS[key][1]()
        source = int(np.argmax(np.diff(g[0])))
        tg, first_copy = transform(*g)
        print(json.dumps(timed_medians(g, tg, first_copy, source, args.repeats, before)))
        return
    native, why = (None, "skipped") if args.no_share else build_native_benchmark(args.native_build)
    if native is None:
        print(f"transform share: {why}")
    fresh = args.processes > 1
    print(f"{'graph':<16} {'n':>9} {'n_prime':>10} {'dijkstra':>9} {'dij(T)':>9} {'bmssp':>9} "
          f"{'bmssp/dij':>10} {'bmssp/dij(T)':>13} {'transform':>10} {'peak B/v':>9}"
          + (f" {'before/now':>11}" if before else "")
          + (f" {'bmssp/dij(T) over processes':>28}" if fresh else ""))
    for key in args.graphs.split(","):
        label, build = GRAPHS[key]
        g = build()
        source = int(np.argmax(np.diff(g[0])))  # a hub: inside the giant component on R-MAT
        tg, first_copy = transform(*g)
        n_prime = len(tg[0]) - 1
        spread = ""
        if fresh:
            runs = medians_in_fresh_processes(key, args)
            med = {k: float(np.median([r[k] for r in runs])) for k in runs[0]}
            ratios = sorted(r["bmssp"] / r["dijkstra_t"] for r in runs)
            ratio_t = float(np.median(ratios))
            spread = f" {ratios[0]:.2f}-{ratios[-1]:.2f} in {len(runs)}"
        else:
            med = timed_medians(g, tg, first_copy, source, args.repeats, before)
            ratio_t = med["bmssp"] / med["dijkstra_t"]
        with tempfile.TemporaryDirectory() as tmpdir:
            peak = peak_bytes_of_bmssp(g, source, tmpdir) / n_prime
            share = "-" if native is None else f"{100 * transform_share(native, g, source, tmpdir, args.repeats):.1f}%"
        print(f"{label:<16} {len(g[0]) - 1:>9} {n_prime:>10} {med['dijkstra']:>8.2f}s {med['dijkstra_t']:>8.2f}s "
              f"{med['bmssp']:>8.2f}s {med['bmssp'] / med['dijkstra']:>9.2f}x "
              f"{ratio_t:>12.2f}x {share:>10} {peak:>9.1f}"
              + (f" {med['before'] / med['bmssp']:>10.3f}x" if before else "")
              + (f" {spread:>28}" if fresh else ""))


if __name__ == "__main__":
    main()
