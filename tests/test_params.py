"""The transform size and the k, t and level counts that `info` reports."""

from __future__ import annotations

import math

import pytest

from quillharbour.graph import from_edges
from quillharbour.params import bmssp_parameters, parse_hybrid, transform_size, variant_parameters


@pytest.mark.parametrize("n_prime, k, t, levels", [
    (1, 1, 1, 1), (2, 1, 1, 1), (3, 1, 1, 2), (8, 1, 2, 2), (100, 1, 3, 3),
    (256, 2, 3, 3),  # pow(8, 2/3) is 3.9999999999999996 in float64: t = 3, not 4
    (1000, 2, 4, 3), (4096, 2, 5, 3), (1_000_000, 2, 7, 3), (2**27, 3, 8, 4),
])
def test_reference_parameters(n_prime, k, t, levels):
    p = bmssp_parameters(n_prime)
    assert (p.k, p.t, p.levels) == (k, t, levels)
    assert p.base == max(math.log2(n_prime), 1.0)  # log2 of max(n', 2), at least 1


def test_transform_size_counts_copies_and_ring_arcs():
    # 0->1 (5), 0->2 (1), 2->1 (2): every degree is 2, so 6 copies; 3 arcs + 6 ring arcs.
    g = from_edges(3, [0, 0, 2], [1, 2, 1], [5.0, 1.0, 2.0], sort=False)
    tr = transform_size(g)
    assert (tr.n, tr.m, tr.isolated) == (6, 9, 0)
    # a self-loop counts twice; isolated vertices keep one copy; degree-1 vertices get no ring
    g = from_edges(5, [0, 1], [0, 2], [1.0, 1.0])
    tr = transform_size(g)
    assert (tr.n, tr.isolated) == (2 * 2 + 2, 2)
    assert tr.m == 2 + 2  # vertex 0 has degree 2; vertices 1 and 2 have degree 1


class TestVariants:
    def test_tuned_sizes_by_input_and_jumps_at_16384(self):
        # 100 vertices, 10000 arcs: max(n, 2m) = 20000 >= 16384
        p = variant_parameters("tuned", 100, 10_000, 20_000)
        assert (p.k, p.t) == (8, 12)
        assert p.levels == max(1, -(-p.base // 12))  # levels still from the transformed count
        below = variant_parameters("tuned", 100, 8191, 16382)
        assert (below.k, below.t) == (2, 5)

    def test_fast_jumps_at_8192_vertices_and_skips_the_transform(self):
        assert (variant_parameters("fast", 8191, 0, 8191).t) == 5
        p = variant_parameters("fast", 8192, 0, 8192)
        assert (p.k, p.t, p.searched_n) == (1, 12, 8192)
        assert "one bounded Dijkstra" in p.note

    def test_notransform_searches_the_input_graph(self):
        p = variant_parameters("notransform", 1000, 5000, 10_000)
        assert p.searched_n == 1000 and (p.k, p.t, p.levels) == (2, 4, 3)

    def test_forced_parameters_need_both(self):
        assert (variant_parameters("simpleq", 10, 10, 20, k=5, t=0).k) == 1
        p = variant_parameters("tuned", 10, 10, 20, k=3, t=9)
        assert (p.k, p.t, p.levels) == (3, 9, 1)

    @pytest.mark.parametrize("name, a, b", [
        ("hybrid:", 1, 0), ("hybrid:2", 2, 0), ("hybrid:0:64", 0, 64), ("hybrid:-1:4096", -1, 4096),
        ("hybrid:+7:+8", 7, 8), ("hybrid:x:y", 1, 0), ("hybrid:2147483648:5", 1, 5),
        ("hybrid:3:-5", 3, 0), ("hybrid:3:5:9", 3, 5),
    ])
    def test_hybrid_names(self, name, a, b):
        assert parse_hybrid(name) == (a, b)
