"""The backend's graph: a networkx graph read once into CSR arrays.

:class:`ConvertedGraph` holds the node labels in networkx's node order and, per weight
attribute, the arcs in networkx's adjacency order (:class:`Arcs`), read lazily by the native
reader (:func:`quillharbour._search.read_adjacency`) or, for graphs whose dicts are not plain
dicts (views, custom dict factories), by the same reading in Python. A multigraph has one arc
per neighbour, weighted by the least weight of its edges, as networkx's Dijkstra weighs it.

Beside the arrays, each :class:`Arcs` knows whether float64 arithmetic reproduces the sums
networkx makes in Python: it does for all-int weights whose path lengths stay below 2**53
(returned as ints) and for all-float weights; anything else (mixed ints and floats, NumPy
scalars, negative or NaN weights, larger ints) is a *refusal*, and networkx answers.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _search

KIND_INT, KIND_FLOAT, KIND_OTHER, KIND_NEGATIVE, KIND_NAN, KIND_ALIASED = 1, 2, 4, 8, 16, 32
EXACT_INT = 2**53  # float64 holds every int of smaller magnitude exactly

WeightFunction = Callable[[Any, Any, Any], Any]


@dataclass(frozen=True)
class Arcs:
    """The arcs of one weighting, row u in the order networkx relaxes u's neighbours."""

    indptr: npt.NDArray[np.int64]
    indices: npt.NDArray[np.int32]
    weights: npt.NDArray[np.float64]
    integral: bool  # every weight is an int, so every length is an int
    refusal: str | None  # why float64 cannot reproduce networkx's sums, or None

    @property
    def triple(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], npt.NDArray[np.float64]]:
        return self.indptr, self.indices, self.weights


def refusal_of(kinds: int, weights: npt.NDArray[np.float64], n: int) -> str | None:
    """Why weights of these kinds cannot be summed in float64 as networkx sums them, or None."""
    if kinds & KIND_ALIASED:
        return "a neighbour is keyed by an object that equals its node's label but is not it"
    if kinds & KIND_OTHER:
        return "a weight is not a Python int or float (or an int beyond 2**53)"
    if kinds & KIND_NAN:
        return "a weight is NaN"
    if kinds & KIND_NEGATIVE:
        return "a weight is negative"
    if kinds & KIND_INT and kinds & KIND_FLOAT:
        return "the weights mix ints and floats"
    if kinds & KIND_INT and len(weights) and float(weights.max()) * max(n, 1) >= EXACT_INT:
        return "integer path lengths could reach 2**53"
    return None


def classify(values: list[Any]) -> tuple[npt.NDArray[np.float64], int]:
    """Python weights as float64 and their kind bits (the native reader's, for the same values)."""
    kinds = 0
    types = set(map(type, values))
    if not types <= {int, bool, float}:
        return np.zeros(len(values)), KIND_OTHER
    if types & {int, bool}:
        kinds |= KIND_INT
        if any(abs(v) > EXACT_INT for v in values if type(v) is not float):
            return np.zeros(len(values)), KIND_OTHER
    if float in types:
        kinds |= KIND_FLOAT
    weights = np.array(values, dtype=np.float64)
    if np.isnan(weights).any():
        kinds |= KIND_NAN
    if (weights < 0).any():
        kinds |= KIND_NEGATIVE
    return weights, kinds


def _least(edges: Mapping[Any, Any], key: Hashable) -> Any:
    """A multigraph neighbour's weight as networkx takes it; None when its weights do not compare."""
    try:
        return min(attrs.get(key, 1) for attrs in edges.values())
    except TypeError:
        return None


def same_label(a: Any, b: Any) -> bool:
    """Whether two labels known to be equal cannot be told apart: the same object, or equal exact
    ints, strs or bytes, floats with the same sign, or tuples of such (the native reader's rule)."""
    if a is b:
        return True
    if type(a) is not type(b):
        return False
    if type(a) in (int, str, bytes):
        return True
    if type(a) is float:
        return bool(np.signbit(a) == np.signbit(b))
    return type(a) is tuple and len(a) == len(b) and all(map(same_label, a, b))


def _read_in_python(adj: Mapping[Any, Any], index: Mapping[Any, int], nodes: list[Any], key: Hashable,
                    multigraph: bool, weighted: bool) -> tuple[Any, ...]:
    """read_adjacency for adjacencies that are not plain dicts, through their mapping interface."""
    rows = list(adj.values())
    indptr = np.zeros(len(rows) + 1, dtype=np.int64)
    np.cumsum([len(row) for row in rows], out=indptr[1:])
    heads = [v for row in rows for v in row]
    indices = np.array([index[v] for v in heads], dtype=np.int32)
    aliased = not all(map(same_label, heads, map(nodes.__getitem__, indices.tolist())))
    if not weighted:
        return indptr, indices, None, KIND_ALIASED if aliased else 0
    if multigraph:
        values = [_least(edges, key) for row in rows for edges in row.values()]
    else:
        values = [attrs.get(key, 1) for row in rows for attrs in row.values()]
    weights, kinds = classify(values)
    return indptr, indices, weights, kinds | (KIND_ALIASED if aliased else 0)


# The arcs of a reverse graph whose predecessor dicts do not list the nodes in node order.
_UNORDERED = Arcs(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0), False,
                  "the graph's predecessor dicts do not list its nodes in node order")


class ConvertedGraph:
    """A networkx graph as the backend reads it; what networkx caches for the backend.

    Holds the networkx graph it was read from (for weight functions and for weightings read
    later), the node labels in node order, and the arcs of each weighting read so far.
    """

    __networkx_backend__ = "quillharbour"

    def __init__(self, graph: Any, *, key: Hashable = None, weighted: bool = False) -> None:
        """Reads `graph`'s structure, and its arcs weighted by attribute `key` if `weighted`."""
        self.graph = graph
        self.directed: bool = graph.is_directed()
        self.multigraph: bool = graph.is_multigraph()
        self.nodes: list[Any] = list(graph._adj)
        self._arcs: dict[tuple[Hashable, bool], Arcs] = {}
        # The first read also tells whether the labels are the ints 0 .. n-1 in order: then
        # a label is its vertex id, and the index is built only for other labels (1.0, True).
        self._index: dict[Any, int] | None = None
        read = _search.read_adjacency(graph._adj, key, self.multigraph, weighted=weighted)
        self.identity = read is not None
        if read is None:
            self._index = self._built_index()
            read = self._read(graph._adj, key, weighted)
        self._structure: tuple[npt.NDArray[np.int64], npt.NDArray[np.int32]] = (read[0], read[1])
        self._aliased = read[3] & KIND_ALIASED
        if weighted:
            self._arcs[(key, False)] = self._arcs_of(read)

    @property
    def n(self) -> int:
        return len(self.nodes)

    def is_directed(self) -> bool:
        return self.directed

    def is_multigraph(self) -> bool:
        return self.multigraph

    def _built_index(self) -> dict[Any, int]:
        return dict(zip(self.nodes, range(len(self.nodes))))

    def id_of(self, label: Any) -> int | None:
        """The vertex id of a node label (as ``label in G`` finds it), or None."""
        if self.identity and type(label) is int and 0 <= label < len(self.nodes):
            return label
        if self._index is None:
            self._index = self._built_index()
        try:
            return self._index.get(label)
        except TypeError:  # unhashable: not a node, as networkx's `in` says
            return None

    def __contains__(self, label: Any) -> bool:
        return self.id_of(label) is not None

    def labels(self, ids: npt.NDArray[np.int32]) -> list[Any]:
        """The node labels of vertex ids."""
        if self.identity:
            return ids.tolist()  # type: ignore[no-any-return]
        nodes = self.nodes
        return [nodes[i] for i in ids.tolist()]

    def _read(self, adj: Any, key: Hashable, weighted: bool) -> tuple[Any, ...]:
        """(indptr, indices, weights or None, kind bits) of `adj`, rows in node order."""
        index = None if self.identity else self._index
        read = _search.read_adjacency(adj, key, self.multigraph, index, self.nodes, weighted=weighted)
        if read is None:
            if self._index is None:
                self._index = self._built_index()
            read = _read_in_python(adj, self._index, self.nodes, key, self.multigraph, weighted)
        return read

    def arcs(self, key: Hashable, reverse: bool = False) -> Arcs:
        """The arcs weighted by edge attribute `key` (1 where absent); with `reverse`, the arcs
        of the reverse graph (row v: the arcs into v, in networkx's predecessor order)."""
        reverse = reverse and self.directed
        found = self._arcs.get((key, reverse))
        if found is None:
            adj = self._adjacency(reverse)
            found = self._arcs_of(self._read(adj, key, True)) if adj is not None else _UNORDERED
            self._arcs[(key, reverse)] = found
        return found

    def _arcs_of(self, read: tuple[Any, ...]) -> Arcs:
        indptr, indices, weights, kinds = read
        kinds |= self._aliased
        return Arcs(indptr, indices, weights, bool(kinds & KIND_INT), refusal_of(kinds, weights, self.n))

    def _adjacency(self, reverse: bool) -> Any:
        """The adjacency searched forward, or backward (None if its rows are not in node order)."""
        if not reverse:
            return self.graph._adj
        pred = self.graph._pred
        return pred if len(pred) == self.n and list(pred) == self.nodes else None

    def called_arcs(self, weight: WeightFunction, reverse: bool = False, flip: bool = False) -> Arcs:
        """The arcs weighted by ``weight(u, v, d)`` for each adjacency entry (u, v, d) of the
        graph (of the reverse graph with `reverse`; called as ``weight(v, u, d)`` with `flip`).
        An arc whose weight is None is left out. Not cached: a function may change."""
        reverse = reverse and self.directed
        adj = self._adjacency(reverse)
        if adj is None:
            return _UNORDERED
        indptr, indices = self._structure if not reverse else self._read(adj, None, False)[:2]
        try:
            if flip:
                values = [weight(v, u, d) for u, row in adj.items() for v, d in row.items()]
            else:
                values = [weight(u, v, d) for u, row in adj.items() for v, d in row.items()]
        except Exception as exc:
            # networkx calls it only on the arcs it relaxes, which may never meet this one
            raise NotImplementedError(f"the weight function raised {type(exc).__name__} on some arc") from exc
        if len(values) != len(indices):  # changed without clearing networkx's cache: networkx answers
            raise NotImplementedError("the graph changed since quillharbour read it")
        shown = np.fromiter((w is not None for w in values), dtype=bool, count=len(values))
        if not shown.all():
            rows = np.repeat(np.arange(self.n), np.diff(indptr))
            indptr = np.zeros(self.n + 1, dtype=np.int64)
            np.cumsum(np.bincount(rows[shown], minlength=self.n), out=indptr[1:])
            indices = indices[shown]
            values = [w for w in values if w is not None]
        weights, kinds = classify(values)
        return self._arcs_of((indptr, indices, weights, kinds))


def weighting(graph: ConvertedGraph, weight: Any, reverse: bool = False, flip: bool = False) -> Arcs:
    """The arcs of `graph` under networkx's `weight` argument: an attribute key or a function."""
    if callable(weight):
        return graph.called_arcs(weight, reverse, flip)
    return graph.arcs(weight, reverse)


def cached_conversion(graph: Any) -> ConvertedGraph | None:
    """A conversion of `graph` that networkx's cache already holds, if caching is on."""
    import networkx as nx

    cache = getattr(graph, "__networkx_cache__", None)
    if not nx.config.cache_converted_graphs or not isinstance(cache, dict):
        return None
    held: Iterable[Any] = cache.get("backends", {}).get("quillharbour", {}).values()
    return next((g for g in held if isinstance(g, ConvertedGraph) and g.graph is graph), None)
