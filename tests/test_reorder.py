"""Many-source runs on a renumbered graph: the caller's ids, Dijkstra's distances bit for bit,
predecessors tight and unchanged wherever one arc alone gives a vertex its distance."""

from __future__ import annotations

import numpy as np
import pytest

import quillharbour as qh
from conftest import assert_certificate, random_graph
from quillharbour import bench
from quillharbour.reorder import reordering


def shuffled_graph(seed):
    """Decimal weights (few ties), zero-weight and parallel arcs, self-loops, isolated vertices, and
    ids shuffled so that a renumbering moves every vertex."""
    rng = np.random.default_rng(seed)
    g = random_graph(rng, 900, 2600, integer=False, zero_share=0.03)
    perm = rng.permutation(g.n)
    return qh.from_edges(g.n, perm[g.tails()], perm[g.indices], g.weights, sort=False)


def single_tight_tail(g, dist):
    """Per vertex, its one tail whose arc is tight (fl(dist[u] + w) == dist[v]), or -1 when there are
    none or several: where any correct predecessor is that tail."""
    tails = g.tails()
    with np.errstate(invalid="ignore"):
        tight = (dist[tails] + g.weights == dist[g.indices]) & np.isfinite(dist[tails])
    pairs = np.unique(np.stack([g.indices[tight].astype(np.int64), tails[tight]]), axis=1)
    heads, counts = np.unique(pairs[0], return_counts=True)
    out = np.full(g.n, -1, dtype=np.int64)
    single = heads[counts == 1]
    out[single] = pairs[1][np.isin(pairs[0], single)]
    return out


@pytest.mark.parametrize("ordering", ["rcm", "bfs"])
@pytest.mark.parametrize("entry", ["dijkstra", "bmssp"])
def test_reordered_rows_in_the_callers_ids(entry, ordering):
    g = shuffled_graph(5)
    sources = np.array([3, 0, 899, 3, 450], dtype=np.int64)
    run = qh.dijkstra_multisource if entry == "dijkstra" else (lambda *a, **kw: qh.bmssp_multisource(*a, 7, **kw))
    want_dist, want_pred = run(*g, sources)
    made = reordering(g, ordering)
    assert sorted(made.order.tolist()) == list(range(g.n)) and made.graph.m == g.m
    for reorder in (ordering, made):  # by name, or made once and reused
        dist, pred = run(*g, sources, reorder=reorder)
        assert dist.tobytes() == want_dist.tobytes()
        unique_checked = 0
        for i, s in enumerate(sources):
            assert_certificate(*g, int(s), dist[i], pred[i])
            single = single_tight_tail(g, dist[i])
            single[s] = -1
            where = single >= 0
            assert np.array_equal(pred[i][where], single[where]) and np.array_equal(want_pred[i][where], single[where])
            unique_checked += int(where.sum())
        assert unique_checked > 3000  # most vertices have one tight arc: the check has teeth
        assert np.array_equal(pred[0], pred[3])


def test_reordering_refusals_and_bench_methods():
    g = shuffled_graph(6)
    with pytest.raises(ValueError, match="unknown reordering 'metis'"):
        qh.dijkstra_multisource(*g, np.array([0]), reorder="metis")
    with pytest.raises(ValueError, match="made for a graph of 900 vertices and 2600 arcs, not this one of 4"):
        qh.dijkstra_multisource(*qh.generators.path(4), np.array([0]), reorder=reordering(g))
    made = reordering(g)
    for other in (qh.CsrGraph(g.indptr, g.indices, g.weights * 2), qh.CsrGraph(g.indptr, g.indices[::-1].copy(),
                                                                                g.weights)):
        with pytest.raises(ValueError, match="made for another graph of 900 vertices and 2600 arcs"):
            qh.bmssp_multisource(*other, np.array([0]), reorder=made)  # not the rows of the graph it was made for
    with pytest.raises(IndexError, match="source 900 is out of range"):
        qh.dijkstra_multisource(*g, np.array([1, 900]), reorder="rcm")
    methods, _ = bench.available_methods(["dijkstra", "dijkstra-multi@bfs", "bmssp@rcm"], include_peers=False)
    results = bench.run_bench([("g", g)], methods, sources=2, repeats=1)
    assert [(r.method, r.agrees) for r in results] == [("dijkstra", True), ("dijkstra-multi@bfs", True),
                                                        ("bmssp@rcm", True)]
