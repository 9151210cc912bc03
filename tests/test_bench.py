"""The bench's agreement check and its handling of failing or wrong methods."""

from __future__ import annotations

import json
import time
from pathlib import Path

import numpy as np
import pytest

import quillharbour as qh
from quillharbour import bench

INF = np.inf


@pytest.mark.parametrize("dist, ref, agrees", [
    ([0.0, 1.0, INF], [0.0, 1.0, INF], True),
    ([0.0, 1.0 + 1e-12, INF], [0.0, 1.0, INF], True),       # summation-order rounding
    ([0.0, 1.0 + 1e-6, INF], [0.0, 1.0, INF], False),
    ([0.0, 1.0, 5.0], [0.0, 1.0, INF], False),               # reaches a vertex it should not
    ([0.0, INF, INF], [0.0, 1.0, INF], False),
    ([0.0, 1e12 + 1.0], [0.0, 1e12], True),                  # relative to the distance
    ([0.0, 1.0], [0.0, 1.0, 2.0], False),
])
def test_compare(dist, ref, agrees):
    assert bench.compare(np.array(dist), np.array(ref))[0] is agrees


def fake(name, run):
    return bench.Method(name, "native", lambda g: g, run)


def test_wrong_and_failing_methods_are_reported_not_hidden():
    g = qh.generators.grid(6, 6, seed=2)

    def right(g, s):
        return qh.dijkstra(g.indptr, g.indices, g.weights, s)[0]

    def off_by_one(g, s):
        d = right(g, s)
        d[d > 0] += 1.0
        return d

    def reaches_less(g, s):
        d = right(g, s)
        d[d > 3] = np.inf
        return d

    def broken(g, s):
        raise RuntimeError("boom")

    methods = [fake("dijkstra", right), fake("wrong", off_by_one), fake("broken", broken),
               fake("short", reaches_less)]
    calls = []
    results = bench.run_bench([("g", g)], methods, sources=3, repeats=2, seed=1, progress=calls.append)
    by = {r.method: r for r in results}
    assert by["dijkstra"].agrees is True and by["dijkstra"].vs_dijkstra == pytest.approx(1.0)
    assert by["wrong"].agrees is False and by["wrong"].max_rel_err > 0.1
    assert by["broken"].error == "RuntimeError: boom" and by["broken"].time_s is None
    assert len(by["dijkstra"].sources) == 3 and by["dijkstra"].runs == 6
    assert by["short"].agrees is False and by["short"].as_dict()["max_rel_err"] is None
    assert "NO" in bench.format_table(results) and "error" in bench.format_table(results)
    json.dumps([r.as_dict() for r in results], allow_nan=False)  # valid JSON throughout
    assert calls.count("dijkstra") == 6


def test_a_recursion_method_the_graph_refuses_is_reported_as_failed():
    g = qh.CsrGraph(np.array([0, 1, 2, 3]), np.array([1, 2, 0], dtype=np.int32), np.array([-1.0, 0.5, 1.0]))
    methods, _ = bench.available_methods(["dijkstra", "bmssp", "bmssp:hubs=1"])
    results = bench.run_bench([("negative", g)], methods, sources=1, repeats=1)
    assert [r.method for r in results if r.error and r.one_search is None] == ["dijkstra", "bmssp", "bmssp:hubs=1"]


@pytest.mark.parametrize("budget, rounds", [(0.0, 1), (60.0, 6)])
def test_methods_run_interleaved_over_the_same_sources(budget, rounds):
    g = qh.generators.grid(5, 5, seed=3)
    log = []

    def logged(name, pause):
        def run(g, s):
            log.append((name, s))
            time.sleep(pause)
            return qh.dijkstra(g.indptr, g.indices, g.weights, s)[0]
        return fake(name, run)

    methods = [logged("dijkstra", 0.0), logged("slow", 0.002), logged("fast", 0.0)]
    results = bench.run_bench([("g", g)], methods, sources=3, repeats=2, seed=0, budget=budget)
    assert len(log) == 3 * rounds
    for i in range(rounds):  # each round: every method once, on one source
        chunk = log[3 * i: 3 * i + 3]
        assert sorted(name for name, _ in chunk) == ["dijkstra", "fast", "slow"]
        assert len({s for _, s in chunk}) == 1
    assert [name for name, _ in log[3:6]] != [name for name, _ in log[:3]] or rounds == 1  # rotated
    assert len({tuple(r.sources) for r in results}) == 1 and {r.runs for r in results} == {rounds}
    by = {r.method: r for r in results}
    assert by["slow"].time_min_s <= by["slow"].time_s <= by["slow"].time_max_s
    assert by["dijkstra"].vs_dijkstra == 1.0


def test_sources_prefer_vertices_with_out_arcs():
    g = qh.generators.star(10, seed=0)
    srcs = bench.pick_sources(g, 4, seed=3)
    assert len(set(srcs)) == 4 and all(0 <= s < 10 for s in srcs)
    p = qh.generators.path(3)
    assert bench.pick_sources(p, 5, seed=0) == [0, 1]  # the sink 2 has no out-arcs


def test_settlement_statistics_and_the_plots(tmp_path):
    pytest.importorskip("matplotlib")
    from quillharbour.plotting import plot_bench, plot_settlement

    dhat = np.array([0.0, 2.0, 1.0, 3.0, 2.5, 4.0])  # 1.0 and 2.5 settle after larger ones
    png = tmp_path / "s.png"
    stats = plot_settlement(dhat, dhat.copy(), png, "t")
    assert stats["settled"] == 6 and stats["out_of_order"] == 2
    # ranks in sorted order: [0, 2, 1, 4, 3, 5] -> |index - rank| = [0, 1, 1, 1, 1, 0]
    assert stats["max_abs_displacement"] == 1
    assert stats["mean_abs_displacement"] == pytest.approx(4 / 6)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    in_order = plot_settlement(np.sort(dhat), dhat, tmp_path / "o.png", "t")
    assert in_order["out_of_order"] == 0 and in_order["max_abs_displacement"] == 0
    # the bench plot: bars for one graph, times against size for several
    method = fake("dijkstra", lambda g, s: qh.dijkstra(g.indptr, g.indices, g.weights, s)[0])
    for specs in (["grid:4x4"], ["grid:4x4", "grid:6x6", "path:30"]):
        results = bench.run_bench([(x, qh.generators.from_spec(x)) for x in specs], [method], sources=2, repeats=2)
        plot_bench(results, png)
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 5000


def test_batch_methods_are_timed_per_source_and_checked_row_by_row():
    g = qh.generators.grid(5, 7, seed=4)
    seen = []

    def rows(g, sources):
        seen.append(sources.tolist())
        d = np.stack([qh.dijkstra(g.indptr, g.indices, g.weights, int(s))[0] for s in sources])
        d[-1, d[-1] > 0] *= 2  # the last row is wrong
        return d

    method = bench.Method("multi", "native", lambda g: g, rows, batch=True)
    [r] = bench.run_bench([("g", g)], [method], sources=3, repeats=2, seed=0)
    assert seen == [r.sources] * 2 and len(r.sources) == 3
    assert r.runs == 2 and r.agrees is False


def test_bmssp_results_carry_their_exactness_counts():
    g = qh.io.load(Path(__file__).parent / "data" / "road-decimal-87.gr")
    methods, _ = bench.available_methods(["dijkstra", "bmssp", "tuned"], include_peers=False)
    by = {r.method: r for r in bench.run_bench([("road", g)], methods, sources=2, repeats=1, seed=0)}
    assert by["dijkstra"].exactness is None
    assert by["bmssp"].exactness["finish_lowered"] == by["bmssp-tuned"].exactness["finish_lowered"] == 0
    by["bmssp"].exactness["finish_lowered"] = 3
    assert "bmssp on road: the closing edge check lowered 3 labels" in bench.format_table([by["bmssp"]])


def test_the_cold_first_run_is_left_out_and_reported(monkeypatch):
    now = [0.0]
    monkeypatch.setattr(bench.timed_round, "__kwdefaults__", {"clock": lambda: now[0], "failed": None, "after": None})

    def slow_start(cost):
        calls = []

        def run(g, s):
            now[0] += cost * (10 if not calls else 1 + len(calls) % 2)  # 10, then 2, 1, 2, ...
            calls.append(s)
            return qh.dijkstra(g.indptr, g.indices, g.weights, s)[0]
        return run

    g = qh.generators.grid(4, 4, seed=1)
    by = {r.method: r for r in bench.run_bench([("g", g)], [fake("dijkstra", slow_start(1.0)),
                                                            fake("other", slow_start(3.0))],
                                               sources=2, repeats=2, budget=1e9)}
    assert by["other"].cold_time_s == 30.0 and (by["other"].time_min_s, by["other"].time_max_s) == (3.0, 6.0)
    assert by["other"].runs == 4 and by["other"].time_s == 6.0  # the median of 6, 3, 6
    assert by["other"].vs_dijkstra == 3.0
    [single] = bench.run_bench([("g", g)], [fake("dijkstra", slow_start(1.0))], sources=1, repeats=1)
    assert single.cold_time_s is None and single.runs == 1  # nothing else to take its place


def test_interleaved_rounds_follow_the_orders_given():
    ran = []
    calls = {name: (lambda name=name: ran.append(name)) for name in "abc"}
    times = bench.interleaved_times(calls, 4, orders=[["a", "b", "c"], ["a", "c", "b"]])
    assert ran == list("abc") + list("abc") + list("acb") + list("abc") + list("acb")  # warm-up first
    assert {name: len(ts) for name, ts in times.items()} == {"a": 4, "b": 4, "c": 4}
    with pytest.raises(ValueError, match="must name every call once"):
        bench.interleaved_times(calls, 1, orders=[["a", "b", "b"]])
    assert ran[15:] == []  # refused before any call ran
