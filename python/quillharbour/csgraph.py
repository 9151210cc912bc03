"""scipy.sparse.csgraph's ``dijkstra`` and ``shortest_path``, run by quillharbour's engines.

A scipy user changes one import and keeps the code::

    from quillharbour.csgraph import dijkstra, shortest_path   # was: from scipy.sparse.csgraph

Both take scipy's arguments with scipy's meaning and return scipy's shapes, dtypes and sentinels:

- `csgraph`: any scipy.sparse matrix or array (its ``tocsr()`` form, so a CSR input's duplicate
  entries are parallel arcs and a COO input's are summed, as in scipy; explicit zeros are
  zero-weight arcs), a masked array (unmasked entries are arcs), or a dense array or nested
  list (0, NaN and infinite entries are no arcs); also a :class:`~quillharbour.graph.CsrGraph`.
  Arcs of weight NaN or +inf in a sparse or masked graph are never part of a path, as in scipy.
- `directed=False`: every arc may also be travelled backwards.
- `indices`: None for every vertex, an int (negative ones count from the end, as in scipy), or
  an array-like of any shape S, giving results of shape S + (N,); converted as scipy converts
  it (to int32, so 1.7 is 1). An index outside [-N, N) raises ValueError.
- `unweighted`: every arc weighs 1. `limit`: vertices farther than it are unreached (>= 0).
- `min_only`: one search from all `indices` together; returns the distance to the nearest,
  and with `return_predecessors` also the predecessors and the source of each vertex.
- Distances are float64 (+inf where unreached); predecessors and sources are int32, -9999 for
  "none" (a source's predecessor, an unreached vertex).

The one keyword scipy does not have, `engine`, chooses the search: "dijkstra" (the default),
"bmssp", or a research variant (see :data:`quillharbour.METHODS`). Every engine returns
Dijkstra's distances bit for bit; predecessors are tight for every engine but may differ
between engines, and from scipy's, where several paths are equally short.

Where this front differs from scipy it refuses instead of guessing: negative weights raise
ValueError (scipy's Dijkstra only warns, and its answer is then wrong or it never returns);
a NaN limit raises ValueError (scipy reaches nothing); complex weights raise TypeError (scipy
drops the imaginary part with a warning); ``shortest_path`` runs the Dijkstra family only, so
methods 'FW', 'BF' and 'J' raise ValueError naming scipy's functions for them.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .api import resolve_method, shortest_paths
from .graph import CsrGraph, _is_scipy_sparse, from_dense, from_masked
from .options import checked_limit

__all__ = ["NULL", "dijkstra", "shortest_path"]

NULL = -9999  # scipy's "no vertex"
SCIPY_METHODS = ("auto", "FW", "D", "BF", "J")


def _read(csgraph: Any) -> CsrGraph:
    """The graph as scipy.sparse.csgraph reads it."""
    if isinstance(csgraph, CsrGraph):
        return csgraph
    if _is_scipy_sparse(csgraph):
        if csgraph.ndim != 2 or csgraph.shape[0] != csgraph.shape[1]:
            raise ValueError(f"a graph's matrix must be square (got shape {csgraph.shape})")
        if csgraph.dtype.kind == "c":
            raise TypeError("complex weights are not supported")
        csr = csgraph.tocsr()
        return CsrGraph(csr.indptr.astype(np.int64), csr.indices.astype(np.int32),
                        csr.data.astype(np.float64))
    if np.ma.isMaskedArray(csgraph):
        return from_masked(csgraph)
    return from_dense(csgraph)


def _weighted(g: CsrGraph, unweighted: bool) -> CsrGraph:
    """Unit weights, or the weights without the arcs no path uses (NaN, +inf); negative ones refused."""
    if unweighted:
        return CsrGraph(g.indptr, g.indices, np.ones(g.m))
    if (g.weights < 0).any():
        raise ValueError("negative weights: quillharbour.csgraph runs Dijkstra and BMSSP, which need weights "
                         ">= 0; scipy.sparse.csgraph.bellman_ford and johnson take negative weights")
    usable = np.isfinite(g.weights)
    if usable.all():
        return g
    rows = np.repeat(np.arange(g.n), np.diff(g.indptr))[usable]
    indptr = np.zeros(g.n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=g.n), out=indptr[1:])
    return CsrGraph(indptr, g.indices[usable], g.weights[usable])


def _indices(indices: Any, n: int) -> npt.NDArray[np.int32]:
    """scipy's reading of `indices`: all vertices for None, else int32, negative ones from the end."""
    if indices is None:
        return np.arange(n, dtype=np.int32)
    ids = np.array(indices, order="C", dtype=np.int32, copy=True)
    ids[ids < 0] += n
    if ids.size and (ids.min() < 0 or ids.max() >= n):
        raise ValueError("indices out of range 0...N")
    return ids


def _null(ids: npt.NDArray[np.int32]) -> npt.NDArray[np.int32]:
    ids[ids < 0] = NULL
    return ids


def dijkstra(csgraph: Any, directed: bool = True, indices: Any = None, return_predecessors: bool = False,
             unweighted: bool = False, limit: float = np.inf, min_only: bool = False, *,
             engine: str = "dijkstra") -> Any:
    """Shortest paths from `indices` in `csgraph`, as scipy.sparse.csgraph.dijkstra computes them.

    Arguments, results and errors are scipy's (see the module); `engine` chooses the search
    ("dijkstra", "bmssp" or a research variant), which returns Dijkstra's distances bit for bit
    and tight predecessors that may differ between engines where paths tie.
    """
    resolve_method(engine)  # an unknown engine is refused before anything is read
    if limit is None:  # scipy's limit is a number; None is no "no limit"
        raise TypeError("argument 'limit': must be real number, not NoneType")
    bound = checked_limit(limit)
    g = _weighted(_read(csgraph), bool(unweighted))
    ids = _indices(indices, g.n)
    options: dict[str, Any] = {"method": engine, "directed": bool(directed),
                               "limit": None if bound is None or bound == np.inf else bound,
                               "return_predecessors": bool(return_predecessors)}
    if min_only:
        out = shortest_paths(g, ids.ravel(), min_only=True, **options)
        if not return_predecessors:
            return out[0]
        dist, pred, sources = out
        return dist, _null(pred), _null(sources)
    out = shortest_paths(g, ids.reshape(-1), **options)
    rows = out if return_predecessors else (out,)
    shaped = [a.reshape(ids.shape + (g.n,)) for a in rows]
    if not return_predecessors:
        return shaped[0]
    return shaped[0], _null(shaped[1])


def shortest_path(csgraph: Any, method: str = "auto", directed: bool = True, return_predecessors: bool = False,
                  unweighted: bool = False, overwrite: bool = False, indices: Any = None, *,
                  engine: str = "dijkstra") -> Any:
    """scipy.sparse.csgraph.shortest_path for method 'auto' or 'D': :func:`dijkstra` on `csgraph`.

    `overwrite` applies to scipy's Floyd-Warshall only and is accepted and ignored. Methods 'FW',
    'BF' and 'J' raise ValueError: this front runs the Dijkstra family (`engine`) only.
    """
    if method not in SCIPY_METHODS:
        raise ValueError(f"unrecognized method {method!r}")
    if method != "auto" and method != "D":
        raise ValueError(f"method {method!r} is not offered by quillharbour.csgraph, which runs Dijkstra-family "
                         "searches ('auto' or 'D'); use scipy.sparse.csgraph for 'FW', 'BF' and 'J'")
    return dijkstra(csgraph, directed, indices, return_predecessors, unweighted, engine=engine)
