"""quillharbour: exact single-source shortest paths on large directed graphs.

The graph is given in CSR form as three one-dimensional NumPy arrays:
``indptr`` (int64, n + 1 offsets), ``indices`` (int32 heads) and ``weights``
(float64, non-negative). Every function returns NumPy arrays: distances
(float64, +inf when unreachable) and predecessors (int32, -1 for the source and
for unreached vertices). Every method returns Dijkstra's distances bit for bit;
predecessors are tight for every method (each lies on a shortest path) but may
differ between methods where several paths are equally short.

``quillharbour.csgraph`` offers scipy.sparse.csgraph's ``dijkstra`` and
``shortest_path`` on these engines, and ``quillharbour.nx`` is the networkx
backend "quillharbour". :func:`trace` records every call of the recursion.
"""

from . import generators, io
from ._quillharbour import bmssp, bmssp_instrumented, bmssp_variant, dijkstra
from ._search import PanicException
from ._version import __version__ as __version__
from .api import (
    METHODS,
    VARIANTS,
    bmssp_multisource,
    dijkstra_multisource,
    from_networkx,
    reconstruct_path,
    shortest_paths,
    to_networkx,
)
from .graph import CsrGraph, as_csr, from_edges
from .tracing import CallTrace, trace

__all__ = [
    "dijkstra",
    "bmssp",
    "bmssp_instrumented",
    "bmssp_variant",
    "dijkstra_multisource",
    "bmssp_multisource",
    "shortest_paths",
    "reconstruct_path",
    "from_networkx",
    "to_networkx",
    "trace",
    "CallTrace",
    "CsrGraph",
    "as_csr",
    "from_edges",
    "METHODS",
    "VARIANTS",
    "io",
    "generators",
    "PanicException",
]


def __dir__() -> list[str]:
    """The API only (``__all__``), not the package's internal modules."""
    return sorted(__all__ + ["__version__"])
