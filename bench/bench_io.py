"""Graph file loading against the disk and against scipy.io.mmread, side by side in one process.

    python bench/bench_io.py [--repeats N] [--cache DIR] [--against REV] [--cold]

Writes once into --cache (default /tmp/qh_bench_io) two DIMACS .gr files of about 100 MB
(comment lines, a problem line, integer weights) holding the same arcs, grouped by tail and in
edge pairs as road networks list them (which takes a sort), and two Matrix Market files of
about 60 MB holding the same general real matrix, one column by column (as scipy.io.mmwrite
writes a CSC matrix) and one row by row. Each round loads every file with quillharbour.io.load
and each .mtx with scipy.io.mmread too (COO, as it returns it), in turn, so background load falls
on all of them alike. For each call both the wall time and the process CPU time are kept: the
parsers run threads, so CPU time sums over them, and it is the measure to trust when other
processes compete for the cores (the load average before and after is printed). The files sit in
the page cache after the first read, so MB/s is parsing speed, not disk speed, unless --cold
drops each file from the cache before each call.

--against loads python/quillharbour/io.py of another git revision as "before", checks that it
returns the same CSR arrays bit for bit on every file, and times it alongside.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
import types
import warnings

import numpy as np
import scipy.io
from scipy import sparse

sys.path.insert(0, os.path.dirname(__file__))
import quillharbour.io as qio
from common import same_outputs


def write_gr(path: str, n: int, tails, heads, weights, comment: str) -> None:
    with open(path + ".tmp", "w") as f:
        f.write(f"c {comment}\nc integer weights\np sp {n} {len(tails)}\n")
        for s in range(0, len(tails), 1 << 16):
            rows = zip(*(a[s:s + (1 << 16)].tolist() for a in (tails + 1, heads + 1, weights)))
            f.write("".join(f"a {u} {v} {w}\n" for u, v, w in rows))
    os.replace(path + ".tmp", path)


def make_files(cache: str) -> dict[str, str]:
    os.makedirs(cache, exist_ok=True)
    paths = {k: os.path.join(cache, f) for k, f in (("gr tail", "road.gr"), ("gr pairs", "pairs.gr"),
                                                    ("mtx col", "col.mtx"), ("mtx row", "row.mtx"))}
    rng = np.random.default_rng(11)
    if not (os.path.exists(paths["gr pairs"]) and os.path.exists(paths["gr tail"])):
        n, edges = 1_200_000, 2_200_000  # 4.4M arcs of ~22 bytes a line
        u = np.sort(rng.integers(0, n, edges))
        v = (u + rng.integers(1, 2001, edges)) % n
        w = rng.integers(1, 60_000, edges)
        tails, heads = np.column_stack([u, v]).ravel(), np.column_stack([v, u]).ravel()
        weights = np.repeat(w, 2)
        # As the challenge's road networks: both directions of each edge in turn.
        write_gr(paths["gr pairs"], n, tails, heads, weights, "road-like network, arcs in edge pairs")
        order = np.argsort(tails, kind="stable")
        write_gr(paths["gr tail"], n, tails[order], heads[order], weights[order],
                 "road-like network, arcs grouped by tail")
    if not (os.path.exists(paths["mtx row"]) and os.path.exists(paths["mtx col"])):
        n, m = 500_000, 2_300_000  # ~26 bytes a line
        coo = sparse.coo_array((rng.integers(1, 10**9, m) / 10.0 ** rng.integers(0, 10, m),
                                (rng.integers(0, n, m), rng.integers(0, n, m))), shape=(n, n))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for key, mat in (("mtx col", coo.tocsc()), ("mtx row", coo.tocsr())):
                scipy.io.mmwrite(paths[key] + ".tmp.mtx", mat)
                os.replace(paths[key] + ".tmp.mtx", paths[key])
    return paths


def io_of(rev: str) -> types.ModuleType:
    """The io module of git revision `rev`, importing the staged package's other modules."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    src = subprocess.check_output(["git", "-C", root, "show", f"{rev}:python/quillharbour/io.py"])
    module = types.ModuleType("quillharbour.io_before")
    module.__package__ = "quillharbour"
    sys.modules[module.__name__] = module
    exec(compile(src, f"{rev}:io.py", "exec"), module.__dict__)
    return module


def mmread(path: str):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return scipy.io.mmread(path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--cache", default="/tmp/qh_bench_io")
    parser.add_argument("--against", metavar="REV", help="a git revision whose io.py to time as 'before'")
    parser.add_argument("--cold", action="store_true", help="drop each file from the page cache before each call")
    args = parser.parse_args()
    paths = make_files(args.cache)
    mb = {k: os.path.getsize(p) / 1e6 for k, p in paths.items()}
    fns, files = {}, {}
    before = io_of(args.against) if args.against else None
    for key, path in paths.items():
        fns[f"{key} qh"] = lambda path=path: qio.load(path)
        if before is not None:
            assert same_outputs(before.load(path), qio.load(path)), f"{key}: outputs differ from {args.against}"
            fns[f"{key} before"] = lambda path=path: before.load(path)
        if key.startswith("mtx"):
            fns[f"{key} mmread"] = lambda path=path: mmread(path)
        files.update((name, path) for name in fns if name.startswith(key))
    for fn in fns.values():  # warm-up: page cache, imports
        fn()
    load0 = os.getloadavg()
    wall: dict[str, list[float]] = {k: [] for k in fns}
    cpu: dict[str, list[float]] = {k: [] for k in fns}
    for _ in range(args.repeats):
        for name, fn in fns.items():
            if args.cold:
                fd = os.open(files[name], os.O_RDONLY)
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                os.close(fd)
            c0, w0 = time.process_time(), time.perf_counter()
            fn()
            wall[name].append(time.perf_counter() - w0)
            cpu[name].append(time.process_time() - c0)
    load1 = os.getloadavg()
    print("files: " + ", ".join(f"{k} {mb[k]:.1f} MB" for k in paths) + f"; {args.repeats} rounds, "
          f"{os.cpu_count()} cores; load average (1, 5, 15 min) before {load0[0]:.2f} {load0[1]:.2f} "
          f"{load0[2]:.2f}, after {load1[0]:.2f} {load1[1]:.2f} {load1[2]:.2f}")
    print(f"{'call':<18} {'wall med':>9} {'wall min':>9} {'cpu med':>9} {'cpu min':>9}  figure")
    for name in fns:
        key, who = name.rsplit(" ", 1)
        row = [statistics.median(wall[name]), min(wall[name]), statistics.median(cpu[name]), min(cpu[name])]
        if key.startswith("gr"):
            fig = "MB/s wall {:.0f} med / {:.0f} best, cpu {:.0f} / {:.0f}".format(*(mb[key] / t for t in row))
        elif who != "mmread":  # ratios of the medians, and the median of each round's ratio
            ref = f"{key} mmread"
            fig = "x mmread: wall {:.2f}, cpu {:.2f}; paired wall {:.2f}, cpu {:.2f}".format(*(
                [statistics.median(ts[name]) / statistics.median(ts[ref]) for ts in (wall, cpu)]
                + [statistics.median(a / b for a, b in zip(ts[name], ts[ref])) for ts in (wall, cpu)]))
        else:
            fig = ""
        print(f"{name:<18} " + " ".join(f"{t:>8.3f}s" for t in row) + f"  {fig}")


if __name__ == "__main__":
    main()
