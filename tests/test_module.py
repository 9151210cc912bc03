"""The module frame: names, docstrings, binding, conversion and contiguity."""

from __future__ import annotations

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quillharbour
from quillharbour import _quillharbour as native

NAMES = [
    "dijkstra",
    "bmssp",
    "bmssp_instrumented",
    "bmssp_variant",
    "dijkstra_multisource",
    "bmssp_multisource",
]

SIGNATURES = {
    "dijkstra": "(indptr, indices, weights, source)",
    "bmssp": "(indptr, indices, weights, source, seed=0)",
    "bmssp_instrumented": "(indptr, indices, weights, source, seed=0)",
    "bmssp_variant": "(indptr, indices, weights, source, variant, seed=0, k=0, t=0)",
    "dijkstra_multisource": "(indptr, indices, weights, sources)",
    "bmssp_multisource": "(indptr, indices, weights, sources, seed=0)",
}

DOCS = {
    "dijkstra": "Compute single-source shortest paths with Dijkstra's algorithm.",
    "bmssp": "Compute single-source shortest paths with the BMSSP algorithm\non the constant-degree transform.",
    "bmssp_instrumented": "Like [`bmssp_py`], but also returns the settlement-order log\n"
    "(transformed-graph vertex ids and their dhat at settlement).",
    "bmssp_variant": "Run a research variant of BMSSP (`src/variants/`); `variant` is the\n"
    'name after the "bmssp-" prefix (e.g. "notransform"). `k`/`t` > 0\n'
    "force the parameters (0 = the variant's default).",
    "dijkstra_multisource": "Multi-source Dijkstra, parallel over sources (rayon). Returns flat\n"
    "`(distances: float64[k*n], predecessors: int32[k*n])`; row `i` is the\n"
    "single-source result for `sources[i]` (bit-identical to `dijkstra`).\n"
    "The Python wrapper reshapes to `(k, n)`.",
    "bmssp_multisource": "Multi-source BMSSP, parallel over sources (rayon). Same contract as\n"
    "[`dijkstra_multisource_py`]; every row uses the same pivot `seed` its\n"
    "single-source `bmssp` call would.",
}


def small_graph():
    indptr = np.array([0, 2, 3, 3], dtype=np.int64)
    indices = np.array([1, 2, 2], dtype=np.int32)
    weights = np.array([1.0, 4.0, 2.0])
    return indptr, indices, weights


def call(name, indptr, indices, weights, source=0, **extra):
    """Calls entry `name` with the per-entry fourth argument and extras."""
    fn = getattr(native, name)
    if name.endswith("multisource"):
        source = np.atleast_1d(np.asarray(source, dtype=np.int64))
    args = [indptr, indices, weights, source]
    if name == "bmssp_variant":
        args.append(extra.pop("variant", "tuned"))
    return fn(*args, **extra)


def test_module_identity_and_names():
    assert native.__doc__ == "The native extension module `quillharbour._quillharbour`."
    assert native.__name__ == "quillharbour._quillharbour"
    assert native.__all__ == NAMES
    own = {k for k in vars(native) if not k.startswith("__")}
    assert own == set(NAMES)
    for name in NAMES:
        fn = getattr(native, name)
        assert str(inspect.signature(fn)) == SIGNATURES[name]
        assert fn.__doc__ == DOCS[name]
        assert fn.__module__ == "quillharbour._quillharbour"
    assert quillharbour.__version__
    assert quillharbour.__all__[: len(NAMES)] == NAMES  # the native entries, then the workbench
    assert all(hasattr(quillharbour, name) for name in quillharbour.__all__)


def test_reinitialisation_returns_the_same_module():
    code = textwrap.dedent(
        """
        import importlib, sys
        import quillharbour._quillharbour as first
        del sys.modules["quillharbour._quillharbour"]
        second = importlib.import_module("quillharbour._quillharbour")
        assert first is second, (first, second)
        print("same")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "same"


def test_sub_interpreter_import_fails_with_import_error():
    code = textwrap.dedent(
        f"""
        import _xxsubinterpreters as interpreters
        import quillharbour._quillharbour  # loaded in the main interpreter first
        interp = interpreters.create()
        script = '''
        import importlib.machinery, importlib.util
        loader = importlib.machinery.ExtensionFileLoader("quillharbour._quillharbour", {native.__file__!r})
        spec = importlib.util.spec_from_loader("quillharbour._quillharbour", loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            assert "sub-interpreter" in str(e), str(e)
        else:
            raise SystemExit("imported in a sub-interpreter")
        '''
        interpreters.run_string(interp, script)
        print("refused")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "refused"


@pytest.mark.parametrize("name", NAMES)
def test_binding_by_position_and_keyword(name):
    indptr, indices, weights = small_graph()
    fn = getattr(native, name)
    params = list(inspect.signature(fn).parameters)
    with pytest.raises(TypeError, match=name):
        fn(indptr, indices)
    with pytest.raises(TypeError, match=name):
        fn(indptr, indices, weights, 0, "x", 0, 0, 0, 0)
    with pytest.raises(TypeError, match=name):
        fn(indptr, indices, weights, 0, "tuned", nonsense=1)
    with pytest.raises(TypeError, match=name):
        fn(indptr, indices, weights, 0, indptr=indptr)
    # every parameter by keyword, shuffled: conversion gets as far as the
    # first wrong value, which proves the keyword reached its slot
    kwargs = dict(zip(params, [indptr, indices, weights, 0, "tuned"]))
    kwargs[params[1]] = indices.astype(np.int64)
    with pytest.raises(TypeError, match="argument 'indices'"):
        fn(**dict(reversed(list(kwargs.items()))))


@pytest.mark.parametrize("name", NAMES)
def test_array_conversion_errors_name_the_argument(name):
    indptr, indices, weights = small_graph()
    cases = [
        ("indptr", indptr.astype(np.int32), indices, weights),
        ("indptr", list(indptr), indices, weights),
        ("indptr", indptr.reshape(1, -1), indices, weights),
        ("indptr", indptr.astype(">i8"), indices, weights),
        ("indices", indptr, indices.astype(np.int64), weights),
        ("indices", indptr, indices.astype(np.uint32), weights),
        ("weights", indptr, indices, weights.astype(np.float32)),
        ("weights", indptr, indices, np.array(1.0)),
        ("weights", indptr, indices, weights.astype(">f8")),
    ]
    for arg, p, i, w in cases:
        with pytest.raises(TypeError) as info:
            call(name, p, i, w)
        assert str(info.value).startswith(f"argument '{arg}': "), (arg, str(info.value))
    # conversion order: indptr is reported before indices before weights
    with pytest.raises(TypeError, match="^argument 'indptr': "):
        call(name, None, None, None)
    with pytest.raises(TypeError, match="^argument 'indices': "):
        call(name, indptr, None, None)


@pytest.mark.parametrize("name", NAMES)
def test_scalar_conversion(name):
    indptr, indices, weights = small_graph()
    fn = getattr(native, name)
    if not name.endswith("multisource"):
        with pytest.raises(TypeError, match="^argument 'source': "):
            call(name, indptr, indices, weights, source=1.0)
        with pytest.raises(TypeError, match="^argument 'source': "):
            call(name, indptr, indices, weights, source=None)
        with pytest.raises(OverflowError) as info:
            call(name, indptr, indices, weights, source=2**63)
        assert not str(info.value).startswith("argument")
        # the source is converted before anything about the arrays' layout is looked at
        with pytest.raises(TypeError, match="^argument 'source': "):
            call(name, indptr[::2], indices, weights, source="0")
    else:
        with pytest.raises(TypeError, match="^argument 'sources': "):
            fn(indptr, indices, weights, [0])
    if "seed" in inspect.signature(fn).parameters:
        with pytest.raises(TypeError, match="^argument 'seed': "):
            call(name, indptr, indices, weights, seed=None)
        with pytest.raises(TypeError, match="^argument 'seed': "):
            call(name, indptr, indices, weights, seed=1.5)
        for bad in (-1, 2**64):
            with pytest.raises(OverflowError) as info:
                call(name, indptr, indices, weights, seed=bad)
            assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name", NAMES)
def test_contiguity_checked_after_conversion_in_order(name):
    indptr, indices, weights = small_graph()
    strided = np.zeros(2 * len(indptr), dtype=np.int64)[::2]
    strided[:] = indptr
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        call(name, strided, indices, weights)
    # a conversion error anywhere beats a contiguity error
    with pytest.raises(TypeError, match="^argument 'weights'"):
        call(name, strided, indices, weights.astype(np.float32))


@pytest.mark.parametrize("name", NAMES)
def test_shape_errors_apply_to_every_entry(name):
    indptr, indices, weights = small_graph()
    with pytest.raises(ValueError, match=r"^indptr must have length n \+ 1 \(got empty array\)$"):
        call(name, np.array([], dtype=np.int64), indices, weights)
    with pytest.raises(ValueError, match="^indices and weights must have the same length$"):
        call(name, indptr, indices, weights[:-1])
    with pytest.raises(ValueError, match=r"^indptr\[-1\] must equal len\(indices\)$"):
        call(name, np.array([0, 2, 3, 2], dtype=np.int64), indices, weights)
