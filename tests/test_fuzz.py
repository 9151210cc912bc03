"""Property-based fuzzing of every entry.

Each call either returns answers that pass the shortest-path certificate
(and equal Dijkstra's distances) or raises one of the documented exceptions
with one of the documented messages. Nothing else: in particular no
PanicException on input that passed validation.

Set QH_FUZZ_EXAMPLES to run a longer campaign, e.g.
    QH_FUZZ_EXAMPLES=20000 python -m pytest tests/test_fuzz.py
"""

from __future__ import annotations

import operator
import os
import re

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillharbour
import test_errors as errors
from conftest import assert_certificate
from quillharbour import _quillharbour as native

EXAMPLES = int(os.environ.get("QH_FUZZ_EXAMPLES", "150"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=not os.environ.get("QH_FUZZ_EXAMPLES"),
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

VARIANTS = ["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast", "hybrid:1:2", "hybrid:0:0"]

DOCUMENTED = {  # the messages of the error table, as patterns
    TypeError: [r"argument '(indptr|indices|weights|source|sources|seed|k|t|variant)': .+",
                re.escape(errors.STRIDED_MESSAGE)],
    OverflowError: [r".*(too big|too large|negative).*"],
    IndexError: [r"source -?\d+ is out of range for graph with \d+ vertices"],
    ValueError: [re.escape(m) for m in (errors.EMPTY, errors.LENGTHS, errors.LAST_OFFSET, errors.MALFORMED,
                                        errors.NEGATIVE, errors.MULTI_NEGATIVE, errors.INVALID)]
    + [r"unknown bmssp variant .+; known: \[.+\]"],
    UnicodeEncodeError: [r".*surrogate.*"],
}


def documented(error: BaseException) -> bool:
    patterns = DOCUMENTED.get(type(error), [])
    return any(re.fullmatch(p, str(error), flags=re.S) for p in patterns)


SPECIAL_WEIGHTS = [0.0, -0.0, 1.0, 2.0, 5e-324, -5e-324, 1e308, np.inf, -np.inf, np.nan, -1.0, 0.5]


@st.composite
def graphs(draw):
    """Mostly well-formed CSR graphs with awkward weights, sometimes broken."""
    n = draw(st.integers(0, 12))
    m = draw(st.integers(0, 30))
    tails = sorted(draw(st.lists(st.integers(0, max(n - 1, 0)), min_size=m, max_size=m))) if n else []
    heads = draw(st.lists(st.integers(-2, n + 1) if draw(st.booleans()) and draw(st.booleans())
                          else st.integers(0, max(n - 1, 0)), min_size=len(tails), max_size=len(tails)))
    integer = draw(st.booleans())
    weight = st.integers(0, 9).map(float) if integer else st.sampled_from(SPECIAL_WEIGHTS) | st.floats(0, 10)
    weights = draw(st.lists(weight, min_size=len(tails), max_size=len(tails)))
    indptr = np.zeros(n + 1, dtype=np.int64)
    if n:
        np.add.at(indptr, np.array(tails, dtype=np.int64) + 1, 1)
        np.cumsum(indptr, out=indptr)
    if draw(st.integers(0, 9)) == 0 and n:  # break indptr
        pos = draw(st.integers(0, n))
        indptr[pos] = draw(st.integers(-3, len(tails) + 3))
    return indptr, np.array(heads, dtype=np.int32), np.array(weights, dtype=np.float64)


def check_answer(graph, source, dist, pred):
    """Certified, and Dijkstra (which must accept the graph too) finds the same distances."""
    n, source = len(graph[0]) - 1, operator.index(source)
    assert dist.shape == pred.shape == (n,) and dist.dtype == np.float64 and pred.dtype == np.int32
    assert_certificate(*graph, source, dist, pred)
    try:
        ref = native.dijkstra(*graph, source)
    except (ValueError, IndexError):
        raise AssertionError("an entry accepted a graph Dijkstra refuses") from None
    assert dist.tobytes() == ref[0].tobytes()


def call_and_check(fn, graph, source, *args, **kwargs):
    try:
        out = fn(*graph, source, *args, **kwargs)
    except Exception as error:  # PanicException is a BaseException and escapes
        assert documented(error), f"{type(error).__name__}: {error}"
        return None
    check_answer(graph, source, out[0], out[1])
    return out


sources = st.integers(-3, 14) | st.sampled_from([2**63 - 1, -(2**63), 2**64, np.int64(1), True])
seeds = st.integers(0, 2**64 - 1) | st.sampled_from([-1, 2**64, None, 1.5, np.uint64(7)])
params = st.integers(0, 2**64 - 1) | st.sampled_from([0, 1, 2, 3, -1, None])


@FUZZ
@given(graph=graphs(), source=sources, seed=seeds, variant=st.sampled_from(VARIANTS) | st.text(max_size=8),
       k=params, t=params, many=st.lists(st.integers(-2, 13), max_size=5))
def test_every_entry(graph, source, seed, variant, k, t, many):
    call_and_check(native.dijkstra, graph, source)
    out = call_and_check(native.bmssp, graph, source, seed)
    inst = call_and_check(native.bmssp_instrumented, graph, source, seed)
    if out is not None:
        assert inst is not None and inst[0].tobytes() == out[0].tobytes()
        ids, dhat = inst[2], inst[3]
        assert ids.size == dhat.size and np.unique(ids).size == ids.size and np.all(np.isfinite(dhat))
    call_and_check(native.bmssp_variant, graph, source, variant, seed, k, t)
    for fn, args in ((quillharbour.dijkstra_multisource, ()), (quillharbour.bmssp_multisource, (seed,))):
        try:
            dist, pred = fn(*graph, np.array(many, dtype=np.int64), *args)
        except Exception as error:
            assert documented(error), f"{type(error).__name__}: {error}"
            continue
        for i, s in enumerate(many):
            check_answer(graph, s, dist[i], pred[i])


ARRAY_DTYPES = ["<i8", ">i8", "<i4", ">i4", "<f8", ">f8", "<f4", "u8", "u4", "i2", "?", "c16", "O"]


@st.composite
def arrays(draw):
    dtype = draw(st.sampled_from(ARRAY_DTYPES))
    length = draw(st.integers(0, 6))
    base = np.zeros(length * 2, dtype=dtype) if dtype != "O" else np.array([0] * (2 * length), dtype=object)
    shape = draw(st.sampled_from(["flat", "strided", "2d", "0d", "readonly", "fortran2d"]))
    if shape == "strided":
        return base[::2]
    if shape == "2d":
        return base.reshape(2, length)
    if shape == "0d":
        return base[:1].reshape(()) if length else np.zeros((), dtype=dtype)
    if shape == "fortran2d":
        return np.asfortranarray(base.reshape(length, 2))
    out = base[:length]
    if shape == "readonly":
        out.flags.writeable = False
    return out


@FUZZ
@given(a=arrays(), b=arrays(), c=arrays(), d=arrays() | st.integers(-2, 3) | st.none() | st.text(max_size=2))
def test_arbitrary_arrays(a, b, c, d):
    for fn, extra in ((native.dijkstra, ()), (native.bmssp, ()), (native.bmssp_instrumented, (0,)),
                      (native.bmssp_variant, ("tuned",)), (native.dijkstra_multisource, ()),
                      (native.bmssp_multisource, (0,))):
        try:
            fn(a, b, c, d, *extra)
        except Exception as error:
            assert documented(error), f"{fn.__name__}: {type(error).__name__}: {error}"
