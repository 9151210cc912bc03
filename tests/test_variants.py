"""bmssp_variant: every research variant against Dijkstra, determinism, forced parameters,
golden outputs, the unknown-name message and the order of the entry's errors."""

from __future__ import annotations

import hashlib
import heapq
import math

import numpy as np
import pytest

from conftest import assert_certificate, csr_from_edges, grid_graph, random_graph
from quillharbour import _quillharbour as native

NAMED = ["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast"]
HYBRID_FORMS = ["hybrid:0:0", "hybrid:-1:4", "hybrid:2:0", "hybrid:", "hybrid:1:1"]
ALL_FORMS = NAMED + HYBRID_FORMS
# Variants whose runs never draw from the random state.
SEED_FREE = ["simpleq", "fast", "hybrid", "hybrid:1:1", "hybrid:-1:4"]
U64_MAX = 2**64 - 1
FORCED = [(1, 1), (3, 2), (2, 1), (U64_MAX, U64_MAX), (1, U64_MAX), (U64_MAX, 1), (2**40, 3)]
KNOWN_LIST = '["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast"]'


def graphs(seed, count, max_n=60):
    """Seeded random multigraphs with self-loops, parallel arcs, zero weights and isolated vertices."""
    rng = np.random.default_rng(seed)
    for i in range(count):
        n = int(rng.integers(1, max_n))
        m = int(rng.integers(0, 4 * n + 1))
        g = random_graph(rng, n, m, max_weight=int(rng.choice([1, 5, 50])), zero_share=float(rng.choice([0, 0.3])))
        yield i, g, int(rng.integers(0, n))


def tie_broken_dijkstra(indptr, indices, weights, source):
    """Dijkstra ordered by (distance, hops, vertex) with the engine's relaxation test."""
    n = len(indptr) - 1
    dist = [math.inf] * n
    hops = [2**31 - 1] * n
    pred = [-1] * n
    dist[source], hops[source] = 0.0, 0
    heap = [(0.0, 0, source)]
    done = [False] * n
    while heap:
        d, h, u = heapq.heappop(heap)
        if done[u] or (d, h) != (dist[u], hops[u]):
            continue
        done[u] = True
        for e in range(indptr[u], indptr[u + 1]):
            v, cd, ch = int(indices[e]), d + float(weights[e]), h + 1
            if cd != math.inf and (cd, ch, u) <= (dist[v], hops[v], pred[v]):
                dist[v], hops[v], pred[v] = cd, ch, u
                heapq.heappush(heap, (cd, ch, v))
    return np.array(dist), np.array(pred, dtype=np.int32)


def digest(dist, pred):
    return hashlib.sha256(dist.tobytes() + pred.tobytes()).hexdigest()[:16]


# --- every variant is exact ---------------------------------------------------------------


@pytest.mark.parametrize("variant", ALL_FORMS)
def test_distances_equal_dijkstra_and_predecessors_are_tight(variant):
    for i, g, s in graphs(ALL_FORMS.index(variant) + 1, 200):
        want, _ = native.dijkstra(*g, s)
        dist, pred = native.bmssp_variant(*g, s, variant, i)
        assert dist.dtype == np.float64 and pred.dtype == np.int32
        np.testing.assert_array_equal(dist, want, err_msg=f"graph {i}")
        assert_certificate(*g, s, dist, pred)


@pytest.mark.parametrize("variant", ["tuned", "simpleq", "lazypiv", "notransform"])
def test_real_weights_and_larger_graphs(variant):
    rng = np.random.default_rng(31)
    cases = [(random_graph(rng, 3000, 12000, integer=False), 7), (grid_graph(rng, 30, 40), 0),
             (random_graph(rng, 2000, 6000, max_weight=3, zero_share=0.4), 1)]
    for g, s in cases:
        want, _ = native.dijkstra(*g, s)
        dist, pred = native.bmssp_variant(*g, s, variant, 3)
        np.testing.assert_array_equal(dist, want)
        assert_certificate(*g, s, dist, pred)


def test_forced_parameters_never_change_distances():
    for i, g, s in graphs(77, 60, max_n=40):
        want, _ = native.dijkstra(*g, s)
        for variant in ["tuned", "simpleq", "lazypiv", "notransform", "hybrid:0:0"]:
            for k, t in FORCED:
                dist, pred = native.bmssp_variant(*g, s, variant, i, k, t)
                np.testing.assert_array_equal(dist, want, err_msg=f"{variant} k={k} t={t} graph {i}")
                assert_certificate(*g, s, dist, pred)


def test_untransformed_variants_are_dijkstra_with_ties_broken_by_hops_then_vertex():
    # Labels converge to the unique minimum of (distance, hops, predecessor) per vertex, so any
    # exact run on the input graph returns the same predecessors as this reference.
    for i, g, s in graphs(5, 150, max_n=40):
        want = tie_broken_dijkstra(*g, s)
        for variant, k, t in [("fast", 0, 0), ("fast", U64_MAX, 2), ("notransform", 0, 0),
                              ("notransform", 1, 1), ("notransform", U64_MAX, U64_MAX)]:
            dist, pred = native.bmssp_variant(*g, s, variant, i, k, t)
            np.testing.assert_array_equal(dist, want[0])
            np.testing.assert_array_equal(pred, want[1], err_msg=f"{variant} graph {i}")


def absorbing_graph(rng, n, m):
    """From vertex 0 a first step of 2**53, then weights 0.5, 1.0 and 3.0, which at such
    distances are absorbed or rounded: sums stay at one distance as with zero weights."""
    tails = np.concatenate([[0], rng.integers(1, n, size=m)])
    heads = np.concatenate([[1], rng.integers(1, n, size=m)])
    weights = np.concatenate([[2.0**53], rng.choice([0.5, 1.0, 3.0], size=m)])
    return csr_from_edges(n, tails, heads, weights)


def test_one_search_runs_order_equal_distances_on_larger_graphs():
    # "fast" is one search over the input graph; equal distances are common with small integer
    # weights, zero weights chain vertices at one distance, and tiny weights do the same once
    # they are absorbed by large distances. Each must match the recursion and the reference.
    rng = np.random.default_rng(77)
    cases = [random_graph(rng, 2000, 9000, max_weight=3), random_graph(rng, 2000, 9000, max_weight=3, zero_share=0.3),
             random_graph(rng, 1500, 6000, integer=False, max_weight=2, zero_share=0.1),
             absorbing_graph(rng, 2000, 10000), grid_graph(rng, 40, 50, max_weight=2)]
    for i, g in enumerate(cases):
        s = 0 if i == 3 else int(rng.integers(0, len(g[0]) - 1))
        want = tie_broken_dijkstra(*g, s)
        for variant in ["fast", "notransform"]:
            dist, pred = native.bmssp_variant(*g, s, variant, i)
            np.testing.assert_array_equal(dist, want[0], err_msg=f"{variant} case {i}")
            np.testing.assert_array_equal(pred, want[1], err_msg=f"{variant} case {i}")
        # on the transform, the single searches and the recursion agree as well
        recursion = digest(*native.bmssp_variant(*g, s, "tuned", i))
        for variant in ["hybrid", "hybrid:9:0"]:
            assert digest(*native.bmssp_variant(*g, s, variant)) == recursion, (variant, i)


def test_transformed_variants_agree_with_the_single_bounded_search_and_bmssp():
    # On the transform the same argument makes every exact variant equal "hybrid" bit for bit,
    # and both equal the reference BMSSP run.
    for i, g, s in graphs(15, 80, max_n=40):
        want = digest(*native.bmssp_variant(*g, s, "hybrid"))
        assert digest(*native.bmssp(*g, s, i)) == want, i
        for variant in ["tuned", "simpleq", "lazypiv", "hybrid:0:0", "hybrid:2:0", "hybrid:5:1", "hybrid:-1:9"]:
            for k, t in [(0, 0), (1, 1), (U64_MAX, 3), (U64_MAX, U64_MAX)]:
                assert digest(*native.bmssp_variant(*g, s, variant, i, k, t)) == want, (variant, k, t, i)


# --- determinism -------------------------------------------------------------------------------


def test_runs_are_deterministic_per_seed_and_seed_free_variants_ignore_it():
    for i, g, s in graphs(8, 30):
        for variant in ALL_FORMS:
            runs = {seed: native.bmssp_variant(*g, s, variant, seed) for seed in (0, 1, 2**63 + 5)}
            again = native.bmssp_variant(*g, s, variant, 1)
            assert digest(*again) == digest(*runs[1])
            if variant in SEED_FREE:
                assert len({digest(*r) for r in runs.values()}) == 1, (i, variant)


def test_a_lone_k_or_t_is_ignored():
    for i, g, s in graphs(9, 20):
        for variant in ["tuned", "lazypiv", "notransform", "fast"]:
            base = digest(*native.bmssp_variant(*g, s, variant, 4))
            assert digest(*native.bmssp_variant(*g, s, variant, 4, k=3)) == base
            assert digest(*native.bmssp_variant(*g, s, variant, 4, t=3)) == base


# --- golden outputs --------------------------------------------------------------------------


def lcg_graph(n, m, seed, max_weight):
    """A graph from a fixed linear congruential generator, independent of NumPy's generators."""
    state = seed
    def draw(bound):
        nonlocal state
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        return (state >> 33) % bound
    edges = [(draw(n), draw(n), float(draw(max_weight + 1))) for _ in range(m)]
    tails, heads, weights = zip(*edges)
    return csr_from_edges(n, tails, heads, weights)


GOLDEN_GRAPHS = {"sparse": (lcg_graph(300, 900, 1, 20), 0), "zeros": (lcg_graph(200, 800, 2, 1), 5)}
# Recorded from this implementation (sha256 of the distance and predecessor bytes). Every exact
# run on the same searched graph gives the same bits, so one digest per graph and search suffices.
GOLDEN = {
    ("sparse", "transformed"): "83f5df849bda328f",
    ("sparse", "input"): "98e11eb1b5f9f35c",
    ("zeros", "transformed"): "2af846b0dbb4c8e2",
    ("zeros", "input"): "39d267ec0342cf85",
}


@pytest.mark.parametrize("graph", sorted(GOLDEN_GRAPHS))
def test_golden_outputs(graph):
    g, s = GOLDEN_GRAPHS[graph]
    want, _ = native.dijkstra(*g, s)
    for variant in ALL_FORMS:
        for seed in (0, 12345):
            dist, pred = native.bmssp_variant(*g, s, variant, seed)
            np.testing.assert_array_equal(dist, want)
            searched = "input" if variant in ("notransform", "fast") else "transformed"
            assert GOLDEN[(graph, searched)] == digest(dist, pred), (graph, variant, seed)


# --- small cases ---------------------------------------------------------------------------------


@pytest.mark.parametrize("variant", ALL_FORMS)
def test_graph_without_edges_and_zero_weights(variant):
    indptr = np.zeros(5, dtype=np.int64)
    empty_i, empty_w = np.array([], dtype=np.int32), np.array([], dtype=np.float64)
    dist, pred = native.bmssp_variant(indptr, empty_i, empty_w, 0, variant)
    np.testing.assert_array_equal(dist, [0.0, np.inf, np.inf, np.inf])
    np.testing.assert_array_equal(pred, [-1, -1, -1, -1])
    # -0.0 is an accepted weight; a self-loop and a zero-weight cycle change nothing
    g = csr_from_edges(3, [0, 1, 2, 1], [1, 2, 1, 1], [-0.0, 0.0, 0.0, 0.0])
    dist, pred = native.bmssp_variant(*g, 0, variant)
    assert list(dist) == [0.0, 0.0, 0.0] and not np.signbit(dist).any()
    np.testing.assert_array_equal(pred, [-1, 0, 1])


@pytest.mark.parametrize("variant", ["notransform", "fast", "tuned"])
def test_distance_overflow_leaves_the_vertex_unreached(variant):
    big = np.finfo(np.float64).max
    g = csr_from_edges(3, [0, 1], [1, 2], [big, big])
    dist, pred = native.bmssp_variant(*g, 0, variant)
    np.testing.assert_array_equal(dist, [0.0, big, np.inf])
    np.testing.assert_array_equal(pred, [-1, 0, -1])


# --- the unknown-name message --------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, quoted",
    [
        ("foo", '"foo"'),
        ("", '""'),
        ("Hybrid", '"Hybrid"'),
        ("bmssp-tuned", '"bmssp-tuned"'),
        (" tuned", '" tuned"'),
        ("hybridx", '"hybridx"'),
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("t\tr\rn\nz\0", r'"t\tr\rn\nz\0"'),
        ("\x01\x1b\x7f\x85", r'"\u{1}\u{1b}\u{7f}\u{85}"'),
        ("\u200b\u2028\ue000", r'"\u{200b}\u{2028}\u{e000}"'),
        ("café 日本 Ωμέγα \U0001f600", '"café 日本 Ωμέγα \U0001f600"'),
    ],
)
def test_unknown_name_message(name, quoted):
    g = csr_from_edges(2, [0], [1], [1.0])
    with pytest.raises(ValueError) as info:
        native.bmssp_variant(*g, 0, name)
    assert str(info.value) == f"unknown bmssp variant {quoted}; known: {KNOWN_LIST}"


def test_str_subclasses_are_names():
    class Name(str):
        pass

    g = csr_from_edges(2, [0], [1], [1.5])
    dist, _ = native.bmssp_variant(*g, 0, Name("simpleq"))
    assert list(dist) == [0.0, 1.5]
    with pytest.raises(ValueError, match='^unknown bmssp variant "Simpleq"'):
        native.bmssp_variant(*g, 0, Name("Simpleq"))


# --- errors, in the order they are detected ---------------------------------------------------------


def test_variant_conversion_errors():
    g = csr_from_edges(2, [0], [1], [1.0])
    for bad, type_name in [(None, "NoneType"), (b"tuned", "bytes"), (3, "int")]:
        with pytest.raises(TypeError) as info:
            native.bmssp_variant(*g, 0, bad)
        assert str(info.value) == f"argument 'variant': '{type_name}' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        native.bmssp_variant(*g, 0, "tu\udc80ned")
    # arrays and source are converted before the name, the name before seed, k and t
    with pytest.raises(TypeError, match="^argument 'indices'"):
        native.bmssp_variant(g[0], g[1].astype(np.int64), g[2], 0, None)
    with pytest.raises(OverflowError):
        native.bmssp_variant(*g, 2**63, None)
    with pytest.raises(TypeError, match="^argument 'variant'"):
        native.bmssp_variant(*g, 0, None, seed=-1)
    with pytest.raises(UnicodeEncodeError):
        native.bmssp_variant(*g, 0, "\ud800", k=None)


@pytest.mark.parametrize("arg", ["seed", "k", "t"])
def test_seed_k_t_conversion(arg):
    g = csr_from_edges(2, [0], [1], [1.0])
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as info:
            native.bmssp_variant(*g, 0, "tuned", **{arg: bad})
        assert not str(info.value).startswith("argument")
    for bad in (None, 1.0, "1"):
        with pytest.raises(TypeError, match=f"^argument '{arg}': "):
            native.bmssp_variant(*g, 0, "unknown", **{arg: bad})
    dist, _ = native.bmssp_variant(*g, 0, "tuned", **{arg: U64_MAX})
    assert list(dist) == [0.0, 1.0]


def test_checks_before_the_name_come_first():
    indptr, indices, weights = csr_from_edges(3, [0, 1], [1, 2], [1.0, 2.0])
    strided = np.zeros(2 * len(indptr), dtype=np.int64)[::2]
    strided[:] = indptr
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        native.bmssp_variant(strided, indices, weights, 0, "nope")
    with pytest.raises(ValueError, match="^indptr must have length"):
        native.bmssp_variant(np.array([], dtype=np.int64), indices, weights, 0, "nope")
    with pytest.raises(IndexError, match="^source 3 is out of range for graph with 3 vertices$"):
        native.bmssp_variant(indptr, indices, weights, 3, "nope")
    with pytest.raises(IndexError, match="^source -1 is out of range"):
        native.bmssp_variant(indptr, indices, weights, -1, "nope")
    with pytest.raises(ValueError, match="^indices and weights must have the same length$"):
        native.bmssp_variant(indptr, indices, weights[:1], 0, "nope")
    with pytest.raises(ValueError, match=r"^malformed CSR"):
        native.bmssp_variant(indptr, np.array([1, 3], dtype=np.int32), weights, 0, "nope")
    with pytest.raises(ValueError, match=r"^malformed CSR"):
        native.bmssp_variant(np.array([0, 2, 1, 2], dtype=np.int64), indices, weights, 0, "tuned")


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, -1.0, -5e-324])
def test_weights_are_checked_only_for_known_names(bad):
    g = csr_from_edges(3, [0, 1], [1, 2], [1.0, bad])
    with pytest.raises(ValueError, match='^unknown bmssp variant "nope"'):
        native.bmssp_variant(*g, 0, "nope")
    for variant in ALL_FORMS:
        with pytest.raises(ValueError, match=r"^edge weight must be finite and >= 0$"):
            native.bmssp_variant(*g, 0, variant)


@pytest.mark.parametrize("bad", [np.nan, -np.nan, np.inf, -np.inf, -1.0, -5e-324])
def test_a_bad_weight_is_found_wherever_it_lies(bad):
    # the weights are scanned two at a time with a scalar tail: try every lane and the tail
    for m in (1, 2, 5, 8):
        for at in range(m):
            weights = np.full(m, 2.0)
            weights[::2] = -0.0
            weights[at] = bad
            g = csr_from_edges(m + 1, np.arange(m), np.arange(1, m + 1), weights)
            with pytest.raises(ValueError, match=r"^edge weight must be finite and >= 0$"):
                native.bmssp_variant(*g, 0, "fast")
    # -0.0 in every position passes
    g = csr_from_edges(6, np.arange(5), np.arange(1, 6), np.full(5, -0.0))
    np.testing.assert_array_equal(native.bmssp_variant(*g, 0, "fast")[1], [-1, 0, 1, 2, 3, 4])


def test_concurrent_calls_match_sequential_ones():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(12)
    g = random_graph(rng, 3000, 12000, zero_share=0.2)
    jobs = [(v, seed) for v in ALL_FORMS for seed in (0, 7)]
    want = [digest(*native.bmssp_variant(*g, 0, v, seed)) for v, seed in jobs]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda job: digest(*native.bmssp_variant(*g, 0, job[0], job[1])), jobs))
    assert got == want
