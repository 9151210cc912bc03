"""What every graph format shares: the format error, reading text that may be gzip-compressed,
writing a file whole, naming the line at fault, and checking declared sizes before allocating.

The parsers of the formats (one module each) work on whole lines in one call and walk the lines
one by one only when something is wrong, to name the file and, where they can, the 1-based line.
"""

from __future__ import annotations

import contextlib
import gzip
import os
from collections.abc import Iterator
from typing import Any
from zlib import error as zlib_error

import numpy as np

from .._files import atomic_write
from ..graph import INDEX_MAX

PathLike = str | os.PathLike[str]

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


def _arrow_text(text: Any) -> Any:
    """`text` (bytes or a view of them) copied into a buffer of pyarrow's own memory, for its CSV
    parser. The threaded parser may drop its last reference to the text on one of its worker
    threads after the call has returned; were the text a Python object, that thread would need
    the interpreter to let it go, and one that does so while the interpreter exits is ended
    inside a destructor, which aborts the process."""
    import pyarrow as pa

    view = np.frombuffer(text, dtype=np.uint8)
    buffer = pa.allocate_buffer(view.size)
    np.frombuffer(buffer, dtype=np.uint8)[:] = view
    return buffer


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
    yield from enumerate(data.split(b"\n"), start_line)


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
