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
backend "quillharbour".
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from . import _quillharbour
from ._quillharbour import bmssp, bmssp_instrumented, bmssp_variant, dijkstra
from ._search import PanicException

__version__ = "0.1.0"

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
    "CsrGraph",
    "as_csr",
    "from_edges",
    "METHODS",
    "VARIANTS",
    "io",
    "generators",
    "PanicException",
]


def _rows(flat: tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]], k: int,
          n: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    dist, pred = flat
    return dist.reshape(k, n), pred.reshape(k, n)


def dijkstra_multisource(
    indptr: npt.NDArray[np.int64], indices: npt.NDArray[np.int32], weights: npt.NDArray[np.float64],
    sources: npt.NDArray[np.int64],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """Dijkstra from every vertex in ``sources`` (int64, 1-D), in parallel.

    Returns ``(distances, predecessors)`` of shape ``(k, n)``; row ``i`` is
    bit-identical to ``dijkstra(indptr, indices, weights, sources[i])``. Raises as
    ``dijkstra`` does, naming the first bad source.
    """
    flat = _quillharbour.dijkstra_multisource(indptr, indices, weights, sources)
    return _rows(flat, len(sources), len(indptr) - 1)


def bmssp_multisource(
    indptr: npt.NDArray[np.int64], indices: npt.NDArray[np.int32], weights: npt.NDArray[np.float64],
    sources: npt.NDArray[np.int64], seed: int = 0,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """BMSSP from every vertex in ``sources`` (int64, 1-D), in parallel.

    Returns ``(distances, predecessors)`` of shape ``(k, n)``; row ``i`` equals
    ``bmssp(indptr, indices, weights, sources[i], seed)``. Raises as ``bmssp`` does.
    """
    flat = _quillharbour.bmssp_multisource(indptr, indices, weights, sources, seed)
    return _rows(flat, len(sources), len(indptr) - 1)


# The Python workbench around the native functions.
from . import generators, io  # noqa: E402
from .api import METHODS, VARIANTS, from_networkx, reconstruct_path, shortest_paths, to_networkx  # noqa: E402
from .graph import CsrGraph, as_csr, from_edges  # noqa: E402
