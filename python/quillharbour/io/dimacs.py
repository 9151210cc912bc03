"""DIMACS shortest-path challenge files (``.gr``, ``.gr.gz``): ``p sp N M`` then ``a u v w`` lines.

The reader hands the arc lines of the file in one call to pyarrow's parser, which also proves
every line a plain arc line; otherwise it takes out comment and blank lines by slices or a
vectorised byte mask first (NumPy's C tokenizer parses lines not written plainly, or all of them
without pyarrow). Vertex ranges are checked with vectorised comparisons and the CSR arrays built
by one count and, only for arcs not grouped by tail, one stable counting sort; no Python code runs
per line. Only when something is wrong does a slow pass walk the lines to name the first
offending one.
"""

from __future__ import annotations

import io as _stdio
import itertools
import re
import warnings
from collections.abc import Iterator
from typing import Any

import numpy as np

from ..graph import CsrGraph, _grouped, as_csr
from ._common import (
    GraphFormatError,
    PathLike,
    _arrow_text,
    _check_vertex_count,
    _line_at,
    _line_of,
    _lines,
    _no_lone_cr,
    _open_write,
    _parse_count,
    _read_text,
    _show,
    _write_rows,
)

_DIMACS_SKIP = rb"[cp][^\n]*|[ \t]*"
_DIMACS_PROBLEM = re.compile(rb"p(?:[ \t]+([^\s]*))?(?:[ \t]+([^\s]*))?(?:[ \t]+([^\s]*))?[ \t]*([^\n]*)")
_DIMACS_FIELDS = [("tag", "S2"), ("tail", np.int64), ("head", np.int64), ("weight", np.float64)]
_NOT_ARC_START = re.compile(rb"\n(?=[^a])")  # ends where such a line starts
_NOT_ARC_TAGS = (b"c", b"p", b"\n")
_FEW_CUTS = 1 << 12
_NOT_HEADER_START = re.compile(rb"(?:\A|\n)(?:[^cpa\n \t]|[ \t]+[^\s])")


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
                if isinstance(value, int) and not -(2**63) <= value < 2**63:
                    raise GraphFormatError(self.path, number, f"{name} {part} is too large")


def _check_ids(table: _Table, ids: np.ndarray, lo: int, hi: int, what: str) -> None:
    """Fail at the first row whose id lies outside [lo, hi]."""
    if len(ids) == 0 or (ids.min() >= lo and ids.max() <= hi):
        return
    bad = np.flatnonzero((ids < lo) | (ids > hi))
    if len(bad):
        table.fail_at(int(bad[0]), f"{what} {ids[bad[0]]} is outside [{lo}, {hi}]")


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
        import pyarrow as pa
        import pyarrow.csv as pacsv
    except ImportError:
        return None
    names = ["tag", "tail", "head", "weight"]
    # The tag column reads as a boolean whose only accepted spelling is "a": a comment, problem
    # or other line with four fields makes the parse fail instead of passing as an arc.
    types = [pa.bool_(), pa.int32(), pa.int32(), pa.float64()]
    try:
        table = pacsv.read_csv(
            pa.BufferReader(_arrow_text(memoryview(data)[start:])),
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
