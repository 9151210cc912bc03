"""quillharbour.csgraph against scipy.sparse.csgraph on what scipy's own tests leave out.

scipy's test_shortest_path.py runs against the front from tools/check; here: every engine on
graphs whose sums round, the readings of sparse, masked and dense input (duplicates, NaN and
infinite arcs), indices of every form, and the places where the front refuses instead.
"""

from __future__ import annotations

import warnings

import numpy as np
import pytest

from conftest import assert_certificate
from quillharbour import csgraph, options

sparse = pytest.importorskip("scipy.sparse")
scipy_csgraph = pytest.importorskip("scipy.sparse.csgraph")
N = 300


def decimal_graph(seed=4):
    """Decimal and many-decade weights: sums that round and absorb."""
    rng = np.random.default_rng(seed)
    m = 4 * N
    data = np.where(rng.random(m) < 0.5, rng.choice([0.1, 0.2, 0.7], m), 10.0 ** rng.uniform(-9, 9, m))
    return sparse.coo_array((data, (rng.integers(0, N, m), rng.integers(0, N, m))), shape=(N, N)).tocsr()


@pytest.mark.parametrize("engine", ["dijkstra", "bmssp", "tuned", "notransform"])
@pytest.mark.parametrize("opts", [{}, {"directed": False}, {"limit": 3.5}, {"unweighted": True}, {"min_only": True},
                                  {"min_only": True, "limit": 1.0}, {"directed": False, "min_only": True}],
                         ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "plain")
def test_engines_give_scipys_distances(engine, opts):
    """Shapes, dtypes, distances bit for bit and the -9999 sentinel as scipy's; predecessors
    tight; with min_only each vertex's source lies at its distance."""
    g = decimal_graph()
    indices = np.array([[3, 0], [7, 3]])
    want = scipy_csgraph.dijkstra(g, indices=indices, return_predecessors=True, **opts)
    got = csgraph.dijkstra(g, indices=indices, return_predecessors=True, engine=engine, **opts)
    assert [(a.shape, a.dtype) for a in got] == [(a.shape, a.dtype) for a in want]
    np.testing.assert_array_equal(got[0], want[0])
    assert np.array_equal(got[1] == csgraph.NULL, want[1] == csgraph.NULL)
    if opts.get("min_only"):
        rows = scipy_csgraph.dijkstra(g, indices=np.arange(N), directed=opts.get("directed", True),
                                      limit=opts.get("limit", np.inf))
        reached = np.flatnonzero(got[2] != csgraph.NULL)
        assert np.array_equal(rows[got[2][reached], reached], got[0][reached])
        return
    h = csgraph._read(g)
    h = options.CsrGraph(h.indptr, h.indices, np.ones(h.m)) if opts.get("unweighted") else h
    h = options.undirected(h) if opts.get("directed") is False else h
    for s, d, p in zip(indices.ravel(), got[0].reshape(-1, N), got[1].reshape(-1, N)):
        if "limit" not in opts:
            assert_certificate(*h, s, d, np.where(p == csgraph.NULL, -1, p))


READINGS = {
    "csr duplicates are parallel arcs": sparse.csr_array((np.array([5.0, 2.0, 1.0]), np.array([1, 1, 2]),
                                                          np.array([0, 2, 3, 3])), shape=(3, 3)),
    "coo duplicates are summed": sparse.coo_array((np.array([5.0, 2.0, 1.0]), (np.array([0, 0, 1]), np.array([1, 1, 2]))),
                                                  shape=(3, 3)),
    "explicit zeros, NaN and inf arcs": sparse.csr_array((np.array([0.0, np.nan, np.inf, 4.0]), np.array([1, 2, 0, 2]),
                                                          np.array([0, 1, 2, 3, 4])), shape=(4, 4)),
    "dense with NaN and infinities": np.array([[0, 1, np.nan], [np.inf, 0, -np.inf], [2, 0, 0]]),
    "masked": np.ma.masked_array([[0, 1, 7], [0, 0, 2], [3, 0, 0.0]], mask=[[0, 1, 0], [1, 1, 0], [1, 1, 1]]),
    "nested list": [[0, 1, 3], [1, 0, 1], [1.0, 2.0, 3.0]],
    "csc": sparse.csc_array(np.array([[0, 2, 0], [0, 0, 3], [1, 0, 0.0]])),
}


@pytest.mark.parametrize("name", READINGS)
@pytest.mark.parametrize("unweighted", [False, True])
@pytest.mark.parametrize("directed", [True, False])
def test_inputs_read_as_scipy_reads_them(name, unweighted, directed):
    graph = READINGS[name]
    want = scipy_csgraph.dijkstra(graph, directed=directed, unweighted=unweighted, return_predecessors=True)
    got = csgraph.dijkstra(graph, directed=directed, unweighted=unweighted, return_predecessors=True)
    np.testing.assert_array_equal(got[0], want[0])
    assert np.array_equal(got[1] == csgraph.NULL, want[1] == csgraph.NULL)


@pytest.mark.parametrize("indices", [None, 2, -1, 1.7, np.uint8(1), [2, -4], [[1], [0]], np.zeros((2, 0), int), []])
@pytest.mark.parametrize("min_only", [False, True])
def test_indices_take_every_form_scipy_takes(indices, min_only):
    g = decimal_graph()
    want = scipy_csgraph.dijkstra(g, indices=indices, min_only=min_only, return_predecessors=True)
    got = csgraph.shortest_path(g, "D", indices=indices, return_predecessors=True) if not min_only else \
        csgraph.dijkstra(g, indices=indices, min_only=True, return_predecessors=True)
    assert [(a.shape, a.dtype) for a in got] == [(a.shape, a.dtype) for a in want]
    np.testing.assert_array_equal(got[0], want[0])
    for a, b in zip(got[1:], want[1:]):  # absorbed sums tie: which vertex may differ, not where
        assert np.array_equal(a == csgraph.NULL, b == csgraph.NULL)


@pytest.mark.parametrize("call", [
    lambda m, g: m.dijkstra(g, indices=N),
    lambda m, g: m.dijkstra(g, indices=-N - 1),
    lambda m, g: m.dijkstra(g, indices=2**40),
    lambda m, g: m.dijkstra(g, indices="a"),
    lambda m, g: m.dijkstra(g, indices=[None]),
    lambda m, g: m.dijkstra(g, limit=-1.0),
    lambda m, g: m.dijkstra(g, limit=None),
    lambda m, g: m.dijkstra(g, limit="3"),
    lambda m, g: m.dijkstra(g[:, :-1]),
    lambda m, g: m.dijkstra(np.ones(3)),
    lambda m, g: m.shortest_path(g, method="X"),
    lambda m, g: m.shortest_path(g, method="FW", indices=0),
])
def test_errors_are_scipys(call):
    """The same exception type as scipy raises, for every argument scipy refuses."""
    raised = []
    for module in (csgraph, scipy_csgraph):
        with pytest.raises(Exception) as info:  # the types are compared below
            call(module, decimal_graph())
        raised.append(type(info.value))
    assert raised[0] is raised[1]


@pytest.mark.parametrize("call, error, words", [
    (lambda: csgraph.dijkstra(np.array([[0, -1.0], [0, 0]])), ValueError, "negative weights"),
    (lambda: csgraph.dijkstra(np.array([[0, 1.0], [0, 0]]), limit=np.nan), ValueError, "limit must be >= 0"),
    (lambda: csgraph.dijkstra(np.array([[0, 1j], [0, 0]])), TypeError, "complex"),
    (lambda: csgraph.shortest_path(np.ones((2, 2)), method="BF"), ValueError, "method 'BF' is not offered"),
    (lambda: csgraph.dijkstra(np.ones((2, 2)), engine="astar"), ValueError, "unknown method 'astar'"),
])
def test_where_the_front_refuses_instead_of_guessing(call, error, words):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # refused, not warned about
        with pytest.raises(error, match=words):
            call()
