"""Delimited edge lists (``.csv``, ``.tsv``, also gzip-compressed): ``source,target[,weight]``
lines with 0-based ids.

Parsed by pyarrow's CSV reader (quoting, the delimiter detected, a header line allowed);
comment and blank lines are taken out first, and only a file that fails to parse is walked line
by line to name the line at fault.
"""

from __future__ import annotations

import csv
import re
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from ..graph import INDEX_MAX, CsrGraph, _grouped, as_csr, from_edges
from ._common import (
    GraphFormatError,
    PathLike,
    _arrow_text,
    _check_vertex_count,
    _line_of,
    _lines,
    _needs,
    _no_lone_cr,
    _open_write,
    _parse_count,
    _read_text,
    _show,
    _write_rows,
)

_VERTICES_COMMENT = re.compile(rb"(?m)^#[ \t]*vertices:[ \t]*(\S+)[ \t]*$")
_EDGE_SKIP = re.compile(rb"[ \t]*(?:#[^\n]*)?")
_EDGE_SKIP_LINES = re.compile(rb"(?m)^[ \t]*(?:#[^\n]*)?(?:\n|\Z)")
_EDGE_LEADING = re.compile(rb"(?:[ \t]*(?:#[^\n]*)?\n)*")
_DELIMITERS = (",", "\t", ";", "|", " ")
_COLUMNS = ("source", "target", "weight")
_SAMPLE_BYTES = 1 << 16


def _own_delimiter(path: PathLike) -> str:
    """The delimiter a file's name asks for: a tab for ``.tsv`` (and ``.tsv.gz``), else a comma."""
    return "\t" if Path(path).name.lower().removesuffix(".gz").endswith(".tsv") else ","


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
    ',', tab, ';', '|' and space (the file's own first: tab for ``.tsv``, else
    ',') unless given. Lines starting with '#' and blank lines are skipped. A first line
    whose source and target fields are not numbers is a header when a data line follows it. Without a weight column
    every arc weighs 1.0; duplicate lines are parallel arcs. The vertex count is `n`, else a
    ``# vertices: N`` comment, else the largest id plus one.

    Raises GraphFormatError naming the line for a malformed line or an id out of range, and
    naming the file when it holds no arc but does hold data; ImportError without pyarrow.
    """
    pacsv = _needs("pyarrow.csv", "edge lists")
    import pyarrow as pa

    preferred = delimiter or _own_delimiter(path)
    data = _read_text(path)
    _no_lone_cr(path, data)
    declared = _VERTICES_COMMENT.search(data) if b"#" in data else None
    if n is None and declared:
        n = _parse_count(path, _line_of(data, declared.start()), declared.group(1), "vertex count")
    # Comments and blank lines usually stand at the top: step over those, and run the regular
    # expression over the rest only if substring tests find a line there that may need skipping.
    leading = _EDGE_LEADING.match(data)  # matches always, if only the empty string
    start = leading.end() if leading else 0
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
            pa.BufferReader(_arrow_text(body)),
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
    """Write `graph` as ``source,target,weight`` lines (by default tab-separated for ``.tsv``) under a
    ``# vertices: N`` comment, so that isolated vertices survive a round trip, and a header
    line (left out when there is no arc, since a header needs a data line after it)."""
    if delimiter is None:
        delimiter = _own_delimiter(path)
    g = as_csr(graph)
    with _open_write(path) as f:
        f.write(f"# vertices: {g.n}\n".encode())
        if g.m:
            f.write(delimiter.join(_COLUMNS).encode() + b"\n")
        _write_rows(f, "{}" + delimiter + "{}" + delimiter + "{}\n", g.tails(), g.indices, g.weights)
