"""The friendly layer over the native functions, in the conventions of scipy.sparse.csgraph.

:func:`shortest_paths` takes any graph :func:`~quillharbour.graph.as_csr` reads (scipy.sparse,
dense and masked matrices, ``(indptr, indices, weights)`` tuples), one source or many, and a
method name, and dispatches to the matching native entry: the multi-source entries for several
sources of "dijkstra" and "bmssp", and one call per source for the research variants, which
have no multi-source entry. Its keyword options (limit, targets, min_only, directed,
return_predecessors) go to the searches of the second native module, quillharbour._search, for
Dijkstra, and through the graph transforms of :mod:`quillharbour.options` for every other
method. :func:`reconstruct_path` walks a
predecessor array back to the source. :func:`from_networkx` and :func:`to_networkx` convert
graphs, importing networkx only when called.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterable
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _quillharbour as _native
from . import _search, configs, options
from .graph import CsrGraph, GraphLike, as_csr, from_edges
from .reorder import Reordering, as_reordering

__all__ = [
    "VARIANTS",
    "METHODS",
    "shortest_paths",
    "reconstruct_path",
    "from_networkx",
    "to_networkx",
    "resolve_method",
    "as_sources",
    "dijkstra_multisource",
    "bmssp_multisource",
]

VARIANTS: tuple[str, ...] = _search.VARIANTS  # the native core's list, in its order
METHODS = ("dijkstra", "bmssp") + VARIANTS


def resolve_method(method: str) -> tuple[str, str | None]:
    """(entry, variant) for a method name: ("dijkstra", None), ("bmssp", None),
    ("variant", name) or ("config", spec). Variant names may carry the "bmssp-" label
    prefix; names of the family hybrid:A:B are passed on as they are; a spec
    "bmssp:KEY=VALUE:..." (:mod:`quillharbour.configs`) is checked here. Raises TypeError
    for a non-str, ValueError for an unknown name or a malformed spec."""
    if not isinstance(method, str):
        raise TypeError(f"method must be a str (got {type(method).__name__})")
    if method in ("dijkstra", "bmssp"):
        return method, None
    if configs.is_spec(method):
        configs.parse(method)
        return "config", method
    name = method.removeprefix("bmssp-")
    if name in VARIANTS or name.startswith("hybrid:"):
        return "variant", name
    raise ValueError(
        f"unknown method {method!r}; known: {', '.join(METHODS)}, hybrid:A:B, or a spec bmssp:KEY=VALUE:..."
    )


def _rows(flat: tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]], k: int,
          n: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    dist, pred = flat
    return dist.reshape(k, n), pred.reshape(k, n)


def _reordered(entry: Callable[..., Any], graph: tuple[Any, Any, Any], sources: npt.NDArray[np.int64],
               reorder: str | Reordering | None,
               *rest: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """`entry`'s (k, n) rows, computed on the graph renumbered by `reorder` when given and mapped
    back to the caller's ids."""
    if reorder is None:
        return _rows(entry(*graph, sources, *rest), len(sources), len(graph[0]) - 1)
    return reordered_rows(entry, as_reordering(reorder, CsrGraph(*graph)), sources, *rest)


def reordered_rows(entry: Callable[..., Any], r: Reordering, sources: npt.NDArray[np.int64],
                   *rest: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """`entry`'s (k, n) rows on the renumbered graph of `r`, mapped back to the caller's ids;
    `r` is trusted to fit the caller's graph (as_reordering checks that)."""
    rows = _rows(entry(*r.graph, r.sources(np.asarray(sources)), *rest), len(sources), r.n)
    return r.rows_back(*rows)


def dijkstra_multisource(
    indptr: npt.NDArray[np.int64], indices: npt.NDArray[np.int32], weights: npt.NDArray[np.float64],
    sources: npt.NDArray[np.int64], reorder: str | Reordering | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """Dijkstra from every vertex in ``sources`` (int64, 1-D), in parallel.

    Returns ``(distances, predecessors)`` of shape ``(k, n)``; row ``i`` is
    bit-identical to ``dijkstra(indptr, indices, weights, sources[i])``. Raises as
    ``dijkstra`` does, naming the first bad source.

    `reorder` ("rcm", "bfs", or a :class:`~quillharbour.reorder.Reordering` made once for
    this graph) runs the rows on the graph renumbered for locality and maps them back: the
    same distances bit for bit, predecessors tight and the same wherever one arc alone
    gives a vertex its distance (:mod:`quillharbour.reorder`).
    """
    return _reordered(_native.dijkstra_multisource, (indptr, indices, weights), sources, reorder)


def bmssp_multisource(
    indptr: npt.NDArray[np.int64], indices: npt.NDArray[np.int32], weights: npt.NDArray[np.float64],
    sources: npt.NDArray[np.int64], seed: int = 0, reorder: str | Reordering | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """BMSSP from every vertex in ``sources`` (int64, 1-D), in parallel.

    Returns ``(distances, predecessors)`` of shape ``(k, n)``; row ``i`` equals
    ``bmssp(indptr, indices, weights, sources[i], seed)``. Raises as ``bmssp`` does.
    `reorder` as for :func:`dijkstra_multisource`.
    """
    return _reordered(_native.bmssp_multisource, (indptr, indices, weights), sources, reorder, seed)


def _one_source(g: CsrGraph, entry: str, variant: str | None, source: int,
                seed: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    if entry == "dijkstra":
        return _native.dijkstra(g.indptr, g.indices, g.weights, source)
    if entry == "bmssp":
        return _native.bmssp(g.indptr, g.indices, g.weights, source, seed)
    return options.run_recursion(g, entry, str(variant), source, seed)


def as_sources(sources: npt.ArrayLike) -> npt.NDArray[np.int64]:
    """Any array-like of sources, flattened in C order as scipy's `indices` are."""
    arr = np.asarray(sources)
    return _int64_ids(arr.reshape(-1), f"sources must hold integers (got dtype {arr.dtype})",
                      "sources: a source does not fit in a signed 64-bit integer")


def _int64_ids(arr: np.ndarray, not_integers: str, too_large: str) -> npt.NDArray[np.int64]:
    """A flat array of ids as contiguous int64: TypeError(`not_integers`) unless it holds
    integers, OverflowError(`too_large`) for an unsigned id beyond int64."""
    if arr.size == 0:
        return np.zeros(0, dtype=np.int64)
    if arr.dtype.kind not in "iu":
        raise TypeError(not_integers)
    if arr.dtype.kind == "u" and arr.max() > np.iinfo(np.int64).max:
        raise OverflowError(too_large)
    return np.ascontiguousarray(arr, dtype=np.int64)


def _source_index(sources: Any) -> int:
    """A 0-d `sources` as a Python int (numpy integers and anything with __index__)."""
    return operator.index(sources)


def _as_targets(targets: npt.ArrayLike) -> np.ndarray:
    arr = np.asarray(targets)
    if arr.ndim > 1:
        raise ValueError(f"targets must be an integer or a 1-D sequence of integers (got {arr.ndim}-D)")
    return _int64_ids(arr.reshape(-1), f"targets must be integers (got dtype {arr.dtype})",
                      "a target does not fit in a signed 64-bit integer")


def _search_paths(g: CsrGraph, sources: npt.ArrayLike, limit: float | None, targets: npt.ArrayLike | None,
                  min_only: bool, directed: bool, return_predecessors: bool) -> Any:
    """The extended Dijkstra search behind the keyword options of shortest_paths."""
    single = np.ndim(sources) == 0
    srcs = np.array([_source_index(sources)], dtype=np.int64) if single else as_sources(sources)
    tgts = None if targets is None else _as_targets(targets)
    directed, return_predecessors = bool(directed), bool(return_predecessors)
    if single or min_only:
        out: tuple[np.ndarray | None, ...] = _search.search(
            g.indptr, g.indices, g.weights, srcs, limit, tgts, directed, return_predecessors, bool(min_only)
        )
    else:
        k = len(srcs)
        flat = _search.search_multisource(g.indptr, g.indices, g.weights, srcs, limit, tgts, directed,
                                          return_predecessors)
        out = tuple(None if a is None else a.reshape(k, g.n) for a in flat)
    kept = tuple(a for a in out if a is not None)
    return kept[0] if len(kept) == 1 else kept


def shortest_paths(
    graph: GraphLike,
    sources: npt.ArrayLike,
    method: str = "dijkstra",
    seed: int = 0,
    *,
    limit: float | None = None,
    targets: npt.ArrayLike | None = None,
    min_only: bool = False,
    directed: bool = True,
    return_predecessors: bool = True,
) -> Any:
    """Shortest paths from `sources` in the directed, non-negatively weighted `graph`.

    `graph` is read as scipy.sparse.csgraph reads it (see :func:`~quillharbour.graph.as_csr`): a
    scipy.sparse matrix or array of any format (entry (i, j) is the arc i -> j; duplicate
    entries summed; explicit zeros are zero-weight arcs), a dense matrix or nested list (0,
    NaN and infinite entries are no arcs) or a masked array (masked entries are no arcs); or an
    ``(indptr, indices, weights)`` tuple or :class:`~quillharbour.graph.CsrGraph`. A tuple that
    could also be a 3 x 3 matrix is refused. Arrays are converted to int64/int32/float64 and
    copied only when their dtype or layout requires it.
    `method` is "dijkstra", "bmssp", a research variant name ("tuned", "hybrid", "simpleq",
    "lazypiv", "notransform", "fast", or hybrid:A:B, optionally prefixed "bmssp-"), or a spec
    "bmssp:KEY=VALUE:..." that sets each ingredient of the recursion (queue, transform or
    hubs=D, level and frontier of the hybrid switch, lazy, k and t, rule; see
    :mod:`quillharbour.configs`). `seed` seeds BMSSP's pivot choices and is ignored by Dijkstra.

    Returns ``(distances, predecessors)``: 1-D arrays of length n for a single integer source,
    ``(k, n)`` arrays for any array-like of k sources, as scipy's `indices` (nested ones are
    flattened: row i for the i-th source in C order). Distances are
    +inf and predecessors -1 for unreached vertices; the source's predecessor is -1.
    Every method returns Dijkstra's distances, bit for bit. Predecessors are tight for every
    method (each predecessor arc lies on a shortest path) but may differ between methods where
    several paths are equally short.

    Keyword options, in the conventions of scipy.sparse.csgraph.dijkstra, for every method.
    Dijkstra runs each natively (the searches of quillharbour._search). The other methods run
    on a transformed graph (:mod:`quillharbour.options`): `directed=False` adds every arc
    reversed; `min_only` adds a vertex with a zero-weight arc to each source and runs from it;
    `limit` bounds BMSSP's outermost recursion call (so the run explores no farther), while a
    research variant runs to completion and drops what lies beyond; `targets` are checked but
    the run does not stop early, so every vertex is exact; several sources run one after
    another under a limit.

    - `limit`: a vertex is reached only at a distance <= `limit` (a distance equal to the
      limit counts, as in scipy); farther vertices are reported unreached (+inf, -1), and the
      search goes no farther. Must be >= 0.
    - `targets`: vertex ids; Dijkstra stops as soon as every target is settled. Distances
      and predecessors are exact for the targets and for every vertex settled before the
      last of them; any other vertex holds what the search had found when it stopped: +inf
      and -1, or the length of some path (an upper bound) and that path's last tail. With
      no targets at all (an empty list) the search stops before settling anything. The
      other methods do not stop early.
    - `min_only`: one search from all `sources` together. Returns 1-D
      ``(distances, predecessors, sources_of)``: the distance to the nearest source, and for
      each vertex the source it was reached from (-1 when unreached; a source is its own).
      Equally near sources are decided as one search from a virtual vertex with a
      zero-weight arc to each source in the given order would decide them (by Dijkstra's
      tie rule for Dijkstra, by the method's own for the others).
    - `directed=False`: every arc may also be travelled backwards.
    - `return_predecessors=False`: predecessors are neither computed nor returned; a result
      that would be ``(distances, predecessors)`` is then just ``distances``, and with
      `min_only` ``(distances, sources_of)``.

    Raises TypeError for non-integer sources or a graph of the wrong kind, IndexError for a
    source out of range, ValueError for an unknown method, a malformed graph or negative or
    NaN weights.
    """
    entry, variant = resolve_method(method)
    g = as_csr(graph)
    extended = targets is not None or min_only or not directed or not return_predecessors or limit is not None
    if extended and entry == "dijkstra":
        return _search_paths(g, sources, limit, targets, min_only, directed, return_predecessors)
    if extended:
        single = np.ndim(sources) == 0
        if single:
            _source_index(sources)  # TypeError for a 0-d source that is not an integer
        return options.run(g, entry, variant, sources if single else as_sources(sources), seed, limit=limit,
                           targets=None if targets is None else _as_targets(targets), min_only=bool(min_only),
                           directed=bool(directed), return_predecessors=bool(return_predecessors))
    if np.ndim(sources) == 0:
        try:
            source = _source_index(sources)  # any 0-d integer
        except TypeError:
            raise TypeError("sources must be an integer or an array-like of integers "
                            f"(got {type(sources).__name__})") from None
        return _one_source(g, entry, variant, source, seed)
    srcs = as_sources(sources)
    k = len(srcs)
    if entry == "dijkstra":
        dist, pred = _native.dijkstra_multisource(g.indptr, g.indices, g.weights, srcs)
        return dist.reshape(k, g.n), pred.reshape(k, g.n)
    if entry == "bmssp":
        dist, pred = _native.bmssp_multisource(g.indptr, g.indices, g.weights, srcs, seed)
        return dist.reshape(k, g.n), pred.reshape(k, g.n)
    dist, pred = options.empty_rows(k, g.n)
    for i, s in enumerate(srcs.tolist()):
        dist[i], pred[i] = _one_source(g, entry, variant, s, seed)
    return dist, pred


def reconstruct_path(predecessors: npt.ArrayLike, target: SupportsIndex,
                     source: int | None = None) -> npt.NDArray[np.int64]:
    """The vertices of the shortest path ending at `target`, source first (int64).

    `predecessors` is one row as returned by :func:`shortest_paths`. The walk stops at the
    first vertex whose predecessor is -1. Because the source and unreached vertices both have
    predecessor -1, pass `source` to have an unreachable target reported: then a walk that
    does not end at `source` raises ValueError.

    Raises ValueError for a 2-D `predecessors`, a predecessor out of range or a cycle, and
    IndexError for a `target` out of range.
    """
    pred = np.asarray(predecessors)
    if pred.ndim != 1:
        raise ValueError("predecessors must be one row (1-D); select a row of a (k, n) result")
    n = len(pred)
    target = operator.index(target)
    if not 0 <= target < n:
        raise IndexError(f"target {target} is out of range for {n} vertices")
    path = [target]
    v = target
    while True:
        p = int(pred[v])
        if p < 0:
            break
        if p >= n:
            raise ValueError(f"predecessor {p} of vertex {v} is out of range")
        if len(path) > n:
            raise ValueError("the predecessors contain a cycle")
        path.append(p)
        v = p
    if source is not None and path[-1] != source:
        raise ValueError(f"target {target} is not reachable from source {source}")
    return np.array(path[::-1], dtype=np.int64)


def from_networkx(
    G: Any,
    weight: str | Callable[[Any, Any, dict[Any, Any]], Any] | None = "weight",
    default: float = 1.0,
    nodelist: Iterable[Any] | None = None,
) -> tuple[CsrGraph, list[Any]]:
    """Convert a networkx graph to ``(CsrGraph, nodes)``, where ``nodes[i]`` is vertex i's node.

    Parameters
    ----------
    G : networkx graph (directed or not, multigraphs included).
    weight : the edge attribute holding the weight (`default` when absent); None for `default`
        on every edge; or, as in networkx's shortest-path functions, a callable
        ``weight(u, v, d)`` called once per adjacent pair u -> v with that pair's attribute dict
        (for multigraphs the dict of its parallel edges, keyed by edge key), whose result is the
        arc's weight; a result of None hides the arc.
    default : weight of an edge without the `weight` attribute.
    nodelist : the vertex order (default ``list(G)``); must list every node exactly once.

    Returns ``(graph, nodes)``. Undirected graphs give both directions of every edge;
    with an attribute name, multigraphs keep parallel edges as parallel arcs.

    Raises TypeError for a `G` that is not a networkx graph, a `weight` that is neither a str,
    None nor callable, and for a non-numeric edge weight; ValueError for a bad `nodelist`.
    """
    if not all(hasattr(G, name) for name in ("adjacency", "edges", "is_directed", "number_of_nodes")):
        raise TypeError(f"G must be a networkx graph (got {type(G).__name__})")
    if weight is not None and not isinstance(weight, str) and not callable(weight):
        raise TypeError("weight must be an edge attribute name, None or a callable "
                        f"weight(u, v, d) (got {type(weight).__name__})")
    nodes = list(G) if nodelist is None else list(nodelist)
    index = {node: i for i, node in enumerate(nodes)}
    if len(index) != len(nodes):
        raise ValueError("nodelist repeats a node")
    if len(index) != G.number_of_nodes() or any(node not in index for node in G):
        raise ValueError("nodelist must list every node of the graph exactly once")
    tails: list[int] = []
    heads: list[int] = []
    weights: list[float] = []

    def add(u: Any, v: Any, w: Any) -> None:
        if isinstance(w, bool) or not isinstance(w, (int, float, np.integer, np.floating)):
            raise TypeError(f"edge ({u!r}, {v!r}) has a non-numeric weight: {w!r}")
        tails.append(index[u])
        heads.append(index[v])
        weights.append(float(w))

    if callable(weight):
        # Each direction of an undirected edge is its own call, as networkx walks it.
        for u, adjacent in G.adjacency():
            for v, data in adjacent.items():
                w = weight(u, v, data)
                if w is not None:
                    add(u, v, w)
    else:
        directed = G.is_directed()
        for u, v, d in G.edges(data=True):
            w = default if weight is None else d.get(weight, default)
            add(u, v, w)
            if not directed and u != v:
                add(v, u, w)
    return from_edges(len(nodes), tails, heads, weights, sort=False), nodes


def to_networkx(graph: GraphLike, weight: str = "weight", nodes: Iterable[Any] | None = None,
                multigraph: bool | None = None) -> Any:
    """Convert a graph to a networkx ``DiGraph`` (or ``MultiDiGraph``) with weights in `weight`.

    `nodes` relabels vertex i as ``nodes[i]``. With parallel arcs the result is a
    ``MultiDiGraph`` unless `multigraph` is False, in which case the lightest of the parallel
    arcs is kept (which leaves every shortest distance unchanged).

    Returns the networkx graph. Raises ValueError when `nodes` does not have one label per
    vertex, ImportError without networkx.
    """
    import networkx as nx

    g = as_csr(graph)
    labels = list(range(g.n)) if nodes is None else list(nodes)
    if len(labels) != g.n:
        raise ValueError(f"nodes has {len(labels)} entries for {g.n} vertices")
    tails = g.tails()
    heads = g.indices.astype(np.int64)
    keys = tails * max(g.n, 1) + heads
    has_parallel = len(np.unique(keys)) < len(keys)
    if multigraph is None:
        multigraph = has_parallel
    out = nx.MultiDiGraph() if multigraph else nx.DiGraph()
    out.add_nodes_from(labels)
    weights = g.weights
    if has_parallel and not multigraph:
        order = np.lexsort((weights, keys))[::-1]  # heaviest first, so the lightest is added last
        tails, heads, weights = tails[order], heads[order], weights[order]
    out.add_weighted_edges_from(
        ((labels[u], labels[v], w) for u, v, w in zip(tails.tolist(), heads.tolist(), weights.tolist())),
        weight=weight,
    )
    return out
