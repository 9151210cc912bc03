"""Reading and writing graphs: DIMACS ``.gr``, Matrix Market ``.mtx``, ``.csv``/``.tsv`` edge
lists and scipy ``.npz`` archives.

Every reader returns a :class:`~quillharbour.graph.CsrGraph` in the native dtypes, with the
arcs of each row in file order. Text formats may be gzip-compressed (``.gz`` suffix or gzip
magic bytes).

Each format is parsed by the best parser at hand: Matrix Market by ``scipy.io.mmread``, edge
lists by pyarrow's CSV reader (quoting, delimiter detection, headers), DIMACS by the reader
here. That one hands the arc lines of a memory-mapped file in one call to pyarrow's parser,
which also proves every line a plain arc line; otherwise it takes out comment and blank lines by
slices or a vectorised byte mask first (NumPy's C tokenizer parses lines not written plainly,
or all of them without pyarrow). Vertex ranges are checked with vectorised comparisons and the
CSR arrays built by one count and, only for arcs not grouped by tail, one stable counting sort;
no Python code runs per line. Only when something is wrong does a slow pass walk
the lines to find the first offending one, so that every :class:`GraphFormatError` names the
file and, where it can, the 1-based line. A size declared in a header is checked against what
the file can hold before anything is allocated for it. Weights are read as they are written:
the readers do not judge them (the algorithms reject negative or NaN weights).
"""

from __future__ import annotations

import contextlib
import csv
import gzip
import io as _stdio
import itertools
import mmap
import os
import re
import warnings
import zipfile
from zlib import error as zlib_error
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, Union

import numpy as np

from ._files import atomic_write
from .graph import INDEX_MAX, CsrGraph, _grouped, as_csr, from_edges

__all__ = [
    "GraphFormatError",
    "FORMATS",
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

PathLike = Union[str, "os.PathLike[str]"]

FORMATS = ("dimacs", "mtx", "csv", "tsv", "npz")
_SUFFIXES = {".gr": "dimacs", ".mtx": "mtx", ".csv": "csv", ".tsv": "tsv", ".npz": "npz"}

# Vertices a file may declare beyond the 2 per arc its arcs can touch: isolated vertices cost
# nothing in the file, so allow one per byte of it, and at least this many.
ISOLATED_ALLOWANCE = 1 << 20


class GraphFormatError(ValueError):
    """A graph file is malformed; `path` and the 1-based `line` (None: whole file) say where."""

    def __init__(self, path: PathLike, line: int | None, message: str):
        self.path = str(path)
        self.line = line
        self.reason = message
        where = f"{self.path}:{line}" if line is not None else self.path
        super().__init__(f"{where}: {message}")


# --- helpers ---------------------------------------------------------------------------------


def format_of(path: PathLike) -> str:
    """The format name for `path` from its suffix (a trailing ``.gz`` is looked through).

    Raises ValueError for an unknown suffix."""
    name = Path(path).name.lower()
    name = name.removesuffix(".gz")
    for suffix, fmt in _SUFFIXES.items():
        if name.endswith(suffix):
            return fmt
    known = ", ".join(sorted(_SUFFIXES)) + " (text formats also with .gz)"
    raise ValueError(f"{path}: unknown graph file type; known suffixes: {known}")


def _read_text(path: PathLike) -> bytes:
    with open(path, "rb") as f:
        return _plain_text(path, f.read())


def _plain_text(path: PathLike, raw: bytes) -> bytes:
    """`raw` decompressed when it is gzip data, with CRLF line ends made LF."""
    if raw[:2] == b"\x1f\x8b":
        try:
            raw = gzip.decompress(raw)
        except (OSError, EOFError, zlib_error) as exc:
            raise GraphFormatError(path, None, f"corrupt gzip data ({exc})") from None
    if b"\r" in raw:
        raw = raw.replace(b"\r\n", b"\n")
    return raw


def _no_lone_cr(path: PathLike, data: bytes) -> None:
    """Refuse a carriage return that does not end a line (CRLF ends were made LF already):
    parsers split lines there, or fail, in ways that would hide where."""
    at = data.find(b"\r")
    if at >= 0:
        raise GraphFormatError(path, _line_of(data, at), "carriage return (\\r) inside a line; "
                                                         "lines must end in \\n or \\r\\n")


@contextlib.contextmanager
def _open_write(path: PathLike) -> Iterator[Any]:
    """A binary file that replaces `path` whole once the block ends (gzip-compressed for a
    ``.gz`` path), or leaves it as it was when the block raises."""
    with atomic_write(path) as f:
        if not str(path).lower().endswith(".gz"):
            yield f
            return
        # the header names the file as gzip.open would, not the temporary file beside it
        with gzip.GzipFile(filename=os.fspath(path), mode="wb", fileobj=f, compresslevel=6) as z:
            yield z


def _show(line: bytes) -> str:
    text = line.decode("utf-8", "replace").strip()
    return text if len(text) <= 60 else text[:57] + "..."


def _line_of(data: bytes, offset: int) -> int:
    return data.count(b"\n", 0, offset) + 1


def _line_at(data: bytes, offset: int) -> bytes:
    end = data.find(b"\n", offset)
    return data[offset: end if end >= 0 else len(data)]


def _lines(data: bytes, start_line: int = 1) -> Iterator[tuple[int, bytes]]:
    """(line number, line) for every line of `data`; slow path only."""
    for number, line in enumerate(data.split(b"\n"), start_line):
        yield number, line


def _check_vertex_count(path: PathLike, line: int | None, n: int, arcs: int, size: int) -> None:
    """Refuse a declared vertex count that a file of `size` bytes with `arcs` arcs cannot back,
    before anything of that size is allocated."""
    limit = 2 * arcs + max(size, ISOLATED_ALLOWANCE)
    if n > limit:
        raise GraphFormatError(path, line, f"declares {n} vertices, more than a file of {size} bytes "
                                           f"with {arcs} arcs can back (at most {limit})")


def _parse_count(path: PathLike, line_no: int, token: bytes, what: str, limit: int = INDEX_MAX) -> int:
    try:
        value = int(token)
    except ValueError:
        raise GraphFormatError(path, line_no, f"{what} is not an integer: {_show(token)!r}") from None
    if value < 0 or value > limit:
        raise GraphFormatError(path, line_no, f"{what} {value} is outside [0, {limit}]")
    return value


class _Table:
    """Whitespace-separated data lines, parsed into typed columns in one call.

    `data` is the whole text the lines come from (for error messages), `skip` a regular
    expression matching a whole line that is not data (comments, blanks), `fields` the
    (name, dtype) pairs of a data line.
    """

    def __init__(self, path: PathLike, data: bytes, skip: bytes, fields: list[tuple[str, Any]]):
        self.path, self._data = path, data
        self.skip = re.compile(skip)
        self.fields = fields

    @property
    def data(self) -> bytes:
        if not isinstance(self._data, bytes):  # a map of the file: its bytes, for the slow path
            self._data = bytes(self._data)
        return self._data

    def parse(self, body: bytes) -> np.ndarray:
        """The typed rows of `body`, the data lines of `data` with the others taken out."""
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)  # "input contained no data"
                return np.loadtxt(_stdio.BytesIO(body), dtype=self.fields, delimiter=None,
                                  comments=None, ndmin=1, encoding="latin1")
        except ValueError as exc:
            self._diagnose()
            raise GraphFormatError(self.path, None, f"cannot parse ({exc})") from None

    def data_lines(self) -> Iterator[tuple[int, bytes]]:
        for number, line in _lines(self.data):
            if not self.skip.fullmatch(line):
                yield number, line

    def fail_at(self, row: int, message: str) -> None:
        for i, (number, line) in enumerate(self.data_lines()):
            if i == row:
                raise GraphFormatError(self.path, number, f"{message}: {_show(line)!r}")
        raise GraphFormatError(self.path, None, message)

    def _diagnose(self) -> None:
        want = len(self.fields)
        for number, line in self.data_lines():
            parts = line.decode("latin1").split()
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
                    raise GraphFormatError(self.path, number, f"{name} is not {what}: {part!r}") from None
                if kind == "i" and not -(2**63) <= value < 2**63:  # type: ignore[operator]
                    raise GraphFormatError(self.path, number, f"{name} {part} is too large")


def _check_ids(table: _Table, ids: np.ndarray, lo: int, hi: int, what: str) -> None:
    """Fail at the first row whose id lies outside [lo, hi]."""
    if len(ids) == 0 or (ids.min() >= lo and ids.max() <= hi):
        return
    bad = np.flatnonzero((ids < lo) | (ids > hi))
    if len(bad):
        table.fail_at(int(bad[0]), f"{what} {ids[bad[0]]} is outside [{lo}, {hi}]")


def _format_weights(weights: np.ndarray) -> list[str]:
    """Shortest text for each weight that reads back to the same float64."""
    if len(weights) and np.all(np.isfinite(weights)) and np.all(weights == np.round(weights)) \
            and np.all(np.abs(weights) < 2.0**53) and not np.any(np.signbit(weights) & (weights == 0)):
        return [str(w) for w in weights.astype(np.int64).tolist()]
    return [repr(w) for w in weights.tolist()]


def _write_rows(f: Any, fmt: str, tails: np.ndarray, heads: np.ndarray, weights: np.ndarray) -> None:
    chunk = 1 << 16
    for start in range(0, len(tails), chunk):
        sl = slice(start, start + chunk)
        rows = zip(tails[sl].tolist(), heads[sl].tolist(), _format_weights(weights[sl]))
        f.write("".join(fmt.format(u, v, w) for u, v, w in rows).encode())


def _needs(module: str, what: str) -> Any:
    """Import an optional parser, or say which extra brings it."""
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        raise ImportError(f"reading {what} needs {module.split('.')[0]}: "
                          "pip install 'quillharbour[cli]'") from None


# --- DIMACS shortest-path challenge format -----------------------------------------------------

_DIMACS_SKIP = rb"[cp][^\n]*|[ \t]*"
_DIMACS_PROBLEM = re.compile(rb"p(?:[ \t]+([^\s]*))?(?:[ \t]+([^\s]*))?(?:[ \t]+([^\s]*))?[ \t]*([^\n]*)")
_DIMACS_FIELDS = [("tag", "S2"), ("tail", np.int64), ("head", np.int64), ("weight", np.float64)]
_NOT_ARC_START = re.compile(rb"\n(?=[^a])")  # ends where such a line starts
_NOT_ARC_TAGS = (b"c", b"p", b"\n")
_FEW_CUTS = 1 << 12
_NOT_HEADER_START = re.compile(rb"(?:\A|\n)(?:[^cpa\n \t]|[ \t]+[^\s])")


def _line_starts(data: bytes, prefix: bytes, limit: int, end: int | None = None) -> list[int]:
    """Offsets of the first `limit` lines starting with the byte `prefix` before offset `end`.

    Searches for the byte and looks back one: a search for newline-and-byte crawls where
    nearly every byte is a newline (a compressed file of blank lines)."""
    end = len(data) if end is None else end
    out: list[int] = []
    at = data.find(prefix, 0, end)
    while at >= 0 and len(out) < limit:
        if at == 0 or data[at - 1] == 10:
            out.append(at)
        at = data.find(prefix, at + 1, end)
    return out


def _arc_body(data: bytes, start: int) -> bytes:
    """The arc lines of `data` from offset `start` on, with comment, problem and blank lines
    taken out: cut out by slices when there are few (comments between sections), else by a
    vectorised byte mask."""
    first = [start] if data[start:start + 1] in _NOT_ARC_TAGS else []
    found = first + [m.end() for m in itertools.islice(_NOT_ARC_START.finditer(data, start), _FEW_CUTS)]
    if not found:
        return data[start:]
    if len(found) < _FEW_CUTS:
        view, pieces, at = memoryview(data), [], start
        for line in found:
            if data[line:line + 1] in _NOT_ARC_TAGS:
                pieces.append(view[at:line])
                end = data.find(b"\n", line)
                at = len(data) if end < 0 else end + 1
        pieces.append(view[at:])
        return b"".join(pieces)
    buf = np.frombuffer(data, dtype=np.uint8)[start:]
    ends = np.flatnonzero(buf == ord("\n")) + 1
    starts = np.concatenate([[0], ends])
    if starts[-1] == len(buf):
        starts = starts[:-1]
    lengths = np.diff(np.append(starts, len(buf)))
    first_bytes = buf[starts]
    skip = (first_bytes == ord("c")) | (first_bytes == ord("p")) | (first_bytes == ord("\n"))
    return bytes(buf[np.repeat(~skip, lengths)].tobytes())


def read_dimacs(path: PathLike) -> CsrGraph:
    """Read a DIMACS shortest-path ``.gr`` file (``p sp N M`` then ``a u v w``, 1-based).

    Comment lines (``c``) and blank lines may stand anywhere. Raises GraphFormatError naming
    the line for a missing or second problem line, a declared size the file cannot back, a
    malformed arc line, a vertex id outside [1, N] or an arc count other than M.
    """
    text = _read_text(path)
    _no_lone_cr(path, text)
    size = len(text)
    first_arc = next(iter(_line_starts(text, b"a", 1)), size)
    # Usually every line from the first arc line on is an arc line "a u v w": the parser checks
    # each tag as it goes, and then only the lines before the first arc line need looking at.
    fast = _parse_arcs_fast(text, first_arc) if first_arc < size else None
    if fast is not None:
        data, arc_lines, pure = text[:first_arc], len(fast[0]), True
    else:  # substring counts tell whether they are
        data = text
        arc_lines, pure = _count_arc_lines(data, first_arc)
    problems = _line_starts(data, b"p", 2, end=first_arc if pure else None)
    if not problems:
        raise GraphFormatError(path, None, "no problem line 'p sp <vertices> <arcs>'")
    if len(problems) > 1:
        raise GraphFormatError(path, _line_of(data, problems[1]), "second problem line")
    p = _DIMACS_PROBLEM.match(_line_at(data, problems[0]))
    assert p is not None
    p_line = _line_of(data, problems[0])
    kind, n_tok, m_tok, rest = p.groups()
    if kind != b"sp" or not n_tok or not m_tok or rest:
        raise GraphFormatError(path, p_line, f"expected 'p sp <vertices> <arcs>', found {_show(p.group(0))!r}")
    n = _parse_count(path, p_line, n_tok, "vertex count")
    m = _parse_count(path, p_line, m_tok, "arc count", limit=2**62)

    table = _Table(path, text, _DIMACS_SKIP, _DIMACS_FIELDS)
    # Before the first arc line: comments, the problem line and blank lines only.
    odd = _NOT_HEADER_START.search(data, 0, first_arc)
    if odd:
        at = odd.start() + (data[odd.start():odd.start() + 1] == b"\n")
        raise GraphFormatError(path, _line_of(data, at),
                               f"expected an arc line 'a <tail> <head> <weight>': {_show(_line_at(data, at))!r}")
    # Every arc line holds at least "a 1 1 0\n"; both counts are checked before allocating.
    if arc_lines != m and pure and (fast is None or _count_arc_lines(table.data, first_arc)[1]):
        # (blank lines among the arcs leave the count to be checked after the ids, as it is below)
        raise GraphFormatError(path, p_line, f"problem line declares {m} arcs but the file has {arc_lines}")
    if m > (size + 1) // 8:
        raise GraphFormatError(path, p_line, f"problem line declares {m} arcs, more than a file of "
                                             f"{size} bytes can hold")
    _check_vertex_count(path, p_line, n, m, size)

    if fast is None and not pure:  # comment or blank lines among the arcs: take them out first
        fast = _parse_arcs_fast(_arc_body(data, first_arc), 0)
    if fast is not None:
        tails, heads, weights = fast
    else:
        rows = table.parse(_arc_body(data, first_arc))
        tails, heads, weights = rows["tail"], rows["head"], rows["weight"]
        bad = np.flatnonzero(rows["tag"] != b"a")
        if len(bad):
            table.fail_at(int(bad[0]), "expected an arc line 'a <tail> <head> <weight>'")
    _check_ids(table, tails, 1, n, "tail")
    _check_ids(table, heads, 1, n, "head")
    if len(tails) != m:
        raise GraphFormatError(path, p_line, f"problem line declares {m} arcs but the file has {len(tails)}")
    return _grouped(n, tails, heads, weights, base=1)


def _count_arc_lines(data: bytes, start: int) -> tuple[int, bool]:
    """The number of arc lines "a ..." in `data` from offset `start` on, and whether every line
    there is one, by three substring counts."""
    if start >= len(data):
        return 0, False
    body_lines = data.count(b"\n", start) + (not data.endswith(b"\n"))
    arc_lines = data.count(b"\na ", start) + data.startswith(b"a ", start)
    return arc_lines, arc_lines == body_lines


def _parse_arcs_fast(data: bytes, start: int) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
    """(tails, heads, weights) of `data` from `start` on, when every line there is an arc line
    "a u v w" with single spaces and ids below 2**31 or is empty, by pyarrow's multi-threaded
    parser when it is installed; None for anything else (the caller then finds what is wrong,
    and NumPy's parser takes the body with its runs of blanks and names a bad line)."""
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.csv as pacsv  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    names = ["tag", "tail", "head", "weight"]
    # The tag column reads as a boolean whose only accepted spelling is "a": a comment, problem
    # or other line with four fields makes the parse fail instead of passing as an arc.
    types = [pa.bool_(), pa.int32(), pa.int32(), pa.float64()]
    try:
        table = pacsv.read_csv(
            pa.BufferReader(pa.py_buffer(memoryview(data)[start:])),  # no copy of the text
            read_options=pacsv.ReadOptions(column_names=names, block_size=1 << 22),
            parse_options=pacsv.ParseOptions(delimiter=" ", quote_char=False),
            convert_options=pacsv.ConvertOptions(column_types=dict(zip(names, types)), null_values=[],
                                                 true_values=["a"], false_values=[],
                                                 strings_can_be_null=False),
        )
    except (pa.ArrowInvalid, pa.ArrowTypeError):
        return None
    tags = table.column("tag")
    if tags.null_count or not all(chunk.false_count == 0 for chunk in tags.chunks):
        return None
    tails, heads, weights = (table.column(c).to_numpy() for c in names[1:])
    return tails, heads, weights


def write_dimacs(graph: Any, path: PathLike, comment: str | None = None) -> None:
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
_MM_DATA_LINE = re.compile(rb"(?m)^(?![ \t]*%)[ \t]*[^\s%][^\n]*")
_MM_LINE_NO = re.compile(r"^Line (\d+): (.*)$")
_MM_HEAD_BYTES = 1 << 20


def read_matrix_market(path: PathLike) -> CsrGraph:
    """Read a square Matrix Market coordinate matrix; entry (i, j) becomes the arc i-1 -> j-1.

    Parsed by ``scipy.io.mmread``. Symmetric (and real hermitian) matrices give both
    directions of each off-diagonal entry; skew-symmetric ones give the mirrored arc with the
    negated value; pattern matrices give weight 1.0; duplicate entries are parallel arcs.
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
    return _grouped(rows_n, m.row, m.col, m.data)


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
        source = _stdio.BytesIO(source if source.endswith(b"\n") else source + b"\n")  # type: ignore[assignment]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return mmio.mmread(source)


def write_matrix_market(graph: Any, path: PathLike, comment: str | None = None) -> None:
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
_EDGE_SKIP = re.compile(rb"[ \t]*(?:#[^\n]*)?")
_EDGE_SKIP_LINES = re.compile(rb"(?m)^[ \t]*(?:#[^\n]*)?(?:\n|\Z)")
_EDGE_LEADING = re.compile(rb"(?:[ \t]*(?:#[^\n]*)?\n)*")
_DELIMITERS = (",", "\t", ";", "|", " ")
_COLUMNS = ("source", "target", "weight")
_SAMPLE_BYTES = 1 << 16


def _cells(line: str, delimiter: str) -> list[str]:
    if delimiter == " ":  # runs of blanks, as the parser gets them once normalised
        return line.split()
    try:
        return next(csv.reader([line], delimiter=delimiter), [])
    except csv.Error:  # a field beyond the csv module's size limit: the parser names the line
        return line.split(delimiter)


def _numeric(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _sniff(lines: list[str], preferred: str) -> str:
    """The delimiter that splits every sample line into the same 2 or 3 fields, trying the
    file type's own first; `preferred` when none does (the parser then names the line)."""
    for delimiter in (preferred,) + tuple(d for d in _DELIMITERS if d != preferred):
        widths = {len(_cells(line, delimiter)) for line in lines}
        if len(widths) == 1 and widths <= {2, 3}:
            return delimiter
    return preferred


def read_edgelist(path: PathLike, delimiter: str | None = None, n: int | None = None) -> CsrGraph:
    """Read an edge list of ``source<delim>target[<delim>weight]`` lines with 0-based ids.

    Parsed by pyarrow's CSV reader: fields may be quoted. The delimiter is detected among
    ',', tab, ';', '|' and space (the file type's own first: ',' for ``.csv``, tab for
    ``.tsv``) unless given. Lines starting with '#' and blank lines are skipped. A first line
    whose source and target fields are not numbers is a header when a data line follows it. Without a weight column
    every arc weighs 1.0; duplicate lines are parallel arcs. The vertex count is `n`, else a
    ``# vertices: N`` comment, else the largest id plus one.

    Raises GraphFormatError naming the line for a malformed line or an id out of range, and
    naming the file when it holds no arc but does hold data; ImportError without pyarrow.
    """
    pacsv = _needs("pyarrow.csv", "edge lists")
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    preferred = delimiter or ("\t" if format_of(path) == "tsv" else ",")
    data = _read_text(path)
    _no_lone_cr(path, data)
    declared = _VERTICES_COMMENT.search(data) if b"#" in data else None
    if n is None and declared:
        n = _parse_count(path, _line_of(data, declared.start()), declared.group(1), "vertex count")
    # Comments and blank lines usually stand at the top: step over those, and run the regular
    # expression over the rest only if substring tests find a line there that may need skipping.
    start = _EDGE_LEADING.match(data).end()  # type: ignore[union-attr]
    if any(data.find(mark, start) >= 0 for mark in (b"\n#", b"\n\n", b"\n ", b"\n\t")):
        body: bytes | memoryview = _EDGE_SKIP_LINES.sub(b"", data[start:])
    else:
        body = memoryview(data)[start:]
    text = bytes(body[:_SAMPLE_BYTES])
    if len(body) > _SAMPLE_BYTES:
        cut = text.rfind(b"\n")
        if cut < 0:  # a first line longer than the sample: take it whole
            whole = bytes(body)
            cut = whole.find(b"\n") if b"\n" in whole else len(whole)
            text = whole
        text = text[:cut]  # no line cut short
    sample = text.decode("latin1").split("\n")
    sample = [line for line in sample if line][:50]
    if not sample:  # nothing but comments and blank lines
        return from_edges(_checked_n(path, n, 0, len(data)), [], [], [], sort=False)
    delimiter = delimiter or _sniff(sample, preferred)
    first = _cells(sample[0], delimiter)
    own = [c.strip().lower() for c in first] in (list(_COLUMNS[:2]), list(_COLUMNS))
    header = (len(sample) > 1 or own) and not any(_numeric(c) for c in first[:2])
    if header and len(sample) == 1:  # this package's header over no arcs
        return from_edges(_checked_n(path, n, 0, len(data)), [], [], [], sort=False)
    width = len(_cells(sample[1], delimiter)) if header else len(first)
    table_lines = _EdgeLines(path, data, delimiter, header)
    if width not in (2, 3):
        number, line = table_lines.nth(1 if header else 0)
        raise GraphFormatError(path, number, f"expected 2 or 3 fields (source, target[, weight]), "
                                             f"found {width}: {_show(line)!r}")
    if delimiter == " " and re.search(rb"  |^ | $|\t", body, re.M):
        body = re.sub(rb"[ \t]+", b" ", re.sub(rb"(?m)^[ \t]+|[ \t]+$", b"", bytes(body)))
    names = list(_COLUMNS[:width])
    types = {"source": pa.int64(), "target": pa.int64(), "weight": pa.float64()}
    try:
        table = pacsv.read_csv(
            pa.BufferReader(pa.py_buffer(body)),
            read_options=pacsv.ReadOptions(column_names=names, skip_rows=int(header)),
            parse_options=pacsv.ParseOptions(delimiter=delimiter, quote_char='"'),
            convert_options=pacsv.ConvertOptions(
                column_types={k: types[k] for k in names}, null_values=[],
                strings_can_be_null=False, quoted_strings_can_be_null=False),
        )
    except (pa.ArrowInvalid, pa.ArrowTypeError) as exc:
        table_lines.diagnose(width)
        raise GraphFormatError(path, None, f"cannot parse ({str(exc).splitlines()[0]})") from None
    src = table.column("source").to_numpy()
    dst = table.column("target").to_numpy()
    weights = table.column("weight").to_numpy() if width == 3 else np.ones(len(src))
    top = max(int(src.max()), int(dst.max())) if len(src) else -1
    if n is None:
        if top >= INDEX_MAX:
            table_lines.fail_at(int(np.argmax(np.maximum(src, dst))), f"vertex id exceeds {INDEX_MAX - 1}")
        n = top + 1
    n = _checked_n(path, n, len(src), len(data))
    for ids, what in ((src, "source"), (dst, "target")):
        if len(ids) and (ids.min() < 0 or ids.max() >= n):
            bad = np.flatnonzero((ids < 0) | (ids >= n))
            table_lines.fail_at(int(bad[0]), f"{what} {ids[bad[0]]} is outside [0, {n - 1}]")
    return _grouped(n, src, dst, weights, base=0)


def _checked_n(path: PathLike, n: int | None, arcs: int, size: int) -> int:
    n = 0 if n is None else n
    if not 0 <= n <= INDEX_MAX:
        raise GraphFormatError(path, None, f"vertex count {n} is outside [0, {INDEX_MAX}]")
    _check_vertex_count(path, None, n, arcs, size)
    return n


class _EdgeLines:
    """The data lines of an edge list, walked one by one to name a bad line (slow path)."""

    def __init__(self, path: PathLike, data: bytes, delimiter: str, header: bool):
        self.path, self.data, self.delimiter, self.header = path, data, delimiter, header

    def rows(self) -> Iterator[tuple[int, bytes]]:
        lines = ((i, line) for i, line in _lines(self.data) if not _EDGE_SKIP.fullmatch(line))
        if self.header:
            next(lines, None)
        return lines

    def nth(self, row: int) -> tuple[int, bytes]:
        lines = ((i, line) for i, line in _lines(self.data) if not _EDGE_SKIP.fullmatch(line))
        for i, item in enumerate(lines):
            if i == row:
                return item
        return 0, b""

    def fail_at(self, row: int, message: str) -> None:
        number, line = self.nth(row + self.header)
        raise GraphFormatError(self.path, number, f"{message}: {_show(line)!r}")

    def diagnose(self, width: int) -> None:
        for number, line in self.rows():
            cells = _cells(line.decode("latin1"), self.delimiter)
            if len(cells) != width:
                raise GraphFormatError(self.path, number, f"expected {width} fields, found {len(cells)}: "
                                                          f"{_show(line)!r}")
            for name, cell in zip(_COLUMNS, cells):
                try:
                    value = float(cell) if name == "weight" else int(cell)
                except ValueError:
                    what = "a number" if name == "weight" else "an integer"
                    raise GraphFormatError(self.path, number, f"{name} is not {what}: {cell.strip()!r}") from None
                if name != "weight" and not -(2**63) <= value < 2**63:
                    raise GraphFormatError(self.path, number, f"{name} {cell.strip()} is too large")


def write_edgelist(graph: Any, path: PathLike, delimiter: str | None = None) -> None:
    """Write `graph` as ``source,target,weight`` lines (tab-separated for ``.tsv``) under a
    ``# vertices: N`` comment, so that isolated vertices survive a round trip, and a header
    line (left out when there is no arc, since a header needs a data line after it)."""
    if delimiter is None:
        delimiter = "\t" if format_of(path) == "tsv" else ","
    g = as_csr(graph)
    with _open_write(path) as f:
        f.write(f"# vertices: {g.n}\n".encode())
        if g.m:
            f.write(delimiter.join(_COLUMNS).encode() + b"\n")
        _write_rows(f, "{}" + delimiter + "{}" + delimiter + "{}\n", g.tails(), g.indices, g.weights)


# --- scipy .npz archives -----------------------------------------------------------------------

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
        from scipy import sparse  # type: ignore[import-untyped, unused-ignore]
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


# --- dispatch ----------------------------------------------------------------------------------

# What the parsers (this module's, NumPy's, scipy's, pyarrow's, zipfile, gzip, csv) raise on
# malformed bytes that no check here named first; load reports them as GraphFormatError.
_PARSER_FAULTS = (ValueError, KeyError, IndexError, OverflowError, EOFError, csv.Error, zipfile.BadZipFile,
                  zlib_error)

_READERS: dict[str, Callable[[PathLike], CsrGraph]] = {"dimacs": read_dimacs, "mtx": read_matrix_market, "csv": read_edgelist,
            "tsv": read_edgelist, "npz": read_npz}
_WRITERS: dict[str, Callable[[Any, PathLike], None]] = {"dimacs": write_dimacs, "mtx": write_matrix_market, "csv": write_edgelist,
            "tsv": write_edgelist, "npz": write_npz}


def load(path: PathLike, format: str | None = None) -> CsrGraph:
    """Read a graph file, choosing the reader by `format` (one of :data:`FORMATS`) or by the
    file's suffix (.gr, .mtx, .csv, .tsv, .npz; text formats also with .gz).

    Raises GraphFormatError (a ValueError) for a malformed file, ValueError for an unknown
    format, FileNotFoundError for a missing file and ImportError when the reader's library
    (scipy for .mtx, pyarrow for .csv/.tsv) is not installed.
    """
    fmt = format or format_of(path)
    if fmt not in _READERS:
        raise ValueError(f"unknown graph format {fmt!r}; known: {', '.join(FORMATS)}")
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such graph file: {path}")
    try:
        return _READERS[fmt](path)
    except GraphFormatError:
        raise
    except _PARSER_FAULTS as exc:  # a parsing library's own word for bytes it cannot read
        text = str(exc).splitlines()[0] if str(exc) else ""
        raise GraphFormatError(path, None, f"unreadable as {fmt} ({type(exc).__name__}: {text})") from None


def save(graph: Any, path: PathLike, format: str | None = None) -> None:
    """Write a graph (a CsrGraph, scipy matrix or CSR triple) to a file, choosing the writer by
    `format` or by the file's suffix; a ``.gz`` suffix compresses text formats.

    The file appears whole or not at all: it is written beside `path` and renamed over it at
    the end, so a failed or interrupted write leaves any previous file at `path` as it was.
    Raises ValueError for an unknown format or a ``.npz.gz`` path, OSError (naming `path`)
    when the file cannot be written."""
    fmt = format or format_of(path)
    if fmt not in _WRITERS:
        raise ValueError(f"unknown graph format {fmt!r}; known: {', '.join(FORMATS)}")
    if fmt == "npz" and str(path).lower().endswith(".gz"):
        raise ValueError(f"{path}: .npz archives are compressed already; drop the .gz")
    _WRITERS[fmt](graph, path)
