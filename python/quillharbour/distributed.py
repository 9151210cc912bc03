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

Where the rows go. With ``out=None`` the rows end in two ``(k, n)`` arrays of the client. Workers
on the client's machine write their blocks straight into a file of /dev/shm whose pages the
client reserved, and which it maps as those arrays once every block is in (then removes it, the
mapping staying for the arrays), so that no row crosses a socket, is serialised or is copied by
the client, which on a machine of few cores competes with the workers for them; blocks of
workers elsewhere come back through Dask and the client writes them in. Where /dev/shm is
missing or has no room, the blocks come back through Dask into ordinary arrays. With
``out="result.zarr"`` each task writes its block straight from its worker into a Zarr store,
so the client never holds more than the sources:

    distances     float64 (k, n), chunks of (rows_per_task, n); NaN in blocks not yet written
    predecessors  int32   (k, n), same chunks
    sources       int64   (k,)
    digests       uint8   (number of blocks, 32): a digest of each block's distances and of its
                  predecessors, as computed (XXH3-128; blake2b in stores of the format before)
    done          uint8   (number of blocks,); 1 once both chunks of that block are written and
                  read back as their digests say

A block is marked done only after its two chunks are on disk and read back equal to the rows
computed, so a run killed at any point leaves a store whose done blocks are complete. Running
again with the same arguments resumes, and trusts no flag on its word: a done block is reused
only when its chunks still read back as their digests say; a block whose chunk was deleted,
truncated or altered since is computed again, and the run says so (a StoreDamageWarning, or
the `report` callback: "12 of 15 blocks reused, 3 recomputed"). Nothing in a finished store
reads back as NaN or -1 without having been computed. The group's attribute "quillharbour"
records what the store holds (method, seed, vertex count, digests of the graph and of the
sources, rows per task, the vertex reordering if any). A store made with anything else is
refused rather than mixed, and so is one whose array layout is damaged (no block of it could
be trusted); a damaged ``sources`` array is written again from the caller's sources. Chunks are
written uncompressed: distances of real graphs compress poorly and the codec's CPU time would
be taken from the searches.

Reordering. With ``reorder`` ("rcm", "bfs" or a :class:`~quillharbour.reorder.Reordering`) the
rows are computed on the graph renumbered for locality (:mod:`quillharbour.reorder`) and mapped
back by the task that computed them, so what reaches the client or the store is in the
caller's ids. An in-memory graph is renumbered once by the client and sent renumbered; a graph
file is renumbered by each worker process once, after loading it.

The local cluster started when no client is given runs worker processes that do not run the
caller's main module: a script without an ``if __name__ == "__main__":`` guard, or one piped
into ``python -``, works as it is.

Needs the "distributed" extra (``pip install 'quillharbour[distributed]'``: dask[distributed],
zarr, xxhash, tqdm); the rest of the package works without it.
"""

from __future__ import annotations

import contextlib
import hashlib
import logging
import math
import mmap
import operator
import os
import socket
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from .api import as_sources, resolve_method, shortest_paths
from .graph import CsrGraph, GraphLike, as_csr, graph_digest
from .options import FloatArray, IdArray, check_rows_room, empty_rows
from .reorder import Reordering, as_reordering, reordering, reordering_name

__all__ = ["StoreDamageWarning", "StoreReport", "graph_digest", "local_client", "multisource", "require",
           "vertex_count"]

EXTRA_HINT = "pip install 'quillharbour[distributed]'"
STORE_ATTR = "quillharbour"
STORE_FORMAT = 3  # 1: blocks without digests, which cannot be verified; 2: blake2b block digests
DIGEST_BYTES = 16  # per array and block
SHARED_DIR = "/dev/shm"  # where the rows of a run without a store live, when it has room
# A block's two chunks stay under this many bytes unless one row alone is larger.
BLOCK_BYTES = 64 << 20
# Blocks per worker thread by default: enough to even out rows of unequal cost.
BLOCKS_PER_THREAD = 8
ROW_BYTES_PER_VERTEX = 12  # float64 distance + int32 predecessor
# Times an in-memory graph is sent to the workers before a run gives up: it is lost only when
# every worker holding it dies, as when a one-worker cluster loses its worker.
SCATTER_ATTEMPTS = 3


def require(*modules: str) -> list[Any]:
    """Import `modules` (such as "distributed" and "zarr"), or raise ImportError naming the extra
    that provides them."""
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


# --- on the workers ---------------------------------------------------------------------------

_loaded: dict[str, tuple[tuple[int, int, int], CsrGraph, str]] = {}  # path -> (file signature, graph, digest)
_renumbered: dict[tuple[str, str], Reordering] = {}  # (path, reordering) -> the loaded graph renumbered
_load_lock = threading.Lock()


def _load(path: str) -> tuple[CsrGraph, str]:
    """The graph in file `path` and its digest, read once per process while the file is unchanged."""
    st = os.stat(path)
    signature = (st.st_size, st.st_mtime_ns, st.st_ino)
    with _load_lock:
        hit = _loaded.get(path)
        if hit is not None and hit[0] == signature:
            return hit[1], hit[2]
        from .io import load

        _loaded.clear()  # keep one graph per worker process
        _renumbered.clear()
        g = load(path)
        entry = (signature, g, graph_digest(g))
        _loaded[path] = entry
        return entry[1], entry[2]


def _load_renumbered(path: str, how: str) -> tuple[Reordering, str]:
    """The graph in file `path` renumbered by `how`, and the digest of the graph as read."""
    g, digest = _load(path)
    with _load_lock:
        if (path, how) not in _renumbered:
            _renumbered[(path, how)] = reordering(g, how)
        return _renumbered[(path, how)], digest


def _probe(path: str) -> tuple[int, str]:
    """(vertex count, digest) of the graph file `path`, loaded on the worker running this."""
    g, digest = _load(path)
    return g.n, digest


def vertex_count(graph: Any, client: Any) -> int:
    """The vertex count of `graph`: of a graph file path as a worker of `client` reads it (and
    keeps it for the tasks that follow), else of the graph itself."""
    if isinstance(graph, (str, os.PathLike)):
        n, _ = client.submit(_probe, os.fspath(graph), pure=False).result()
        return int(n)
    return as_csr(graph).n


REUSED = "reused"  # a task's verdict on a block that was done and read back whole
NEVER_DONE = ""  # ... on a block computed for the first time
SHARED = "shared"  # ... on rows written into the client's shared arrays


class _Run(NamedTuple):
    """What every task of one run shares."""

    path: str | None  # the graph file, or None for a graph sent in memory
    digest: str  # of the graph file as first read ("" for a graph in memory)
    method: str
    seed: int
    reorder: str | None  # the renumbering a graph file is computed on
    store: str | None  # the Zarr store, or None
    store_format: int  # the digests of that store
    shared: tuple[str, str, int, int, int, int] | None  # host, path, device, inode, k, n of shared rows


def _run_block(graph: CsrGraph | Reordering | None, run: _Run, sources: np.ndarray, block: int, row0: int) -> Any:
    """Rows for `sources` (row0 onwards): written into the shared rows when this worker can reach
    them (SHARED), else returned; or, with a store, written there and block `block` marked done.
    With a store, returns REUSED when the block was done and reads back whole (nothing is
    computed), else what was wrong with it (NEVER_DONE, or the damage found)."""
    rows = slice(row0, row0 + len(sources))
    if run.store is not None:
        import zarr

        group: Any = zarr.open_group(run.store, mode="r+")  # arrays by name
        damage = _block_damage(group, block, rows, run.store_format)
        if damage is None:
            return REUSED
    if graph is None:
        assert run.path is not None  # a graph travels in memory or as its path
        graph, found = _load_renumbered(run.path, run.reorder) if run.reorder else _load(run.path)
        if found != run.digest:
            raise ValueError(f"graph file {run.path} on this worker differs from the one first read "
                             "(changed during the run, or not the same file on every machine)")
    if isinstance(graph, Reordering):
        dist, pred = graph.rows_back(*shortest_paths(graph.graph, graph.sources(sources), method=run.method,
                                                     seed=run.seed))
    else:
        dist, pred = shortest_paths(graph, sources, method=run.method, seed=run.seed)
    if run.store is None:
        return SHARED if run.shared is not None and _write_shared(run.shared, row0, dist, pred) else (dist, pred)
    # Write each chunk whatever it holds, rather than scan it for the fill value first.
    with zarr.config.set({"array.write_empty_chunks": True}):
        group["distances"][rows] = dist
        group["predecessors"][rows] = pred
        group["digests"][block] = np.frombuffer(_digest(dist, run.store_format) + _digest(pred, run.store_format),
                                                dtype=np.uint8)
        differ = [name for name, held in (("distances", dist), ("predecessors", pred))
                  if not _same_bits(group[name][rows], held)]
        if differ:
            raise OSError(f"{run.store}: block {block} did not read back as written ({', '.join(differ)})")
        group["done"][block] = 1
    return damage


def _same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(
        np.ascontiguousarray(a).view(np.uint8), np.ascontiguousarray(b).view(np.uint8))


def _write_shared(shared: tuple[str, str, int, int, int, int], row0: int, dist: np.ndarray, pred: np.ndarray) -> bool:
    """Writes rows row0 onwards into the client's shared rows; False when this worker cannot (on
    another machine, the file gone or not writable), and the client then writes them itself."""
    host, path, device, inode, k, n = shared
    if host != socket.gethostname():
        return False
    try:
        fd = os.open(path, os.O_RDWR)
    except OSError:
        return False
    try:
        st = os.fstat(fd)
        if (st.st_dev, st.st_ino) != (device, inode):
            return False
        _write_rows(fd, k, n, row0, dist, pred)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def _write_rows(fd: int, k: int, n: int, row0: int, dist: np.ndarray, pred: np.ndarray) -> None:
    """Rows row0 onwards into the file of k rows of n distances, then k rows of n predecessors."""
    for data, at in ((dist, row0 * n * 8), (pred, k * n * 8 + row0 * n * 4)):
        view = np.ascontiguousarray(data).data.cast("B")
        while view:
            written = os.pwrite(fd, view, at)
            view, at = view[written:], at + written


def _digest(rows: np.ndarray, store_format: int = STORE_FORMAT) -> bytes:
    """The digest of a block's array: XXH3-128, or blake2b in stores of format 2 (and of the sources)."""
    data = np.ascontiguousarray(rows).data.cast("B")
    if store_format == 2:
        return hashlib.blake2b(data, digest_size=DIGEST_BYTES).digest()
    import xxhash

    return bytes(xxhash.xxh3_128_digest(data))


def _block_damage(group: Any, block: int, rows: slice, store_format: int) -> str | None:
    """None when block `block` is marked done and its rows read back as their digests say;
    NEVER_DONE when it is not marked done; else what is wrong, in words."""
    try:
        if int(group["done"][block]) != 1:
            return NEVER_DONE
    except Exception:  # noqa: BLE001 - a flag chunk zarr cannot decode is a flag not set
        return NEVER_DONE
    return _rows_damage(group, block, rows, store_format)


def _rows_damage(group: Any, block: int, rows: slice, store_format: int) -> str | None:
    """None when the rows of block `block` read back as its recorded digests say, else what
    does not: a chunk missing (it reads back as the fill value), unreadable or altered."""
    last = rows.stop - 1
    where = f"block {block} (" + (f"row {last}" if last == rows.start else f"rows {rows.start}-{last}") + ")"
    try:
        recorded = np.asarray(group["digests"][block], dtype=np.uint8).tobytes()
    except Exception as exc:  # noqa: BLE001 - whatever zarr raises for a chunk it cannot decode
        return f"{where}: digest record unreadable ({type(exc).__name__})"
    if not any(recorded):
        return f"{where}: digest record missing"
    wrong = []
    for i, (name, fill) in enumerate((("distances", np.nan), ("predecessors", -1))):
        try:
            held = group[name][rows]
        except Exception as exc:  # noqa: BLE001 - a truncated or garbled chunk
            wrong.append(f"{name} chunk unreadable ({type(exc).__name__})")
            continue
        if _digest(held, store_format) != recorded[i * DIGEST_BYTES:(i + 1) * DIGEST_BYTES]:
            missing = np.isnan(held).all() if np.isnan(fill) else (held == fill).all()
            wrong.append(f"{name} chunk {'missing' if missing else 'altered'}")
    return f"{where}: {', '.join(wrong)}" if wrong else None


# --- the store --------------------------------------------------------------------------------


class StoreReport(NamedTuple):
    """What a run into a store did with its blocks."""

    blocks: int  # in the store
    reused: int  # done before and read back whole
    computed: int  # never done before
    recomputed: tuple[str, ...]  # done before but damaged since: what was wrong with each
    repaired: tuple[str, ...] = ()  # what else was found damaged and written again

    def __str__(self) -> str:
        text = f"{self.reused} of {self.blocks} blocks reused"
        if self.recomputed:
            text += f", {len(self.recomputed)} recomputed"
        if self.computed:
            text += f", {self.computed} computed"
        return text

    def damage(self, most: int = 5) -> str:
        """The damage found, in one line (the first `most` blocks); empty when none was."""
        shown = "; ".join(self.repaired + self.recomputed[:most])
        more = len(self.recomputed) - most
        return shown + (f"; and {more} more blocks" if more > 0 else "")


class StoreDamageWarning(UserWarning):
    """A resumed store held done blocks that no longer read back as written; they were computed
    again."""


def _store_path(out: str | os.PathLike[str]) -> str:
    text = os.fspath(out)
    return text if "://" in text else os.path.abspath(text)


def _identity(method: str, seed: int, n: int, digest: str, rows_per_task: int, sources: np.ndarray,
              reorder: str | None) -> dict[str, Any]:
    ident = {"format": STORE_FORMAT, "method": method, "seed": int(seed), "n": int(n), "graph": digest,
             "rows_per_task": int(rows_per_task), "sources": _digest(sources, 2).hex()}
    if reorder is not None:  # absent from the records of runs without one, and of older stores
        ident["reorder"] = reorder
    return ident


def _layout(k: int, n: int, rows: int) -> dict[str, tuple[tuple[int, ...], str, tuple[int, ...], Any]]:
    """Every array of a store: (shape, dtype, chunks, fill value)."""
    blocks = math.ceil(k / rows)
    row_chunks = (rows, max(n, 1))
    return {"distances": ((k, n), "float64", row_chunks, np.nan),
            "predecessors": ((k, n), "int32", row_chunks, -1),
            "sources": ((k,), "int64", (max(k, 1),), 0),
            "digests": ((blocks, 2 * DIGEST_BYTES), "uint8", (1, 2 * DIGEST_BYTES), 0),
            "done": ((blocks,), "uint8", (1,), 0)}


def _open_store(path: str, sources: np.ndarray, ident: dict[str, Any],
                rows_per_task_given: bool) -> tuple[int, int, bool, tuple[str, ...]]:
    """(rows per task, format, created, repaired): the store at `path` checked against this run
    (repaired: what was written again), or a new one."""
    import zarr
    from zarr.errors import GroupNotFoundError

    try:
        group: Any = zarr.open_group(path, mode="r+")  # arrays by name
    except GroupNotFoundError:
        if not (os.path.isdir(path) and not os.listdir(path)):
            raise ValueError(f"{path} exists and is not a Zarr group; choose another path") from None
        group = None  # an empty directory made for the store
    except FileNotFoundError:
        group = None
    except Exception as exc:  # noqa: BLE001 - a group record zarr cannot read
        raise ValueError(f"{path}: its group record is damaged ({type(exc).__name__}); "
                         "remove it or choose another path") from None
    if group is not None:
        rows, store_format = _check_store(path, group, sources, ident, rows_per_task_given)
        return rows, store_format, False, _repair_sources(group, sources)
    try:
        group = zarr.open_group(path, mode="w-")
    except FileExistsError:
        raise ValueError(f"{path} was created by someone else meanwhile; choose another path") from None
    k, n, rows = len(sources), ident["n"], ident["rows_per_task"]
    for name, (shape, dtype, chunks, fill) in _layout(k, n, rows).items():
        group.create_array(name, shape=shape, dtype=dtype, chunks=chunks, fill_value=fill, compressors=None)
    if k:
        group["sources"][:] = sources
    group.attrs[STORE_ATTR] = ident  # written last: a store without it was never finished
    return rows, STORE_FORMAT, True, ()


def _check_store(path: str, group: Any, sources: np.ndarray, ident: dict[str, Any],
                 rows_per_task_given: bool) -> tuple[int, int]:
    """(rows per task, format) of a store that holds this run's result, else ValueError."""
    held = group.attrs.get(STORE_ATTR)
    if isinstance(held, dict) and held.get("format") == 1:
        raise ValueError(f"{path} was made by an earlier quillharbour, whose blocks carry no digests "
                         "and cannot be verified; remove it or choose another path")
    if not isinstance(held, dict) or held.get("format") not in (2, STORE_FORMAT):
        raise ValueError(f"{path} is not a quillharbour result store (or its creation was "
                         "interrupted); remove it or choose another path")
    differ = [key for key in ("method", "seed", "n", "graph", "reorder")
              if held.get(key) != ident.get(key)]
    if rows_per_task_given and held.get("rows_per_task") != ident["rows_per_task"]:
        differ.append("rows_per_task")
    if differ or held.get("sources") != ident["sources"]:
        detail = ", ".join(f"{key} {held.get(key)!r} (now {ident.get(key)!r})" for key in differ)
        if held.get("sources") != ident["sources"]:
            detail = ", ".join(filter(None, [detail, "other sources"]))
        raise ValueError(f"{path} holds a result made with other arguments: {detail}; "
                         "remove it or choose another path")
    rows = held.get("rows_per_task")
    if not isinstance(rows, int) or rows < 1:
        raise ValueError(f"{path}: its record is damaged (rows_per_task {rows!r}); remove it or choose another path")
    for name, (shape, dtype, chunks, _) in _layout(len(sources), ident["n"], rows).items():
        try:
            array = group[name]
            whole = array.shape == shape and array.dtype == np.dtype(dtype) and array.chunks == chunks
        except Exception:  # noqa: BLE001 - an array record missing, or one zarr cannot read
            whole = False
        if not whole:
            raise ValueError(f"{path}: array '{name}' is missing or damaged, so no block of the store "
                             "can be trusted; remove it or choose another path")
    return rows, held["format"]


def _repair_sources(group: Any, sources: np.ndarray) -> tuple[str, ...]:
    """Writes the sources again when the store's copy no longer reads back as the caller's (whose
    digest the store's record holds): ("sources array written again",) then, else ()."""
    try:
        whole = np.array_equal(group["sources"][:], sources)
    except Exception:  # noqa: BLE001 - a truncated or garbled chunk
        whole = False
    if whole or not len(sources):
        return ()
    group["sources"][:] = sources
    return ("sources array written again",)


# --- the run ----------------------------------------------------------------------------------


def _default_rows(k: int, n: int, threads: int) -> int:
    cap = max(1, BLOCK_BYTES // max(1, ROW_BYTES_PER_VERTEX * n))
    return max(1, min(cap, math.ceil(k / (BLOCKS_PER_THREAD * max(threads, 1)))))


_main_lock = threading.Lock()
_main_hidden = 0  # embedded clusters alive
_main_saved: dict[str, Any] = {}


@contextlib.contextmanager
def _workers_skip_main() -> Iterator[None]:
    """While it lasts, new processes started by multiprocessing's spawn (the embedded
    cluster's workers, and those its nannies start again after a worker died) do not run the
    caller's main module first, as spawn otherwise does so that pickled functions of that
    module can be found. The tasks need only this package; and a script without an
    ``if __name__ == "__main__":`` guard would be run again in every worker and start a
    cluster there, while one read from stdin cannot be run again at all."""
    global _main_hidden
    main = sys.modules.get("__main__")
    with _main_lock:
        if _main_hidden == 0 and main is not None:
            _main_saved.clear()
            _main_saved.update({key: vars(main)[key] for key in ("__file__", "__spec__") if key in vars(main)})
            vars(main).pop("__file__", None)
            main.__spec__ = None
        _main_hidden += 1
    try:
        yield
    finally:
        with _main_lock:
            _main_hidden -= 1
            if _main_hidden == 0 and main is not None:
                vars(main).update(_main_saved)


@contextlib.contextmanager
def local_client() -> Iterator[Any]:
    """A LocalCluster of one single-threaded worker process per CPU, and its client; both
    closed when the block ends."""
    from distributed import Client, LocalCluster

    workers = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    # Task errors reach the caller as exceptions, so the workers' own reports of them would
    # only repeat them; ":0" keeps the HTTP endpoint off a port another cluster may hold.
    with _workers_skip_main(), \
            LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                         silence_logs=logging.CRITICAL, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster, direct_to_workers=True) as client:
        yield client


def multisource(graph: GraphLike | str | os.PathLike[str], sources: npt.ArrayLike, *, method: str = "dijkstra",
                seed: int = 0, client: Any = None, out: str | os.PathLike[str] | None = None,
                reorder: str | Reordering | None = None,
                rows_per_task: int | None = None, progress: bool | None = None,
                report: Callable[[StoreReport], None] | None = None) -> Any:
    """Shortest paths from every vertex in `sources`, computed in blocks of rows on a Dask cluster.

    `graph` is anything :func:`quillharbour.shortest_paths` accepts (sent to each worker once)
    or the path of a graph file (loaded by each worker). `method` and `seed` are those of
    :func:`quillharbour.shortest_paths`. `client` is a ``dask.distributed.Client``; with None
    a local cluster of worker processes is started for the call and closed after it (from a
    script with or without an ``if __name__ == "__main__":`` guard).
    `rows_per_task` is the number of rows per task and per chunk of the store (default: about
    eight blocks per worker thread, and at most 64 MiB per block). `progress` draws a bar
    over the blocks on stderr (None, the default: only when stderr is a terminal, never into a
    pipe or a log).

    `reorder` ("rcm", "bfs" or a :class:`~quillharbour.reorder.Reordering` of this graph)
    computes the rows on the graph renumbered for locality and maps them back in the tasks:
    the same distances bit for bit, predecessors tight and the same wherever one arc alone
    gives a vertex its distance.

    With ``out=None`` returns ``(distances, predecessors)`` as ``(k, n)`` arrays, row i equal to
    the native multi-source entries' row for ``sources[i]``, or raises MemoryError before any
    work when this process could never hold them. Workers on this machine write their rows
    straight into the arrays (shared memory under /dev/shm, when it has room); the rows of
    others come through the scheduler unless the client was made with
    ``direct_to_workers=True`` (faster for large results, when the client can reach the
    workers). With `out` a path, writes the rows into a Zarr store there
    (see the module notes) and returns the group opened read-only; calling again with the same
    arguments computes only the blocks still missing or damaged, and a store made with other
    arguments, or whose layout is damaged, raises ValueError. `report`, when given, receives a
    :class:`StoreReport` of what was reused and computed; without it, damaged blocks computed
    again are told by a :class:`StoreDamageWarning`. Bad sources raise IndexError before
    anything runs; errors of the computation (bad weights) are raised as the engine raises
    them, and a store this call created is then removed if no block of it was written.
    """
    (distributed,) = require("distributed")
    if out is not None:
        require("zarr", "xxhash")
    entry, variant = resolve_method(method)
    method_name = entry if variant is None else variant
    srcs = as_sources(sources)
    if rows_per_task is not None:
        if isinstance(rows_per_task, bool) or not isinstance(rows_per_task, (int, np.integer)) \
                or rows_per_task < 1:
            raise ValueError(f"rows_per_task must be a positive integer (got {rows_per_task!r})")
        rows_per_task = int(rows_per_task)
    seed = operator.index(seed)
    how = None if reorder is None else reordering_name(reorder)
    path, g, sent = None, None, None
    if isinstance(graph, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(graph))  # the workers read it: it need not exist here
    else:
        g = as_csr(graph)
        sent = g if reorder is None else as_reordering(reorder, g)

    with contextlib.ExitStack() as stack:
        if client is None:
            client = stack.enter_context(local_client())
        result, summary = _multisource(distributed, client, g, sent, path, srcs, method_name, seed, how, out,
                                       rows_per_task, progress)
    if summary is not None:
        if report is not None:
            report(summary)
        elif summary.damage():
            warnings.warn(f"{out}: {summary}: {summary.damage()}", StoreDamageWarning, stacklevel=2)
    return result


def _multisource(distributed: Any, client: Any, g: CsrGraph | None, sent: CsrGraph | Reordering | None,
                 path: str | None, srcs: np.ndarray, method: str, seed: int, how: str | None, out: Any,
                 rows_per_task: int | None, progress: bool | None) -> tuple[Any, StoreReport | None]:
    """(result, StoreReport or None) of one run on `client`: of the graph `g` sent to the workers
    as `sent` (itself, or renumbered by `how`), or of the graph file `path`."""
    if g is None:
        n, digest = client.submit(_probe, path, pure=False).result()
    else:
        n, digest = g.n, "" if out is None else graph_digest(g)  # the digest names a store's graph
    bad = srcs[(srcs < 0) | (srcs >= n)]
    if len(bad):
        raise IndexError(f"source {int(bad[0])} is out of range for graph with {n} vertices")
    k = len(srcs)
    rows = rows_per_task or _default_rows(k, n, sum(client.nthreads().values()))
    run = _Run(path, digest if g is None else "", method, seed, how, None, STORE_FORMAT, None)
    blocks = _Blocks(distributed, client, sent, srcs, progress)

    if out is None:
        check_rows_room(k, n)
        with _SharedRows.make(k, n) as shared:
            if shared is None:
                dist, pred = empty_rows(k, n)

            def collect(b: int, result: tuple[FloatArray, IdArray] | str) -> None:
                if isinstance(result, str):  # SHARED: the worker wrote them
                    return
                if shared is not None:
                    shared.write(b * rows, *result)
                else:
                    dist[b * rows:(b + 1) * rows], pred[b * rows:(b + 1) * rows] = result

            blocks.run(range(math.ceil(k / rows)), rows,
                       run._replace(shared=None if shared is None else shared.spec), collect)
            if shared is not None:
                dist, pred = shared.arrays()
        return (dist, pred), None

    import zarr

    store = _store_path(out)
    rows, store_format, created, repaired = _open_store(
        store, srcs, _identity(method, seed, n, digest, rows, srcs, how), rows_per_task is not None)
    verdicts: dict[int, str] = {}
    try:
        blocks.run(range(math.ceil(k / rows)), rows, run._replace(store=store, store_format=store_format),
                   verdicts.__setitem__)
    except BaseException:
        # A store this call made and never wrote a block into would only refuse the corrected
        # call (other graph or sources) that should follow a failure such as a bad weight.
        if created and blocks.finished == 0 and "://" not in store:
            import shutil

            shutil.rmtree(store, ignore_errors=True)
        raise
    found = [verdicts[b] for b in sorted(verdicts)]
    summary = StoreReport(blocks=len(found), reused=found.count(REUSED), computed=found.count(NEVER_DONE),
                          recomputed=tuple(v for v in found if v not in (REUSED, NEVER_DONE)), repaired=repaired)
    return zarr.open_group(store, mode="r"), summary


class _SharedRows:
    """The (k, n) distances and predecessors of a run in a file of /dev/shm, its pages reserved
    up front (so that no write can find the file system full), which workers on this machine
    write into (_write_rows) and the client maps once every block is in. The file is removed
    when the run is over; the mapping lives on in the arrays."""

    def __init__(self, k: int, n: int) -> None:
        self.fd, self.path = tempfile.mkstemp(prefix="quillharbour-rows-", dir=SHARED_DIR)
        self.k, self.n = k, n
        try:
            os.ftruncate(self.fd, 12 * k * n)
            os.posix_fallocate(self.fd, 0, 12 * k * n)
            st = os.fstat(self.fd)
        except BaseException:
            self.close()
            raise
        self.spec = (socket.gethostname(), self.path, st.st_dev, st.st_ino, k, n)

    def write(self, row0: int, dist: np.ndarray, pred: np.ndarray) -> None:
        """Rows row0 onwards, from this process (the blocks of workers that could not write them)."""
        _write_rows(self.fd, self.k, self.n, row0, dist, pred)

    def arrays(self) -> tuple[FloatArray, IdArray]:
        """The rows, mapped with their page tables filled at once (a first touch of each page
        costs more than the kernel's filling them all)."""
        memory = mmap.mmap(self.fd, 12 * self.k * self.n, flags=mmap.MAP_SHARED | mmap.MAP_POPULATE)
        size = self.k * self.n
        return (np.frombuffer(memory, dtype=np.float64, count=size).reshape(self.k, self.n),
                np.frombuffer(memory, dtype=np.int32, count=size, offset=8 * size).reshape(self.k, self.n))

    def close(self) -> None:
        os.close(self.fd)
        with contextlib.suppress(OSError):
            os.unlink(self.path)

    @classmethod
    @contextlib.contextmanager
    def make(cls, k: int, n: int) -> Iterator[_SharedRows | None]:
        """Shared rows for the run, or None where /dev/shm is missing or has no room for them."""
        shared = None
        try:
            room = os.statvfs(SHARED_DIR)
            if 0 < 12 * k * n <= room.f_bavail * room.f_frsize // 2 and hasattr(mmap, "MAP_POPULATE"):
                shared = cls(k, n)
        except OSError:
            pass
        try:
            yield shared
        finally:
            if shared is not None:
                shared.close()


class _Blocks:
    """Submits blocks of rows as tasks and gathers them as they finish."""

    def __init__(self, distributed: Any, client: Any, sent: CsrGraph | Reordering | None,
                 srcs: npt.NDArray[np.int64], progress: bool | None) -> None:
        self.distributed, self.client = distributed, client
        self.sent, self.srcs, self.progress = sent, srcs, progress
        self.finished = 0

    def run(self, todo: Iterable[int], rows: int, run: _Run, collect: Callable[[int, Any], None]) -> None:
        """Run blocks `todo` of `rows` rows; pass each block's result (its rows or SHARED, or with a
        store its verdict) to `collect`."""
        from concurrent.futures import CancelledError

        pending = sorted(todo)
        if not pending:
            return
        bar = _progress_bar(len(pending), self.progress)
        try:
            for _ in range(SCATTER_ATTEMPTS):
                graph_lost = self._round(pending, rows, run, collect, bar)
                if not graph_lost:
                    return
            raise CancelledError(f"the graph sent to the workers was lost {SCATTER_ATTEMPTS} times "
                                 "(every worker holding it died)")
        finally:
            if bar is not None:
                bar.close()

    def _round(self, pending: list[int], rows: int, run: _Run, collect: Callable[[int, Any], None],
               bar: Any) -> bool:
        """Submit `pending` blocks and gather them, removing each from `pending` once done.

        Returns True when the in-memory graph was lost with the workers that held it (its
        dependent tasks are then cancelled by the scheduler; scatter again and resubmit)."""
        from concurrent.futures import CancelledError

        client = self.client
        graph_ref = None
        if self.sent is not None:
            # One copy per worker now, instead of one per task later. A list, so that the
            # graph (a tuple) is scattered as one object rather than item by item.
            [graph_ref] = client.scatter([self.sent], broadcast=True, hash=False)
        futures = {}
        for b in pending:
            r0 = b * rows
            fut = client.submit(_run_block, graph_ref, run, self.srcs[r0:r0 + rows], b, r0, pure=False,
                                priority=-b)
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


def _progress_bar(total: int, enabled: bool | None) -> Any:
    """A bar over `total` blocks on stderr when `enabled` (None: when stderr is a terminal)."""
    if not (sys.stderr.isatty() if enabled is None else enabled):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="block", file=sys.stderr, dynamic_ncols=True, leave=False)
