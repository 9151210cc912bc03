"""Every keyword option on every method: Dijkstra's distances, bit for bit, and tight predecessors.

Decimal and many-decade weights (where rounded sums absorb) as well as small integers with zeros
(where paths tie); each option alone and the options together.
"""

from __future__ import annotations

import numpy as np
import pytest

from conftest import assert_certificate, csr_from_edges, random_graph
from quillharbour import METHODS, CsrGraph, options, shortest_paths

SEED = 5


def graph(kind):
    rng = np.random.default_rng(11)
    if kind == "integer":  # ties, zero weights, self-loops and parallel arcs
        return random_graph(rng, 200, 700, max_weight=4, zero_share=0.15)
    n, m = 400, 1400
    tails, heads = rng.integers(0, n, m), rng.integers(0, n, m)
    weights = rng.choice([0.1, 0.2, 0.3, 0.7], m) if kind == "decimal" else 10.0 ** rng.uniform(-12, 12, m)
    return csr_from_edges(n, tails, heads, weights)


def certify_rows(g, sources, dist, pred):
    for s, d, p in zip(sources, np.atleast_2d(dist), np.atleast_2d(pred)):
        assert_certificate(*g, s, d, p)


OPTIONS = [
    {"directed": False},
    {"limit": 1.5},
    {"limit": 0.0},
    {"directed": False, "limit": 0.9},
    {"return_predecessors": False},
]


@pytest.mark.parametrize("kind", ["integer", "decimal", "decades"])
@pytest.mark.parametrize("method", METHODS[1:] + ("hybrid:1:0",))
@pytest.mark.parametrize("opts", OPTIONS, ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()))
def test_options_give_dijkstras_distances(kind, method, opts):
    g = graph(kind)
    sources = [3, 0, 3]
    if kind == "decades" and "limit" in opts:
        opts = {**opts, "limit": opts["limit"] * 1e9}
    want = shortest_paths(g, sources, **opts)
    got = shortest_paths(g, sources, method=method, seed=SEED, **opts)
    one = shortest_paths(g, 0, method=method, seed=SEED, **opts)
    if opts.get("return_predecessors") is False:
        assert isinstance(got, np.ndarray) and np.array_equal(got, want) and np.array_equal(one, want[1])
        return
    assert np.array_equal(got[0], want[0]) and np.array_equal(one[0], want[0][1])
    reached = np.isfinite(got[0])
    reached[np.arange(len(sources)), sources] = False
    assert np.all(got[1][reached] >= 0) and np.all(got[1][~np.isfinite(got[0])] == -1)
    if "limit" not in opts:  # a certified tree where the search was whole
        certify_rows(options.undirected(CsrGraph(*g)) if "directed" in opts else g, sources, *got)


@pytest.mark.parametrize("kind", ["integer", "decimal", "decades"])
@pytest.mark.parametrize("method", METHODS[1:])
@pytest.mark.parametrize("directed", [True, False])
def test_min_only_gives_the_nearest_source(kind, method, directed):
    """The distance to the nearest source as Dijkstra finds it; each vertex's source is the root
    of its predecessor chain and lies at that distance; every source is its own."""
    g = graph(kind)
    sources = [7, 2, 7, 150]
    want = shortest_paths(g, sources, min_only=True, directed=directed)
    dist, pred, sources_of = shortest_paths(g, sources, method=method, seed=SEED, min_only=True,
                                            directed=directed)
    assert np.array_equal(dist, want[0])
    assert np.array_equal(sources_of[sources], sources) and np.all(pred[sources] == -1)
    reached = np.isfinite(dist)
    assert np.array_equal(sources_of >= 0, reached)
    full = shortest_paths(g, sorted(set(sources)), directed=directed)[0]
    row = {s: i for i, s in enumerate(sorted(set(sources)))}
    for v in np.flatnonzero(reached):
        assert full[row[sources_of[v]], v] == dist[v]
        if pred[v] >= 0:
            assert sources_of[pred[v]] == sources_of[v]
    only = shortest_paths(g, sources, method=method, seed=SEED, min_only=True, directed=directed,
                          return_predecessors=False, limit=0.5)
    limited = shortest_paths(g, sources, min_only=True, directed=directed, limit=0.5)
    assert np.array_equal(only[0], limited[0]) and len(only) == 2


@pytest.mark.parametrize("method", METHODS[1:])
def test_targets_are_checked_and_exact(method):
    g = graph("decimal")
    want = shortest_paths(g, 4)[0]
    dist, pred = shortest_paths(g, 4, method=method, targets=[9, 12], directed=True)
    assert np.array_equal(dist, want)  # the run does not stop early: every vertex is exact
    assert_certificate(*g, 4, dist, pred)
    with pytest.raises(IndexError, match="target 400 is out of range for graph with 400 vertices"):
        shortest_paths(g, 4, method=method, targets=[9, 400])
    with pytest.raises(IndexError, match="source -1 is out of range"):
        shortest_paths(g, [4, -1], method=method, directed=False)
    with pytest.raises(ValueError, match="limit must be >= 0"):
        shortest_paths(g, 4, method=method, limit=float("nan"))
    with pytest.raises(TypeError, match="must be real number, not str"):
        shortest_paths(g, 4, method=method, limit="far")
