"""Reading and writing graphs: DIMACS ``.gr``, Matrix Market ``.mtx``, ``.csv``/``.tsv`` edge
lists and scipy ``.npz`` archives.

Every reader returns a :class:`~quillharbour.graph.CsrGraph` in the native dtypes, with the
arcs of each row in file order. Text formats may be gzip-compressed (``.gz`` suffix or gzip
magic bytes).

Parsing is two-tier. The fast path strips comment and blank lines with one regular expression
and hands the remaining body to NumPy's C tokenizer (``np.loadtxt``) in one call, then checks
vertex ranges with vectorised comparisons; no Python code runs per line. Only when something is
wrong does a slow pass walk the lines one by one to find the first offending line, so that every
:class:`GraphFormatError` names the file and the 1-based line. Weights are read as they are
written: the readers do not judge them (the algorithms reject negative or NaN weights).
"""

from __future__ import annotations

import gzip
import io as _stdio
import os
import re
import warnings
from pathlib import Path

import numpy as np

from .graph import INDEX_MAX, CsrGraph, as_csr, from_edges

__all__ = [
    "GraphFormatError",
    "load",
    "save",
    "read_dimacs",
    "write_dimacs",
    "read_matrix_market",
    "write_matrix_market",
    "read_edgelist",
    "write_edgelist",
    "read_npz",
    "write_npz",
    "format_of",
]

FORMATS = ("dimacs", "mtx", "csv", "tsv", "npz")
_SUFFIXES = {".gr": "dimacs", ".mtx": "mtx", ".csv": "csv", ".tsv": "tsv", ".npz": "npz"}


class GraphFormatError(ValueError):
    """A graph file is malformed; `path` and the 1-based `line` (None: whole file) say where."""

    def __init__(self, path, line: int | None, message: str):
        self.path = str(path)
        self.line = line
        self.reason = message
        where = f"{self.path}:{line}" if line is not None else self.path
        super().__init__(f"{where}: {message}")


# --- helpers ---------------------------------------------------------------------------------


def format_of(path) -> str:
    """The format name for `path` from its suffix (a trailing ``.gz`` is looked through)."""
    name = Path(path).name.lower()
    name = name.removesuffix(".gz")
    for suffix, fmt in _SUFFIXES.items():
        if name.endswith(suffix):
            return fmt
    known = ", ".join(sorted(_SUFFIXES)) + " (text formats also with .gz)"
    raise ValueError(f"{path}: unknown graph file type; known suffixes: {known}")


def _read_text(path) -> bytes:
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:2] == b"\x1f\x8b":
        try:
            raw = gzip.decompress(raw)
        except (OSError, EOFError) as exc:
            raise GraphFormatError(path, None, f"corrupt gzip data ({exc})") from None
    if b"\r" in raw:
        raw = raw.replace(b"\r\n", b"\n")
    return raw


def _open_write(path):
    if str(path).lower().endswith(".gz"):
        return gzip.open(path, "wb", compresslevel=6)
    return open(path, "wb")


def _lines(data: bytes, start_line: int = 1):
    """(line number, line) for every line of `data`; slow path only."""
    for number, line in enumerate(data.split(b"\n"), start_line):
        yield number, line


def _line_offsets(data: bytes, prefix: bytes) -> list[int]:
    """Offsets of the lines that start with `prefix` (substring searches, no per-line loop)."""
    out = [0] if data.startswith(prefix) else []
    at = data.find(b"\n" + prefix)
    while at >= 0:
        out.append(at + 1)
        at = data.find(b"\n" + prefix, at + 1)
    return out


def _show(line: bytes) -> str:
    text = line.decode("utf-8", "replace").strip()
    return text if len(text) <= 60 else text[:57] + "..."


def _line_of(data: bytes, offset: int) -> int:
    return data.count(b"\n", 0, offset) + 1


class _Table:
    """A body of data lines between skipped lines, parsed into typed columns.

    `skip` is a regular expression matching a whole line that is not data (comments, blanks);
    `fields` are (name, dtype) pairs; `delimiter` None means runs of whitespace.
    """

    def __init__(self, path, data: bytes, first_line: int, skip: bytes, delimiter, fields,
                 markers: tuple[bytes, ...] = ()):
        self.path, self.data, self.first_line = path, data, first_line
        self.markers = markers  # every first byte a skipped non-blank line can have
        self.skip = re.compile(skip)
        self.delimiter = delimiter
        self.fields = fields

    def body(self) -> bytes:
        """The data lines only. Skipped lines usually sit at the top (comments, headers): those
        are stepped over, and the rest is scanned by one regular expression only if a line
        there could be a skipped one (checked with fast substring searches)."""
        data, pos = self.data, 0
        while pos < len(data):
            end = data.find(b"\n", pos)
            end = len(data) if end < 0 else end
            if not self.skip.fullmatch(data[pos:end]):
                break
            pos = end + 1
        rest = data[pos:]
        starts = re.escape(b"".join(self.markers)) + rb"\n \t"
        if re.search(rb"\n[" + starts + rb"]", rest):
            rest = re.sub(rb"(?m)^(?:" + self.skip.pattern + rb")(?:\n|\Z)", b"", rest)
        return rest

    def parse(self) -> np.ndarray:
        body = self.body()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)  # "input contained no data"
                return np.loadtxt(
                    _stdio.BytesIO(body),
                    dtype=self.fields,
                    delimiter=self.delimiter,
                    comments=None,
                    ndmin=1,
                    encoding="latin1",
                )
        except ValueError as exc:
            self._diagnose()
            raise GraphFormatError(self.path, None, f"cannot parse ({exc})") from None

    def data_lines(self):
        for number, line in _lines(self.data, self.first_line):
            if not self.skip.fullmatch(line):
                yield number, line

    def line_of_row(self, row: int) -> tuple[int, bytes]:
        for i, (number, line) in enumerate(self.data_lines()):
            if i == row:
                return number, line
        raise IndexError(row)

    def fail_at(self, row: int, message: str):
        number, line = self.line_of_row(row)
        raise GraphFormatError(self.path, number, f"{message}: {_show(line)!r}")

    def _diagnose(self):
        want = len(self.fields)
        for number, line in self.data_lines():
            text = line.decode("latin1")
            parts = text.split(self.delimiter) if self.delimiter else text.split()
            if len(parts) != want:
                raise GraphFormatError(
                    self.path, number, f"expected {want} fields, found {len(parts)}: {_show(line)!r}"
                )
            for (name, dtype), part in zip(self.fields, parts):
                kind = np.dtype(dtype).kind
                try:
                    value = int(part) if kind == "i" else float(part) if kind == "f" else None
                except ValueError:
                    what = "an integer" if kind == "i" else "a number"
                    raise GraphFormatError(
                        self.path, number, f"{name} is not {what}: {part.strip()!r}"
                    ) from None
                if kind == "i" and not -(2**63) <= value < 2**63:
                    raise GraphFormatError(self.path, number, f"{name} {part.strip()} is too large")


def _check_ids(table: _Table, ids: np.ndarray, lo: int, hi: int, what: str):
    """Fail at the first row whose id lies outside [lo, hi]."""
    if len(ids) == 0:
        return
    bad = np.flatnonzero((ids < lo) | (ids > hi))
    if len(bad):
        table.fail_at(int(bad[0]), f"{what} {ids[bad[0]]} is outside [{lo}, {hi}]")


def _parse_count(path, line_no: int, token: bytes, what: str, limit: int = INDEX_MAX) -> int:
    try:
        value = int(token)
    except ValueError:
        raise GraphFormatError(path, line_no, f"{what} is not an integer: {_show(token)!r}") from None
    if value < 0 or value > limit:
        raise GraphFormatError(path, line_no, f"{what} {value} is outside [0, {limit}]")
    return value


def _format_weights(weights: np.ndarray) -> list[str]:
    """Shortest text for each weight that reads back to the same float64."""
    if len(weights) and np.all(np.isfinite(weights)) and np.all(weights == np.round(weights)) \
            and np.all(np.abs(weights) < 2.0**53) and not np.any(np.signbit(weights) & (weights == 0)):
        return [str(w) for w in weights.astype(np.int64).tolist()]
    return [repr(w) for w in weights.tolist()]


def _write_rows(f, fmt: str, tails, heads, weights):
    chunk = 1 << 16
    for start in range(0, len(tails), chunk):
        sl = slice(start, start + chunk)
        rows = zip(tails[sl].tolist(), heads[sl].tolist(), _format_weights(weights[sl]))
        f.write("".join(fmt.format(u, v, w) for u, v, w in rows).encode())


# --- DIMACS shortest-path challenge format -----------------------------------------------------

_DIMACS_SKIP = rb"[cp][^\n]*|[ \t]*"
_DIMACS_PROBLEM = re.compile(rb"p(?:[ \t]+([^\s]*))?(?:[ \t]+([^\s]*))?(?:[ \t]+([^\s]*))?[ \t]*([^\n]*)(?=\n|\Z)")


def read_dimacs(path) -> CsrGraph:
    """Read a DIMACS shortest-path ``.gr`` file (``p sp N M`` then ``a u v w``, 1-based)."""
    data = _read_text(path)
    problems = [_DIMACS_PROBLEM.match(data, at) for at in _line_offsets(data, b"p")]
    if not problems:
        raise GraphFormatError(path, None, "no problem line 'p sp <vertices> <arcs>'")
    if len(problems) > 1:
        raise GraphFormatError(path, _line_of(data, problems[1].start()), "second problem line")
    p = problems[0]
    p_line = _line_of(data, p.start())
    kind, n_tok, m_tok, rest = p.groups()
    if kind != b"sp" or not n_tok or not m_tok or rest:
        raise GraphFormatError(
            path, p_line, f"expected 'p sp <vertices> <arcs>', found {_show(p.group(0))!r}"
        )
    n = _parse_count(path, p_line, n_tok, "vertex count")
    m = _parse_count(path, p_line, m_tok, "arc count", limit=2**62)

    table = _Table(path, data, 1, _DIMACS_SKIP, None,
                   [("tag", "S2"), ("tail", np.int64), ("head", np.int64), ("weight", np.float64)],
                   markers=(b"c", b"p"))
    rows = table.parse()
    if len(rows):
        bad = np.flatnonzero(rows["tag"] != b"a")
        if len(bad):
            table.fail_at(int(bad[0]), "expected an arc line 'a <tail> <head> <weight>'")
    _check_ids(table, rows["tail"], 1, n, "tail")
    _check_ids(table, rows["head"], 1, n, "head")
    if len(rows) != m:
        raise GraphFormatError(path, p_line, f"problem line declares {m} arcs but the file has {len(rows)}")
    return from_edges(n, rows["tail"] - 1, rows["head"] - 1, rows["weight"], sort=False)


def write_dimacs(graph, path, comment: str | None = None) -> None:
    """Write `graph` as a DIMACS ``.gr`` file (gzip-compressed when `path` ends in ``.gz``)."""
    g = as_csr(graph)
    with _open_write(path) as f:
        if comment:
            for line in comment.splitlines():
                f.write(f"c {line}\n".encode())
        f.write(f"p sp {g.n} {g.m}\n".encode())
        _write_rows(f, "a {} {} {}\n", g.tails() + 1, g.indices.astype(np.int64) + 1, g.weights)


# --- Matrix Market coordinate format -----------------------------------------------------------

_MM_FIELDS = ("real", "double", "integer", "pattern")
_MM_SYMMETRY = ("general", "symmetric", "skew-symmetric", "hermitian")


def read_matrix_market(path) -> CsrGraph:
    """Read a square Matrix Market coordinate matrix; entry (i, j) becomes the arc i-1 -> j-1.

    Symmetric (and real hermitian) matrices give both directions of each off-diagonal entry;
    skew-symmetric ones give the mirrored arc with the negated value; pattern matrices give
    weight 1.0.
    """
    data = _read_text(path)
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

    # The size line is the first line after the header that is not a comment or blank.
    pos, line_no, size = end + 1, 1, None
    while 0 < pos <= len(data):
        nxt = data.find(b"\n", pos)
        nxt = len(data) if nxt < 0 else nxt
        line_no += 1
        line = data[pos:nxt]
        pos = nxt + 1
        if line.strip() and not line.lstrip().startswith(b"%"):
            size = line
            break
    if size is None:
        raise GraphFormatError(path, None, "missing the size line '<rows> <columns> <entries>'")
    parts = size.split()
    if len(parts) != 3:
        raise GraphFormatError(path, line_no, f"expected '<rows> <columns> <entries>', found {_show(size)!r}")
    rows_n = _parse_count(path, line_no, parts[0], "row count")
    cols_n = _parse_count(path, line_no, parts[1], "column count")
    nnz = _parse_count(path, line_no, parts[2], "entry count", limit=2**62)
    if rows_n != cols_n:
        raise GraphFormatError(path, line_no, f"a graph needs a square matrix, this one is {rows_n} x {cols_n}")
    n = rows_n

    fields = [("row", np.int64), ("col", np.int64)]
    if field != "pattern":
        fields.append(("value", np.float64))
    body = data[pos:] if pos <= len(data) else b""
    table = _Table(path, body, line_no + 1, rb"[ \t]*%[^\n]*|[ \t]*", None, fields, markers=(b"%",))
    entries = table.parse()
    _check_ids(table, entries["row"], 1, n, "row")
    _check_ids(table, entries["col"], 1, n, "column")
    if len(entries) != nnz:
        raise GraphFormatError(path, line_no, f"size line declares {nnz} entries but the file has {len(entries)}")
    tails, heads = entries["row"] - 1, entries["col"] - 1
    values = entries["value"] if field != "pattern" else np.ones(len(entries))
    if symmetry != "general":
        off = tails != heads
        mirrored = -values[off] if symmetry == "skew-symmetric" else values[off]
        tails, heads = np.concatenate([tails, heads[off]]), np.concatenate([heads, tails[off]])
        values = np.concatenate([values, mirrored])
    return from_edges(n, tails, heads, values, sort=False)


def write_matrix_market(graph, path, comment: str | None = None) -> None:
    """Write `graph` as a 'matrix coordinate real general' Matrix Market file."""
    g = as_csr(graph)
    with _open_write(path) as f:
        f.write(b"%%MatrixMarket matrix coordinate real general\n")
        if comment:
            for line in comment.splitlines():
                f.write(f"% {line}\n".encode())
        f.write(f"{g.n} {g.n} {g.m}\n".encode())
        _write_rows(f, "{} {} {}\n", g.tails() + 1, g.indices.astype(np.int64) + 1, g.weights)


# --- delimited edge lists ----------------------------------------------------------------------

_VERTICES_COMMENT = re.compile(rb"(?m)^#[ \t]*vertices:[ \t]*(\S+)[ \t]*$")


def read_edgelist(path, delimiter: str | None = None, n: int | None = None) -> CsrGraph:
    """Read an edge list of ``source<delim>target[<delim>weight]`` lines with 0-based ids.

    The delimiter defaults to ',' for ``.csv`` and a tab for ``.tsv`` files. Lines starting with
    '#' and blank lines are skipped; a first data line that is not numeric is a header. Without a
    weight column every arc weighs 1.0. The vertex count is `n`, else a ``# vertices: N`` comment,
    else the largest id plus one.
    """
    if delimiter is None:
        delimiter = "\t" if format_of(path) == "tsv" else ","
    data = _read_text(path)
    skip = rb"[ \t]*#[^\n]*|[ \t]*"
    probe = _Table(path, data, 1, skip, delimiter, [])
    first = next(probe.data_lines(), None)
    start, first_line = 0, 1
    if first is not None:
        number, line = first
        cells = line.decode("latin1").split(delimiter)
        if not _numeric(cells[0]):
            # A header line: parse from the line after it.
            start, first_line = _offset_after_line(data, number), number + 1
            first = next(_Table(path, data[start:], first_line, skip, delimiter, []).data_lines(), None)
    width = len(first[1].decode("latin1").split(delimiter)) if first is not None else 3
    if width not in (2, 3):
        raise GraphFormatError(path, first[0], f"expected 2 or 3 fields (source, target[, weight]), "
                                               f"found {width}: {_show(first[1])!r}")
    fields = [("source", np.int64), ("target", np.int64)]
    if width == 3:
        fields.append(("weight", np.float64))
    table = _Table(path, data[start:], first_line, skip, delimiter, fields, markers=(b"#",))
    rows = table.parse()

    declared = _VERTICES_COMMENT.search(data)
    if n is None and declared:
        n = _parse_count(path, _line_of(data, declared.start()), declared.group(1), "vertex count")
    top = max(int(rows["source"].max()), int(rows["target"].max())) if len(rows) else -1
    if n is None:
        n = top + 1
        if n > INDEX_MAX:
            table.fail_at(int(np.argmax(np.maximum(rows["source"], rows["target"]))),
                          f"vertex id exceeds {INDEX_MAX - 1}")
    _check_ids(table, rows["source"], 0, n - 1, "source")
    _check_ids(table, rows["target"], 0, n - 1, "target")
    weights = rows["weight"] if width == 3 else np.ones(len(rows))
    return from_edges(n, rows["source"], rows["target"], weights, sort=False)


def _offset_after_line(data: bytes, number: int) -> int:
    """Byte offset of the start of line `number` + 1 (lines counted from 1)."""
    offset = 0
    for _ in range(number):
        nxt = data.find(b"\n", offset)
        if nxt < 0:
            return len(data)
        offset = nxt + 1
    return offset


def _numeric(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def write_edgelist(graph, path, delimiter: str | None = None) -> None:
    """Write `graph` as ``source,target,weight`` lines (tab-separated for ``.tsv``), with a header
    and a ``# vertices: N`` comment so that isolated vertices survive a round trip."""
    if delimiter is None:
        delimiter = "\t" if format_of(path) == "tsv" else ","
    g = as_csr(graph)
    with _open_write(path) as f:
        f.write(f"# vertices: {g.n}\n".encode())
        f.write(delimiter.join(("source", "target", "weight")).encode() + b"\n")
        _write_rows(f, "{}" + delimiter + "{}" + delimiter + "{}\n", g.tails(), g.indices, g.weights)


# --- scipy .npz archives -----------------------------------------------------------------------


def read_npz(path) -> CsrGraph:
    """Read a graph saved by ``scipy.sparse.save_npz`` (csr, csc or coo) or by :func:`write_npz`.

    Archives holding plain ``indptr``, ``indices`` and ``weights`` arrays are accepted as well.
    Other scipy formats are loaded through scipy when it is installed.
    """
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic != b"PK\x03\x04":
        raise GraphFormatError(path, None, "not a NumPy .npz archive (no zip header)")
    try:
        archive = np.load(path, allow_pickle=False)
    except (ValueError, OSError) as exc:
        raise GraphFormatError(path, None, f"unreadable .npz archive ({exc})") from None
    with archive:
        keys = set(archive.files)
        if "format" not in keys:
            if {"indptr", "indices", "weights"} <= keys:
                return _checked(path, (archive["indptr"], archive["indices"], archive["weights"]))
            raise GraphFormatError(path, None, f"not a sparse-matrix archive (keys: {sorted(keys)})")
        fmt = archive["format"].item()
        fmt = fmt.decode("ascii") if isinstance(fmt, bytes) else str(fmt)
        shape = tuple(int(s) for s in archive["shape"]) if "shape" in keys else None
        if shape is None or len(shape) != 2:
            raise GraphFormatError(path, None, "missing or non-2-D 'shape'")
        if shape[0] != shape[1]:
            raise GraphFormatError(path, None, f"a graph needs a square matrix, this one is "
                                               f"{shape[0]} x {shape[1]}")
        n = shape[0]
        try:
            if fmt == "csr":
                return _checked(path, (archive["indptr"], archive["indices"], archive["data"]), n)
            if fmt == "csc":
                indptr, rows = archive["indptr"], archive["indices"]
                cols = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr))
                return from_edges(n, rows, cols, archive["data"], sort=False)
            if fmt == "coo":
                if "coords" in keys:
                    row, col = archive["coords"]
                else:
                    row, col = archive["row"], archive["col"]
                return from_edges(n, row, col, archive["data"], sort=False)
        except (KeyError, ValueError, TypeError) as exc:
            raise GraphFormatError(path, None, f"inconsistent {fmt} arrays ({exc})") from None
    try:
        from scipy import sparse
    except ImportError:
        raise GraphFormatError(path, None, f"format {fmt!r} needs scipy to load") from None
    return as_csr(sparse.load_npz(path))


def _checked(path, triple, n: int | None = None) -> CsrGraph:
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


def write_npz(graph, path, compressed: bool = True) -> None:
    """Write `graph` in the layout of ``scipy.sparse.save_npz`` (csr), readable without scipy."""
    g = as_csr(graph)
    save = np.savez_compressed if compressed else np.savez
    save(path, format=np.array(b"csr"), shape=np.array([g.n, g.n]),
         data=g.weights, indices=g.indices, indptr=g.indptr)


# --- dispatch ----------------------------------------------------------------------------------

_READERS = {"dimacs": read_dimacs, "mtx": read_matrix_market, "csv": read_edgelist,
            "tsv": read_edgelist, "npz": read_npz}
_WRITERS = {"dimacs": write_dimacs, "mtx": write_matrix_market, "csv": write_edgelist,
            "tsv": write_edgelist, "npz": write_npz}


def load(path, format: str | None = None) -> CsrGraph:
    """Read a graph file, choosing the reader by `format` or by the file's suffix."""
    fmt = format or format_of(path)
    if fmt not in _READERS:
        raise ValueError(f"unknown graph format {fmt!r}; known: {', '.join(FORMATS)}")
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such graph file: {path}")
    return _READERS[fmt](path)


def save(graph, path, format: str | None = None) -> None:
    """Write a graph file, choosing the writer by `format` or by the file's suffix."""
    fmt = format or format_of(path)
    if fmt not in _WRITERS:
        raise ValueError(f"unknown graph format {fmt!r}; known: {', '.join(FORMATS)}")
    if fmt == "npz" and str(path).lower().endswith(".gz"):
        raise ValueError(f"{path}: .npz archives are compressed already; drop the .gz")
    _WRITERS[fmt](graph, path)

