"""What networkx learns of the quillharbour backend when it is imported.

networkx calls :func:`info` (the ``networkx.backend_info`` entry point) while it imports itself,
so this module stays apart from the ``quillharbour`` package: it imports nothing, and networkx's
import does not pay for NumPy and the native modules. The backend itself
(``quillharbour.nx:interface``, the ``networkx.backends`` entry point) is loaded only when a
call is dispatched to it.
"""

from __future__ import annotations

from typing import Any

# The networkx functions the backend implements (their dispatch names).
FUNCTIONS = (
    "all_pairs_dijkstra",
    "all_pairs_dijkstra_path",
    "all_pairs_dijkstra_path_length",
    "bidirectional_dijkstra",
    "dijkstra_path",
    "dijkstra_path_length",
    "dijkstra_predecessor_and_distance",
    "multi_source_dijkstra",
    "multi_source_dijkstra_path",
    "multi_source_dijkstra_path_length",
    "shortest_path",
    "shortest_path_length",
    "single_source_dijkstra",
    "single_source_dijkstra_path",
    "single_source_dijkstra_path_length",
)

_DOCS = (
    "Runs the search in quillharbour's C++ core and returns networkx's own answer: the same "
    "lengths (ints for int weights), the same paths among equally short ones, the same dict "
    "order. Calls whose answer it cannot reproduce exactly (negative, NaN or mixed int and "
    "float weights, weights that are not Python numbers) are left to networkx."
)
_FRONT_DOCS = "Served for method='dijkstra' with a weight; otherwise networkx answers."


def info() -> dict[str, Any]:
    """The ``networkx.backend_info`` of the quillharbour backend."""
    return {
        "backend_name": "quillharbour",
        "project": "quillharbour",
        "package": "quillharbour",
        "short_summary": "Exact weighted shortest paths from quillharbour's C++ core.",
        "functions": {
            name: {"additional_docs": _FRONT_DOCS if name.startswith("shortest_path") else _DOCS}
            for name in FUNCTIONS
        },
        "default_config": {},
    }
