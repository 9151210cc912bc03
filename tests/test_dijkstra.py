"""The Dijkstra baseline against an independent oracle, its tie rule, and the layouts it takes."""

from __future__ import annotations

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import dijkstra as scipy_dijkstra

from conftest import csr, grid_graph, random_graph
from quillharbour import dijkstra
from quillharbour.graph import from_edges

INF = np.inf


def scipy_distances(indptr, indices, weights, source):
    """scipy's answer; it sums parallel arcs and drops stored zeros, so keep the lightest arc
    of each pair and nudge zeros to the smallest positive double (absorbed by integer sums)."""
    n = len(indptr) - 1
    tails = np.repeat(np.arange(n), np.diff(indptr))
    order = np.lexsort((weights, indices, tails))
    t, h, w = tails[order], indices[order], weights[order]
    first = np.ones(t.size, dtype=bool)
    first[1:] = (t[1:] != t[:-1]) | (h[1:] != h[:-1])
    w = np.where(w[first] == 0, np.nextafter(0, 1), w[first])
    d = scipy_dijkstra(csr_matrix((w, (t[first], h[first])), shape=(n, n)), indices=source)
    return np.where(np.isfinite(d), np.round(d), d)


def test_matches_scipy(rng):
    for trial in range(40):
        n = int(rng.integers(1, 300))
        graph = random_graph(rng, n, int(rng.integers(0, 6 * n)), zero_share=0.1 * (trial % 2))
        source = int(rng.integers(0, n))
        np.testing.assert_array_equal(dijkstra(*graph, source)[0], scipy_distances(*graph, source))
    graph = grid_graph(rng, 60, 70)
    np.testing.assert_array_equal(dijkstra(*graph, 123)[0], scipy_distances(*graph, 123))
    # on a tree every path is unique, so real-valued sums agree to the last bit
    parents = np.array([rng.integers(0, v) for v in range(1, 500)])
    tree = from_edges(500, parents, np.arange(1, 500), rng.random(499) * 100, sort=False)
    dist, pred = dijkstra(*tree, 0)
    assert dist.tobytes() == scipy_dijkstra(csr_matrix(tree[::-1], shape=(500, 500)), indices=0).tobytes()
    assert pred[1:].tolist() == parents.tolist()


@pytest.mark.parametrize("graph, dist, pred", [
    # 3 and 4 both reach 1 at distance 3; the 4-ary heap expands 3 first
    (([0, 4, 4, 4, 5, 7], [3, 2, 4, 2, 1, 3, 1], [2, 2, 2, 1, 1, 1, 1]), [0, 3, 1, 2, 2], [-1, 3, 0, 0, 0]),
    # the first of equal children moves up
    (([0, 4, 5, 6, 8, 8, 8], [4, 2, 3, 1, 3, 5, 1, 5], [1, 1, 1, 3, 3, 1, 2, 1]), [0, 3, 1, 1, 1, 2], [-1, 0, 0, 0, 0, 2]),
    # parallel arcs: the first sets the predecessor; vertex 2 has no in-arcs
    (([0, 2, 2, 3], [1, 1, 1], [1.0, 1.0, 5.0]), [0, 1, INF], [-1, 0, -1]),
    # a zero-weight cycle and a self-loop terminate
    (([0, 1, 3, 4], [1, 2, 1, 1], [0.0, 0.0, 0.0, 0.0]), [0, 0, 0], [-1, 0, 1]),
    # sums that overflow to +inf are not paths
    (([0, 1, 2, 2], [1, 2], [1e308, 1e308]), [0, 1e308, INF], [-1, 0, -1]),
])
def test_tie_rule_and_small_cases(graph, dist, pred):
    d, p = dijkstra(*csr(*graph), 0)
    assert d.tolist() == dist and p.tolist() == pred


def test_layouts_and_scalar_kinds():
    indptr, indices, weights = csr([0, 1, 2, 2], [1, 2], [1.0, 2.0])
    want = dijkstra(indptr, indices, weights, 0)[0].tolist()
    readonly = [a.copy() for a in (indptr, indices, weights)]
    for a in readonly:
        a.flags.writeable = False

    class Sub(np.ndarray):
        pass

    for args in (readonly, [a.view(Sub) for a in readonly], [np.asfortranarray(a) for a in readonly]):
        assert dijkstra(*args, 0)[0].tolist() == want
    for source in (np.int64(0), np.int8(0), np.uint64(0), False):
        assert dijkstra(indptr, indices, weights, source)[0].tolist() == want
    assert dijkstra(indptr, indices, weights, True)[0].tolist() == [INF, 0.0, 2.0]
    # a one-element view counts as contiguous whatever its stride
    assert dijkstra(*csr([0, 1, 1], [1], [0.0])[:2], np.array([1.0, 9.0])[::2], 0)[0].tolist() == [0.0, 1.0]
