"""The trace of the recursion: its totals are the counted build's, its rows fit together, and
the core run meets the analysis's bounds on every row."""

from __future__ import annotations

import importlib.util

import numpy as np
import pytest

import quillharbour as qh
from conftest import csr, grid_graph
from quillharbour import _quillharbour as native
from quillharbour import _search
from quillharbour.graph import from_edges

# The core configuration with k = t = 2 forced ("tuned" forces them): five levels and more here.
DEEP = ("tuned", 2, 2)


def corpus():
    """Graphs whose transforms take three levels (four for the road-like grid, and more with
    forced k, t), with decimal, two-decimal and many-decade weights."""
    rng = np.random.default_rng(29)
    road = grid_graph(rng, 200, 200)
    yield "grid-2dp", (road[0], road[1], np.round(rng.uniform(0.01, 9.99, road[2].size), 2)), 0
    n = 1500
    tails, heads = rng.integers(0, n, 6 * n), rng.integers(0, n, 6 * n)
    yield "decades", from_edges(n, tails, heads, 10.0 ** rng.uniform(-300, 300, 6 * n), sort=False), 3
    yield "decimal", from_edges(n, tails, heads, rng.choice([0.1, 0.2, 0.3, 0.7], 6 * n), sort=False), 3
    g = qh.generators.rmat(11, 8, seed=3)
    yield "rmat", g, int(np.argmax(np.diff(g.indptr)))
    yield "star", qh.generators.star(2000, seed=1), 0


CORPUS = list(corpus())


def check_rows(tr, counts):
    """The rows fit together and add up to the counted run's totals."""
    rows = np.arange(tr.rows)
    parent, level = tr["parent"], tr["level"]
    assert parent[0] == -1 and np.all(parent[1:] >= 0) and np.all(parent[1:] < rows[1:])
    assert np.all(level[1:] == level[parent[1:]] - 1) and level[0] == tr.params.levels
    kinds = {kind: int(np.count_nonzero(tr["kind"] == kind)) for kind in qh.tracing.KINDS}
    assert (kinds["recursive"], kinds["base case"], kinds["bounded search"]) == (
        counts["find_pivots"], counts["base_cases"], counts["bounded_searches"])
    for column in ("pulls", "pulled", "inserts", "batch_prepends"):
        assert tr[column].sum() == counts[column], column
    assert sum(int(tr[phase].sum()) for phase in qh.tracing.PHASES) == counts["relaxations"]
    # each call's own settlements are one stretch of the log, and the stretches tile it
    made = np.flatnonzero(tr["settled"])
    order = made[np.argsort(tr["settle_start"][made])]
    ends = np.cumsum(np.concatenate([[0], tr["settled"][order]]))
    assert np.array_equal(tr["settle_start"][order], ends[:-1])
    assert ends[-1] == len(tr.settled_vertices) == len(np.unique(tr.settled_vertices))


@pytest.mark.parametrize("name, graph, source", CORPUS, ids=[c[0] for c in CORPUS])
def test_core_trace_adds_up_and_meets_every_bound(name, graph, source):
    checked = {}
    for variant, k, t in [("bmssp", 0, 0), DEEP]:
        tr = qh.trace(graph, source, method=variant, k=k, t=t)
        dist, pred, counts = _search.bmssp_counted(*graph, source, variant, 0, k, t)
        assert tr.counts == counts
        assert tr.distances.tobytes() == dist.tobytes() and tr.predecessors.tobytes() == pred.tobytes()
        check_rows(tr, counts)
        for bound in tr.bounds():
            assert bound.violated == 0, f"{name} k={k} t={t}: {bound}"
            checked[bound.name] = checked.get(bound.name, 0) + bound.checked
        if k == 0:
            assert tr.params.levels >= (4 if name == "grid-2dp" else 3)
            _, _, ids, dhat = native.bmssp_instrumented(*graph, source, 0)
            assert np.array_equal(tr.settled_vertices, ids) and tr.settled_distances.tobytes() == dhat.tobytes()
        else:
            assert tr.params.levels >= 5
    assert all(checked.values()), checked  # no bound went unchecked on this graph


@pytest.mark.parametrize("variant", qh.VARIANTS + ("hybrid:0:8",))
def test_variant_traces_add_up_and_report_their_bounds(variant):
    _, graph, source = CORPUS[1]
    tr = qh.trace(graph, source, method=f"bmssp-{variant}", seed=5)
    dist, pred, counts = _search.bmssp_counted(*graph, source, variant, 5)
    assert tr.predecessors.tobytes() == pred.tobytes()
    assert tr.counts == counts and tr.distances.tobytes() == dist.tobytes()
    check_rows(tr, counts)
    report = tr.bounds()  # reported, not asserted: the variants change the rules
    assert [b.name for b in report] == [b.name for b in qh.trace(graph, source).bounds()]
    if variant in ("hybrid", "fast"):  # one bounded search answers the whole run, from every vertex it reached
        degree = np.bincount(np.repeat(np.arange(1500), np.diff(graph[0])), minlength=1500) + np.bincount(graph[1])
        searched = np.ones(1500, np.int64) if variant == "fast" else np.maximum(degree, 1)  # copies per vertex
        assert tr.rows == 1 and tr["kind"][0] == "bounded search"
        assert tr["u"][0] == searched[np.isfinite(dist)].sum() and tr["relax_local"][0] == counts["relaxations"]


def test_worked_example_row_by_row():
    # 0 -> 1 of weight 1.5: k = t = 1, one level; FindPivots, then a base case per vertex
    tr = qh.trace(csr([0, 1, 1], [1], [1.5]), 0)
    assert list(tr["kind"]) == ["recursive", "base case", "base case"]
    assert list(tr["level"]) == [1, 0, 0] and list(tr["parent"]) == [-1, 0, 0]
    assert list(tr["pivots"]) == [1, 0, 0] and list(tr["near"]) == [2, 0, 0]
    # the first base case reaches k + 1 = 2 vertices and gives vertex 1 back under B' = 1.5
    assert list(tr["u"]) == [2, 1, 1] and list(tr["u_loop"]) == [2, 0, 0]
    assert list(tr["bound_out"]) == [np.inf, 1.5, np.inf] and list(tr["bound_reached"]) == [True, False, True]
    assert list(tr["relax_pivots"]) == [1, 0, 0] and list(tr["relax_local"]) == [0, 1, 0]
    assert list(tr["relax_route"]) == [1, 0, 0] and list(tr["batch_prepends"]) == [1, 0, 0]
    assert list(tr["settle_start"][1:]) == [0, 1] and list(tr["settled"]) == [0, 1, 1]
    limits = tr.limits()
    assert limits["block"][0] == 1 and limits["u_limit"][0] == 2 and np.isnan(limits["block"][1])


def test_tables_and_refusals():
    tr = qh.trace(qh.generators.grid(6, 6, seed=2), 4)
    if importlib.util.find_spec("pandas"):
        frame = tr.to_pandas()
        assert list(frame.columns) == list(tr) and len(frame) == tr.rows
    table = tr.to_arrow()
    assert table.column_names == list(tr) and table.column("kind").to_pylist() == list(tr["kind"])
    with pytest.raises(ValueError, match="no recursion"):
        qh.trace(csr([0, 0], [], []), 0, method="dijkstra")
    with pytest.raises(ValueError, match="unknown method"):
        qh.trace(csr([0, 0], [], []), 0, method="nope")
    with pytest.raises(ValueError, match="spec such as 'bmssp:hubs=2' cannot be traced"):
        qh.trace(csr([0, 0], [], []), 0, method="bmssp:hubs=2")
    with pytest.raises(IndexError):
        qh.trace(csr([0, 0], [], []), 1)
