"""The native extension module `quillharbour._search`."""

import numpy as np
import numpy.typing as npt

def search(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    sources: npt.NDArray[np.int64],
    limit: float | None = None,
    targets: npt.NDArray[np.int64] | None = None,
    directed: bool = True,
    return_predecessors: bool = True,
    return_sources: bool = False,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32] | None, npt.NDArray[np.int32] | None]: ...
def search_multisource(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    sources: npt.NDArray[np.int64],
    limit: float | None = None,
    targets: npt.NDArray[np.int64] | None = None,
    directed: bool = True,
    return_predecessors: bool = True,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32] | None]: ...
def bmssp_search(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    source: int,
    seed: int = 0,
    limit: float | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...
