"""The single-source entries' error contract: (call, input) -> (exception class, exact message).

Rows are in the order the entries check: argument conversion, array layout, the source,
lengths, the CSR structure, the variant name, then the weights; each row's input breaks a
later rule as well, so a row fails if two checks are swapped.
"""

from __future__ import annotations

import numpy as np
import pytest
from scipy import sparse

from conftest import csr
from quillharbour import _quillharbour as native
from quillharbour.graph import as_csr, from_edges

MALFORMED = ("malformed CSR: indptr must be non-decreasing, start at 0, end at len(indices), "
             "and every index must be in [0, n)")
NEGATIVE = "negative or NaN edge weight encountered; Dijkstra requires weights >= 0"
INVALID = "edge weight must be finite and >= 0"
KNOWN = '["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast"]'
U64_MAX = 2**64 - 1

ONE = csr([0, 1, 1], [1], [1.0])
STRIDED = np.zeros(6, np.int64)[::2]
BMSSP = [native.bmssp, native.bmssp_instrumented, lambda *g: native.bmssp_variant(*g, "tuned")]


def variant(name, *args, **kwargs):
    return lambda: native.bmssp_variant(*ONE, 0, name, *args, **kwargs)


def each(entries, name, graph, source, exc, message):
    return [pytest.param(lambda e=e: e(*graph, source), exc, message, id=f"{name}-{i}") for i, e in enumerate(entries)]


ALL = [native.dijkstra, *BMSSP]
TABLE = [
    # conversion and layout, before anything is read
    *each(ALL, "strided", (STRIDED, ONE[1], ONE[2]), 0, TypeError, "The given array is not contiguous"),
    *each(ALL, "empty-indptr", (np.array([], np.int64), ONE[1], ONE[2]), 0, ValueError,
          "indptr must have length n + 1 (got empty array)"),
    # the source before lengths, structure and weights
    *each(ALL, "lengths", (np.array([0, 5, 5]), ONE[1], np.array([1.0, 2.0])), 0, ValueError,
          "indices and weights must have the same length"),
    *each(ALL, "source-before-lengths", (ONE[0], ONE[1], np.array([1.0, 2.0])), 2, IndexError,
          "source 2 is out of range for graph with 2 vertices"),
    *each(ALL, "no-vertices", csr([0], [], []), 0, IndexError, "source 0 is out of range for graph with 0 vertices"),
    *each(ALL, "source-high", csr([0, 1, 1, 1], [1], [-1.0]), 3, IndexError,
          "source 3 is out of range for graph with 3 vertices"),
    *each(ALL, "source-negative", csr([0, 2, 1], [5, 0], [np.nan, 1.0]), -1, IndexError,
          "source -1 is out of range for graph with 2 vertices"),
    # any indptr fault beats every arc fault
    *each(ALL, "indptr-start", csr([1, 1], [0], [np.nan]), 0, ValueError, MALFORMED),
    *each(ALL, "indptr-decreasing", csr([0, 2, 1, 2], [1, 1], [-1.0, -1.0]), 0, ValueError, MALFORMED),
    # Dijkstra decides arc by arc, weight before head; BMSSP checks every head first
    (lambda: native.dijkstra(*csr([0, 2, 2], [5, 0], [1.0, -1.0]), 0), ValueError, MALFORMED),
    (lambda: native.dijkstra(*csr([0, 2, 2], [5, 0], [-1.0, 1.0]), 0), ValueError, NEGATIVE),
    (lambda: native.dijkstra(*csr([0, 1, 1], [-1], [np.nan]), 0), ValueError, NEGATIVE),
    (lambda: native.dijkstra(*csr([0, 0, 1], [0], [np.nan]), 0), ValueError, NEGATIVE),  # unreachable arc
    *each(BMSSP, "head-first", csr([0, 2, 2], [5, 0], [-1.0, 1.0]), 0, ValueError, MALFORMED),
    *[pytest.param(lambda e=e, w=w: e(*csr([0, 1, 1], [1], [w]), 0), ValueError, INVALID, id=f"weight-{w}-{i}")
      for w in (np.inf, -np.inf, np.nan, -1.0, -5e-324) for i, e in enumerate(BMSSP)],
    # the variant entry converts the name after the arrays and the source, and checks it
    # after the structure and before the weights
    (lambda: native.bmssp_variant(ONE[0], ONE[1].astype(np.int64), ONE[2], 0, None), TypeError,
     "argument 'indices': expected an array of dtype int32, got int64"),
    *[(variant(bad), TypeError, f"argument 'variant': '{t}' object cannot be converted to 'PyString'")
      for bad, t in [(None, "NoneType"), (b"tuned", "bytes"), (3, "int")]],
    (lambda: native.bmssp_variant(*ONE, 2, "nope"), IndexError, "source 2 is out of range for graph with 2 vertices"),
    (lambda: native.bmssp_variant(*csr([0, 1, 1], [1], [np.nan]), 0, "nope"), ValueError,
     f'unknown bmssp variant "nope"; known: {KNOWN}'),
    (lambda: native.bmssp_variant(*csr([0, 2, 1, 2], [1, 1], [1.0, 1.0]), 0, "nope"), ValueError, MALFORMED),
    *[(variant("unknown", **{arg: bad}), TypeError, f"argument '{arg}': '{t}' object cannot be interpreted as an integer")
      for arg in ("seed", "k", "t") for bad, t in [(None, "NoneType"), (1.5, "float")]],
    *[(variant("tuned", **{arg: bad}), OverflowError, message) for arg in ("seed", "k", "t")
      for bad, message in [(-1, "can't convert negative int to unsigned"), (2**64, "int too big to convert")]],
]
# How a name that is not a variant is quoted: Rust's escape_debug.
NAMES = [("", '""'), ("Hybrid", '"Hybrid"'), (" tuned", '" tuned"'), ("hybridx", '"hybridx"'),
         ('say "hi"', r'"say \"hi\""'), ("back\\slash", r'"back\\slash"'), ("t\tr\rn\nz\0", r'"t\tr\rn\nz\0"'),
         ("\x01\x1b\x7f\x85", r'"\u{1}\u{1b}\u{7f}\u{85}"'), ("\u200b\u2028\ue000", r'"\u{200b}\u{2028}\u{e000}"'),
         ("café 日本 \U0001f600", '"café 日本 \U0001f600"')]
# The package's conversion of index arrays refuses values that would wrap, and only those.
TABLE += [pytest.param(lambda a=a: as_csr(a), ValueError, f"{name} holds values outside the {dtype} range", id=name + hex(v))
          for name, dtype, a, v in [
              ("indices", "int32", (np.array([0, 1]), np.array([2**31]), [1.0]), 2**31),
              ("indices", "int32", (np.array([0, 1]), np.array([-(2**31) - 1]), [1.0]), 2**31 + 1),
              ("indptr", "int64", (np.array([0, 2**63], np.uint64), np.array([0], np.int32), [1.0]), 2**63)]]
TABLE += [pytest.param(lambda t=t, h=h: from_edges(2, [t], [h], [1.0]), ValueError, "arc endpoints must lie in [0, 2)",
                       id=f"from-edges-{t}-{h}") for t, h in [(0, 2), (2, 0), (-1, 0), (0, -1)]]
TABLE += [pytest.param(lambda f=f: as_csr(sparse.random(3, 3, 0.5, format=f, dtype=np.complex128, random_state=1)),
                       TypeError, "complex weights are not supported", id=f"complex-{f}") for f in ("csr", "coo")]
TABLE += [pytest.param(variant(name), ValueError, f"unknown bmssp variant {quoted}; known: {KNOWN}", id=f"name-{i}")
          for i, (name, quoted) in enumerate(NAMES)]


@pytest.mark.parametrize("call, exc, message", TABLE)
def test_error_table(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message


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
    """-0.0, subnormals, +inf for Dijkstra, str subclasses and the largest seed, k and t all run."""
    class Name(str):
        pass

    g = csr([0, 2, 2, 2], [1, 2], [-0.0, 5e-324])
    for run in [native.dijkstra, native.bmssp, native.bmssp_instrumented,
                lambda *a: native.bmssp_variant(*a, Name("simpleq"), U64_MAX, U64_MAX, U64_MAX)]:
        dist = run(*g, 0)[0]
        assert dist.tolist() == [0.0, 0.0, 5e-324] and not np.signbit(dist).any()
    assert native.dijkstra(*csr([0, 2, 2, 2], [1, 2], [np.inf, 1.0]), 0)[1].tolist() == [-1, -1, 0]
    # index arrays at the edges of their dtype's range convert without wrapping
    g = as_csr((np.array([0, 2], np.uint64), np.array([2**31 - 1, -(2**31)]), [1.0, 2.0]))
    assert g.indices.dtype == np.int32 and g.indices.tolist() == [2**31 - 1, -(2**31)]
