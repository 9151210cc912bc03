"""The parameters the native core reports for a graph (quillharbour.params): the transform's
size and the k, t and level counts of the reference run and of the variants."""

from __future__ import annotations

import math

import numpy as np
import pytest

from quillharbour import _search
from quillharbour.graph import from_edges
from quillharbour.params import parameters


def graph(n, m=0):
    """n vertices, m arcs i -> i + 1 (mod n): with no arc, the transform is n single copies."""
    return from_edges(n, np.arange(m) % n, (np.arange(m) + 1) % n, np.ones(m))


@pytest.mark.parametrize("n_prime, k, t, levels", [
    (1, 1, 1, 1), (2, 1, 1, 1), (3, 1, 1, 2), (8, 1, 2, 2), (100, 1, 3, 3),
    (256, 2, 3, 3),  # pow(8, 2/3) is 3.9999999999999996 in float64: t = 3, not 4
    (1000, 2, 4, 3), (4096, 2, 5, 3), (1_000_000, 2, 7, 3),
])
def test_reference_parameters(n_prime, k, t, levels):
    p = parameters(graph(n_prime))
    assert (p.transform_n, p.searched_n, p.k, p.t, p.levels) == (n_prime, n_prime, k, t, levels)
    assert p.base == max(math.log2(n_prime), 1.0)  # log2 of max(n', 2), at least 1


def test_transform_size_counts_copies_and_ring_arcs():
    # 0->1 (5), 0->2 (1), 2->1 (2): every degree is 2, so 6 copies; 3 arcs + 6 ring arcs.
    p = parameters(from_edges(3, [0, 0, 2], [1, 2, 1], [5.0, 1.0, 2.0], sort=False))
    assert (p.transform_n, p.transform_m) == (6, 9)
    # a self-loop counts twice; isolated vertices keep one copy; degree-1 vertices get no ring
    p = parameters(from_edges(5, [0, 1], [0, 2], [1.0, 1.0]))
    assert (p.transform_n, p.transform_m) == (2 * 2 + 2, 2 + 2)


class TestVariants:
    def test_tuned_sizes_by_input_and_jumps_at_16384(self):
        p = parameters(graph(100, 10_000), "tuned")  # max(n, 2m) = 20000 >= 16384
        assert (p.k, p.t) == (8, 12)
        assert p.levels == max(1, -(-p.base // 12))  # levels still from the transformed count
        below = parameters(graph(100, 8191), "tuned")
        assert (below.k, below.t) == (2, 5)

    def test_fast_jumps_at_8192_vertices_and_skips_the_transform(self):
        assert parameters(graph(8191), "fast").t == 5
        p = parameters(graph(8192), "fast")
        assert (p.k, p.t, p.searched_n) == (1, 12, 8192)
        assert "one bounded Dijkstra" in p.note

    def test_notransform_searches_the_input_graph(self):
        p = parameters(graph(1000, 5000), "notransform")
        assert p.searched_n == 1000 and (p.k, p.t, p.levels) == (2, 4, 3)

    def test_forced_parameters_need_both(self):
        assert parameters(graph(10, 10), "simpleq", k=5, t=0).k == 1
        p = parameters(graph(10, 10), "tuned", k=3, t=9)
        assert (p.k, p.t, p.levels) == (3, 9, 1)
        with pytest.raises(ValueError, match='unknown bmssp variant "Tuned"'):
            parameters(graph(10, 10), "Tuned")

    @pytest.mark.parametrize("name, a, b", [
        ("hybrid:", 1, 0), ("hybrid:2", 2, 0), ("hybrid:0:64", 0, 64), ("hybrid:-1:4096", -1, 4096),
        ("hybrid:+7:+8", 7, 8), ("hybrid:x:y", 1, 0), ("hybrid:2147483648:5", 1, 5),
        ("hybrid:3:-5", 3, 0), ("hybrid:3:5:9", 3, 5),
    ])
    def test_hybrid_names(self, name, a, b):
        p = _search.parameters(*graph(4, 4), name)
        assert (p["bounded_dijkstra_level"], p["bounded_dijkstra_sources"]) == (a, b)
