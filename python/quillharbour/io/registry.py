"""The graph formats behind :func:`load` and :func:`save`, and :func:`load_graph`, which reads a
graph file or generates the graph a spec such as ``grid:300x300`` names.

Each format is one record of the registry (its name, its file suffix, its reader and its
writer) and one module of this package. Text formats may be gzip-compressed: a ``.gz`` suffix
after the format's own is looked through.
"""

from __future__ import annotations

import contextlib
import csv
import os
import zipfile
from collections.abc import Callable
from contextlib import AbstractContextManager
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Any
from zlib import error as zlib_error

from .. import generators
from ..graph import CsrGraph
from ._common import GraphFormatError, PathLike
from .dimacs import read_dimacs, write_dimacs
from .edgelist import read_edgelist, write_edgelist
from .matrix_market import read_matrix_market, write_matrix_market
from .npz import read_npz, write_npz


@dataclass(frozen=True)
class Format:
    """One graph file format: its name, the suffix of its files, its reader and its writer."""

    name: str
    suffix: str
    read: Callable[[PathLike], CsrGraph]
    write: Callable[[Any, PathLike], None]


REGISTRY: dict[str, Format] = {f.name: f for f in (
    Format("dimacs", ".gr", read_dimacs, write_dimacs),
    Format("mtx", ".mtx", read_matrix_market, write_matrix_market),
    Format("csv", ".csv", read_edgelist, partial(write_edgelist, delimiter=",")),
    Format("tsv", ".tsv", read_edgelist, partial(write_edgelist, delimiter="\t")),
    Format("npz", ".npz", read_npz, write_npz),
)}
FORMATS = tuple(REGISTRY)

# What the parsers (this package's, NumPy's, scipy's, pyarrow's, zipfile, gzip, csv) raise on
# malformed bytes that no check here named first; load reports them as GraphFormatError.
_PARSER_FAULTS = (ValueError, KeyError, IndexError, OverflowError, EOFError, csv.Error, zipfile.BadZipFile,
                  zlib_error)


def format_of(path: PathLike) -> str:
    """The format name for `path` from its suffix (a trailing ``.gz`` is looked through).

    Raises ValueError for an unknown suffix."""
    name = Path(path).name.lower()
    name = name.removesuffix(".gz")
    for fmt in REGISTRY.values():
        if name.endswith(fmt.suffix):
            return fmt.name
    known = ", ".join(sorted(fmt.suffix for fmt in REGISTRY.values())) + " (text formats also with .gz)"
    raise ValueError(f"{path}: unknown graph file type; known suffixes: {known}")


def _format(name: str | None, path: PathLike) -> Format:
    fmt = name or format_of(path)
    if fmt not in REGISTRY:
        raise ValueError(f"unknown graph format {fmt!r}; known: {', '.join(FORMATS)}")
    return REGISTRY[fmt]


def load(path: PathLike, format: str | None = None) -> CsrGraph:
    """Read a graph file, choosing the reader by `format` (one of :data:`FORMATS`) or by the
    file's suffix (.gr, .mtx, .csv, .tsv, .npz; text formats also with .gz).

    Raises GraphFormatError (a ValueError) for a malformed file, ValueError for an unknown
    format, FileNotFoundError for a missing file and ImportError when the reader's library
    (scipy for .mtx, pyarrow for .csv/.tsv) is not installed.
    """
    fmt = _format(format, path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such graph file: {path}")
    try:
        return fmt.read(path)
    except GraphFormatError:
        raise
    except _PARSER_FAULTS as exc:  # a parsing library's own word for bytes it cannot read
        text = str(exc).splitlines()[0] if str(exc) else ""
        raise GraphFormatError(path, None, f"unreadable as {fmt.name} ({type(exc).__name__}: {text})") from None


def save(graph: Any, path: PathLike, format: str | None = None) -> None:
    """Write a graph (a CsrGraph, scipy matrix or CSR triple) to a file, choosing the writer by
    `format` or by the file's suffix; a ``.gz`` suffix compresses text formats.

    The file appears whole or not at all: it is written beside `path` and renamed over it at
    the end, so a failed or interrupted write leaves any previous file at `path` as it was.
    Raises ValueError for an unknown format or a ``.npz.gz`` path, OSError (naming `path`)
    when the file cannot be written."""
    fmt = _format(format, path)
    if fmt.name == "npz" and str(path).lower().endswith(".gz"):
        raise ValueError(f"{path}: .npz archives are compressed already; drop the .gz")
    fmt.write(graph, path)


def load_graph(source: str, seed: int = 0, *,
               step: Callable[[str], AbstractContextManager[object]] = contextlib.nullcontext) -> CsrGraph:
    """The graph of a file path, or generated from a spec such as ``grid:300x300`` (seeded by
    `seed`; an existing file of that name wins). `step(label)` wraps the loading or generating,
    say to show progress.

    Every error names `source` in its first line: ValueError for a malformed file, an unknown
    suffix, a bad or unknown spec or something that is not a file; FileNotFoundError (with no
    errno) for a missing file; OSError from the system when the file cannot be read;
    ImportError when the format's reader is not installed; MemoryError when the graph does not
    fit.
    """
    if generators.is_spec(source) and not os.path.exists(source):
        try:
            with step(f"generating {source}"):
                return generators.from_spec(source, seed=seed)
        except MemoryError:
            raise MemoryError(f"{source}: not enough memory to generate this graph") from None
    if os.path.isfile(source):
        try:
            with step(f"loading {os.path.basename(source)}"):
                return load(source)
        except MemoryError:
            raise MemoryError(f"{source}: not enough memory to load this graph") from None
    if os.path.exists(source):
        raise ValueError(f"{source} is not a file")
    if ":" in source and not os.path.splitext(source)[1]:
        raise ValueError(f"unknown graph spec {source!r}; specs: grid:RxC, rgg:N, gnm:N:M, rmat:SCALE, path:N, star:N")
    raise FileNotFoundError(f"no such graph file: {source}")
