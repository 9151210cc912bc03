"""Matrix Market coordinate files (``.mtx``, ``.mtx.gz``): entry (i, j) is the arc i-1 -> j-1.

Parsed by ``scipy.io.mmread`` (a reader in parallel C++); this module checks the header and the
size line first, so that a declared size the file cannot back is refused before anything is
allocated for it, and hands the parser only what it can read safely.

Duplicate entries. A matrix holds one value per (i, j); scipy reads a file that repeats an
entry by summing the repeats (``mmread`` and then csgraph's conversion to CSR), and so does this
reader: the distances are the ones scipy.sparse.csgraph gives for the same file. A graph with
parallel arcs survives a round trip all the same: the files this package writes say so in a
comment line (DUPLICATES_ARE_ARCS, before the size line), and in such a file each entry is
an arc of its own, in file order.
"""

from __future__ import annotations

import io as _stdio
import mmap
import os
import re
import warnings
from typing import Any

import numpy as np

from ..graph import CsrGraph, _grouped, as_csr
from ._common import (
    GraphFormatError,
    PathLike,
    _check_vertex_count,
    _line_at,
    _line_of,
    _needs,
    _open_write,
    _parse_count,
    _read_text,
    _show,
    _write_rows,
)

_MM_FIELDS = ("real", "double", "integer", "pattern")
_MM_SYMMETRY = ("general", "symmetric", "skew-symmetric", "hermitian")
_MM_DATA_LINE = re.compile(rb"(?m)^(?![ \t]*%)[ \t]*[^\s%][^\n]*")
_MM_LINE_NO = re.compile(r"^Line (\d+): (.*)$")
_MM_HEAD_BYTES = 1 << 20
# The comment line that marks a file this package wrote: each entry is an arc of its own.
DUPLICATES_ARE_ARCS = "% quillharbour: duplicate entries are parallel arcs"
_OWN_FILE = re.compile(rb"(?m)^" + re.escape(DUPLICATES_ARE_ARCS.encode()) + rb"[ \t]*$")


def read_matrix_market(path: PathLike) -> CsrGraph:
    """Read a square Matrix Market coordinate matrix; entry (i, j) becomes the arc i-1 -> j-1.

    Parsed by ``scipy.io.mmread``. Symmetric (and real hermitian) matrices give both
    directions of each off-diagonal entry; skew-symmetric ones give the mirrored arc with the
    negated value; pattern matrices give weight 1.0. Duplicate entries are summed, as scipy
    reads them, unless the file carries the comment line this package writes
    (DUPLICATES_ARE_ARCS), which makes them parallel arcs in file order.
    Raises GraphFormatError for a malformed header or entry, ImportError without scipy.
    """
    mmio = _needs("scipy.io", "Matrix Market files")
    # The header and the size line decide everything checked here: read only the head of a
    # plain file and let the parser read the file itself (in parallel).
    plain = not str(path).lower().endswith((".gz", ".bz2"))
    with open(path, "rb") as f:
        data = f.read(_MM_HEAD_BYTES)
        plain = plain and data[:2] != b"\x1f\x8b" and b"\r" not in data
        whole = len(data) < _MM_HEAD_BYTES
        if plain and whole:  # see _mmread: only a file the parser may read as it is
            plain = data.endswith(b"\n") and b"\0" not in data
        elif plain:
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                plain = mapped[-1:] == b"\n" and mapped.find(b"\0") < 0
    probe = _MM_DATA_LINE.search(data, data.find(b"\n") + 1 if b"\n" in data else len(data))
    if not plain or probe is None or (not whole and probe.end() >= len(data)):  # size line cut off
        data, plain, whole = _read_text(path), False, True
    size_bytes = len(data) if whole else os.path.getsize(path)
    end = data.find(b"\n")
    header = data[: end if end >= 0 else len(data)]
    tokens = header.lower().split()
    if len(tokens) != 5 or tokens[0] != b"%%matrixmarket":
        raise GraphFormatError(path, 1, f"expected a '%%MatrixMarket matrix coordinate ...' header, "
                                        f"found {_show(header)!r}")
    obj, layout, field, symmetry = (t.decode() for t in tokens[1:])
    if obj != "matrix":
        raise GraphFormatError(path, 1, f"object {obj!r} is not supported (only 'matrix')")
    if layout != "coordinate":
        raise GraphFormatError(path, 1, f"layout {layout!r} is not supported (only the sparse 'coordinate')")
    if field not in _MM_FIELDS:
        raise GraphFormatError(path, 1, f"field {field!r} is not supported (one of {', '.join(_MM_FIELDS)})")
    if symmetry not in _MM_SYMMETRY:
        raise GraphFormatError(path, 1, f"symmetry {symmetry!r} is not supported")

    size = _MM_DATA_LINE.search(data, end + 1) if end >= 0 else None
    if size is None:
        raise GraphFormatError(path, None, "missing the size line '<rows> <columns> <entries>'")
    line_no = _line_of(data, size.start())
    parts = size.group(0).split()
    if len(parts) != 3:
        raise GraphFormatError(path, line_no, f"expected '<rows> <columns> <entries>', found {_show(size.group(0))!r}")
    rows_n = _parse_count(path, line_no, parts[0], "row count")
    cols_n = _parse_count(path, line_no, parts[1], "column count")
    nnz = _parse_count(path, line_no, parts[2], "entry count", limit=2**62)
    if rows_n != cols_n:
        raise GraphFormatError(path, line_no, f"a graph needs a square matrix, this one is {rows_n} x {cols_n}")
    body = size_bytes - size.end()
    if nnz > (body + 1) // 4:  # every entry line holds at least "1 1\n"
        raise GraphFormatError(path, line_no, f"size line declares {nnz} entries, more than the "
                                              f"{body} bytes after it can hold")
    _check_vertex_count(path, line_no, rows_n, nnz * (1 if symmetry == "general" else 2), size_bytes)

    try:
        try:
            m = _mmread(mmio, path if plain else data, path)
        except GraphFormatError:
            raise
        except ValueError:
            # The parser wants comments only before the size line: take out any others.
            if not whole:
                data, whole = _read_text(path), True
            if data.find(b"\n%", size.end()) < 0:
                raise
            data = data[: size.end()] + re.sub(rb"(?m)^[ \t]*%[^\n]*\n?", b"", data[size.end():])
            m = _mmread(mmio, data, path)
    except GraphFormatError:
        raise
    except (ValueError, OverflowError) as exc:  # OverflowError: an index beyond 64 bits
        if not whole:
            data = _read_text(path)
        text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        found = _MM_LINE_NO.match(text)
        if found:
            number = int(found.group(1))
            line = data.split(b"\n", number)[number - 1] if number <= data.count(b"\n") + 1 else b""
            raise GraphFormatError(path, number, f"{found.group(2).rstrip('.')}: {_show(line)!r}") from None
        if text.startswith("Truncated file"):
            text = f"size line declares {nnz} entries but the file has fewer"
            raise GraphFormatError(path, line_no, text) from None
        raise GraphFormatError(path, None, text) from None
    # The parser has checked every index against the size line. Files written column by
    # column, as most collections write their matrices, are grouped into rows here.
    if _OWN_FILE.search(data, 0, size.start()):
        return _grouped(rows_n, m.row, m.col, m.data)
    return as_csr(m.tocsr())  # duplicates summed, as scipy reads them


def _mmread(mmio: Any, source: PathLike | bytes, path: PathLike) -> Any:
    """scipy's parse of the file `path`, or of its text in memory. The parser reads past the
    end of a last line that has no line end, and past a NUL byte, and can crash the process
    there: a file is given to it only when it holds neither, text gets a last line end, and
    a NUL byte is refused here."""
    if isinstance(source, bytes):
        nul = source.find(b"\0")
        if nul >= 0:
            line = _line_at(source, source.rfind(b"\n", 0, nul) + 1)
            raise GraphFormatError(path, _line_of(source, nul), f"NUL byte in a line: {_show(line)!r}")
        text = _stdio.BytesIO(source if source.endswith(b"\n") else source + b"\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return mmio.mmread(text if isinstance(source, bytes) else source)


def write_matrix_market(graph: Any, path: PathLike, comment: str | None = None) -> None:
    """Write `graph` as a 'matrix coordinate real general' Matrix Market file, marked
    (DUPLICATES_ARE_ARCS) so that parallel arcs read back as parallel arcs."""
    g = as_csr(graph)
    with _open_write(path) as f:
        f.write(b"%%MatrixMarket matrix coordinate real general\n")
        f.write(f"{DUPLICATES_ARE_ARCS}\n".encode())
        if comment:
            for line in comment.splitlines():
                f.write(f"% {line}\n".encode())
        f.write(f"{g.n} {g.n} {g.m}\n".encode())
        _write_rows(f, "{} {} {}\n", g.tails() + 1, g.indices.astype(np.int64) + 1, g.weights)
