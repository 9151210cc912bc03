"""The networkx backend "quillharbour": networkx's weighted Dijkstra functions, answered exactly.

Installed with the package, it lets networkx code run on quillharbour's core unchanged:

    nx.single_source_dijkstra(G, s, backend="quillharbour")   # this call
    nx.config.backend_priority = ["quillharbour"]                # or every dispatchable call

:data:`interface` is what the ``networkx.backends`` entry point names: the functions of
:mod:`quillharbour.nx.dijkstra` and networkx's backend hooks.

- ``convert_from_nx`` reads the graph once (:class:`~quillharbour.nx.convert.ConvertedGraph`);
  networkx caches the result on the graph (``G.__networkx_cache__``), so calls on an unchanged
  graph never read it again. Graph views are read but not cached, since changes to the graph
  under a view do not clear the view's cache.
- ``can_run`` says no, with a reason, to every call whose answer the backend cannot reproduce
  exactly: negative, NaN or mixed int and float weights, weights that are not Python numbers,
  int lengths that could reach 2**53, cutoffs that are not plain numbers, node arguments that are
  unhashable or that equal a node without being its label, networkx older than 3.6 (whose
  Dijkstra orders ties differently), and shortest_path/shortest_path_length without a weight or
  with another method. networkx then answers, with its own results and errors. To decide, it
  reads the graph; that reading is handed to the ``convert_from_nx`` call that follows, so a
  call reads the graph once. A weight function is judged when it has been called, on every arc,
  by the function itself, which raises NotImplementedError when networkx must answer.
- ``convert_to_nx`` returns results unchanged (they are networkx's types already).
"""

from __future__ import annotations

import functools
import inspect
import re
import threading
from collections.abc import Collection, Hashable
from typing import Any

from _quillharbour_nx import FUNCTIONS

from . import dijkstra
from .convert import EXACT_INT, ConvertedGraph, cached_conversion, same_label, weighting

__all__ = ["BackendInterface", "ConvertedGraph", "interface"]

_SIGNATURES = {name: inspect.signature(getattr(dijkstra, name)) for name in FUNCTIONS}
_NODE_ARGUMENTS = ("source", "target")


class _Handoff(threading.local):
    """The graph can_run read, waiting for the convert_from_nx call of the same dispatch."""

    graph: ConvertedGraph | None = None


_handoff = _Handoff()


@functools.cache
def _networkx_reproduced() -> bool:
    import networkx as nx  # type: ignore[import-untyped, unused-ignore]

    found = re.match(r"(\d+)\.(\d+)", nx.__version__)
    return found is not None and (int(found[1]), int(found[2])) >= (3, 6)


def _is_view(graph: Any) -> bool:
    return getattr(graph, "_graph", None) is not None


def _converted(graph: Any, weight: Any) -> ConvertedGraph:
    """The graph read for a call: handed over by can_run, cached by networkx, or read now."""
    held, _handoff.graph = _handoff.graph, None
    if held is not None and held.graph is graph:
        return held
    if not _is_view(graph):
        cached = cached_conversion(graph)
        if cached is not None:
            return cached
    keyed = weight is not None and not callable(weight)
    return ConvertedGraph(graph, key=weight if keyed else None, weighted=keyed)


def _same_node(g: ConvertedGraph, label: Any) -> bool:
    """False for a label that equals a node but is not its label object (1.0 for node 1)."""
    v = g.id_of(label)
    if v is None:
        return True  # not a node: networkx's error stands, and the backend raises it too
    return same_label(label, g.nodes[v])


def _hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _argument_refusal(name: str, args: dict[str, Any]) -> str | None:
    """Why the backend cannot run this call, judged from its arguments alone, or None."""
    import networkx as nx

    if not _networkx_reproduced():
        return "networkx before 3.6 orders ties in Dijkstra differently"
    if not isinstance(args["G"], (nx.Graph, ConvertedGraph)):
        return "G is not a networkx graph"
    if name.startswith("shortest_path"):
        if args["method"] != "dijkstra":
            return "only method='dijkstra' is served"
        if args["weight"] is None:
            return "without a weight networkx runs breadth-first search"
    weight = args["weight"]
    if not callable(weight) and not _hashable(weight):
        return "weight is neither an attribute key nor a function"
    cutoff = args.get("cutoff")
    if cutoff is not None and not (
        isinstance(cutoff, float) or (isinstance(cutoff, int) and abs(cutoff) <= EXACT_INT)
    ):
        return "cutoff is not a float or an int within 2**53"
    nodes = [args[key] for key in _NODE_ARGUMENTS if args.get(key) is not None]
    if "sources" in args:
        sources = args["sources"]
        if not isinstance(sources, Collection):
            return "sources is not a collection"
        nodes.extend(sources)
    if not all(map(_hashable, nodes)):
        return "a node argument is unhashable"
    return None


def _needs_reverse(name: str, args: dict[str, Any]) -> bool:
    """Whether the call searches the reverse graph too (or only)."""
    if name == "bidirectional_dijkstra":
        return True
    return name == "shortest_path" and args["target"] is not None or (
        name == "shortest_path_length" and args["source"] is None and args["target"] is not None)


def _graph_refusal(name: str, args: dict[str, Any], g: ConvertedGraph) -> str | None:
    """Why the backend cannot run this call on this graph, or None."""
    nodes = [args[key] for key in _NODE_ARGUMENTS if args.get(key) is not None]
    nodes.extend(args.get("sources", ()))
    if not all(_same_node(g, node) for node in nodes):
        return "a node argument equals a node but is not its label"
    weight = args["weight"]
    if callable(weight):
        return None  # judged when called
    for reverse in (False, True) if _needs_reverse(name, args) else (False,):
        refusal = weighting(g, weight, reverse=reverse).refusal
        if refusal is not None:
            return refusal
    return None


class BackendInterface:
    """networkx's backend hooks, and the functions the backend implements as attributes."""

    @staticmethod
    def can_run(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool | str:
        """True when the backend answers this call exactly as networkx would, else the reason."""
        _handoff.graph = None
        signature = _SIGNATURES.get(name)
        if signature is None:
            return f"quillharbour does not implement {name}"
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError as exc:
            return f"the arguments do not fit: {exc}"
        bound.apply_defaults()
        refusal = _argument_refusal(name, bound.arguments)
        if refusal is None:
            graph = bound.arguments["G"]
            try:
                g = graph if isinstance(graph, ConvertedGraph) else _converted(graph, bound.arguments["weight"])
                refusal = _graph_refusal(name, bound.arguments, g)
            except Exception as exc:  # noqa: BLE001 - whatever the reading meets, networkx answers
                return f"the graph could not be read: {exc}"
            if refusal is None and g is not graph:
                _handoff.graph = g
        return True if refusal is None else refusal

    @staticmethod
    def should_run(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
        return True

    @staticmethod
    def convert_from_nx(graph: Any, *, edge_attrs: dict[Hashable, Any] | None = None, node_attrs: Any = None,
                        preserve_edge_attrs: Any = False, preserve_node_attrs: Any = False,
                        preserve_graph_attrs: Any = False, name: str | None = None,
                        graph_name: str | None = None) -> ConvertedGraph:
        """The graph read for the backend (networkx caches what this returns on the graph)."""
        weight = next(iter(edge_attrs)) if edge_attrs and len(edge_attrs) == 1 else None
        converted = _converted(graph, weight)
        if _is_view(graph):
            graph.__networkx_cache__ = None  # the view's cache would outlive changes to its graph
        return converted

    @staticmethod
    def convert_to_nx(obj: Any, *, name: str | None = None) -> Any:
        """Results unchanged; a converted graph as the networkx graph it was read from."""
        return obj.graph if isinstance(obj, ConvertedGraph) else obj


for _name in FUNCTIONS:
    setattr(BackendInterface, _name, staticmethod(getattr(dijkstra, _name)))

interface = BackendInterface()
