"""quillharbour: exact single-source shortest paths on large directed graphs.

The graph is given in CSR form as three one-dimensional NumPy arrays:
``indptr`` (int64, n + 1 offsets), ``indices`` (int32 heads) and ``weights``
(float64, non-negative). Every function returns NumPy arrays: distances
(float64, +inf when unreachable) and predecessors (int32, -1 for the source and
for unreached vertices).
"""

from __future__ import annotations

import numpy as np

from . import _quillharbour
from ._quillharbour import bmssp, bmssp_instrumented, bmssp_variant, dijkstra

__version__ = "0.1.0"

__all__ = [
    "dijkstra",
    "bmssp",
    "bmssp_instrumented",
    "bmssp_variant",
    "dijkstra_multisource",
    "bmssp_multisource",
]


def _rows(flat: tuple[np.ndarray, np.ndarray], k: int, n: int) -> tuple[np.ndarray, np.ndarray]:
    dist, pred = flat
    return dist.reshape(k, n), pred.reshape(k, n)


def dijkstra_multisource(indptr, indices, weights, sources):
    """Dijkstra from every vertex in ``sources``, in parallel.

    Returns ``(distances, predecessors)`` of shape ``(k, n)``; row ``i`` is
    bit-identical to ``dijkstra(indptr, indices, weights, sources[i])``.
    """
    flat = _quillharbour.dijkstra_multisource(indptr, indices, weights, sources)
    return _rows(flat, len(sources), len(indptr) - 1)


def bmssp_multisource(indptr, indices, weights, sources, seed=0):
    """BMSSP from every vertex in ``sources``, in parallel.

    Returns ``(distances, predecessors)`` of shape ``(k, n)``; row ``i`` equals
    ``bmssp(indptr, indices, weights, sources[i], seed)``.
    """
    flat = _quillharbour.bmssp_multisource(indptr, indices, weights, sources, seed)
    return _rows(flat, len(sources), len(indptr) - 1)


# The Python workbench around the native functions.
from . import generators, io  # noqa: E402
from .api import from_networkx, reconstruct_path, shortest_paths, to_networkx  # noqa: E402
from .graph import CsrGraph  # noqa: E402
