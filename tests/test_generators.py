"""Generators: seeded determinism, CSR invariants and each family's defining shape."""

from __future__ import annotations

import numpy as np
import pytest

from quillharbour import generators as gen
from quillharbour.graph import from_edges

SPECS = ["grid:7x5", "grid:6", "rgg:500", "rgg:400:12", "gnm:60:300", "rmat:8", "rmat:7:4", "path:9", "star:8"]


def check_csr(g):
    assert g.indptr.dtype == np.int64 and g.indices.dtype == np.int32 and g.weights.dtype == np.float64
    for a in g:
        assert a.ndim == 1 and a.flags.c_contiguous
    assert g.indptr[0] == 0 and g.indptr[-1] == g.m == len(g.weights)
    assert np.all(np.diff(g.indptr) >= 0)
    assert g.m == 0 or (g.indices.min() >= 0 and g.indices.max() < g.n)
    assert np.all(np.isfinite(g.weights)) and np.all(g.weights > 0)
    # rows sorted by head
    tails = g.tails()
    assert np.all((np.diff(tails) > 0) | (np.diff(g.indices) >= 0))


@pytest.mark.parametrize(("n", "m"), [(0, 0), (7, 0), (1, 5), (50, 2000), (3000, 40000)])
def test_sorted_rows_order_by_head_and_keep_parallel_arcs_in_order(n, m):
    rng = np.random.default_rng(n + m)
    tails, heads = rng.integers(0, max(n, 1), m), rng.integers(0, max(n, 1), m)
    weights = 1.0 - rng.random(m)  # distinct, so the order of parallel arcs shows
    g = from_edges(n, tails, heads, weights)
    order = np.lexsort((heads, tails))  # by tail, then head, then position
    check_csr(g)
    assert np.array_equal(g.indptr, np.concatenate([[0], np.cumsum(np.bincount(tails, minlength=n))]))
    assert np.array_equal(g.indices, heads[order]) and g.weights.tobytes() == weights[order].tobytes()


@pytest.mark.parametrize("spec", SPECS)
def test_specs_are_valid_and_deterministic(spec):
    a = gen.from_spec(spec, seed=11)
    check_csr(a)
    b = gen.from_spec(spec, seed=11)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)
    c = gen.from_spec(spec, seed=12)
    assert not np.array_equal(a.weights, c.weights) or not np.array_equal(a.indices, c.indices)


def arc_weights(g):
    return dict(zip(zip(g.tails().tolist(), g.indices.tolist()), g.weights.tolist()))


def test_grid_is_a_symmetric_four_neighbour_grid():
    g = gen.grid(4, 6, seed=3)
    assert g.n == 24 and g.m == 2 * (4 * 5 + 3 * 6)
    out = np.diff(g.indptr).reshape(4, 6)
    assert out[0, 0] == 2 and out[0, 3] == 3 and out[2, 2] == 4
    arcs = arc_weights(g)
    for (u, v), w in arcs.items():
        assert arcs[(v, u)] == w  # a street weighs the same both ways
        ru, cu, rv, cv = u // 6, u % 6, v // 6, v % 6
        assert abs(ru - rv) + abs(cu - cv) == 1
    assert g.weights.min() >= 1.0 and g.weights.max() < 10.0
    assert set(gen.grid(2, 3, low=2.5, high=2.5).weights) == {2.5}  # one weight for every street


def test_random_geometric_matches_all_pairs_check():
    n, radius = 300, 0.09
    g = gen.random_geometric(n, radius, seed=5)
    pts = np.random.default_rng(5).random((n, 2))  # the generator's first draw
    d = np.hypot(*(pts[:, None, :] - pts[None, :, :]).transpose(2, 0, 1))
    want = {(u, v) for u, v in zip(*np.nonzero(d < radius)) if u != v}
    arcs = arc_weights(g)
    assert set(arcs) == want
    for (u, v), w in arcs.items():
        assert w == pytest.approx(d[u, v], rel=1e-12)


def test_random_geometric_default_radius_gives_requested_degree():
    g = gen.random_geometric(20000, seed=1, degree=6.0)
    assert 5.0 < g.m / g.n < 6.5  # boundary effects lower the mean a little


def test_gnm_has_exactly_m_distinct_arcs_without_loops():
    g = gen.gnm(40, 900, seed=2)
    t = g.tails()
    assert g.m == 900
    assert not np.any(t == g.indices)
    assert len(set(zip(t.tolist(), g.indices.tolist()))) == 900
    full = gen.gnm(5, 20, seed=0)  # every possible arc
    assert full.m == 20


def test_rmat_sizes_and_skew():
    g = gen.rmat(12, 8, seed=4)
    assert g.n == 4096 and g.m == 8 * 4096
    deg = np.diff(g.indptr)
    assert deg.max() > 20 * deg.mean()  # heavy-tailed, unlike G(n, m)


def test_path_and_star_shapes():
    p = gen.path(5, seed=1)
    assert p.tails().tolist() == [0, 1, 2, 3] and p.indices.tolist() == [1, 2, 3, 4]
    s = gen.star(5, seed=1)
    arcs = arc_weights(s)
    assert set(arcs) == {(0, i) for i in range(1, 5)} | {(i, 0) for i in range(1, 5)}
    assert all(arcs[(0, i)] == arcs[(i, 0)] for i in range(1, 5))
    assert gen.path(1).m == 0 and gen.star(1).m == 0
