"""The keyword options of :func:`quillharbour.shortest_paths` for methods without a native form.

Dijkstra takes every option natively (quillharbour._search); BMSSP takes a limit. For the rest
the graph is transformed, the method runs on it as it is, and the result is read back, so that
every method returns Dijkstra's distances under every option:

- ``directed=False``: the graph with every arc also reversed, each vertex's out-arcs first and
  then its reversed in-arcs (the layout of Dijkstra's undirected search);
- ``min_only``: one run from a virtual vertex n with a zero-weight arc to each source in the
  given order; a vertex's source is the root of its predecessor chain, and a source is its own;
- ``limit``: BMSSP's bounded outermost call; a research variant runs to completion and the
  vertices beyond the limit are reported unreached (+inf, -1);
- ``targets``: checked as Dijkstra checks them; the run does not stop early, so every vertex is
  exact (Dijkstra leaves vertices settled after the last target at an upper bound);
- ``return_predecessors=False``: the predecessors are left out of the result.

Predecessors are tight for every method (each one lies on a shortest path) but may differ
between methods where several paths are equally short.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _quillharbour as _native
from . import _search, configs
from .graph import INDEX_MAX, CsrGraph, _grouped

FloatArray = npt.NDArray[np.float64]
IdArray = npt.NDArray[np.int32]


def checked_limit(limit: Any) -> float | None:
    """`limit` as a float, refused as the native searches refuse it."""
    if limit is None:
        return None
    if isinstance(limit, (str, bytes)) or not (hasattr(limit, "__float__") or hasattr(limit, "__index__")):
        raise TypeError(f"argument 'limit': must be real number, not {type(limit).__name__}")
    value = float(limit)
    if not value >= 0:
        raise ValueError("limit must be >= 0")
    return value


def check_ids(ids: npt.NDArray[np.int64], n: int, what: str) -> None:
    """IndexError for the first id outside [0, n), in the native searches' words."""
    bad = np.flatnonzero((ids < 0) | (ids >= n))
    if len(bad):
        raise IndexError(f"{what} {ids[bad[0]]} is out of range for graph with {n} vertices")


def undirected(g: CsrGraph) -> CsrGraph:
    """`g` with every arc also reversed: each vertex's out-arcs, then its reversed in-arcs."""
    tails = g.tails()
    heads = g.indices.astype(np.int64)
    return _grouped(g.n, np.concatenate((tails, heads)), np.concatenate((heads, tails)),
                    np.concatenate((g.weights, g.weights)))


def with_super_source(g: CsrGraph, sources: npt.NDArray[np.int64]) -> CsrGraph:
    """`g` and a vertex n with a zero-weight arc to each of `sources`, in order."""
    if g.n + 1 > INDEX_MAX:
        raise ValueError("min_only needs one more vertex than the graph has room for in int32 ids")
    indptr = np.concatenate((g.indptr, [g.m + len(sources)])).astype(np.int64)
    indices = np.concatenate((g.indices, sources.astype(np.int32)))
    weights = np.concatenate((g.weights, np.zeros(len(sources))))
    return CsrGraph(indptr, indices, weights)


def check_rows_room(k: int, n: int) -> None:
    """MemoryError when this process can never hold the distances and predecessors of `k` rows
    of `n` vertices (with memory overcommitted their allocation would succeed and the process
    be killed as the rows fill)."""
    _search.check_room(k * n * 12, f"the results of {k} sources x {n} vertices (12 bytes per source and vertex)")


def empty_rows(k: int, n: int) -> tuple[FloatArray, IdArray]:
    """Distances and predecessors for `k` rows of `n` vertices, to be filled; MemoryError, before
    anything is allocated, when this process can never hold them."""
    check_rows_room(k, n)
    return np.empty((k, n), dtype=np.float64), np.empty((k, n), dtype=np.int32)


def run_recursion(g: CsrGraph, entry: str, name: str, source: int, seed: int) -> tuple[FloatArray, IdArray]:
    """One run from `source` of the variant or spec `name` (entry "variant" or "config")."""
    if entry == "config":
        return configs.run(g, name, source, seed)
    return _native.bmssp_variant(g.indptr, g.indices, g.weights, source, name, seed)


def _one(g: CsrGraph, entry: str, variant: str | None, source: int, seed: int,
         limit: float | None) -> tuple[FloatArray, IdArray]:
    """One run of a method other than Dijkstra from `source`, within `limit`."""
    if entry == "bmssp":
        return _search.bmssp_search(g.indptr, g.indices, g.weights, source, seed, limit)
    dist, pred = run_recursion(g, entry, str(variant), source, seed)
    if limit is not None:
        beyond = dist > limit
        dist[beyond] = np.inf
        pred[beyond] = -1
    return dist, pred


def _rows(g: CsrGraph, entry: str, variant: str | None, sources: npt.NDArray[np.int64], seed: int,
          limit: float | None) -> tuple[FloatArray, IdArray]:
    if entry == "bmssp" and limit is None:
        dist, pred = _native.bmssp_multisource(g.indptr, g.indices, g.weights, sources, seed)
        return dist.reshape(len(sources), g.n), pred.reshape(len(sources), g.n)
    dist, pred = empty_rows(len(sources), g.n)
    for i, s in enumerate(sources.tolist()):
        dist[i], pred[i] = _one(g, entry, variant, s, seed, limit)
    return dist, pred


def _roots(pred: IdArray, reached: npt.NDArray[np.bool_]) -> IdArray:
    """The root of every vertex's predecessor chain (-1 where unreached), by pointer jumping."""
    up = np.where(pred >= 0, pred, np.arange(len(pred))).astype(np.int64)
    for _ in range(max(len(pred), 1).bit_length() + 1):  # chains halve each round
        nxt = up[up]
        if np.array_equal(nxt, up):
            return np.where(reached, up, -1).astype(np.int32)
        up = nxt
    raise RuntimeError("the predecessors contain a cycle")


def nearest(g: CsrGraph, entry: str, variant: str | None, sources: npt.NDArray[np.int64], seed: int,
            limit: float | None) -> tuple[FloatArray, IdArray, IdArray]:
    """min_only for a method other than Dijkstra: (distances, predecessors, sources_of)."""
    n = g.n
    dist, pred = _one(with_super_source(g, sources), entry, variant, n, seed, limit)
    dist, pred = dist[:n].copy(), pred[:n].copy()
    pred[pred == n] = -1
    pred[sources] = -1  # a source is its own, even where another reaches it at distance 0
    return dist, pred, _roots(pred, np.isfinite(dist))


def run(g: CsrGraph, entry: str, variant: str | None, sources: Any, seed: int, *, limit: Any,
        targets: npt.NDArray[np.int64] | None, min_only: bool, directed: bool,
        return_predecessors: bool) -> Any:
    """shortest_paths for BMSSP or a variant under any keyword options (see the module)."""
    single = np.ndim(sources) == 0
    ids = np.array([operator.index(sources)], dtype=np.int64) if single else sources
    check_ids(ids, g.n, "source")
    if targets is not None:
        check_ids(targets, g.n, "target")
    bound = checked_limit(limit)
    if not directed:
        g = undirected(g)
    out: tuple[Any, ...]
    if min_only:
        dist, pred, sources_of = nearest(g, entry, variant, ids, seed, bound)
        out = (dist, pred, sources_of) if return_predecessors else (dist, sources_of)
    elif single:
        dist, pred = _one(g, entry, variant, int(ids[0]), seed, bound)
        out = (dist, pred) if return_predecessors else (dist,)
    else:
        rows = _rows(g, entry, variant, ids, seed, bound)
        out = rows if return_predecessors else rows[:1]
    return out[0] if len(out) == 1 else out
