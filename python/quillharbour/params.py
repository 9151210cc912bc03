"""What a native BMSSP run would run with on a graph, as the native core decides it.

BMSSP runs on the constant-degree transform of the graph: every vertex becomes as many copies
as it has arcs (in-arcs plus out-arcs, at least one copy), joined in a zero-weight ring. From
the searched graph's vertex count the run takes k, t and the level of its outermost call; the
research variants change the searched graph, fix k and t, or hand parts of the run to a bounded
Dijkstra search. :func:`parameters` asks the core (``quillharbour._search.parameters``) instead
of recomputing any of this, so what it reports is what the runs use.
"""

from __future__ import annotations

from dataclasses import dataclass

from . import _search
from .graph import CsrGraph


@dataclass(frozen=True)
class Parameters:
    """What one BMSSP configuration would run with."""

    transform_n: int     # vertices of the constant-degree transform
    transform_m: int     # its arcs
    searched_n: int      # vertex count of the graph the recursion runs on
    base: float          # log2 of searched_n, at least 1
    k: int
    t: int
    levels: int          # level of the outermost recursive call
    note: str = ""       # where the bounded Dijkstra search takes over, if anywhere


def parameters(g: CsrGraph, variant: str = "bmssp", k: int = 0, t: int = 0) -> Parameters:
    """The parameters of `variant` ("bmssp": the reference run) on `g`, with the caller's
    forced k and t (both non-zero to count). Raises ValueError for an unknown variant."""
    p = _search.parameters(g.indptr, g.indices, g.weights, variant, k, t)
    if p["one_search"]:
        note = "one bounded Dijkstra search (k, t unused)"
    elif p["bounded_dijkstra_level"] >= 0:
        note = f"bounded Dijkstra at levels <= {p['bounded_dijkstra_level']}"
    else:
        note = ""
    return Parameters(p["transform_vertices"], p["transform_arcs"], p["searched_vertices"], p["base"], p["k"],
                      p["t"], p["levels"], note)
