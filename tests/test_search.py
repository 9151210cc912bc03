"""The keyword options of shortest_paths: limit, targets, min_only, directed, return_predecessors."""

from __future__ import annotations

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import dijkstra as scipy_dijkstra

from conftest import assert_certificate, random_graph
from quillharbour.api import shortest_paths
from quillharbour.graph import from_edges


def graph(kind, seed=7):
    rng = np.random.default_rng(seed)
    if kind == "integer":  # many ties, zero weights, self-loops, parallel arcs
        return random_graph(rng, 300, 900, max_weight=5, zero_share=0.1)
    if kind == "decimal":  # no ties: predecessors and sources are unique
        return random_graph(rng, 2000, 8000, integer=False)
    weights = 10.0 ** rng.uniform(-6, 6, size=6000)  # many decades
    return from_edges(1500, rng.integers(0, 1500, 6000), rng.integers(0, 1500, 6000), weights, sort=False)


def scipy_reference(g, sources, **options):
    n = len(g[0]) - 1
    out = scipy_dijkstra(csr_matrix((g[2], g[1], g[0]), shape=(n, n)), indices=sources,
                         return_predecessors=True, **options)
    return tuple(np.where(a == -9999, -1, a) if a.dtype.kind == "i" else a for a in out)


def symmetric(g):
    """The graph with every arc also given backwards, as an explicit directed graph."""
    indptr, indices, weights = g
    tails = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr))
    return from_edges(len(indptr) - 1, np.concatenate([tails, indices]), np.concatenate([indices, tails]),
                          np.concatenate([weights, weights]), sort=False)


@pytest.mark.parametrize("kind", ["integer", "decimal", "decades"])
@pytest.mark.parametrize("ours", [{"limit": 3.0}, {"limit": 0.0}, {"directed": False}, {"directed": False, "limit": 2.5}])
def test_single_and_row_searches_equal_scipy(kind, ours):
    g = graph(kind)
    sources = [0, 5, 5, 17]
    d, p = shortest_paths(g, sources, **ours)
    sd, sp = scipy_reference(g, sources, **ours)
    assert np.array_equal(d, sd)
    if kind != "integer":
        assert np.array_equal(p, sp)
    for i, s in enumerate(sources):
        one = shortest_paths(g, s, **ours)
        assert np.array_equal(one[0], d[i]) and np.array_equal(one[1], p[i])
        if "limit" not in ours:  # a full search is a certified shortest-path tree
            assert_certificate(*(symmetric(g) if "directed" in ours else g), s, d[i], p[i])


@pytest.mark.parametrize("kind", ["integer", "decimal"])
@pytest.mark.parametrize("options", [{}, {"limit": 2.0}, {"directed": False}])
def test_min_only_equals_scipy(kind, options):
    g = graph(kind)
    sources = [9, 3, 9, 40, 0]
    d, p, src = shortest_paths(g, sources, min_only=True, **options)
    sd, sp, ssrc = scipy_reference(g, sources, min_only=True, **options)
    assert np.array_equal(d, sd)
    if kind == "decimal":
        assert np.array_equal(p, sp) and np.array_equal(src, ssrc)
    reached = np.flatnonzero(p >= 0)
    assert np.array_equal(src[reached], src[p[reached]]), "a vertex's source differs from its predecessor's"
    assert np.all(src[sources] == sources) and np.all(src[np.isinf(d)] == -1)
    # The same result as one search from a virtual vertex 0 with zero-weight arcs to the sources.
    n = len(g[0]) - 1
    tails = np.concatenate([np.zeros(len(sources), np.int64), np.repeat(np.arange(1, n + 1), np.diff(g[0]))])
    heads = np.concatenate([np.array(sources) + 1, g[1].astype(np.int64) + 1])
    sup = from_edges(n + 1, tails, heads, np.concatenate([np.zeros(len(sources)), g[2]]), sort=False)
    if "directed" not in options:  # undirected, the virtual arcs would join the sources
        vd, vp = shortest_paths(sup, 0, **options)
        assert np.array_equal(vd[1:], d)
        assert np.array_equal(np.where(vp[1:] > 0, vp[1:] - 1, -1), p)


@pytest.mark.parametrize("kind", ["integer", "decimal"])
@pytest.mark.parametrize("targets", [[5], [5, 120, 5, 44], [0], list(range(0, 300, 7))])
@pytest.mark.parametrize("directed", [True, False])
def test_targets_are_exact_as_is_everything_settled_before_them(kind, targets, directed):
    g = graph(kind)
    full_d, full_p = shortest_paths(g, 0, directed=directed)
    d, p = shortest_paths(g, 0, targets=targets, directed=directed)
    last = full_d[targets].max()
    exact = (full_d < last) | np.isin(np.arange(len(d)), targets)
    assert np.array_equal(d[exact], full_d[exact]) and np.array_equal(p[exact], full_p[exact])
    assert np.all(d >= full_d)
    rows = shortest_paths(g, [0, 3], targets=targets, directed=directed)
    assert np.array_equal(rows[0][0], d) and np.array_equal(rows[1][0], p)


def test_targets_stop_the_search_and_leave_the_rest_as_found():
    # 0 -> 1 -> 2 -> 3 -> 4 of weight 1, and a shortcut 0 -> 3 of weight 10: when target 2 is
    # settled, 3 still holds the shortcut's length and 4 is not reached.
    g = from_edges(5, [0, 1, 2, 3, 0], [1, 2, 3, 4, 3], [1.0, 1.0, 1.0, 1.0, 10.0], sort=False)
    d, p = shortest_paths(g, 0, targets=[2])
    assert d.tolist() == [0, 1, 2, 10, np.inf] and p.tolist() == [-1, 0, 1, 0, -1]
    d, p = shortest_paths(g, 0, targets=[])
    assert d.tolist() == [0] + [np.inf] * 4 and p.tolist() == [-1] * 5


@pytest.mark.parametrize("options", [{}, {"min_only": True}, {"limit": 1.5, "directed": False}])
@pytest.mark.parametrize("sources", [4, [4, 1]])
def test_without_predecessors_only_they_are_missing(options, sources):
    g = graph("integer")
    with_pred = shortest_paths(g, sources, **options, return_predecessors=True)
    without = shortest_paths(g, sources, **options, return_predecessors=False)
    if options.get("min_only"):
        assert np.array_equal(without[0], with_pred[0]) and np.array_equal(without[1], with_pred[2])
    else:
        assert isinstance(without, np.ndarray) and np.array_equal(without, with_pred[0])


@pytest.mark.parametrize("kind", ["integer", "decimal", "decades"])
@pytest.mark.parametrize("share", [0.0, 0.1, 0.6])
def test_bmssp_limit_is_the_masked_full_run(kind, share):
    g = graph(kind)
    full_d, full_p = shortest_paths(g, 3, method="bmssp", seed=11)
    reached = np.sort(full_d[np.isfinite(full_d)])
    limit = reached[int(share * (len(reached) - 1))]  # a distance that occurs: the boundary counts
    d, p = shortest_paths(g, [3, 3], method="bmssp", seed=11, limit=limit)
    beyond = full_d > limit
    assert np.array_equal(d[1], np.where(beyond, np.inf, full_d))
    assert np.array_equal(p[1], np.where(beyond, -1, full_p))
    assert np.array_equal(d[0], shortest_paths(g, 3, limit=limit)[0])


TINY = {
    "one vertex": from_edges(1, [], [], [], sort=False),
    "no arcs": from_edges(3, [], [], [], sort=False),
    "zero self-loop": from_edges(2, [1, 0], [1, 1], [0.0, 0.0], sort=False),
}


@pytest.mark.parametrize("name", TINY)
@pytest.mark.parametrize("options", [{"directed": False}, {"limit": 0.0, "directed": False}, {"min_only": True}])
def test_tiny_graphs(name, options):
    g = TINY[name]
    ours = shortest_paths(g, [0], **options)
    theirs = scipy_reference(g, [0], **options)
    assert all(np.array_equal(a, b) for a, b in zip(ours, theirs))
