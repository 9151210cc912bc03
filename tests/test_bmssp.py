"""The BMSSP entries: exact distances, trees, the settlement log, errors."""

from __future__ import annotations

import threading

import numpy as np
import pytest

from conftest import assert_certificate, grid_graph, random_graph
from quillharbour import bmssp, bmssp_instrumented, dijkstra

INF = np.inf
INVALID = r"^edge weight must be finite and >= 0$"
MALFORMED = (
    r"^malformed CSR: indptr must be non-decreasing, start at 0, end at len\(indices\), "
    r"and every index must be in \[0, n\)$"
)


def arrays(indptr, indices, weights):
    return (
        np.array(indptr, dtype=np.int64),
        np.array(indices, dtype=np.int32),
        np.array(weights, dtype=np.float64),
    )


def transformed_size(indptr, indices):
    n = len(indptr) - 1
    deg = np.diff(indptr) + np.bincount(indices, minlength=n)
    return int(np.maximum(deg, 1).sum())


def corpus():
    """Seeded graphs of the kinds that break shortest-path codes."""
    for trial in range(240):
        rng = np.random.default_rng(1000 + trial)
        kind = trial % 6
        if kind == 0:  # sparse random, with self-loops and parallel edges
            n = int(rng.integers(1, 300))
            yield random_graph(rng, n, int(rng.integers(0, 4 * n)))
        elif kind == 1:  # many equal-length paths
            n = int(rng.integers(2, 200))
            yield random_graph(rng, n, int(rng.integers(n, 6 * n)), max_weight=2)
        elif kind == 2:  # zero-weight cycles and zero arcs everywhere
            n = int(rng.integers(2, 200))
            yield random_graph(rng, n, int(rng.integers(n, 5 * n)), zero_share=0.5)
        elif kind == 3:
            yield grid_graph(rng, int(rng.integers(1, 25)), int(rng.integers(1, 25)), max_weight=3)
        elif kind == 4:  # mostly isolated vertices
            n = int(rng.integers(1, 400))
            yield random_graph(rng, n, int(rng.integers(0, n // 4 + 1)))
        else:  # dense-ish with large weights
            n = int(rng.integers(2, 60))
            yield random_graph(rng, n, int(rng.integers(0, n * n // 2 + 1)), max_weight=10**6)


list_corpus = list(corpus())


@pytest.mark.parametrize("graph_id", range(len(list_corpus)))
def test_exact_against_dijkstra_with_a_valid_log(graph_id):
    graph = list_corpus[graph_id]
    rng = np.random.default_rng(graph_id)
    n = len(graph[0]) - 1
    source = int(rng.integers(0, n))
    seed = int(rng.integers(0, 2**64, dtype=np.uint64))
    expected, _ = dijkstra(*graph, source)
    dist, pred, ids, dhat = bmssp_instrumented(*graph, source, seed)
    np.testing.assert_array_equal(dist, expected)
    assert_certificate(*graph, source, dist, pred)
    # the settlement log: no repeats, finite distances, transformed ids
    assert ids.dtype == np.int64 and dhat.dtype == np.float64 and ids.size == dhat.size
    assert np.unique(ids).size == ids.size
    assert np.all(np.isfinite(dhat))
    assert np.all((ids >= 0) & (ids < transformed_size(graph[0], graph[1])))
    # every reached input vertex has all its copies settled at its distance
    assert ids.size == sum_reached_copies(graph, dist)
    # reproducible from the seed; other seeds change nothing about distances
    again = bmssp_instrumented(*graph, source, seed)
    for a, b in zip(again, (dist, pred, ids, dhat)):
        assert a.tobytes() == b.tobytes()
    other, _ = bmssp(*graph, source, seed ^ 0x9E3779B97F4A7C15)
    assert other.tobytes() == dist.tobytes()


def sum_reached_copies(graph, dist):
    indptr, indices, _ = graph
    n = len(indptr) - 1
    deg = np.diff(indptr) + np.bincount(indices, minlength=n)
    return int(np.maximum(deg, 1)[np.isfinite(dist)].sum())



def test_worked_examples():
    g = arrays([0, 2, 2, 3], [1, 2, 1], [5.0, 1.0, 2.0])
    d, p = bmssp(*g, 0)
    assert d.tolist() == [0.0, 3.0, 1.0] and p.tolist() == [-1, 2, 0]
    d, p, ids, dhat = bmssp_instrumented(*arrays([0, 0], [], []), 0)
    assert (d.tolist(), p.tolist(), ids.tolist(), dhat.tolist()) == ([0.0], [-1], [0], [0.0])
    d, p, ids, dhat = bmssp_instrumented(*arrays([0, 1, 1], [1], [1.5]), 0)
    assert (d.tolist(), p.tolist(), ids.tolist(), dhat.tolist()) == ([0.0, 1.5], [-1, 0], [0, 1], [0.0, 1.5])
    # unreachable input vertices stay +inf / -1
    d, p = bmssp(*arrays([0, 1, 2, 2, 3], [1, 0, 2], [1.0, 1.0, 1.0]), 0)
    assert d.tolist() == [0.0, 1.0, INF, INF] and p.tolist() == [-1, 0, -1, -1]


def test_float_weights_on_a_grid(rng):
    graph = grid_graph(rng, 40, 40)
    graph = (graph[0], graph[1], graph[2] * 0.1 + rng.random(graph[2].size))
    dist, pred = bmssp(*graph, 5, 17)
    assert_certificate(*graph, 5, dist, pred)


def test_sums_that_overflow_are_not_paths():
    # 0 -> 1 -> 2 with weights whose sum overflows; 2 is also reachable directly
    # through a finite path in the second graph
    d, p, ids, dhat = bmssp_instrumented(*arrays([0, 1, 2, 2], [1, 2], [1e308, 1e308]), 0)
    assert d.tolist() == [0.0, 1e308, INF] and p.tolist() == [-1, 0, -1]
    assert np.all(np.isfinite(dhat))
    d, p = bmssp(*arrays([0, 2, 3, 3], [1, 2, 2], [1e308, 5.0, 1e308]), 0)
    assert d.tolist() == [0.0, 1e308, 5.0] and p.tolist() == [-1, 0, 0]


class TestErrors:
    def test_seed_conversion(self):
        g = arrays([0, 1, 1], [1], [1.0])
        assert bmssp(*g, 0)[0].tobytes() == bmssp(*g, 0, 0)[0].tobytes()
        assert bmssp(*g, 0, seed=2**64 - 1)[0].tolist() == [0.0, 1.0]
        assert bmssp(*g, 0, seed=np.uint64(2**64 - 1))[0].tolist() == [0.0, 1.0]

    @pytest.mark.parametrize("entry", [bmssp, bmssp_instrumented])
    def test_weights_refused(self, entry):
        for bad in (INF, -INF, np.nan, -1.0, -5e-324):
            with pytest.raises(ValueError, match=INVALID):
                entry(*arrays([0, 1, 1], [1], [bad]), 0)
        # -0.0 and subnormals pass
        d = entry(*arrays([0, 2, 2, 2], [1, 2], [-0.0, 5e-324]), 0)[0]
        assert d.tolist() == [0.0, 0.0, 5e-324]

    @pytest.mark.parametrize("entry", [bmssp, bmssp_instrumented])
    def test_order_of_faults(self, entry):
        # structure is checked before weights, source before both
        with pytest.raises(ValueError, match=MALFORMED):
            entry(*arrays([1, 1], [0], [np.nan]), 0)
        with pytest.raises(ValueError, match=MALFORMED):
            entry(*arrays([0, 2, 2], [5, 0], [-1.0, 1.0]), 0)
        with pytest.raises(ValueError, match=MALFORMED):
            entry(*arrays([0, 2, 1, 2], [0, 0], [1.0, 1.0]), 0)
        with pytest.raises(IndexError, match="^source 3 is out of range for graph with 3 vertices$"):
            entry(*arrays([0, 1, 1, 1], [1], [-1.0]), 3)
        with pytest.raises(IndexError, match="^source 0 is out of range for graph with 0 vertices$"):
            entry(*arrays([0], [], []), 0)


def test_threads_sharing_arrays_agree_with_sequential_runs():
    rng = np.random.default_rng(5)
    graphs = [random_graph(rng, 3000, 15000) for _ in range(2)]
    jobs = [(g, s, seed) for g in range(2) for s in (0, 7, 99) for seed in (0, 1)]
    expected = {job: bmssp_instrumented(*graphs[job[0]], job[1], job[2]) for job in jobs}
    results = {}
    errors = []

    def worker(mine):
        try:
            for job in mine:
                results[job] = bmssp_instrumented(*graphs[job[0]], job[1], job[2])
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(jobs[i::4] * 3,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for job in jobs:
        for a, b in zip(results[job], expected[job]):
            assert a.tobytes() == b.tobytes()


def test_results_owned_and_inputs_untouched(rng):
    graph = random_graph(rng, 100, 400)
    copies = [a.copy() for a in graph]
    out = bmssp_instrumented(*graph, 0)
    for a, b in zip(graph, copies):
        assert a.tobytes() == b.tobytes()
    for a in out:
        assert a.ndim == 1 and a.flags.writeable and a.flags.c_contiguous
        assert type(a.base).__name__ == "PyCapsule"
