"""The Dijkstra baseline: exact answers, tie rules, validation order."""

from __future__ import annotations

import threading

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import dijkstra as scipy_dijkstra

from conftest import assert_certificate, csr_from_edges, grid_graph, random_graph
from quillharbour import dijkstra

INF = np.inf
MALFORMED = (
    r"^malformed CSR: indptr must be non-decreasing, start at 0, end at len\(indices\), "
    r"and every index must be in \[0, n\)$"
)
NEGATIVE = r"^negative or NaN edge weight encountered; Dijkstra requires weights >= 0$"


def arrays(indptr, indices, weights):
    return (
        np.array(indptr, dtype=np.int64),
        np.array(indices, dtype=np.int32),
        np.array(weights, dtype=np.float64),
    )


def scipy_distances(indptr, indices, weights, source):
    """scipy's answer; it sums parallel edges, so keep the lightest of each pair."""
    n = len(indptr) - 1
    tails = np.repeat(np.arange(n), np.diff(indptr))
    order = np.lexsort((weights, indices, tails))
    t, h, w = tails[order], indices[order], weights[order]
    first = np.ones(t.size, dtype=bool)
    first[1:] = (t[1:] != t[:-1]) | (h[1:] != h[:-1])
    t, h, w = t[first], h[first], w[first]
    # scipy treats stored zeros as absent edges; nudge them to the smallest
    # positive float, which vanishes in any sum of integer-valued weights
    w = np.where(w == 0, np.nextafter(0, 1), w)
    matrix = csr_matrix((w, (t, h)), shape=(n, n))
    d = scipy_dijkstra(matrix, directed=True, indices=source)
    return np.where(np.isfinite(d), np.round(d), d)


def test_heap_arity_decides_equal_paths():
    # vertices 3 and 4 both reach distance 2 with an edge of weight 1 to vertex 1;
    # the 4-ary heap expands 3 first
    d, p = dijkstra(*arrays([0, 4, 4, 4, 5, 7], [3, 2, 4, 2, 1, 3, 1], [2, 2, 2, 1, 1, 1, 1]), 0)
    assert d.tolist() == [0, 3, 1, 2, 2]
    assert p.tolist() == [-1, 3, 0, 0, 0]


def test_first_of_equal_children_moves_up():
    d, p = dijkstra(*arrays([0, 4, 5, 6, 8, 8, 8], [4, 2, 3, 1, 3, 5, 1, 5], [1, 1, 1, 3, 3, 1, 2, 1]), 0)
    assert d.tolist() == [0, 3, 1, 1, 1, 2]
    assert p.tolist() == [-1, 0, 0, 0, 0, 2]


def test_small_cases():
    d, p = dijkstra(*arrays([0, 0], [], []), 0)
    assert d.tolist() == [0.0] and p.tolist() == [-1]
    # vertex 2 has no in-edges; parallel edges 0->1: the first sets the predecessor
    d, p = dijkstra(*arrays([0, 2, 2, 3], [1, 1, 1], [1.0, 1.0, 5.0]), 0)
    assert d.tolist() == [0.0, 1.0, INF] and p.tolist() == [-1, 0, -1]
    # a zero-weight cycle and a self-loop terminate
    d, p = dijkstra(*arrays([0, 1, 3, 4], [1, 2, 1, 1], [0.0, 0.0, 0.0, 0.0]), 0)
    assert d.tolist() == [0.0, 0.0, 0.0] and p.tolist() == [-1, 0, 1]
    # +inf never relaxes, -0.0 behaves like 0.0
    d, p = dijkstra(*arrays([0, 2, 2, 2], [1, 2], [INF, -0.0]), 0)
    assert d.tolist() == [0.0, INF, 0.0] and p.tolist() == [-1, -1, 0]
    # sums that overflow to +inf are not paths
    d, p = dijkstra(*arrays([0, 1, 2, 2], [1, 2], [1e308, 1e308]), 0)
    assert d.tolist() == [0.0, 1e308, INF] and p.tolist() == [-1, 0, -1]


@pytest.mark.parametrize("trial", range(300))
def test_matches_scipy_on_random_integer_graphs(trial):
    rng = np.random.default_rng(trial)
    n = int(rng.integers(1, 200))
    m = int(rng.integers(0, 6 * n))
    graph = random_graph(rng, n, m, zero_share=0.1 if trial % 3 == 0 else 0.0)
    source = int(rng.integers(0, n))
    dist, pred = dijkstra(*graph, source)
    np.testing.assert_array_equal(dist, scipy_distances(*graph, source))
    assert_certificate(*graph, source, dist, pred)


def test_float_weights_bit_exact_with_unique_paths():
    # on a tree every vertex has a unique path, so the sums are fixed and the
    # result must agree with scipy to the last bit
    rng = np.random.default_rng(7)
    for _ in range(20):
        n = 500
        parents = np.array([rng.integers(0, v) for v in range(1, n)])
        weights = rng.random(n - 1) * 100
        graph = csr_from_edges(n, parents, np.arange(1, n), weights)
        matrix = csr_matrix((graph[2], graph[1], graph[0]), shape=(n, n))
        dist, pred = dijkstra(*graph, 0)
        expected = scipy_dijkstra(matrix, indices=0)
        assert dist.tobytes() == expected.tobytes()
        assert pred[1:].tolist() == parents.tolist()


def test_grid_certificate(rng):
    graph = grid_graph(rng, 60, 70)
    dist, pred = dijkstra(*graph, 123)
    assert_certificate(*graph, 123, dist, pred)
    np.testing.assert_array_equal(dist, scipy_distances(*graph, 123))


class TestHostileInput:
    def test_check_order(self):
        g = arrays([0, 1, 1], [1], [1.0])
        with pytest.raises(IndexError, match="^source 0 is out of range for graph with 0 vertices$"):
            dijkstra(*arrays([0], [], []), 0)
        with pytest.raises(IndexError, match="^source -1 is out of range for graph with 2 vertices$"):
            dijkstra(*g, -1)
        with pytest.raises(IndexError, match="^source 2 is out of range"):
            dijkstra(g[0], g[1], np.array([1.0, 2.0]), 2)  # source before lengths
        with pytest.raises(ValueError, match="same length"):
            dijkstra(np.array([0, 5, 5], dtype=np.int64), g[1], np.array([1.0, 2.0]), 0)  # lengths first

    def test_structure_and_weights_decided_edge_by_edge(self):
        with pytest.raises(ValueError, match=MALFORMED):
            dijkstra(*arrays([0, 2, 2], [5, 0], [1.0, -1.0]), 0)
        with pytest.raises(ValueError, match=NEGATIVE):
            dijkstra(*arrays([0, 2, 2], [5, 0], [-1.0, 1.0]), 0)
        with pytest.raises(ValueError, match=NEGATIVE):
            dijkstra(*arrays([0, 1, 1], [-1], [np.nan]), 0)  # weight before head
        # any indptr fault beats every edge fault
        with pytest.raises(ValueError, match=MALFORMED):
            dijkstra(*arrays([0, 2, 1, 2], [1, 1], [-1.0, -1.0]), 0)
        with pytest.raises(ValueError, match=MALFORMED):
            dijkstra(*arrays([1, 1], [0], [1.0]), 0)
        with pytest.raises(ValueError, match=MALFORMED):
            dijkstra(*arrays([0, 1, 1], [-1], [1.0]), 0)
        # an unreachable NaN weight is still refused
        with pytest.raises(ValueError, match=NEGATIVE):
            dijkstra(*arrays([0, 0, 1], [0], [np.nan]), 0)

    def test_layouts_and_scalar_kinds(self):
        indptr, indices, weights = arrays([0, 1, 2, 2], [1, 2], [1.0, 2.0])
        expected = dijkstra(indptr, indices, weights, 0)
        ro = [a.copy() for a in (indptr, indices, weights)]
        for a in ro:
            a.flags.writeable = False

        class Sub(np.ndarray):
            pass

        variants = [
            ro,
            [a.view(Sub) for a in (indptr, indices, weights)],
            [np.asfortranarray(a) for a in (indptr, indices, weights)],
        ]
        for args in variants:
            d, p = dijkstra(*args, 0)
            assert d.tolist() == expected[0].tolist() and p.tolist() == expected[1].tolist()
        for source in (np.int64(0), np.int8(0), np.uint64(0), False):
            assert dijkstra(indptr, indices, weights, source)[0].tolist() == expected[0].tolist()
        assert dijkstra(indptr, indices, weights, True)[0].tolist() == [INF, 0.0, 2.0]
        # a one-element view counts as contiguous whatever its stride
        strided_one = np.array([1.0, 9.0])[::2]
        assert strided_one.strides == (16,)
        d, p = dijkstra(*arrays([0, 1, 1], [1], [0.0])[:2], strided_one, 0)
        assert d.tolist() == [0.0, 1.0]

    def test_inputs_never_written(self, rng):
        graph = random_graph(rng, 50, 200)
        copies = [a.copy() for a in graph]
        dijkstra(*graph, 3)
        for a, b in zip(graph, copies):
            assert a.tobytes() == b.tobytes()


def test_results_are_owned_and_independent():
    g = arrays([0, 1, 1], [1], [1.0])
    d1, p1 = dijkstra(*g, 0)
    for a, dtype in ((d1, np.float64), (p1, np.int32)):
        assert a.dtype == dtype and a.ndim == 1
        assert a.flags.writeable and a.flags.c_contiguous and not a.flags.owndata
        assert type(a.base).__name__ == "PyCapsule"
    d1[:] = 42
    p1[:] = 7
    d2, p2 = dijkstra(*g, 0)
    assert d2.tolist() == [0.0, 1.0] and p2.tolist() == [-1, 0]
    assert d1.base is not d2.base


def test_concurrent_modification_never_reads_out_of_bounds():
    """Another thread rewriting heads and offsets mid-run: answers or ValueError."""
    rng = np.random.default_rng(3)
    graph = random_graph(rng, 20000, 120000)
    indptr, indices, weights = (a.copy() for a in graph)
    stop = threading.Event()

    def vandal():
        local = np.random.default_rng(4)
        while not stop.is_set():
            pos = local.integers(0, indices.size, size=64)
            indices[pos] = local.choice([2**31 - 1, -(2**31), 20000, -1], size=64)
            rows = local.integers(1, indptr.size - 1, size=4)
            indptr[rows] = local.choice([-(2**62), 2**62, 0], size=4)
            indices[:] = graph[1]
            indptr[:] = graph[0]

    worker = threading.Thread(target=vandal)
    worker.start()
    outcomes = set()
    try:
        for i in range(200):
            try:
                dijkstra(indptr, indices, weights, i % 100)
                outcomes.add("ok")
            except ValueError as e:
                assert "malformed CSR" in str(e)
                outcomes.add("malformed")
    finally:
        stop.set()
        worker.join()
    assert outcomes
