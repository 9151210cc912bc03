"""What the module's boundary costs: the graph copy and its checks, and every
entry on benchmark-sized graphs, for one build or as the ratio of two builds.

    python bench/bench_boundary.py                      # the importable build
    python bench/bench_boundary.py --base OLD.so        # ratios: importable / OLD
    python bench/bench_boundary.py --base OLD.so --new NEW.so

Two builds are loaded side by side into one process, and their calls are
interleaved round by round (quillharbour.bench.interleaved_times), so background load spreads over
both. "copy+check" is a `bmssp_variant` call with an unknown name: it converts
the arguments, copies and validates the graph, and refuses the name before any
run. Times are the process's CPU time: a long call on the main thread runs on
a background thread while the caller waits, and multi-source rows run on pool
threads, so the calling thread's own CPU time would miss the work; idle
threads add nothing, and time slices lost to other processes do not count.
The pool has one thread (RAYON_NUM_THREADS=1 is set before it exists).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.machinery
import importlib.util
import os
import time
from pathlib import Path

os.environ.setdefault("RAYON_NUM_THREADS", "1")

import numpy as np

from quillharbour.bench import interleaved_times
from quillharbour.generators import lattice, multigraph


def load(path: str, name: str):
    loader = importlib.machinery.ExtensionFileLoader(f"{name}._quillharbour", path)
    spec = importlib.util.spec_from_loader(f"{name}._quillharbour", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def calls(m, g, heavy):
    indptr = g[0]
    sources = np.array([0, len(indptr) // 2, len(indptr) - 2], dtype=np.int64)
    out = {
        "copy+check": lambda: _refused(m, g),
        "dijkstra": lambda: m.dijkstra(*g, 0),
        "bmssp": lambda: m.bmssp(*g, 0),
        "bmssp_variant fast": lambda: m.bmssp_variant(*g, 0, "fast"),
        "dijkstra_multisource x3": lambda: m.dijkstra_multisource(*g, sources),
    }
    if heavy:
        out["bmssp_instrumented"] = lambda: m.bmssp_instrumented(*g, 0)
        out["bmssp_variant notransform"] = lambda: m.bmssp_variant(*g, 0, "notransform")
        out["bmssp_multisource x3"] = lambda: m.bmssp_multisource(*g, sources)
    return out


def _refused(m, g):
    with contextlib.suppress(ValueError):
        m.bmssp_variant(*g, 0, "no such variant")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", help="extension file of the build to compare against")
    parser.add_argument("--new", help="extension file to measure (default: the importable one)")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--light", action="store_true", help="skip the slow BMSSP entries")
    parser.add_argument("--only", help="measure only the entries whose name contains this")
    args = parser.parse_args()

    if args.new:
        new = load(args.new, "qh_new")
    else:
        from quillharbour import _quillharbour as new
    builds = {"new": new}
    if args.base:
        builds["base"] = load(str(Path(args.base).resolve()), "qh_base")

    graphs = {
        "random n=1M m=4M": multigraph(1_000_000, 4_000_000, seed=2),
        "grid 1000x1000": lattice(1000, 1000, seed=1),
    }
    print(f"{'graph':<18} {'entry':<26} " + " ".join(f"{b + ' s':>9}" for b in builds) +
          ("   new/base" if "base" in builds else ""))
    for gname, g in graphs.items():
        names = list(calls(new, g, not args.light))
        for entry in names:
            if args.only and args.only not in entry:
                continue
            fns = {b: calls(m, g, not args.light)[entry] for b, m in builds.items()}
            times = interleaved_times(fns, repeats=args.repeats, clock=time.process_time)
            med = {b: ts[len(ts) // 2] for b, ts in times.items()}
            line = f"{gname:<18} {entry:<26} " + " ".join(f"{med[b]:9.4f}" for b in builds)
            if "base" in med:
                line += f"   {med['new'] / med['base']:.3f}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
