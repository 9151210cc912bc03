"""shortest_paths, reconstruct_path and the networkx conversions."""

from __future__ import annotations

import numpy as np
import pytest

import quillharbour as qh
from conftest import assert_certificate
from quillharbour import _quillharbour as native
from quillharbour.api import resolve_method
from quillharbour.graph import as_csr, from_edges

sparse = pytest.importorskip("scipy.sparse")


def sample():
    """6 vertices: a self-loop, parallel arcs, a zero-weight arc, an unreachable vertex (5)."""
    tails = [0, 0, 0, 1, 1, 2, 3, 3, 4]
    heads = [1, 2, 2, 3, 1, 3, 4, 0, 3]
    weights = [4.0, 9.0, 1.0, 0.0, 2.0, 5.0, 1.5, 1.0, 0.5]
    return from_edges(6, tails, heads, weights, sort=False)


class TestGraphInputs:
    @pytest.mark.parametrize("fmt", ["csr", "csc", "coo", "lil", "dok", "bsr", "dia"])
    @pytest.mark.parametrize("kind", [sparse.coo_matrix, sparse.coo_array])
    def test_every_scipy_format_means_what_scipy_means(self, fmt, kind):
        """Duplicates summed, explicit zeros kept as arcs: csgraph's answer in every format."""
        csgraph = pytest.importorskip("scipy.sparse.csgraph")
        rows, cols = np.array([0, 0, 1, 2, 3, 0, 2]), np.array([1, 1, 2, 3, 3, 2, 1])
        m = kind((np.array([3.0, 4.0, 0.0, 2.0, 1.0, 9.0, 5.0]), (rows, cols)), shape=(5, 5)).asformat(fmt)
        before = m.copy()
        for source in range(5):
            dist, pred = qh.shortest_paths(m, source)
            np.testing.assert_array_equal(dist, csgraph.dijkstra(m, indices=source))
            assert_certificate(*as_csr(m), source, dist, pred)
        assert (m != before).nnz == 0  # the caller's matrix is not canonicalised in place

    @pytest.mark.parametrize("wdtype", [np.float32, np.int64, np.uint8, np.float64])
    @pytest.mark.parametrize("idtype", [np.int32, np.int64, np.uint16])
    def test_triples_of_other_dtypes_are_converted(self, wdtype, idtype):
        g = sample()
        triple = (g.indptr.astype(np.int32), g.indices.astype(idtype), g.weights.astype(wdtype))
        dist, pred = qh.shortest_paths(triple, 0)
        ref = native.dijkstra(g.indptr, g.indices, g.weights.astype(wdtype).astype(np.float64), 0)
        np.testing.assert_array_equal(dist, ref[0])
        np.testing.assert_array_equal(pred, ref[1])

    def test_native_dtypes_are_not_copied(self):
        g = qh.generators.grid(3, 4, seed=1)  # canonical: rows sorted, no duplicates
        m = sparse.csr_array((g.weights, g.indices, g.indptr.astype(np.int32)), shape=(12, 12))
        assert m.indices.dtype == np.int32
        c = as_csr(m)
        assert np.shares_memory(c.weights, m.data) and np.shares_memory(c.indices, m.indices)

    def test_matrices_and_lists_mean_what_scipy_means(self):
        """A nested list is a dense matrix, never a triple; dense 0, NaN and +-inf entries are no
        arcs; masked entries are no arcs while unmasked zeros are zero-weight arcs."""
        csgraph = pytest.importorskip("scipy.sparse.csgraph")
        trap = [[0, 1, 3], [1, 0, 1], [1.0, 2.0, 3.0]]
        assert qh.shortest_paths(trap, 0)[0].tolist() == [0.0, 1.0, 2.0] == csgraph.dijkstra(trap, indices=0).tolist()
        dense = np.array([[0, 2, np.nan, 0], [np.inf, 0, 1, -np.inf], [0, 0, 0, 0.5], [1, 0, 0, 0]])
        masked = np.ma.masked_array(dense, mask=[[1, 0, 1, 0], [1, 1, 0, 1], [0, 1, 1, 0], [0, 1, 1, 1]])
        for m in (dense, masked, dense.astype(np.float32), np.ma.masked_invalid(dense)):
            for s in range(4):
                dist, pred = qh.shortest_paths(m, s)
                np.testing.assert_array_equal(dist, csgraph.dijkstra(m, indices=s))
                assert_certificate(*as_csr(m), s, dist, pred)
        assert as_csr(masked).m == 6 and as_csr(dense).m == 4

    @pytest.mark.parametrize("graph, words", [
        (([0, 1, 3], [1, 0, 1], [1.0, 2.0, 3.0]), "reads two ways: as an \\(indptr, indices, weights\\) triple or as a 3 x 3"),
        ([np.array([0, 1, 3]), np.array([1, 0, 1, 1]), np.array([1.0, 2.0, 3.0, 4.0])], "a list is read as a dense matrix"),
        (np.zeros((2, 3)), "must be square"),
        (np.zeros(3), "must be square"),
        (np.array([[0, 1j], [0, 0]]), "complex"),
        (np.array([["a"]]), "real numbers"),
    ])
    def test_inputs_that_read_two_ways_or_none_are_refused(self, graph, words):
        with pytest.raises((TypeError, ValueError), match=words):
            as_csr(graph)

    def test_triples_are_tuples_of_arrays_or_csr_graphs(self):
        g = qh.CsrGraph(np.array([0, 1, 3]), np.array([1, 0, 1], np.int32), np.array([1.0, 2.0, 3.0]))
        for triple in (g, tuple(g), ([0, 1, 2], [1, 0], [1.0, 2.0])):  # lists of lengths no matrix has
            assert as_csr(triple).n == 2
        assert qh.shortest_paths(tuple(g), 1)[0].tolist() == [2.0, 0.0]


class TestMethods:
    @pytest.mark.parametrize("method", ["dijkstra", "bmssp", "tuned", "hybrid:1:0"])
    def test_several_sources_give_rows_of_single_runs(self, method):
        g = sample()
        sources = [3, 0, 3]
        dist, pred = qh.shortest_paths(g, np.array(sources, dtype=np.int16), method=method, seed=5)
        assert dist.shape == pred.shape == (3, 6)
        for row, s in enumerate(sources):
            d1, p1 = qh.shortest_paths(g, s, method=method, seed=5)
            np.testing.assert_array_equal(dist[row], d1)
            np.testing.assert_array_equal(pred[row], p1)
        d0, p0 = qh.shortest_paths(g, [], method=method)
        assert d0.shape == (0, 6) and p0.shape == (0, 6)

    @pytest.mark.parametrize("sources, rows", [
        ([[3, 0], [4, 3]], [3, 0, 4, 3]),             # 2-D: rows in C order, as scipy's indices
        (np.array([[1], [2]], dtype=np.uint8), [1, 2]),
        (range(2, 5), [2, 3, 4]),
        ((np.int16(5),), [5]),
        (np.zeros((0, 3), dtype=np.int64), []),
    ])
    def test_sources_take_what_scipy_indices_take(self, sources, rows):
        g = sample()
        dist, pred = qh.shortest_paths(g, sources)
        assert dist.shape == pred.shape == (len(rows), 6)
        for row, s in enumerate(rows):
            np.testing.assert_array_equal(dist[row], qh.shortest_paths(g, s)[0])

    def test_method_names(self):
        assert resolve_method("bmssp-hybrid:2:8") == ("variant", "hybrid:2:8")
        assert resolve_method("fast") == ("variant", "fast")


class TestReconstructPath:
    def test_paths_on_a_known_graph(self):
        dist, pred = qh.shortest_paths(sample(), 0)
        assert dist.tolist() == [0.0, 4.0, 1.0, 4.0, 5.5, np.inf]
        assert qh.reconstruct_path(pred, 4).tolist() == [0, 1, 3, 4]
        assert qh.reconstruct_path(pred, 2).tolist() == [0, 2]
        assert qh.reconstruct_path(pred, 0).tolist() == [0]

    def test_unreachable_target_is_reported_when_the_source_is_given(self):
        _, pred = qh.shortest_paths(sample(), 0)
        assert qh.reconstruct_path(pred, 5).tolist() == [5]  # indistinguishable without source
        with pytest.raises(ValueError, match="not reachable from source 0"):
            qh.reconstruct_path(pred, 5, source=0)


@pytest.fixture
def nx():
    return pytest.importorskip("networkx")


class TestNetworkx:

    def test_directed_round_trip_with_labels(self, nx):
        G = nx.DiGraph()
        G.add_weighted_edges_from([("a", "b", 2.0), ("b", "c", 1.5), ("a", "c", 5.0)], weight="cost")
        G.add_node("lonely")
        g, nodes = qh.from_networkx(G, weight="cost")
        assert nodes == ["a", "b", "c", "lonely"] and g.n == 4 and g.m == 3
        dist, _ = qh.shortest_paths(g, nodes.index("a"))
        assert dist.tolist() == [0.0, 2.0, 3.5, np.inf]
        H = qh.to_networkx(g, weight="cost", nodes=nodes)
        assert isinstance(H, nx.DiGraph) and not H.is_multigraph()
        assert sorted(H.edges(data="cost")) == sorted(G.edges(data="cost"))
        assert set(H.nodes) == set(G.nodes)

    @pytest.mark.parametrize("make, weight", [
        ("k3", "weight"),
        ("k3", lambda u, v, d: 1 / d["weight"]),
        ("k3", lambda u, v, d: None if (u, v) == (0, 1) else d["weight"]),  # None hides an arc
        ("k3", lambda u, v, d: 10.0 * u + v),                                # direction matters
        ("multi", "weight"),
        ("multi", lambda u, v, d: min(e.get("weight", 1) for e in d.values()) + 0.5),
        ("digraph", lambda u, v, d: None if d.get("weight", 1) > 2 else 2.0),
        ("digraph", None),
    ])
    def test_distances_match_networkx_for_every_kind_of_weight(self, nx, make, weight):
        G = {"k3": nx.complete_graph(3), "multi": nx.MultiGraph(), "digraph": nx.DiGraph()}[make]
        if make == "k3":
            nx.set_edge_attributes(G, {(0, 1): 10, (1, 2): 3, (0, 2): 20}, "weight")
            G.add_edge(2, 2, weight=0.5)  # a self-loop appears once
        else:
            G.add_edges_from([(0, 1, {"weight": 4.0}), (0, 1, {"weight": 1.5}), (1, 2, {}),
                              (2, 3, {"weight": 3.0}), (0, 3, {"weight": 9.0})])
        g, nodes = qh.from_networkx(G, weight=weight)
        for s in range(len(nodes)):
            dist, _ = qh.shortest_paths(g, s)
            ref = nx.single_source_dijkstra_path_length(G, nodes[s], weight=weight)
            assert {nodes[v]: d for v, d in enumerate(dist.tolist()) if d < np.inf} == ref

    def test_parallel_arcs(self, nx):
        g = from_edges(2, [0, 0], [1, 1], [5.0, 2.0])
        M = qh.to_networkx(g)
        assert M.is_multigraph() and M.number_of_edges(0, 1) == 2
        D = qh.to_networkx(g, multigraph=False)
        assert D[0][1]["weight"] == 2.0  # the lightest parallel arc is kept
        back, _ = qh.from_networkx(M)
        assert sorted(back.weights.tolist()) == [2.0, 5.0]

    def test_bad_conversions(self, nx):
        G = nx.DiGraph([(0, 1, {"weight": "heavy"})])
        with pytest.raises(TypeError, match="non-numeric"):
            qh.from_networkx(G)
        for weight in (3, ("weight",)):
            with pytest.raises(TypeError, match="weight must be an edge attribute name"):
                qh.from_networkx(G, weight=weight)
        with pytest.raises(ValueError, match="every node"):
            qh.from_networkx(nx.path_graph(3), nodelist=[0, 1])
        with pytest.raises(ValueError, match="entries for"):
            qh.to_networkx(sample(), nodes=["x"])
