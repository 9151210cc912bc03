"""The graph record shared by the Python layer: three CSR arrays in the native dtypes.

Every reader, generator and converter of the package produces a :class:`CsrGraph`, whose
arrays are exactly what the native functions accept (``indptr`` int64, ``indices`` int32,
``weights`` float64, all one-dimensional and C-contiguous), so a graph can be handed to
``quillharbour._quillharbour`` without any conversion. :func:`as_csr` is the one place where
foreign inputs (scipy.sparse matrices and arrays of any format, dense and masked matrices and
nested lists read as scipy reads them, or ``(indptr, indices, weights)`` tuples) are turned into
that form; it copies only when a dtype or the memory layout requires it, and it refuses an input
that could be read two ways instead of guessing.
"""

from __future__ import annotations

import hashlib
from typing import Any, NamedTuple

import numpy as np

from . import _search

INDEX_MAX = np.iinfo(np.int32).max

# What the package accepts as a graph: a CsrGraph, a scipy.sparse matrix or array of any
# format, a dense or masked matrix or a nested list, or an (indptr, indices, weights) tuple.
GraphLike = Any


class CsrGraph(NamedTuple):
    """A directed graph in CSR form; unpacks as ``(indptr, indices, weights)``."""

    indptr: np.ndarray
    indices: np.ndarray
    weights: np.ndarray

    @property
    def n(self) -> int:
        """Number of vertices."""
        return len(self.indptr) - 1

    @property
    def m(self) -> int:
        """Number of arcs (parallel arcs and self-loops counted)."""
        return len(self.indices)

    def tails(self) -> np.ndarray:
        """The tail vertex of every arc, in CSR order (int64)."""
        return np.repeat(np.arange(self.n, dtype=np.int64), np.diff(self.indptr))

    def to_scipy(self) -> Any:
        """The graph as a ``scipy.sparse.csr_array`` (shares the arrays; parallel arcs kept)."""
        from scipy import sparse

        return sparse.csr_array((self.weights, self.indices, self.indptr), shape=(self.n, self.n))


def _is_scipy_sparse(obj: Any) -> bool:
    try:
        from scipy import sparse
    except ImportError:
        return False
    return bool(sparse.issparse(obj))


def _as_index_array(values: Any, name: str, dtype: Any) -> np.ndarray:
    """`values` as a 1-D contiguous integer array of `dtype`, refusing values that would wrap."""
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (got {arr.ndim} dimensions)")
    if arr.dtype == dtype:
        return np.ascontiguousarray(arr)
    if arr.size == 0:
        return np.zeros(0, dtype=dtype)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers (got dtype {arr.dtype})")
    info = np.iinfo(dtype)
    lo, hi = arr.min(), arr.max()
    if lo < info.min or hi > info.max:
        raise ValueError(f"{name} holds values outside the {np.dtype(dtype).name} range")
    return np.ascontiguousarray(arr, dtype=dtype)


def _square(shape: tuple[int, ...]) -> None:
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"a graph's matrix must be square (got shape {shape})")


def _real_matrix(matrix: np.ndarray) -> np.ndarray:
    """A dense matrix checked to be square and real, as float64."""
    if matrix.dtype.kind == "c":
        raise TypeError("complex weights are not supported")
    if matrix.dtype.kind not in "biuf":
        raise TypeError(f"a dense graph must hold real numbers (got dtype {matrix.dtype})")
    _square(matrix.shape)
    return np.asarray(matrix, dtype=np.float64)


def _from_dense(matrix: np.ndarray, arcs: np.ndarray) -> CsrGraph:
    """The graph whose arcs are the entries (i, j) of `matrix` where `arcs` is set, row by row."""
    n = matrix.shape[0]
    if n > INDEX_MAX:
        raise ValueError(f"vertex count {n} is outside [0, {INDEX_MAX}]")
    rows, cols = np.nonzero(arcs)
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return CsrGraph(indptr, cols.astype(np.int32), np.ascontiguousarray(matrix[rows, cols]))


def from_dense(matrix: Any) -> CsrGraph:
    """A dense matrix (or nested list) as scipy.sparse.csgraph reads it: entry (i, j) is the arc
    i -> j, and entries that are 0, NaN or infinite are no arcs."""
    m = _real_matrix(np.asarray(matrix))
    return _from_dense(m, np.isfinite(m) & (m != 0))


def from_masked(matrix: Any) -> CsrGraph:
    """A masked matrix as scipy.sparse.csgraph reads it: every unmasked entry (i, j) is the arc
    i -> j with that weight, zeros included; masked entries are no arcs."""
    m = _real_matrix(np.ma.getdata(matrix))
    return _from_dense(m, ~np.ma.getmaskarray(matrix))


def _could_be_a_matrix(items: tuple[Any, ...]) -> bool:
    """Whether a 3-tuple that is not three NumPy arrays could also be read as a 3 x 3 matrix."""
    if all(isinstance(x, np.ndarray) for x in items):
        return False
    return all(np.ndim(x) == 1 and len(x) == 3 for x in items)


def as_csr(graph: GraphLike) -> CsrGraph:
    """Convert `graph` to a :class:`CsrGraph` in the native dtypes.

    `graph` is read as scipy.sparse.csgraph reads it, or as the package's own triple:

    - a scipy.sparse matrix or array of any format: its canonical CSR form, where duplicate
      entries are summed and explicit zeros are zero-weight arcs (entry (i, j) is the arc
      i -> j);
    - a dense NumPy matrix or a nested list (a list is always a matrix): entries that are 0,
      NaN or infinite are no arcs;
    - a masked array: unmasked entries are arcs, zeros included;
    - a :class:`CsrGraph` or a tuple ``(indptr, indices, weights)``, taken as it is (parallel
      arcs kept). A tuple of three length-3 sequences that are not all NumPy arrays could be a
      3 x 3 matrix as well, and is refused (pass a CsrGraph, or a NumPy matrix).

    Only the shape is checked here (square matrix, lengths consistent); the native functions
    check the structure and the weights.

    Raises TypeError for complex or non-numeric weights, an input that reads two ways and
    other objects; ValueError for a non-square matrix, arrays of the wrong shape or ids that
    do not fit.
    """
    if isinstance(graph, CsrGraph):
        return graph
    if _is_scipy_sparse(graph):
        _square(graph.shape)
        if graph.dtype.kind == "c":
            raise TypeError("complex weights are not supported")
        csr = graph if graph.format == "csr" else graph.tocsr()
        if len(csr.indptr) and csr.indptr[-1] != len(csr.indices):
            raise ValueError("malformed scipy matrix: indptr[-1] != len(indices)")
        if not csr.has_canonical_format:
            # What scipy means by the matrix: duplicate entries summed (explicit zeros stay).
            csr = csr.copy() if csr is graph else csr
            csr.sum_duplicates()
        triple: Any = (csr.indptr, csr.indices, csr.data)
    elif np.ma.isMaskedArray(graph):
        return from_masked(graph)
    elif isinstance(graph, np.ndarray):
        return from_dense(graph)
    elif isinstance(graph, list):
        try:
            matrix = np.asarray(graph)
        except ValueError:
            matrix = None  # ragged
        if matrix is None or matrix.ndim != 2 or matrix.dtype.kind not in "biufc":
            raise TypeError(
                "a list is read as a dense matrix, as scipy reads it, but this one is not a matrix of "
                "numbers; for an (indptr, indices, weights) triple pass a tuple or a CsrGraph"
            )
        return from_dense(matrix)
    elif isinstance(graph, tuple) and len(graph) == 3:
        if _could_be_a_matrix(graph):
            raise TypeError(
                "a tuple of three length-3 sequences reads two ways: as an (indptr, indices, weights) "
                "triple or as a 3 x 3 dense matrix, as scipy reads it; pass CsrGraph(indptr, indices, "
                "weights) or a tuple of NumPy arrays for the triple, or a NumPy array for the matrix"
            )
        triple = graph
    else:
        raise TypeError(
            "graph must be a scipy.sparse matrix or array, a dense or masked matrix, or an "
            f"(indptr, indices, weights) tuple (got {type(graph).__name__})"
        )
    indptr = _as_index_array(triple[0], "indptr", np.int64)
    indices = _as_index_array(triple[1], "indices", np.int32)
    weights = np.asarray(triple[2])
    if weights.ndim != 1:
        raise ValueError(f"weights must be one-dimensional (got {weights.ndim} dimensions)")
    if weights.dtype.kind not in "biuf":
        raise TypeError(f"weights must be real numbers (got dtype {weights.dtype})")
    weights = np.ascontiguousarray(weights, dtype=np.float64)
    if len(indptr) == 0:
        raise ValueError("indptr must have length n + 1 (got empty array)")
    if len(indices) != len(weights):
        raise ValueError("indices and weights must have the same length")
    return CsrGraph(indptr, indices, weights)


def graph_digest(graph: GraphLike) -> str:
    """A hex digest of a graph's three CSR arrays: equal for equal graphs whatever the file."""
    g = as_csr(graph)
    h = hashlib.blake2b(digest_size=16)
    h.update(np.array([g.n, g.m], dtype=np.int64).tobytes())
    for arr in g:
        h.update(np.ascontiguousarray(arr).data.cast("B"))
    return h.hexdigest()


def _grouped(n: int, tails: np.ndarray, heads: np.ndarray, weights: np.ndarray, base: int = 0) -> CsrGraph:
    """The CSR graph of arcs ``tails[i] - base -> heads[i] - base``, whose ids are known to lie
    in range, grouped by tail with each row in the arcs' given order (the native core's stable
    counting sort; arcs already grouped by tail, as files mostly hold them, are copied)."""
    ids = np.int32 if tails.dtype == np.int32 and heads.dtype == np.int32 else np.int64
    indptr, indices, w = _search.group_arcs(n, np.ascontiguousarray(tails, dtype=ids),
                                            np.ascontiguousarray(heads, dtype=ids),
                                            np.ascontiguousarray(weights, dtype=np.float64), base)
    return CsrGraph(indptr, indices, w)


def from_edges(n: int, tails: Any, heads: Any, weights: Any, *, sort: bool = True) -> CsrGraph:
    """Build a CSR graph with `n` vertices from parallel arc arrays.

    With `sort` the arcs of each row are ordered by head (a stable order, so parallel arcs keep
    their relative order); without it they keep their input order within each row.
    Raises ValueError for arrays of different lengths or an endpoint outside [0, n).
    """
    tails = np.asarray(tails, dtype=np.int64)
    heads = np.asarray(heads, dtype=np.int64)
    weights = np.asarray(weights, dtype=np.float64)
    if not (tails.shape == heads.shape == weights.shape) or tails.ndim != 1:
        raise ValueError("tails, heads and weights must be 1-D arrays of one length")
    if n < 0 or n > INDEX_MAX:
        raise ValueError(f"vertex count {n} is outside [0, {INDEX_MAX}]")
    if len(tails) and (min(tails.min(), heads.min()) < 0 or max(tails.max(), heads.max()) >= n):
        raise ValueError(f"arc endpoints must lie in [0, {n})")
    if not sort:
        return _grouped(n, tails, heads, weights)  # copies: the graph never shares the inputs
    # Two stable counting sorts, by head and then by tail, order each row by head with parallel
    # arcs in their given order; natively, in the background, so that Ctrl-C is noticed.
    by_head = _grouped(n, heads, tails, weights)
    sorted_heads = np.repeat(np.arange(n, dtype=np.int32), np.diff(by_head.indptr))
    return _grouped(n, by_head.indices, sorted_heads, by_head.weights)
