"""The native extension module `quillharbour._quillharbour`."""

from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__: list[str]

_F64 = npt.NDArray[np.float64]
_I32 = npt.NDArray[np.int32]
_I64 = npt.NDArray[np.int64]

def dijkstra(indptr: _I64, indices: _I32, weights: _F64, source: SupportsIndex) -> tuple[_F64, _I32]: ...
def bmssp(
    indptr: _I64, indices: _I32, weights: _F64, source: SupportsIndex, seed: SupportsIndex = 0
) -> tuple[_F64, _I32]: ...
def bmssp_instrumented(
    indptr: _I64, indices: _I32, weights: _F64, source: SupportsIndex, seed: SupportsIndex = 0
) -> tuple[_F64, _I32, _I64, _F64]: ...
def bmssp_variant(
    indptr: _I64,
    indices: _I32,
    weights: _F64,
    source: SupportsIndex,
    variant: str,
    seed: SupportsIndex = 0,
    k: SupportsIndex = 0,
    t: SupportsIndex = 0,
) -> tuple[_F64, _I32]: ...
def dijkstra_multisource(indptr: _I64, indices: _I32, weights: _F64, sources: _I64) -> tuple[_F64, _I32]: ...
def bmssp_multisource(
    indptr: _I64, indices: _I32, weights: _F64, sources: _I64, seed: SupportsIndex = 0
) -> tuple[_F64, _I32]: ...
