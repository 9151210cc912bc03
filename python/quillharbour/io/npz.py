"""scipy ``.npz`` archives: a sparse matrix as ``scipy.sparse.save_npz`` writes it (csr, csc or
coo), or plain ``indptr``, ``indices`` and ``weights`` arrays.

Every member's header is checked against the bytes the member can hold before any array is
loaded, and an archive holding Python objects is refused: nothing is ever unpickled.
"""

from __future__ import annotations

import os
import zipfile
from typing import Any

import numpy as np

from .._files import atomic_write
from ..graph import INDEX_MAX, CsrGraph, as_csr, from_edges
from ._common import GraphFormatError, PathLike, _check_vertex_count

# Deflate cannot expand data by more than about 1032 to 1; a member claiming more is refused.
_MAX_DEFLATE_RATIO = 1100


def _npz_members(path: PathLike) -> dict[str, tuple[tuple[int, ...], np.dtype]]:
    """Shape and dtype of every array of an archive, read from the member headers, each checked
    against the bytes the member can hold before any array is loaded."""
    out = {}
    try:
        with zipfile.ZipFile(path) as zf:
            for info in zf.infolist():
                if not info.filename.endswith(".npy"):
                    continue
                if info.compress_type == zipfile.ZIP_STORED:
                    room = info.compress_size
                else:
                    room = min(info.file_size, _MAX_DEFLATE_RATIO * info.compress_size + 1024)
                with zf.open(info) as f:
                    version = np.lib.format.read_magic(f)
                    if version == (1, 0):
                        shape, _, dtype = np.lib.format.read_array_header_1_0(f)
                    else:
                        shape, _, dtype = np.lib.format.read_array_header_2_0(f)
                    if dtype.hasobject:
                        raise GraphFormatError(path, None, f"member {info.filename} holds Python objects, "
                                                           "which are never unpickled; a graph archive "
                                                           "holds numeric arrays only")
                    need = int(np.prod(shape, dtype=object)) * dtype.itemsize
                    if need > room:
                        raise GraphFormatError(path, None, f"member {info.filename} declares "
                                                           f"{shape} {dtype} values, more than it holds")
                out[info.filename[:-4]] = (shape, dtype)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, OSError, ValueError,
            NotImplementedError) as exc:
        if isinstance(exc, GraphFormatError):
            raise
        raise GraphFormatError(path, None, f"unreadable .npz archive ({type(exc).__name__}: {exc})") from None
    return out


def read_npz(path: PathLike) -> CsrGraph:
    """Read a graph saved by ``scipy.sparse.save_npz`` (csr, csc or coo) or by :func:`write_npz`.

    Archives holding plain ``indptr``, ``indices`` and ``weights`` arrays are accepted as well.
    The arrays are taken as stored: duplicate entries are parallel arcs, as in the text formats.
    Other scipy formats are loaded through scipy when it is installed. Raises GraphFormatError
    for a file that is not such an archive, declares more than it holds or is inconsistent.
    """
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic != b"PK\x03\x04":
        raise GraphFormatError(path, None, "not a NumPy .npz archive (no zip header)")
    members = _npz_members(path)
    try:
        archive = np.load(path, allow_pickle=False)
    except (ValueError, OSError, EOFError, zipfile.BadZipFile) as exc:
        raise GraphFormatError(path, None, f"unreadable .npz archive ({exc})") from None
    with archive:
        keys = set(members)
        if "format" not in keys:
            if {"indptr", "indices", "weights"} <= keys:
                return _checked(path, (archive["indptr"], archive["indices"], archive["weights"]))
            raise GraphFormatError(path, None, f"not a sparse-matrix archive (keys: {sorted(keys)})")
        fmt_arr = archive["format"]
        if fmt_arr.ndim != 0 or fmt_arr.dtype.kind not in "SU":
            raise GraphFormatError(path, None, "'format' must be a string")
        fmt = fmt_arr.item()
        fmt = fmt.decode("ascii", "replace") if isinstance(fmt, bytes) else str(fmt)
        shape_arr = archive["shape"] if "shape" in keys else None
        if shape_arr is None or shape_arr.shape != (2,) or shape_arr.dtype.kind not in "iu":
            raise GraphFormatError(path, None, "'shape' must hold two integers")
        rows_n, cols_n = (int(s) for s in shape_arr)
        if rows_n != cols_n:
            raise GraphFormatError(path, None, f"a graph needs a square matrix, this one is {rows_n} x {cols_n}")
        n = rows_n
        if not 0 <= n <= INDEX_MAX:
            raise GraphFormatError(path, None, f"vertex count {n} is outside [0, {INDEX_MAX}]")
        nnz = members["data"][0][0] if "data" in members and len(members["data"][0]) == 1 else 0
        _check_vertex_count(path, None, n, nnz, os.path.getsize(path))
        try:
            if fmt == "csr":
                return _checked(path, (archive["indptr"], archive["indices"], archive["data"]), n)
            if fmt == "csc":
                csc = _checked(path, (archive["indptr"], archive["indices"], archive["data"]), n)
                return from_edges(n, csc.indices, csc.tails(), csc.weights, sort=False)
            if fmt == "coo":
                if "coords" in keys:
                    row, col = archive["coords"]
                else:
                    row, col = archive["row"], archive["col"]
                if row.dtype.kind not in "iu" or col.dtype.kind not in "iu":
                    raise GraphFormatError(path, None, f"coo indices must be integers (got {row.dtype}, {col.dtype})")
                return from_edges(n, row, col, archive["data"], sort=False)
        except (KeyError, ValueError, TypeError) as exc:
            if isinstance(exc, GraphFormatError):
                raise
            raise GraphFormatError(path, None, f"inconsistent {fmt} arrays ({exc})") from None
    try:
        from scipy import sparse
    except ImportError:
        raise GraphFormatError(path, None, f"format {fmt!r} needs scipy to load") from None
    try:
        return as_csr(sparse.load_npz(path))
    except (ValueError, TypeError, KeyError) as exc:  # KeyError: an array the format needs is missing
        raise GraphFormatError(path, None, f"unreadable {fmt} matrix ({exc})") from None


def _checked(path: PathLike, triple: tuple[Any, Any, Any], n: int | None = None) -> CsrGraph:
    try:
        g = as_csr(triple)
    except (TypeError, ValueError) as exc:
        raise GraphFormatError(path, None, str(exc)) from None
    if n is not None and g.n != n:
        raise GraphFormatError(path, None, f"indptr has {g.n + 1} entries for a {n} x {n} matrix")
    if g.indptr[-1] != g.m or g.indptr[0] != 0 or np.any(np.diff(g.indptr) < 0):
        raise GraphFormatError(path, None, "malformed indptr (must start at 0, not decrease and end at nnz)")
    if g.m and (g.indices.min() < 0 or g.indices.max() >= g.n):
        raise GraphFormatError(path, None, f"a column index lies outside [0, {g.n})")
    return g


def write_npz(graph: Any, path: PathLike, compressed: bool = True) -> None:
    """Write `graph` in the layout of ``scipy.sparse.save_npz`` (csr), readable without scipy."""
    g = as_csr(graph)
    save = np.savez_compressed if compressed else np.savez
    with atomic_write(path) as f:
        save(f, format=np.array(b"csr"), shape=np.array([g.n, g.n]),
             data=g.weights, indices=g.indices, indptr=g.indptr)
