"""networkx's weighted Dijkstra functions, answered from converted graphs.

Every function here has the signature, the checks, the errors (type and message) and the
results of the networkx function of the same name, and gets to the results through one native
search, :func:`quillharbour._search.push_order_search`, which settles vertices in the order
networkx's heap of (distance, push count) entries does. From that order follow the listing order
of every dict, which of several equally short paths each vertex keeps (the tail of its last strict
improvement), and with :func:`dijkstra_predecessor_and_distance` every equally short predecessor
in the order networkx appends them. Lengths are float64 sums, which are networkx's Python sums on
the weights the conversion accepts (:mod:`quillharbour.nx.convert`): ints (returned as ints)
whose lengths stay below 2**53, or floats (with the sources at int 0, as networkx has them).

The functions assume what the backend's ``can_run`` checked: node arguments are hashable and,
when they are nodes, the node's own label; weights given by attribute are ones networkx's sums
can be reproduced on. A weight function is only called here, on every arc at once; when its
weights cannot be reproduced the function raises NotImplementedError, and networkx answers.
"""

from __future__ import annotations

from collections.abc import Collection, Iterator
from typing import Any

import networkx as nx  # type: ignore[import-untyped, unused-ignore]
import numpy as np

from .. import _search
from .convert import Arcs, ConvertedGraph, weighting

# The functions networkx dispatches here are those _quillharbour_nx.FUNCTIONS names.


def _served(arcs: Arcs) -> Arcs:
    if arcs.refusal is not None:
        raise NotImplementedError(f"quillharbour cannot reproduce networkx's sums here: {arcs.refusal}")
    return arcs


class _Found:
    """One search: the settled vertices in settle order, their distances and predecessors."""

    def __init__(self, g: ConvertedGraph, arcs: Arcs, ids: list[int], cutoff: Any, target: int | None) -> None:
        self.g = g
        self.arcs = arcs
        self.cutoff = None if cutoff is None else float(cutoff)
        self.order, self.dist, self.pred = _search.push_order_search(
            *arcs.triple, np.array(ids, dtype=np.int64), self.cutoff, target)
        self.sources = len(set(ids))  # the first `sources` settled vertices are the sources

    def settled(self, v: int) -> bool:
        return bool(np.any(self.order == v)) if len(self.order) else False

    def _length(self, value: float) -> int | float:
        return int(value) if self.arcs.integral else value

    def length_of(self, v: int) -> int | float:
        if v in self.order[: self.sources].tolist():
            return 0
        return self._length(float(self.dist[v]))

    def lengths(self) -> dict[Any, int | float]:
        """Distance by node, in settle order."""
        values = self.dist[self.order]
        listed: list[Any] = values.astype(np.int64).tolist() if self.arcs.integral else values.tolist()
        listed[: self.sources] = [0] * min(self.sources, len(listed))
        return dict(zip(self.g.labels(self.order), listed))

    def paths(self) -> dict[Any, list[Any]]:
        """Path by node, in settle order: the path to a vertex's predecessor, then the vertex."""
        labels = self.g.labels(self.order)
        by_id: dict[int, list[Any]] = {}
        out: dict[Any, list[Any]] = {}
        for i, (v, label, p) in enumerate(zip(self.order.tolist(), labels, self.pred[self.order].tolist())):
            path = [label] if i < self.sources else by_id[p] + [label]
            by_id[v] = out[label] = path
        return out

    def path_to(self, v: int) -> list[Any]:
        ids = [v]
        while self.pred[ids[-1]] >= 0:
            ids.append(int(self.pred[ids[-1]]))
        ids.reverse()
        return self.g.labels(np.array(ids, dtype=np.int32))

    def predecessors(self) -> dict[Any, list[Any]]:
        """networkx's predecessor lists: the source first, then every vertex in the order it was
        first pushed, each with every tail that reached it at its distance, in settle order."""
        g, (indptr, heads, weights) = self.g, self.arcs.triple
        n = g.n
        rank = np.full(n, -1, dtype=np.int64)
        rank[self.order] = np.arange(len(self.order))
        tails = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
        relaxed = rank[tails] >= 0  # every settled tail relaxed all its arcs
        candidate = self.dist[tails] + weights
        if self.cutoff is not None:
            relaxed &= ~(candidate > self.cutoff)
        arcs = np.flatnonzero(relaxed)
        arcs = arcs[np.lexsort((arcs, rank[tails[arcs]]))]  # relaxation order
        into = heads[arcs]
        # The first relaxation into a vertex pushes it (sources start pushed).
        first = np.unique(into, return_index=True)[1]
        pushed = into[np.sort(first)]
        pushed = pushed[pushed != self.order[0]]
        tight = arcs[candidate[arcs] == self.dist[into]]
        tight = tight[np.argsort(heads[tight], kind="stable")]
        bounds = np.searchsorted(heads[tight], np.arange(n + 1))
        tail_labels = g.labels(tails[tight].astype(np.int32))
        out: dict[Any, list[Any]] = {}
        for v, label in zip([int(self.order[0]), *pushed.tolist()], g.labels(np.concatenate(([self.order[0]], pushed)))):
            out[label] = tail_labels[bounds[v]:bounds[v + 1]]
        return out


def _converted(G: Any) -> ConvertedGraph:
    if isinstance(G, ConvertedGraph):
        return G
    return ConvertedGraph(G)  # a direct call with a networkx graph


def _check_sources(g: ConvertedGraph, sources: Collection[Any]) -> list[int]:
    if not sources:
        raise ValueError("sources must not be empty")
    ids = []
    for s in sources:
        v = g.id_of(s)
        if v is None:
            raise nx.NodeNotFound(f"Node {s} not found in graph")
        ids.append(v)
    return ids


def _multi_source(g: ConvertedGraph, arcs: Arcs, sources: Collection[Any], target: Any, cutoff: Any) -> Any:
    """multi_source_dijkstra on given arcs."""
    ids = _check_sources(g, sources)
    if target in sources:
        return (0, [target])
    if target is None:
        found = _Found(g, arcs, ids, cutoff, None)
        return (found.lengths(), found.paths())
    t = g.id_of(target)
    found = _Found(g, arcs, ids, cutoff, t)
    if t is None or not found.settled(t):
        raise nx.NetworkXNoPath(f"No path to {target}.")
    return (found.length_of(t), found.path_to(t))


def _source_lengths(g: ConvertedGraph, arcs: Arcs, sources: Collection[Any], cutoff: Any) -> dict[Any, Any]:
    """multi_source_dijkstra_path_length on given arcs."""
    return _Found(g, arcs, _check_sources(g, sources), cutoff, None).lengths()


def _source_paths(g: ConvertedGraph, arcs: Arcs, sources: Collection[Any], cutoff: Any) -> dict[Any, Any]:
    """multi_source_dijkstra_path on given arcs."""
    return _multi_source(g, arcs, sources, None, cutoff)[1]  # type: ignore[no-any-return]


def multi_source_dijkstra(G: Any, sources: Collection[Any], target: Any = None, cutoff: Any = None,
                          weight: Any = "weight") -> Any:
    g = _converted(G)
    return _multi_source(g, _served(weighting(g, weight)), sources, target, cutoff)


def multi_source_dijkstra_path(G: Any, sources: Collection[Any], cutoff: Any = None, weight: Any = "weight") -> Any:
    g = _converted(G)
    return _source_paths(g, _served(weighting(g, weight)), sources, cutoff)


def multi_source_dijkstra_path_length(G: Any, sources: Collection[Any], cutoff: Any = None,
                                      weight: Any = "weight") -> Any:
    g = _converted(G)
    return _source_lengths(g, _served(weighting(g, weight)), sources, cutoff)


def single_source_dijkstra(G: Any, source: Any, target: Any = None, cutoff: Any = None, weight: Any = "weight") -> Any:
    return multi_source_dijkstra(G, {source}, cutoff=cutoff, target=target, weight=weight)


def single_source_dijkstra_path(G: Any, source: Any, cutoff: Any = None, weight: Any = "weight") -> Any:
    return multi_source_dijkstra_path(G, {source}, cutoff=cutoff, weight=weight)


def single_source_dijkstra_path_length(G: Any, source: Any, cutoff: Any = None, weight: Any = "weight") -> Any:
    return multi_source_dijkstra_path_length(G, {source}, cutoff=cutoff, weight=weight)


def dijkstra_path(G: Any, source: Any, target: Any, weight: Any = "weight") -> Any:
    return single_source_dijkstra(G, source, target=target, weight=weight)[1]


def dijkstra_path_length(G: Any, source: Any, target: Any, weight: Any = "weight") -> Any:
    g = _converted(G)
    s = g.id_of(source)
    if s is None:
        raise nx.NodeNotFound(f"Node {source} not found in graph")
    if source == target:
        return 0
    arcs = _served(weighting(g, weight))
    t = g.id_of(target)
    found = _Found(g, arcs, [s], None, t) if t is not None else None
    if found is None or t is None or not found.settled(t):
        raise nx.NetworkXNoPath(f"Node {target} not reachable from {source}")
    return found.length_of(t)


def dijkstra_predecessor_and_distance(G: Any, source: Any, cutoff: Any = None, weight: Any = "weight") -> Any:
    g = _converted(G)
    s = g.id_of(source)
    if s is None:
        raise nx.NodeNotFound(f"Node {source} is not found in the graph")
    found = _Found(g, _served(weighting(g, weight)), [s], cutoff, None)
    return (found.predecessors(), found.lengths())


def _all_pairs(g: ConvertedGraph, arcs: Arcs, cutoff: Any, what: str) -> Iterator[Any]:
    for node in g.nodes:
        if what == "length":
            yield (node, _source_lengths(g, arcs, {node}, cutoff))
        elif what == "path":
            yield (node, _source_paths(g, arcs, {node}, cutoff))
        else:
            yield (node, _multi_source(g, arcs, {node}, None, cutoff))


def all_pairs_dijkstra(G: Any, cutoff: Any = None, weight: Any = "weight") -> Iterator[Any]:
    g = _converted(G)
    return _all_pairs(g, _served(weighting(g, weight)), cutoff, "both")


def all_pairs_dijkstra_path(G: Any, cutoff: Any = None, weight: Any = "weight") -> Iterator[Any]:
    g = _converted(G)
    return _all_pairs(g, _served(weighting(g, weight)), cutoff, "path")


def all_pairs_dijkstra_path_length(G: Any, cutoff: Any = None, weight: Any = "weight") -> Iterator[Any]:
    g = _converted(G)
    return _all_pairs(g, _served(weighting(g, weight)), cutoff, "length")


def bidirectional_dijkstra(G: Any, source: Any, target: Any, weight: Any = "weight") -> Any:
    g = _converted(G)
    s, t = g.id_of(source), g.id_of(target)
    if s is None:
        raise nx.NodeNotFound(f"Source {source} is not in G")
    if t is None:
        raise nx.NodeNotFound(f"Target {target} is not in G")
    if source == target:
        return (0, [source])
    # Backward, networkx walks the predecessor dicts and weighs an arc w -> v as weight(w, v, d).
    forward = _served(weighting(g, weight))
    backward = _served(weighting(g, weight, reverse=True, flip=True))
    if forward.integral != backward.integral:
        raise NotImplementedError("quillharbour cannot reproduce networkx's sums here: "
                                  "the weight function gives ints one way and floats the other")
    length, path = _search.push_order_bidirectional(*forward.triple, *backward.triple, s, t)
    if length is None or path is None:
        raise nx.NetworkXNoPath(f"No path between {source} and {target}.")
    return (int(length) if forward.integral else length, g.labels(path))


def _reversed_arcs(g: ConvertedGraph, weight: Any) -> Arcs:
    """The arcs networkx searches when it reverses the graph (``G.reverse(copy=False)``)."""
    return _served(weighting(g, weight, reverse=True))


def shortest_path(G: Any, source: Any = None, target: Any = None, weight: Any = None,
                  method: str = "dijkstra") -> Any:
    g = _converted(G)
    if source is None:
        if target is None:
            return all_pairs_dijkstra_path(g, weight=weight)
        paths = _source_paths(g, _reversed_arcs(g, weight), {target}, None)
        return {node: path[::-1] for node, path in paths.items()}
    if target is None:
        return single_source_dijkstra_path(g, source, weight=weight)
    return bidirectional_dijkstra(g, source, target, weight)[1]


def shortest_path_length(G: Any, source: Any = None, target: Any = None, weight: Any = None,
                         method: str = "dijkstra") -> Any:
    g = _converted(G)
    if source is None:
        if target is None:
            return all_pairs_dijkstra_path_length(g, weight=weight)
        return _source_lengths(g, _reversed_arcs(g, weight), {target}, None)
    if target is None:
        return single_source_dijkstra_path_length(g, source, weight=weight)
    return dijkstra_path_length(g, source, target, weight)

