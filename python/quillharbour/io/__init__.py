"""Reading and writing graphs: DIMACS ``.gr``, Matrix Market ``.mtx``, ``.csv``/``.tsv`` edge
lists and scipy ``.npz`` archives, one module each, behind :func:`load` and :func:`save`.

Every reader returns a :class:`~quillharbour.graph.CsrGraph` in the native dtypes, with the
arcs of each row in file order. Text formats may be gzip-compressed (``.gz`` suffix or gzip
magic bytes).

Each format is parsed by the best parser at hand: Matrix Market by ``scipy.io.mmread``, edge
lists by pyarrow's CSV reader (quoting, delimiter detection, headers), DIMACS by the reader
here, which hands the arc lines to pyarrow's parser in one call. No Python code runs per line.
Only when something is wrong does a slow pass walk the lines to find the first offending one,
so that every :class:`GraphFormatError` names the file and, where it can, the 1-based line. A
size declared in a header is checked against what the file can hold before anything is
allocated for it. Weights are read as they are written: the readers do not judge them (the
algorithms reject negative or NaN weights).

:func:`load_graph` reads a file or generates the graph a spec such as ``grid:300x300`` names,
as the command line does.
"""

from ._common import GraphFormatError
from .dimacs import read_dimacs, write_dimacs
from .edgelist import read_edgelist, write_edgelist
from .matrix_market import read_matrix_market, write_matrix_market
from .npz import read_npz, write_npz
from .registry import FORMATS, REGISTRY, Format, format_of, load, load_graph, save

__all__ = [
    "GraphFormatError",
    "FORMATS",
    "REGISTRY",
    "Format",
    "load",
    "load_graph",
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
