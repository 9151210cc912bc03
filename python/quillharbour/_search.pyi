"""The native extension module `quillharbour._search`."""

from typing import Any, Literal, TypedDict, overload

import numpy as np
import numpy.typing as npt

VARIANTS: tuple[str, ...]

class PanicException(BaseException):
    """An internal invariant of the native core failed (the one class both native modules raise)."""

class RunCounts(TypedDict):
    """What one counted BMSSP run did (bmssp_counted)."""

    reoffers: int  # relaxations that offered a vertex again under the rounding rule
    finish_lowered: int  # labels the closing edge check lowered (0: the recursion alone was exact)
    pulls: int  # Pull calls on the levels' queues
    pulled: int  # vertices those pulls returned
    inserts: int  # Insert calls (the pivots a call starts its queue with excluded)
    batch_prepends: int  # BatchPrepend calls
    relaxations: int  # edges relaxed, the closing edge check excluded
    base_cases: int  # level-0 calls answered by the base case
    find_pivots: int  # FindPivots calls
    bounded_searches: int  # calls answered by one bounded search; a whole-search run counts 1

class ConfigCounts(RunCounts):
    """What one counted run of bmssp_config did, and what it ran on."""

    searched_vertices: int  # vertices of the graph the recursion searched
    searched_arcs: int  # its arcs
    k: int
    t: int
    levels: int  # level of the outermost call

class RunParameters(TypedDict):
    transform_vertices: int
    transform_arcs: int
    searched_vertices: int
    base: float
    k: int
    t: int
    levels: int
    bounded_dijkstra_level: int
    bounded_dijkstra_sources: int
    one_search: bool

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
def bmssp_counted(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    source: int,
    variant: str = "bmssp",
    seed: int = 0,
    k: int = 0,
    t: int = 0,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32], RunCounts]:
    """bmssp (or bmssp_variant with `variant`, `k`, `t`) in the recursion's counted form:
    the same distances and predecessors, with the run's exactness and operation counts.
    The timed entries run a form without counters."""

def bmssp_trace(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    source: int,
    variant: str = "bmssp",
    seed: int = 0,
    k: int = 0,
    t: int = 0,
) -> tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.int32],
    RunCounts,
    dict[str, npt.NDArray[Any]],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
]:
    """bmssp_counted in the recursion's traced form: (distances, predecessors, counts, calls,
    settled vertices, their distances); `calls` one column per field of a call, one entry per
    call in the order the calls began."""

@overload
def bmssp_config(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    source: int,
    seed: int = 0,
    *,
    queue: str = "block",
    transform: str | int = "all",
    hybrid_level: int = -1,
    hybrid_frontier: int = 0,
    lazy_pivots: bool = False,
    k: int = 0,
    t: int = 0,
    rule: str = "standard",
    counted: Literal[False] = False,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...
@overload
def bmssp_config(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    source: int,
    seed: int = 0,
    *,
    queue: str = "block",
    transform: str | int = "all",
    hybrid_level: int = -1,
    hybrid_frontier: int = 0,
    lazy_pivots: bool = False,
    k: int = 0,
    t: int = 0,
    rule: str = "standard",
    counted: Literal[True],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32], ConfigCounts]:
    """One BMSSP run of any configuration of the recursion; with `counted`, its counts."""

def parameters(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    variant: str = "bmssp",
    k: int = 0,
    t: int = 0,
) -> RunParameters: ...
def group_arcs(
    n: int,
    tails: npt.NDArray[np.signedinteger[Any]],  # int32 or int64, one dtype for both
    heads: npt.NDArray[np.signedinteger[Any]],
    weights: npt.NDArray[np.float64],
    base: int = 0,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    """The CSR arrays of the arcs ``tails[i] - base -> heads[i] - base`` grouped by tail, each
    row in the arcs' given order."""
def check_room(nbytes: int, what: str) -> None:
    """Raises MemoryError "Unable to allocate <nbytes> for <what>; ..." when `nbytes` is more
    than this process can ever be given (memory and swap, RLIMIT_AS, RLIMIT_DATA)."""

def read_adjacency(
    adj: Any,
    key: Any,
    multigraph: bool,
    index: dict[Any, int] | None = None,
    nodes: list[Any] | None = None,
    weighted: bool = True,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], npt.NDArray[np.float64] | None, int] | None:
    """A networkx adjacency as CSR arrays and the kind bits of its weights; None when it has to be
    read in Python (dicts that are not plain dicts, or no index for labels other than 0 .. n-1)."""

def push_order_search(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    sources: npt.NDArray[np.int64],
    cutoff: float | None = None,
    target: int | None = None,
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """Dijkstra settling ties in push order: (settle order, distances, predecessors)."""

def push_order_bidirectional(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    weights: npt.NDArray[np.float64],
    rindptr: npt.NDArray[np.int64],
    rindices: npt.NDArray[np.int32],
    rweights: npt.NDArray[np.float64],
    source: int,
    target: int,
) -> tuple[float, npt.NDArray[np.int32]] | tuple[None, None]:
    """Bidirectional Dijkstra in push order: (length, path), or (None, None) without a path."""
