"""Many sources on a local Dask cluster against the native multi-source entry in one process.

    python bench/bench_distributed.py [--side 1000] [--sources 64] [--bmssp-sources 64]
                                      [--methods dijkstra,bmssp] [--repeats 1] [--breakdown]

On a side x side grid (quillharbour.generators.lattice), the same sources run three ways, interleaved:
`dijkstra_multisource` / `bmssp_multisource` in this process on a pool of 2 threads; and
`quillharbour.distributed.multisource` on a LocalCluster of 2 worker processes of one thread
each (native pool of 1 thread in each), returning the rows to this process (out=None) or
writing them from the workers into a Zarr store in a temporary directory. The client gathers
straight from the workers (`direct_to_workers=True`), as the call's own local cluster does.
The figure is rows per second of wall time, the call's whole cost included (the graph's
broadcast to the workers, the block tasks, the transfer or the writes); the cluster's start-up
is reported apart. Rows of every run are compared bit for bit with the native ones.

For the estimate on N machines it also measures the scheduler's cost per task (a batch of
empty tasks), the store's write bandwidth here (blocks of one run's shape written from this
process) and the bytes a task moves. Wall times mean something only on a quiet machine: the
load average before and after is printed beside them. Beside the wall times stand the CPU
seconds of every process involved (this one, which also holds the scheduler, and the workers):
rows per CPU-second are what a shared machine's noise disturbs least.

--breakdown then shows where the cluster's extra time goes, for Dijkstra rows, each figure the
best of --repeats in wall and CPU seconds of every process: the tasks computing their rows and
dropping them (no rows move); the rows coming back through Dask (serialised, sent, received and
copied into the client's arrays: the path of a client on another machine, forced here); the
rows written by the workers into the client's shared arrays (the path of workers on the
client's machine); the shared path with 1, 2x and 4x the default rows per task (granularity);
and, in this process, the client's assembly of the rows into fresh (k, n) arrays and the digests
a store computes per block (blake2b-16 twice, the format before; XXH3-128 once and a comparison
of the rows read back, now).
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time

os.environ["RAYON_NUM_THREADS"] = "2"  # this process's native pool, set before its first use

import numpy as np

import quillharbour
from quillharbour import distributed as qd
from quillharbour.generators import lattice

NATIVE = {"dijkstra": lambda g, s: quillharbour.dijkstra_multisource(*g, s),
          "bmssp": lambda g, s: quillharbour.bmssp_multisource(*g, s, 0)}


def wall(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def timed(fn, client=None):
    """(wall seconds, CPU seconds, result): CPU of this process (client, scheduler, native pool)
    and, given a client, of its worker processes."""
    def cpu():
        workers = sum(client.run(time.process_time).values()) if client is not None else 0.0
        return time.process_time() + workers

    c0 = cpu()
    t, result = wall(fn)
    return t, cpu() - c0, result


def same_rows(a, b) -> bool:
    return (np.array_equal(np.asarray(a[0]).view(np.uint64), np.asarray(b[0]).view(np.uint64))
            and np.array_equal(np.asarray(a[1]), np.asarray(b[1])))


def task_overhead(client, count=400) -> float:
    """Seconds of scheduling per task: a batch of empty tasks, round trip included."""
    client.gather(client.map(int, range(20), pure=False))
    t, _ = wall(lambda: client.gather(client.map(int, range(count), pure=False)))
    return t / count


def store_bandwidth(directory, rows, n, blocks=8) -> float:
    """Bytes per second of uncompressed (rows, n) blocks written into a Zarr store here."""
    import zarr

    path = os.path.join(directory, "bandwidth.zarr")
    group = zarr.open_group(path, mode="w-")
    d = group.create_array("d", shape=(rows * blocks, n), chunks=(rows, n), dtype="float64",
                           compressors=None)
    p = group.create_array("p", shape=(rows * blocks, n), chunks=(rows, n), dtype="int32",
                           compressors=None)
    dist = np.random.default_rng(0).random((rows, n))
    pred = np.arange(rows * n, dtype=np.int32).reshape(rows, n)

    def write():
        for b in range(blocks):
            d[b * rows:(b + 1) * rows] = dist
            p[b * rows:(b + 1) * rows] = pred
        os.sync()  # the page cache only defers the writes

    t, _ = wall(write)
    shutil.rmtree(path)
    return rows * blocks * n * 12 / t


def _drop_rows(graph, sources):
    """A task that computes its rows and returns nothing."""
    quillharbour.dijkstra_multisource(*graph, sources)


def breakdown(client, g, k, repeats, rng):
    """Where the cluster's time goes for `k` Dijkstra rows on `g` (see the module notes)."""
    import hashlib

    import xxhash

    n = len(g[0]) - 1
    sources = rng.choice(n, k, replace=False)
    rows = qd._default_rows(k, n, sum(client.nthreads().values()))
    [ref] = client.scatter([quillharbour.CsrGraph(*g)], broadcast=True, hash=False)

    def best(fn):
        runs = [timed(fn, client)[:2] for _ in range(repeats)]
        return min(t for t, _ in runs), min(c for _, c in runs)

    def through_dask():
        saved, qd.SHARED_DIR = qd.SHARED_DIR, "/nonexistent"
        try:
            return qd.multisource(g, sources, client=client, progress=False)
        finally:
            qd.SHARED_DIR = saved

    native = best(lambda: NATIVE["dijkstra"](g, sources))
    parts = {"native pool (2 threads)": native,
             "tasks compute, drop rows": best(lambda: client.gather(
                 [client.submit(_drop_rows, ref, sources[r:r + rows], pure=False) for r in range(0, k, rows)])),
             "rows back through Dask": best(through_dask),
             "rows into shared arrays": best(lambda: qd.multisource(g, sources, client=client, progress=False))}
    for factor in (1 / rows, 2, 4):
        r = max(1, round(rows * factor))
        parts[f"shared, {r} rows per task"] = best(lambda r=r: qd.multisource(g, sources, client=client,
                                                                             rows_per_task=r, progress=False))
    print(f"\nbreakdown: {k} Dijkstra rows, {rows} rows per task by default; best of {repeats}")
    print(f"  {'':<28} {'wall s':>7} {'ratio':>6} {'cpu s':>7} {'extra cpu s':>11}")
    for name, (t, c) in parts.items():
        print(f"  {name:<28} {t:7.2f} {native[0] / t:6.2f} {c:7.2f} {c - native[1]:11.2f}")
    block = np.random.default_rng(0).random((rows, n)), np.zeros((rows, n), np.int32)
    blocks = -(-k // rows)
    t, _ = wall(lambda: [np.concatenate(block) for _ in range(blocks)])
    t_fill, _ = wall(lambda: qd.empty_rows(k, n)[0].fill(0.0))
    cells = [a.data.cast("B") for a in block]
    t_blake, _ = wall(lambda: [hashlib.blake2b(c, digest_size=16).digest() for c in cells])
    t_xxh, _ = wall(lambda: [xxhash.xxh3_128_digest(c) for c in cells])
    t_cmp, _ = wall(lambda: [np.array_equal(a, a.copy()) for a in block])
    print(f"  client assembly of {blocks} blocks: fresh (k, n) arrays written {t_fill:.2f} s + copies of the "
          f"blocks {t:.2f} s (this process, one thread)")
    print(f"  store digests per block of {rows} rows: before 2 x blake2b {2 * t_blake * 1e3:.1f} ms; now XXH3 "
          f"{t_xxh * 1e3:.1f} ms + comparison of the rows read back {t_cmp * 1e3:.1f} ms; x {blocks} blocks")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=1000)
    parser.add_argument("--sources", type=int, default=64)
    parser.add_argument("--bmssp-sources", type=int, default=None, help="default: --sources")
    parser.add_argument("--methods", default="dijkstra,bmssp")
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--breakdown", action="store_true", help="show where the cluster's extra time goes")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    t0 = time.perf_counter()
    g = lattice(args.side, args.side, seed=1)
    n = len(g[0]) - 1
    graph_bytes = sum(a.nbytes for a in g)
    print(f"grid {args.side}x{args.side}: {n} vertices, {len(g[1])} arcs, {graph_bytes / 1e6:.0f} MB "
          f"(built in {time.perf_counter() - t0:.1f} s)")
    print(f"load average before: {' '.join(f'{x:.1f}' for x in os.getloadavg())} on {os.cpu_count()} CPUs")

    started, cluster = wall(lambda: LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                 dashboard_address=":0",
                                                 env={"RAYON_NUM_THREADS": "1"}))
    client = Client(cluster, direct_to_workers=True)  # rows skip the scheduler on their way back
    print(f"cluster of 2 one-thread workers started in {started:.1f} s")
    tmp = tempfile.mkdtemp(prefix="qh-bench-")
    rng = np.random.default_rng(7)
    try:
        # Warm-up: imports on the workers, this process's pool.
        warm = rng.choice(n, 2, replace=False)
        qd.multisource(g, warm, client=client, progress=False)
        NATIVE["dijkstra"](g, warm)
        per_task = task_overhead(client)
        print(f"scheduler: {per_task * 1e3:.2f} ms per task (batch of empty tasks)")

        costs = {}
        for method in args.methods.split(","):
            k = args.sources if method == "dijkstra" or args.bmssp_sources is None else args.bmssp_sources
            sources = rng.choice(n, k, replace=False)
            times = {"native": [], "dask": [], "dask+zarr": []}
            cpus = {name: [] for name in times}
            for r in range(args.repeats):
                t, c, ref = timed(lambda: NATIVE[method](g, sources))
                times["native"].append(t)
                cpus["native"].append(c)
                t, c, got = timed(lambda: qd.multisource(g, sources, method=method, client=client,
                                                         progress=False), client)
                times["dask"].append(t)
                cpus["dask"].append(c)
                assert same_rows(got, ref), f"{method}: rows returned differ from the native entry"
                del got
                store = os.path.join(tmp, f"{method}-{r}.zarr")
                t, c, group = timed(lambda: qd.multisource(g, sources, method=method, client=client,
                                                           out=store, progress=False), client)
                times["dask+zarr"].append(t)
                cpus["dask+zarr"].append(c)
                assert same_rows((group["distances"][:], group["predecessors"][:]), ref), \
                    f"{method}: rows stored differ from the native entry"
                rows = group["distances"].chunks[0]
                del group, ref
                shutil.rmtree(store)
            best = {name: min(ts) for name, ts in times.items()}
            cpu = {name: min(cs) for name, cs in cpus.items()}
            print(f"\n{method}: {k} sources, {rows} rows per task, {-(-k // rows)} tasks, "
                  f"{rows * n * 12 / 1e6:.0f} MB per task's rows; best of {args.repeats}")
            print(f"  {'':<10} {'wall s':>8} {'rows/s':>8} {'ratio':>6}   {'cpu s':>8} {'rows/cpu-s':>10} {'ratio':>6}")
            for name, t in best.items():
                print(f"  {name:<10} {t:8.2f} {k / t:8.2f} {best['native'] / t:6.2f}   "
                      f"{cpu[name]:8.2f} {k / cpu[name]:10.3f} {cpu['native'] / cpu[name]:6.2f}")
            print("  every wall time: " + "; ".join(f"{name} " + " ".join(f"{t:.2f}" for t in ts)
                                                 for name, ts in times.items()))
            row_cost = cpu["native"] / k
            costs[method] = cpu["dask+zarr"] / k
            print(f"  per-row cost on one thread: {row_cost:.3f} s; output {n * 12 / 1e6:.0f} MB per row "
                  f"= {n * 12 / row_cost / 1e6:.1f} MB/s per busy core")
        bandwidth = store_bandwidth(tmp, rows, n)
        print(f"\nstore write bandwidth here: {bandwidth / 1e6:.0f} MB/s (blocks of {rows} rows, synced at the end)")
        print("\nwhere N machines stop scaling (store runs): busy cores = rows/s x CPU-s per row")
        for method, cost in costs.items():
            by_scheduler = rows / per_task  # rows per second if the scheduler were the only limit
            by_store = bandwidth / (12 * n)
            print(f"  {method}: {cost:.3f} CPU-s per row in the cluster; the scheduler caps at "
                  f"{by_scheduler:.0f} rows/s = {by_scheduler * cost:.0f} busy cores; this store at "
                  f"{by_store:.0f} rows/s = {by_store * cost:.0f} busy cores; each GB/s of store "
                  f"bandwidth feeds {1e9 / (12 * n) * cost:.0f} busy cores")
        if args.breakdown:
            breakdown(client, g, args.sources, args.repeats, rng)
    finally:
        client.close()
        cluster.close()
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"load average after: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
