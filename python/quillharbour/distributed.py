"""Many-source runs fanned out over a Dask cluster, optionally streamed to a Zarr store.

:func:`multisource` cuts the sources into blocks of rows and runs one Dask task per block; each
task calls the same engine as :func:`quillharbour.shortest_paths` (the native multi-source
entries for "dijkstra" and "bmssp", one call per source for the research variants), so every row
is exactly the row the native entries return. Dask does the scheduling, the retries after a
worker dies and the data movement; this module only decides what a task is and where its rows go.

Where the graph lives. An in-memory graph is scattered to every worker once, before the first
task, and each task takes it from its worker's memory. A graph given as a file path travels as
the path: each worker process loads the file itself on its first task and keeps it for the
following ones, and checks that it read the same graph as the others (by a digest of the arrays).

Threads. A task runs its rows on its worker process's native pool, sized by RAYON_NUM_THREADS
in the worker's environment (else by the CPUs it may use): give workers of one thread
RAYON_NUM_THREADS=1, as the local cluster this module starts does, so that the pools of several
workers on one machine do not crowd each other.

Where the rows go. With ``out=None`` the blocks come back to the client and are copied into two
``(k, n)`` arrays as they finish. With ``out="result.zarr"`` each task writes its block straight
from its worker into a Zarr store, so the client never holds more than the sources:

    distances     float64 (k, n), chunks of (rows_per_task, n); NaN in blocks not yet written
    predecessors  int32   (k, n), same chunks
    sources       int64   (k,)
    done          uint8   (number of blocks,); 1 once both chunks of that block are written

A block is marked done only after its two chunks are on disk, so a run killed at any point leaves
a store whose done blocks are complete; running again with the same arguments computes only the
blocks not marked done. The group's attribute "quillharbour" records what the store holds
(method, seed, vertex count, a digest of the graph, rows per task); the sources are the
``sources`` array. A store made with anything else is refused rather than mixed. Chunks are
written uncompressed: distances of real graphs compress poorly and the codec's CPU time would be
taken from the searches.

Needs the "distributed" extra (``pip install 'quillharbour[distributed]'``: dask[distributed],
zarr, tqdm); the rest of the package works without it.
"""

from __future__ import annotations

import hashlib
import logging
import math
import operator
import os
import sys
import threading

import numpy as np

from .api import _as_sources, resolve_method, shortest_paths
from .graph import as_csr

__all__ = ["multisource", "graph_digest"]

EXTRA_HINT = "pip install 'quillharbour[distributed]'"
STORE_ATTR = "quillharbour"
STORE_FORMAT = 1
# A block's two chunks stay under this many bytes unless one row alone is larger.
BLOCK_BYTES = 64 << 20
# Blocks per worker thread by default: enough to even out rows of unequal cost.
BLOCKS_PER_THREAD = 8
ROW_BYTES_PER_VERTEX = 12  # float64 distance + int32 predecessor
# Times an in-memory graph is sent to the workers before a run gives up: it is lost only when
# every worker holding it dies, as when a one-worker cluster loses its worker.
SCATTER_ATTEMPTS = 3


def _require(*modules: str):
    """Import `modules`, or raise ImportError naming the extra that provides them."""
    import importlib

    loaded = []
    for name in modules:
        try:
            loaded.append(importlib.import_module(name))
        except ImportError as exc:
            raise ImportError(
                f"quillharbour.distributed needs {name} (missing: {exc.name or name}); "
                f"install the 'distributed' extra: {EXTRA_HINT}"
            ) from exc
    return loaded


def graph_digest(graph) -> str:
    """A hex digest of a graph's three CSR arrays: equal for equal graphs whatever the file."""
    g = as_csr(graph)
    h = hashlib.blake2b(digest_size=16)
    h.update(np.array([g.n, g.m], dtype=np.int64).tobytes())
    for arr in g:
        h.update(memoryview(np.ascontiguousarray(arr)).cast("B"))
    return h.hexdigest()


# --- on the workers ---------------------------------------------------------------------------

_loaded: dict = {}  # path -> (file signature, graph, digest); this process's last file graph
_load_lock = threading.Lock()


def _load(path: str):
    """The graph in file `path` and its digest, read once per process while the file is unchanged."""
    st = os.stat(path)
    signature = (st.st_size, st.st_mtime_ns, st.st_ino)
    with _load_lock:
        hit = _loaded.get(path)
        if hit is not None and hit[0] == signature:
            return hit[1], hit[2]
        from .io import load

        _loaded.clear()  # keep one graph per worker process
        g = load(path)
        entry = (signature, g, graph_digest(g))
        _loaded[path] = entry
        return entry[1], entry[2]


def _probe(path: str) -> tuple[int, str]:
    """(vertex count, digest) of the graph file `path`, loaded on the worker running this."""
    g, digest = _load(path)
    return g.n, digest


def _run_block(graph, path, digest, sources, method, seed, store, block, row0):
    """Rows for `sources`: returned, or written at `row0` of the store and block marked done."""
    if graph is None:
        graph, found = _load(path)
        if found != digest:
            raise ValueError(f"graph file {path} on this worker differs from the one first read "
                             "(changed during the run, or not the same file on every machine)")
    dist, pred = shortest_paths(graph, sources, method=method, seed=seed)
    if store is None:
        return dist, pred
    import zarr

    group = zarr.open_group(store, mode="r+")
    rows = slice(row0, row0 + len(sources))
    # Write each chunk whatever it holds, rather than scan it for the fill value first.
    with zarr.config.set({"array.write_empty_chunks": True}):
        group["distances"][rows] = dist
        group["predecessors"][rows] = pred
        group["done"][block] = 1
    return block


# --- the store --------------------------------------------------------------------------------


def _store_path(out) -> str:
    text = os.fspath(out)
    return text if "://" in text else os.path.abspath(text)


def _identity(method: str, seed: int, n: int, digest: str, rows_per_task: int) -> dict:
    return {"format": STORE_FORMAT, "method": method, "seed": int(seed), "n": int(n),
            "graph": digest, "rows_per_task": int(rows_per_task)}


def _open_store(path: str, sources: np.ndarray, ident: dict, rows_per_task_given: bool):
    """(rows per task, created): the store at `path` checked against this run, or a new one."""
    import zarr
    from zarr.errors import GroupNotFoundError

    try:
        group = zarr.open_group(path, mode="r+")
    except GroupNotFoundError:
        if not (os.path.isdir(path) and not os.listdir(path)):
            raise ValueError(f"{path} exists and is not a Zarr group; choose another path") from None
        group = None  # an empty directory made for the store
    except FileNotFoundError:
        group = None
    if group is not None:
        return _check_store(path, group, sources, ident, rows_per_task_given), False
    try:
        group = zarr.open_group(path, mode="w-")
    except FileExistsError:
        raise ValueError(f"{path} was created by someone else meanwhile; choose another path") from None
    k, n, rows = len(sources), ident["n"], ident["rows_per_task"]
    rows_of = {"chunks": (rows, max(n, 1)), "compressors": None}
    group.create_array("distances", shape=(k, n), dtype="float64", fill_value=np.nan, **rows_of)
    group.create_array("predecessors", shape=(k, n), dtype="int32", fill_value=-1, **rows_of)
    group.create_array("sources", shape=(k,), chunks=(max(k, 1),), dtype="int64", fill_value=0)
    group.create_array("done", shape=(math.ceil(k / rows),), chunks=(1,), dtype="uint8", fill_value=0)
    if k:
        group["sources"][:] = sources
    group.attrs[STORE_ATTR] = ident  # written last: a store without it was never finished
    return rows, True


def _check_store(path, group, sources, ident, rows_per_task_given) -> int:
    held = group.attrs.get(STORE_ATTR)
    if not isinstance(held, dict) or held.get("format") != STORE_FORMAT:
        raise ValueError(f"{path} is not a quillharbour result store (or its creation was "
                         "interrupted); remove it or choose another path")
    differ = [key for key in ("method", "seed", "n", "graph")
              if held.get(key) != ident[key]]
    if rows_per_task_given and held.get("rows_per_task") != ident["rows_per_task"]:
        differ.append("rows_per_task")
    stored = group["sources"][:] if "sources" in group else None
    if stored is None or len(stored) != len(sources) or not np.array_equal(stored, sources):
        differ.append("sources")
    if differ:
        detail = ", ".join(f"{key} {held.get(key)!r} (now {ident[key]!r})"
                           for key in differ if key != "sources")
        if "sources" in differ:
            detail = ", ".join(filter(None, [detail, "other sources"]))
        raise ValueError(f"{path} holds a result made with other arguments: {detail}; "
                         "remove it or choose another path")
    return int(held["rows_per_task"])


# --- the run ----------------------------------------------------------------------------------


def _default_rows(k: int, n: int, threads: int) -> int:
    cap = max(1, BLOCK_BYTES // max(1, ROW_BYTES_PER_VERTEX * n))
    return max(1, min(cap, math.ceil(k / (BLOCKS_PER_THREAD * max(threads, 1)))))


def _embedded_client():
    """A LocalCluster of one single-threaded worker process per CPU, and its client."""
    from distributed import Client, LocalCluster

    workers = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    # Task errors reach the caller as exceptions, so the workers' own reports of them would
    # only repeat them; ":0" keeps the HTTP endpoint off a port another cluster may hold.
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=":0", silence_logs=logging.CRITICAL,
                           env={"RAYON_NUM_THREADS": "1"})
    return Client(cluster, direct_to_workers=True), cluster


def multisource(graph, sources, *, method="dijkstra", seed=0, client=None, out=None,
                rows_per_task=None, progress=True):
    """Shortest paths from every vertex in `sources`, computed in blocks of rows on a Dask cluster.

    `graph` is anything :func:`quillharbour.shortest_paths` accepts (sent to each worker once)
    or the path of a graph file (loaded by each worker). `method` and `seed` are those of
    :func:`quillharbour.shortest_paths`. `client` is a ``dask.distributed.Client``; with None
    a local cluster of worker processes is started for the call and closed after it.
    `rows_per_task` is the number of rows per task and per chunk of the store (default: about
    eight blocks per worker thread, and at most 64 MiB per block). `progress` draws a bar
    over the blocks on stderr.

    With ``out=None`` returns ``(distances, predecessors)`` as ``(k, n)`` arrays, row i equal to
    the native multi-source entries' row for ``sources[i]``; the rows come through the scheduler
    unless the client was made with ``direct_to_workers=True`` (faster for large results, when
    the client can reach the workers). With `out` a path, writes the rows into a Zarr store
    there (see the module notes) and returns the group opened read-only; calling again with the
    same arguments computes only the blocks still missing, and a store made with other
    arguments raises ValueError. Bad sources raise IndexError before anything runs; errors of
    the computation (bad weights) are raised as the engine raises them, and a store this call
    created is then removed if no block of it was written.
    """
    (distributed,) = _require("distributed")
    if out is not None:
        _require("zarr")
    entry, variant = resolve_method(method)
    method_name = entry if variant is None else variant
    srcs = _as_sources(sources)
    if rows_per_task is not None:
        if isinstance(rows_per_task, bool) or not isinstance(rows_per_task, (int, np.integer)) \
                or rows_per_task < 1:
            raise ValueError(f"rows_per_task must be a positive integer (got {rows_per_task!r})")
        rows_per_task = int(rows_per_task)
    seed = operator.index(seed)
    path = None
    if isinstance(graph, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(graph))  # the workers read it: it need not exist here
        g = None
    else:
        g = as_csr(graph)

    cluster = None
    if client is None:
        client, cluster = _embedded_client()
    try:
        return _multisource(distributed, client, g, path, srcs, method_name, seed, out,
                            rows_per_task, progress)
    finally:
        if cluster is not None:
            client.close()
            cluster.close()


def _multisource(distributed, client, g, path, srcs, method, seed, out, rows_per_task, progress):
    if g is None:
        n, digest = client.submit(_probe, path, pure=False).result()
    else:
        n, digest = g.n, graph_digest(g)
    bad = srcs[(srcs < 0) | (srcs >= n)]
    if len(bad):
        raise IndexError(f"source {int(bad[0])} is out of range for graph with {n} vertices")
    k = len(srcs)
    rows = rows_per_task or _default_rows(k, n, sum(client.nthreads().values()))
    blocks = _Blocks(distributed, client, g, path, digest, srcs, method, seed, progress)

    if out is None:
        dist = np.empty((k, n), dtype=np.float64)
        pred = np.empty((k, n), dtype=np.int32)

        def collect(b, result):
            dist[b * rows:(b + 1) * rows], pred[b * rows:(b + 1) * rows] = result

        blocks.run(range(math.ceil(k / rows)), rows, None, collect)
        return dist, pred

    import zarr

    store = _store_path(out)
    rows, created = _open_store(store, srcs, _identity(method, seed, n, digest, rows),
                                rows_per_task is not None)
    done = zarr.open_group(store, mode="r")["done"][:]
    try:
        blocks.run(np.flatnonzero(done == 0).tolist(), rows, store, None)
    except BaseException:
        # A store this call made and never wrote a block into would only refuse the corrected
        # call (other graph or sources) that should follow a failure such as a bad weight.
        if created and blocks.finished == 0 and "://" not in store:
            import shutil

            shutil.rmtree(store, ignore_errors=True)
        raise
    return zarr.open_group(store, mode="r")


class _Blocks:
    """Submits blocks of rows as tasks and gathers them as they finish."""

    def __init__(self, distributed, client, g, path, digest, srcs, method, seed, progress):
        self.distributed, self.client = distributed, client
        self.g, self.path, self.digest = g, path, digest
        self.srcs, self.method, self.seed, self.progress = srcs, method, seed, progress
        self.finished = 0

    def run(self, todo, rows, store, collect):
        """Compute blocks `todo` of `rows` rows; pass each result to `collect` (when not stored)."""
        from concurrent.futures import CancelledError

        pending = sorted(todo)
        if not pending:
            return
        bar = _progress_bar(len(pending), self.progress)
        try:
            for attempt in range(SCATTER_ATTEMPTS):
                graph_lost = self._round(pending, rows, store, collect, bar)
                if not graph_lost:
                    return
            raise CancelledError(f"the graph sent to the workers was lost {SCATTER_ATTEMPTS} times "
                                 "(every worker holding it died)")
        finally:
            if bar is not None:
                bar.close()

    def _round(self, pending, rows, store, collect, bar) -> bool:
        """Submit `pending` blocks and gather them, removing each from `pending` once done.

        Returns True when the in-memory graph was lost with the workers that held it (its
        dependent tasks are then cancelled by the scheduler; scatter again and resubmit)."""
        from concurrent.futures import CancelledError

        client = self.client
        graph_ref = None
        if self.g is not None:
            # One copy per worker now, instead of one per task later. A list, so that the
            # graph (a tuple) is scattered as one object rather than item by item.
            [graph_ref] = client.scatter([self.g], broadcast=True, hash=False)
        futures = {}
        for b in pending:
            r0 = b * rows
            fut = client.submit(_run_block, graph_ref, self.path, self.digest, self.srcs[r0:r0 + rows],
                                self.method, self.seed, store, b, r0, pure=False, priority=-b)
            futures[fut] = b
        try:
            for fut in self.distributed.as_completed(list(futures)):
                b = futures.pop(fut)
                try:
                    result = fut.result()  # raises the task's error here
                except CancelledError:
                    if graph_ref is not None and graph_ref.status != "finished":
                        return True
                    raise
                if collect is not None:
                    collect(b, result)
                del fut, result
                pending.remove(b)
                self.finished += 1
                if bar is not None:
                    bar.update(1)
            return False
        finally:
            if futures:
                client.cancel(list(futures))
            if graph_ref is not None:
                graph_ref.release()


def _progress_bar(total: int, enabled: bool):
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="block", file=sys.stderr, dynamic_ncols=True, leave=False)


# --- the command line: quillharbour run GRAPH --sources FILE --out RESULT.zarr --------------------


def add_run_options(parser) -> None:
    """Add the cluster options to the ``run`` command's `parser`; they take over when given."""
    group = parser.add_argument_group(
        f"many sources on a Dask cluster, written to a Zarr store (needs {EXTRA_HINT})")
    which = group.add_mutually_exclusive_group()
    which.add_argument("--sources", metavar="FILE",
                       help="sources, one integer per line or whitespace-separated (or a .npy array)")
    which.add_argument("--random-sources", metavar="N", type=int,
                       help="N distinct sources drawn with --seed")
    group.add_argument("--scheduler", metavar="local|ADDRESS",
                       help="'local' (default): worker processes on this machine; or a scheduler address")
    group.add_argument("--out", metavar="RESULT.zarr",
                       help="the store to write; run again with the same arguments to resume")
    group.add_argument("--rows-per-task", metavar="R", type=int, help="rows per task and per chunk")
    group.add_argument("--no-progress", action="store_true", help="no progress bar")
    single = parser.get_default("func")

    def dispatch(args):
        wanted = (args.sources, args.random_sources, args.scheduler, args.out, args.rows_per_task)
        if all(value is None for value in wanted):
            return single(args)
        return run_cli(args)

    parser.set_defaults(func=dispatch)


def _read_sources(path: str) -> np.ndarray:
    from .cli import CliError

    try:
        if path.endswith(".npy"):
            arr = np.load(path, allow_pickle=False)
            if arr.ndim != 1 or arr.dtype.kind not in "iu":
                raise CliError(f"{path}: expected a 1-D integer array (got {arr.ndim}-D {arr.dtype})")
            return arr.astype(np.int64)
        with open(path) as f:
            tokens = [tok for line in f for tok in line.split("#", 1)[0].replace(",", " ").split()]
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None
    values = []
    for tok in tokens:
        try:
            values.append(int(tok))
        except ValueError:
            raise CliError(f"{path}: {tok!r} is not a vertex id") from None
    try:
        return np.array(values, dtype=np.int64)
    except OverflowError:
        raise CliError(f"{path}: a source does not fit in a signed 64-bit integer") from None


def _check_store_path(path: str) -> None:
    """Refuses a --out the run could not write, before any work: one line, exit status 2."""
    import tempfile

    from .cli import CliError

    if not path.lower().endswith(".zarr"):
        raise CliError(f"--out {path!r} must end in .zarr")
    if os.path.exists(path) and not os.path.isdir(path):
        raise CliError(f"--out {path}: exists and is not a directory")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CliError(f"--out {path}: no such directory {folder}")
    try:  # root passes os.access checks that writing then fails, so try it
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as exc:
        raise CliError(f"--out {path}: cannot write in {folder} ({exc.strerror or exc})") from None


def run_cli(args) -> int:
    """``quillharbour run`` with the cluster options: rows into a Zarr store, with a progress bar."""
    import time

    from . import generators
    from .cli import CliError, load_graph

    if args.source:
        raise CliError("give sources either with -s/--source or with --sources/--random-sources")
    if args.output:
        raise CliError("-o/--output writes one in-memory result; with the cluster options use --out")
    if args.out is None:
        raise CliError("--sources, --random-sources, --scheduler and --rows-per-task need --out RESULT.zarr")
    if args.sources is None and args.random_sources is None:
        raise CliError("give the sources: --sources FILE or --random-sources N")
    if args.random_sources is not None and args.random_sources < 0:
        raise CliError(f"--random-sources must be >= 0 (got {args.random_sources})")
    _check_store_path(args.out)
    try:
        resolve_method(args.method)
        (distributed,) = _require("distributed")
        _require("zarr")
    except ValueError as exc:
        raise CliError(str(exc)) from None
    except ImportError as exc:
        raise CliError(str(exc), code=1) from None
    if generators.is_spec(args.graph) and not os.path.exists(args.graph):
        graph = load_graph(args.graph, args.seed)
    else:
        graph = os.path.abspath(args.graph)  # read by the workers
    sources = _read_sources(args.sources) if args.sources is not None else None

    cluster = None
    try:
        if args.scheduler in (None, "local"):
            client, cluster = _embedded_client()
        else:
            client = distributed.Client(args.scheduler, timeout="10s")
    except OSError as exc:
        raise CliError(f"cannot reach the scheduler at {args.scheduler}: {exc}", code=1) from None
    try:
        if isinstance(graph, str):
            n, _ = client.submit(_probe, graph, pure=False).result()
        else:
            n = graph.n
        if sources is None:
            if args.random_sources > n:
                raise CliError(f"--random-sources {args.random_sources} is more than the graph's {n} vertices")
            sources = np.random.default_rng(args.seed).choice(n, args.random_sources, replace=False)
        t0 = time.perf_counter()
        group = multisource(graph, sources, method=args.method, seed=args.seed, client=client,
                            out=args.out, rows_per_task=args.rows_per_task,
                            progress=not args.no_progress and sys.stderr.isatty())
        elapsed = time.perf_counter() - t0
    except FileNotFoundError as exc:
        raise CliError(f"no such graph file: {exc.filename or exc}") from None
    except (ValueError, IndexError, TypeError, OverflowError) as exc:  # input the run refused
        raise CliError(str(exc)) from None
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    k = len(sources)
    print(f"{args.method} on {args.graph}: {k} source(s) x {n} vertices in {elapsed:.1f} s; "
          f"{int(group['done'][:].sum())} of {group['done'].shape[0]} blocks in {args.out}")
    return 0
