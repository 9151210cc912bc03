"""The entries' error contract: (call, input) -> (exception class, exact message).

Rows are in the order the entries check: argument binding and conversion, array layout, the
source, lengths, the CSR structure, the variant name, then the weights; each row's input breaks
a later rule as well, so a row fails if two checks are swapped. A message given as a compiled
pattern must match whole (for texts that CPython or NumPy word).
"""

from __future__ import annotations

import atexit
import functools
import re
import shutil
import tempfile
from typing import NamedTuple

import numpy as np
import pytest
from scipy import sparse

import quillharbour as qh
from conftest import csr
from quillharbour import _quillharbour as native
from quillharbour import _search
from quillharbour.graph import as_csr, from_edges

MALFORMED = ("malformed CSR: indptr must be non-decreasing, start at 0, end at len(indices), "
             "and every index must be in [0, n)")
NEGATIVE = "negative or NaN edge weight encountered; Dijkstra requires weights >= 0"
MULTI_NEGATIVE = "negative or NaN edge weight encountered; weights must be >= 0"
INVALID = "edge weight must be finite and >= 0"
STRIDED_MESSAGE = "The given array is not contiguous"
EMPTY = "indptr must have length n + 1 (got empty array)"
LENGTHS = "indices and weights must have the same length"
LAST_OFFSET = "indptr[-1] must equal len(indices)"
KNOWN = '["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast"]'
TOO_LARGE = "graph too large: 2147483649 vertices, but vertex ids must fit in int32 (at most 2147483648 vertices)"
U64_MAX = 2**64 - 1

ENTRIES = ["dijkstra", "bmssp", "bmssp_instrumented", "bmssp_variant", "dijkstra_multisource", "bmssp_multisource"]
SINGLE, MULTI = ENTRIES[:4], ENTRIES[4:]
ONE = csr([0, 1, 1], [1], [1.0])
SMALL = csr([0, 2, 3, 3], [1, 2, 2], [1.0, 4.0, 2.0])
STRIDED = np.zeros(6, np.int64)[::2]


def call(name, *graph, source=0, **extra):
    """Entry `name` with its own fourth argument: an int64 array of sources for the multi-source ones."""
    if name in MULTI and not isinstance(source, (np.ndarray, list)):
        source = np.array([source], np.int64)
    return getattr(native, name)(*graph, source, *(["tuned"] if name == "bmssp_variant" else []), **extra)


def every(tag, entries, graph, exc, message, source=0, **extra):
    return [pytest.param(lambda e=e: call(e, *graph, source=source, **extra), exc, message, id=f"{tag}-{e}")
            for e in entries]


def src(*values):
    return np.array(values, np.int64)


@functools.cache
def huge(n=2**31 + 1):
    """indptr of n vertices and no arcs in a sparse file: only the last offset is ever read."""
    folder = tempfile.mkdtemp()
    atexit.register(shutil.rmtree, folder, True)
    with open(f"{folder}/indptr", "wb") as f:
        f.truncate(8 * (n + 1))
    return np.memmap(f"{folder}/indptr", dtype=np.int64, mode="r")


NOT_ARGUMENT = re.compile(r"(?!argument).+")
NO_EDGES = (np.zeros(0, np.int32), np.zeros(0))


class Noted(NamedTuple):
    """A message that must stand as it is, with the argument named in a note (PEP 678)."""

    message: str | re.Pattern
    argument: str


def noted(message, argument):
    return Noted(message, f"argument '{argument}'")


def too_big(what):
    """NumPy's words for a request this machine cannot hold, `what` its subject."""
    return re.compile(rf"Unable to allocate [0-9.]+ [KMGTPE]iB for {re.escape(what)}; (this machine has|the "
                      r"address-space limit \(RLIMIT_AS\) leaves|the data limit \(RLIMIT_DATA\) leaves) "
                      r"[0-9.]+ ([KMGTPE]iB|bytes)( of memory and swap)?")


@functools.cache
def wide(n=10**6):
    """n vertices, no arcs, and n sources: results of 12 * n * n bytes (12 TB)."""
    return np.zeros(n + 1, np.int64), *NO_EDGES, np.zeros(n, np.int64)


ROWS_OF_WIDE = "the results of 1000000 sources x 1000000 vertices"
TABLE = [
    # conversion, in argument order, before any layout check
    *[row for arg, bad in [("indptr", SMALL[0].astype(np.int32)), ("indptr", list(SMALL[0])),
                           ("indptr", SMALL[0].reshape(1, -1)), ("indptr", SMALL[0].astype(">i8")),
                           ("indices", SMALL[1].astype(np.int64)), ("indices", SMALL[1].astype(np.uint32)),
                           ("weights", SMALL[2].astype(np.float32)), ("weights", np.array(1.0)),
                           ("weights", SMALL[2].astype(">f8"))]
      for row in every(f"convert-{arg}", ENTRIES, [bad if a == arg else x for a, x in zip(
          ("indptr", "indices", "weights"), SMALL)], TypeError, re.compile(f"argument '{arg}': .+"))],
    *every("none", ENTRIES, (None, None, None), TypeError, re.compile("argument 'indptr': .+")),
    *every("none-after-indptr", ENTRIES, (SMALL[0], None, None), TypeError, re.compile("argument 'indices': .+")),
    *every("source-float", SINGLE, SMALL, TypeError, re.compile("argument 'source': .+"), source=1.0),
    *every("source-none", SINGLE, SMALL, TypeError, re.compile("argument 'source': .+"), source=None),
    *every("source-wide", SINGLE, SMALL, OverflowError, noted(NOT_ARGUMENT, "source"), source=2**63),
    *every("source-before-layout", SINGLE, (SMALL[0][::2], *SMALL[1:]), TypeError,
           re.compile("argument 'source': .+"), source="0"),
    *every("sources-list", MULTI, SMALL, TypeError, re.compile("argument 'sources': .+"), source=[0]),
    *[row for entry in ("bmssp", "bmssp_instrumented", "bmssp_variant", "bmssp_multisource")
      for seed, exc, message in [(None, TypeError, re.compile("argument 'seed': .+")),
                                 (1.5, TypeError, re.compile("argument 'seed': .+")),
                                 (-1, OverflowError, noted("can't convert negative int to unsigned", "seed")),
                                 (2**64, OverflowError, noted(NOT_ARGUMENT, "seed"))]
      for row in every(f"seed-{seed}", [entry], SMALL, exc, message, seed=seed)],
    *every("strided", ENTRIES, (STRIDED, ONE[1], ONE[2]), TypeError, noted(STRIDED_MESSAGE, "indptr")),
    *every("strided-indices", ENTRIES, (SMALL[0], SMALL[1].repeat(2)[::2], SMALL[2][::-1]), TypeError,
           noted(STRIDED_MESSAGE, "indices")),
    *every("strided-sources", MULTI, ONE, TypeError, noted(STRIDED_MESSAGE, "sources"), source=src(0, 1, 0)[::2]),
    *every("strided-then-float32", ENTRIES, (SMALL[0].repeat(2)[::2], SMALL[1], SMALL[2].astype(np.float32)),
           TypeError, re.compile("argument 'weights': .+")),
    *every("empty-indptr", ENTRIES, (np.array([], np.int64), ONE[1], ONE[2]), ValueError,
           EMPTY),
    *every("lengths", ENTRIES, (np.array([0, 5, 5]), ONE[1], np.array([1.0, 2.0])), ValueError,
           LENGTHS),
    *every("last-offset", ENTRIES, (np.array([0, 2, 3, 2]), *SMALL[1:]), ValueError,
           LAST_OFFSET),
    # single-source entries: the source before lengths, structure and weights
    *every("source-before-lengths", SINGLE, (ONE[0], ONE[1], np.array([1.0, 2.0])), IndexError,
           "source 2 is out of range for graph with 2 vertices", source=2),
    *every("no-vertices", SINGLE, csr([0], [], []), IndexError, "source 0 is out of range for graph with 0 vertices"),
    *every("source-high", SINGLE, csr([0, 1, 1, 1], [1], [-1.0]), IndexError,
           "source 3 is out of range for graph with 3 vertices", source=3),
    *every("source-negative", SINGLE, csr([0, 2, 1], [5, 0], [np.nan, 1.0]), IndexError,
           "source -1 is out of range for graph with 2 vertices", source=-1),
    # multi-source entries: every shape check before the sources, the first bad source in input order
    *every("shape-before-sources", MULTI, (ONE[0], ONE[1], np.array([1.0, 2.0])), ValueError,
           LENGTHS, source=src(-1)),
    *every("last-offset-before-sources", MULTI, (np.array([0, 1, 2, 1]), *SMALL[1:]), ValueError,
           LAST_OFFSET, source=src(5)),
    *[row for weights in ([1.0, 2.0], [-1.0, np.nan]) for sources, first in [
        (src(0, 2, 3, -1, 99), 3), (src(1, -1, 3), -1), (src(-(2**63)), -(2**63))]
      for row in every(f"first-source-{first}", MULTI, csr([0, 1, 2, 2], [1, 2], weights), IndexError,
                       f"source {first} is out of range for graph with 3 vertices", source=sources)],
    *every("no-vertices", MULTI, csr([0], [], []), IndexError,
           "source 0 is out of range for graph with 0 vertices", source=src(0, -4)),
    # any indptr fault beats every arc fault
    *every("indptr-start", SINGLE, csr([1, 1], [0], [np.nan]), ValueError, MALFORMED),
    *every("indptr-decreasing", SINGLE, csr([0, 2, 1, 2], [1, 1], [-1.0, -1.0]), ValueError, MALFORMED),
    # Dijkstra decides arc by arc, weight before head; BMSSP checks every head first
    (lambda: native.dijkstra(*csr([0, 2, 2], [5, 0], [1.0, -1.0]), 0), ValueError, MALFORMED),
    (lambda: native.dijkstra(*csr([0, 2, 2], [5, 0], [-1.0, 1.0]), 0), ValueError, NEGATIVE),
    (lambda: native.dijkstra(*csr([0, 1, 1], [-1], [np.nan]), 0), ValueError, NEGATIVE),
    (lambda: native.dijkstra(*csr([0, 0, 1], [0], [np.nan]), 0), ValueError, NEGATIVE),  # unreachable arc
    *every("head-first", SINGLE[1:], csr([0, 2, 2], [5, 0], [-1.0, 1.0]), ValueError, MALFORMED),
    *[row for w in (np.inf, -np.inf, np.nan, -1.0, -5e-324)
      for row in every(f"weight-{w}", SINGLE[1:], csr([0, 1, 1], [1], [w]), ValueError, INVALID)],
    # multi-source weights: every arc is checked, reachable or not; BMSSP rows refuse +inf as well
    *[row for w in (-1.0, np.nan, -np.inf, -1e-300)
      for row in every(f"multi-weight-{w}", MULTI, csr([0, 1, 1, 2], [1, 0], [1.0, w]), ValueError,
                       MULTI_NEGATIVE, source=src(0, 1, 0))],
    (lambda: native.bmssp_multisource(*csr([0, 2, 3, 3], [1, 2, 2], [np.inf, 1.0, 2.0]), src(2)), ValueError,
     MULTI_NEGATIVE),
    # Dijkstra rows find a malformed structure when they run; BMSSP's owned copy checks it whatever the rows
    *[(lambda g=g, run=run, s=s: run(*g, s), ValueError, MALFORMED)
      for g in (csr([0, 1, 2, 2], [1, 3], [1.0, 1.0]), csr([0, 2, 1, 2], [1, 2], [1.0, 1.0]))
      for run, s in [(native.dijkstra_multisource, src(2, 0)), (native.bmssp_multisource, src()),
                     (native.bmssp_multisource, src(0))]],
    # graphs too large for int32 ids, refused before anything is allocated; source and shape first
    *[pytest.param(lambda e=e: call(e, huge(), *NO_EDGES), ValueError, TOO_LARGE, id=f"too-large-{e}")
      for e in ENTRIES],
    (lambda: native.bmssp_variant(huge(), *NO_EDGES, 0, "no-such-variant"), ValueError, TOO_LARGE),
    (lambda: native.dijkstra(huge(), *NO_EDGES, -1), IndexError,
     "source -1 is out of range for graph with 2147483649 vertices"),
    (lambda: native.bmssp(huge(), NO_EDGES[0], np.zeros(1), 0), ValueError,
     LENGTHS),
    # the variant entry converts the name after the arrays and the source, and checks it
    # after the structure and before the weights
    (lambda: native.bmssp_variant(ONE[0], ONE[1].astype(np.int64), ONE[2], 0, None), TypeError,
     "argument 'indices': expected an array of dtype int32, got int64"),
    *[(lambda bad=bad: native.bmssp_variant(*ONE, 0, bad), TypeError,
       f"argument 'variant': '{t}' object cannot be converted to 'PyString'")
      for bad, t in [(None, "NoneType"), (b"tuned", "bytes"), (3, "int")]],
    (lambda: native.bmssp_variant(*ONE, 2, "nope"), IndexError, "source 2 is out of range for graph with 2 vertices"),
    (lambda: native.bmssp_variant(*csr([0, 1, 1], [1], [np.nan]), 0, "nope"), ValueError,
     f'unknown bmssp variant "nope"; known: {KNOWN}'),
    (lambda: native.bmssp_variant(*csr([0, 2, 1, 2], [1, 1], [1.0, 1.0]), 0, "nope"), ValueError, MALFORMED),
    *[(lambda arg=arg, bad=bad: native.bmssp_variant(*ONE, 0, "unknown", **{arg: bad}), TypeError,
       f"argument '{arg}': '{t}' object cannot be interpreted as an integer")
      for arg in ("seed", "k", "t") for bad, t in [(None, "NoneType"), (1.5, "float")]],
    *[(lambda arg=arg, bad=bad: native.bmssp_variant(*ONE, 0, "tuned", **{arg: bad}), OverflowError, message)
      for arg in ("seed", "k", "t")
      for bad, message in [(-1, noted("can't convert negative int to unsigned", arg)),
                           (2**64, noted("int too big to convert", arg))]],
    # results the machine can never hold: refused before any work, the size named as NumPy names it
    *[pytest.param(lambda e=e: call(e, *wide()[:3], source=wide()[3]), MemoryError, too_big(
        f"{ROWS_OF_WIDE} (12 bytes per source and vertex)"), id=f"too-big-{e}") for e in MULTI],
    pytest.param(lambda: _search.search_multisource(*wide(), return_predecessors=False), MemoryError,
                 too_big(f"{ROWS_OF_WIDE} (8 bytes per source and vertex)"), id="too-big-search"),
    *[pytest.param(lambda kw=kw: qh.shortest_paths(wide()[:3], wide()[3], **kw), MemoryError,
                   too_big(f"{ROWS_OF_WIDE} (12 bytes per source and vertex)"), id=f"too-big-{kw}")
      for kw in ({"method": "tuned"}, {"method": "bmssp", "limit": 1.0})],
    (lambda: _search.check_room(2**80, "x"), OverflowError, noted("int too big to convert", "nbytes")),
]
# How a name that is not a variant is quoted: Rust's escape_debug.
NAMES = [("", '""'), ("Hybrid", '"Hybrid"'), (" tuned", '" tuned"'), ("hybridx", '"hybridx"'),
         ('say "hi"', r'"say \"hi\""'), ("back\\slash", r'"back\\slash"'), ("t\tr\rn\nz\0", r'"t\tr\rn\nz\0"'),
         ("\x01\x1b\x7f\x85", r'"\u{1}\u{1b}\u{7f}\u{85}"'), ("\u200b\u2028\ue000", r'"\u{200b}\u{2028}\u{e000}"'),
         ("café 日本 \U0001f600", '"café 日本 \U0001f600"')]
TABLE += [pytest.param(lambda name=name: native.bmssp_variant(*ONE, 0, name), ValueError,
                       f"unknown bmssp variant {quoted}; known: {KNOWN}", id=f"name-{i}")
          for i, (name, quoted) in enumerate(NAMES)]
# The package's conversion of index arrays refuses values that would wrap, and only those.
TABLE += [pytest.param(lambda a=a: as_csr(a), ValueError, f"{name} holds values outside the {dtype} range", id=name + hex(v))
          for name, dtype, a, v in [
              ("indices", "int32", (np.array([0, 1]), np.array([2**31]), [1.0]), 2**31),
              ("indices", "int32", (np.array([0, 1]), np.array([-(2**31) - 1]), [1.0]), 2**31 + 1),
              ("indptr", "int64", (np.array([0, 2**63], np.uint64), np.array([0], np.int32), [1.0]), 2**63)]]
TABLE += [pytest.param(lambda: as_csr((np.array([0, 1]), np.array([0, 0]), [1.0])), ValueError, LENGTHS, id="as-csr-lengths")]
TABLE += [pytest.param(lambda t=t, h=h: from_edges(2, [t], [h], [1.0]), ValueError, "arc endpoints must lie in [0, 2)",
                       id=f"from-edges-{t}-{h}") for t, h in [(0, 2), (2, 0), (-1, 0), (0, -1)]]


def has(*words):
    """A message holding each of `words` (regular expressions)."""
    return re.compile("(?s)" + "".join(f"(?=.*{w})" for w in words) + ".*")


PATH = csr([0, 1, 2, 2], [1, 2], [1.0, 2.0])
SAMPLE = qh.generators.path(6)
# The package's functions: words their messages must hold.
TABLE += [pytest.param(call, exc, message, id=f"package-{i}") for i, (call, exc, message) in enumerate([
    *[(lambda g=g: qh.shortest_paths(g, 0), exc, has(words)) for g, exc, words in [
        (([0, 1, 3], [1, 0, 1], [1, 2, 3]), TypeError, "reads two ways"), ("graph", TypeError, "scipy.sparse matrix"),
        ((np.array([0, 1]), np.array([0.5]), np.array([1.0])), TypeError, "indices must hold integers"),
        ((np.array([0, 1]), np.array([2**40]), np.array([1.0])), ValueError, "outside the int32 range"),
        ((np.array([0, 1]), np.array([0, 0]), np.array([1.0])), ValueError, "same length"),
        ((np.array([], dtype=np.int64), np.array([], dtype=np.int32), np.array([])), ValueError, r"n \+ 1"),
        (sparse.csr_array(np.ones((2, 3))), ValueError, "square")]],
    *[(lambda s=s: qh.shortest_paths(SAMPLE, s), exc, has(words)) for s, exc, words in [
        (6, IndexError, "source 6 is out of range"), ([0, -1], IndexError, "source -1 is out of range"),
        (1.5, TypeError, "sources must be an integer or an array-like of integers"),
        ([0.0, 1.0], TypeError, "sources must hold integers"), ([[True]], TypeError, "sources must hold integers"),
        (np.array([2**63], dtype=np.uint64), OverflowError, "sources")]],
    (lambda: qh.shortest_paths(SAMPLE, 0, method="astar"), ValueError, has("unknown method 'astar'.*dijkstra, bmssp, tuned")),
    *[(lambda m=m: qh.shortest_paths(SAMPLE, 0, method=m), ValueError, has(f"method spec '{m}': ", words))
      for m, words in [("bmssp:x=1", "unknown ingredient 'x'"), ("bmssp:k=2", "both or neither"),
                       ("bmssp:hubs=1:transform=all", "transform given twice"), ("bmssp:queue=fib", "block or heap"),
                       ("bmssp:transform=foo", "all, none or an integer D"), ("bmssp:hubs=-1", "hubs must be an integer"),
                       ("bmssp:level=2147483648", "level must be an integer"), ("bmssp:lazy=maybe", "yes or no"),
                       ("bmssp::lazy", "unknown ingredient ''")]],
    # bmssp_config: each ingredient checked after the arguments are taken, before the graph
    *[(lambda kw=kw: _search.bmssp_config(*ONE, 0, **kw), ValueError, message) for kw, message in [
        ({"queue": "fib"}, "queue must be 'block' or 'heap' (got 'fib')"),
        ({"transform": -1}, "transform must be 'all', 'none' or a hub degree, an integer >= 0 (got -1)"),
        ({"transform": True}, "transform must be 'all', 'none' or a hub degree, an integer >= 0 (got True)"),
        ({"transform": "hubs"}, "transform must be 'all', 'none' or a hub degree, an integer >= 0 (got 'hubs')"),
        ({"rule": "Tuned"}, "rule must be 'standard', 'tuned' or 'fast' (got 'Tuned')"),
        ({"hybrid_level": -(2**31) - 1}, "hybrid_level must fit in a signed 32-bit integer"),
        ({"k": 3}, "k and t are forced together: give both (non-zero) or neither")]],
    (lambda: _search.bmssp_config(*ONE, 2, queue="fib"), ValueError, "queue must be 'block' or 'heap' (got 'fib')"),
    (lambda: _search.bmssp_config(*ONE, 2, queue="heap"), IndexError, "source 2 is out of range for graph with 2 vertices"),
    (lambda: qh.reconstruct_path(np.array([1, 2, 0]), 0), ValueError, has("cycle")),
    (lambda: qh.from_networkx([1, 2, 3]), TypeError, "G must be a networkx graph (got list)"),
    (lambda: qh.reconstruct_path(np.array([-1, 0]), 2), IndexError, has("")),
    (lambda: qh.reconstruct_path(np.zeros((2, 2), dtype=np.int32), 0), ValueError, has("one row")),
    # the keyword options of shortest_paths and the search module under them
    (lambda: qh.shortest_paths(PATH, 0, limit=-1.0), ValueError, "limit must be >= 0"),
    (lambda: qh.shortest_paths(PATH, 0, limit=float("nan")), ValueError, "limit must be >= 0"),
    (lambda: qh.shortest_paths(PATH, 0, limit="far"), TypeError, has("^argument 'limit'")),
    (lambda: qh.shortest_paths(PATH, [0, 2], targets=[1, 2, -1]), IndexError,
     "target -1 is out of range for graph with 3 vertices"),
    (lambda: qh.shortest_paths(PATH, [0, 3], min_only=True), IndexError, "source 3 is out of range for graph with 3 vertices"),
    (lambda: qh.shortest_paths(PATH, 0, targets=[[1]]), ValueError, has("1-D")),
    (lambda: qh.shortest_paths(PATH, 0, targets=[0.5]), TypeError, has("targets must be integers")),
    (lambda: _search.search(*PATH, src(0), targets=np.array([1], dtype=np.int32)), TypeError, has("^argument 'targets'")),
    (lambda: _search.search(*PATH, src(0), targets=np.arange(4)[::2]), TypeError, noted(STRIDED_MESSAGE, "targets")),
    (lambda: _search.search(PATH[0], PATH[1], -PATH[2], src(0)), ValueError, NEGATIVE),
    (lambda: _search.search_multisource(PATH[0], PATH[1], -PATH[2], src(0)), ValueError, MULTI_NEGATIVE),
    (lambda: _search.search(PATH[0], np.array([0, 3], dtype=np.int32), PATH[2], src(0)), ValueError, MALFORMED),
    (lambda: _search.search(PATH[0][:0], *PATH[1:], src(0)), ValueError, has(r"^indptr must have length n \+ 1")),
    # generator strings such as grid:AxB are named in their messages
    *[(lambda spec=spec: qh.generators.from_spec(spec), ValueError, has(words, re.escape(spec))) for spec, words in [
        ("grid:axb", "not made of integers"), ("grid:0x5", "at least 1"), ("gnm:10", "bad graph spec"),
        ("gnm:3:7", "arc count"), ("rmat:40", "scale"), ("path:-1", "vertex count"), ("blob:3", "unknown graph spec"),
        ("rgg:10:1:2", "bad graph spec")]],
])]
TABLE += [pytest.param(lambda f=f: as_csr(sparse.random(3, 3, 0.5, format=f, dtype=np.complex128, random_state=1)),
                       TypeError, "complex weights are not supported", id=f"complex-{f}") for f in ("csr", "coo")]


@pytest.mark.parametrize("call, exc, message", TABLE)
def test_error_table(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    notes = getattr(info.value, "__notes__", [])
    if isinstance(message, Noted):
        assert notes == [message.argument]
        message = message.message
    else:
        assert not notes
    if isinstance(message, re.Pattern):
        assert message.fullmatch(str(info.value)), str(info.value)
    else:
        assert str(info.value) == message


@pytest.mark.parametrize("name", ENTRIES)
def test_binding_by_position_and_keyword(name):
    fn = getattr(native, name)
    for args, kwargs in [(SMALL[:2], {}), ((*SMALL, 0, "x", 0, 0, 0, 0), {}), ((*SMALL, 0, "tuned"), {"nonsense": 1}),
                         ((*SMALL, 0), {"indptr": SMALL[0]})]:
        with pytest.raises(TypeError, match=name):
            fn(*args, **kwargs)
    # every parameter by keyword, reversed: conversion stops at the one wrong value, which proves
    # that each keyword reached its own slot
    names = ["indptr", "indices", "weights", "sources" if name in MULTI else "source"]
    values = [SMALL[0], SMALL[1].astype(np.int64), SMALL[2], src(0) if name in MULTI else 0]
    extra = {"variant": "tuned"} if name == "bmssp_variant" else {}
    with pytest.raises(TypeError, match=r"^argument 'indices'"):
        fn(**extra, **dict(reversed(list(zip(names, values)))))


@pytest.mark.parametrize("bad", [np.nan, -np.nan, np.inf, -np.inf, -1.0, -5e-324])
def test_a_bad_weight_is_found_in_every_lane(bad):
    # the variants scan weights two at a time with a scalar tail: try every lane and the tail
    for m in (1, 2, 5, 8):
        for at in range(m):
            weights = np.full(m, 2.0)
            weights[::2] = -0.0
            weights[at] = bad
            g = csr(np.arange(m + 2).clip(max=m), np.arange(1, m + 1), weights)
            with pytest.raises(ValueError, match=f"^{INVALID}$"):
                native.bmssp_variant(*g, 0, "fast")


def test_accepted_edge_cases():
    """-0.0, subnormals, +inf for Dijkstra, str subclasses, the largest seed, k and t, no sources,
    and 2^31 vertices all run."""
    class Name(str):
        pass

    g = csr([0, 2, 2, 2], [1, 2], [-0.0, 5e-324])
    for run in [native.dijkstra, native.bmssp, native.bmssp_instrumented,
                lambda *a: native.bmssp_variant(*a, Name("simpleq"), U64_MAX, U64_MAX, U64_MAX),
                lambda *a: [rows[1] for rows in qh.dijkstra_multisource(*a[:3], src(0, 0))],
                lambda *a: [rows[1] for rows in qh.bmssp_multisource(*a[:3], src(0, 0), U64_MAX)]]:
        dist = run(*g, 0)[0]
        assert dist.tolist() == [0.0, 0.0, 5e-324] and not np.signbit(dist).any()
    g = csr([0, 2, 3, 3], [1, 2, 2], [np.inf, 1.0, np.inf])
    assert native.dijkstra(*g, 0)[1].tolist() == [-1, -1, 0]
    assert qh.dijkstra_multisource(*g, src(0, 1))[0].tolist() == [[0.0, np.inf, 1.0], [np.inf, 0.0, np.inf]]
    # no rows: no run, nothing checked beyond the shape (the Dijkstra rows' structure included),
    # and the rows keep their length
    for entry, g in [(qh.dijkstra_multisource, csr([0, 1, 2, 2], [1, 3], [1.0, 1.0])),
                     (qh.bmssp_multisource, csr([0, 2, 3, 3], [1, 2, 2], [np.inf, 1.0, 2.0])),
                     (qh.dijkstra_multisource, (huge(2**31), *NO_EDGES)), (qh.bmssp_multisource, csr([0], [], []))]:
        dist, pred = entry(*g, src())
        assert dist.dtype == np.float64 and pred.dtype == np.int32 and dist.shape == pred.shape == (0, len(g[0]) - 1)
    # index arrays at the edges of their dtype's range convert without wrapping
    g = as_csr((np.array([0, 2], np.uint64), np.array([2**31 - 1, -(2**31)]), [1.0, 2.0]))
    assert g.indices.dtype == np.int32 and g.indices.tolist() == [2**31 - 1, -(2**31)]
