"""The networkx backend: every answer is networkx's own, value, type and order.

networkx's own tests run against the backend from tools/check; these add what they do not
catch: equally short paths, zero weights, parallel edges, hidden arcs, labels of every kind, the
order of every dict, int against float lengths, and the conversion and its cache.
"""

from __future__ import annotations

import math
import random
import warnings

import numpy as np
import pytest

nx = pytest.importorskip("networkx")

from quillharbour import _search
from quillharbour.nx import ConvertedGraph, interface
from quillharbour.nx.convert import same_label

BACKEND = "quillharbour"


@pytest.fixture(autouse=True)
def quiet_cache():
    """networkx warns whenever it reuses a cached conversion; these tests do that on purpose."""
    nx.config.warnings_to_ignore.add("cache")
    yield
    nx.config.warnings_to_ignore.discard("cache")


@pytest.fixture
def served(monkeypatch):
    """Counts the calls the backend answered itself, with a result or networkx's error (calls it
    declined, or handed back with NotImplementedError, do not count)."""
    counts: dict[str, int] = {}

    def counted(name, fn):
        def call(*args, **kwargs):
            try:
                return fn(*args, **kwargs)
            except NotImplementedError:
                counts[name] = counts.get(name, 0) - 1
                raise
            finally:
                counts[name] = counts.get(name, 0) + 1
        return call

    for name in interface.__class__.__dict__:
        if not name.startswith("_") and name not in ("can_run", "should_run", "convert_from_nx", "convert_to_nx"):
            monkeypatch.setattr(interface, name, counted(name, getattr(type(interface), name)), raising=False)
    return counts


def same(a, b):
    """Equal with the same types throughout and dicts in the same order."""
    if isinstance(a, dict):
        return isinstance(b, dict) and len(a) == len(b) and all(same(x, y) for x, y in zip(a.items(), b.items()))
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b


def outcome(call):
    try:
        result = call()
        return ("returned", list(result) if hasattr(result, "__next__") else result)
    except Exception as exc:  # noqa: BLE001 - the error is part of the answer
        return ("raised", type(exc), str(exc))


# Each networkx function under each way of calling it: (function, call(f, G, s, t, cutoff, weight)).
CALLS = {
    "single_source_dijkstra": lambda f, G, s, t, c, w: f(G, s, cutoff=c, weight=w),
    "single_source_dijkstra/target": lambda f, G, s, t, c, w: f(G, s, target=t, cutoff=c, weight=w),
    "single_source_dijkstra_path": lambda f, G, s, t, c, w: f(G, s, cutoff=c, weight=w),
    "single_source_dijkstra_path_length": lambda f, G, s, t, c, w: f(G, s, cutoff=c, weight=w),
    "multi_source_dijkstra": lambda f, G, s, t, c, w: f(G, {s, t}, cutoff=c, weight=w),
    "multi_source_dijkstra/target": lambda f, G, s, t, c, w: f(G, [s], target=t, cutoff=c, weight=w),
    "multi_source_dijkstra_path": lambda f, G, s, t, c, w: f(G, (t, s, t), cutoff=c, weight=w),
    "multi_source_dijkstra_path_length": lambda f, G, s, t, c, w: f(G, [t, s], cutoff=c, weight=w),
    "dijkstra_predecessor_and_distance": lambda f, G, s, t, c, w: f(G, s, cutoff=c, weight=w),
    "dijkstra_path": lambda f, G, s, t, c, w: f(G, s, t, weight=w),
    "dijkstra_path_length": lambda f, G, s, t, c, w: f(G, s, t, weight=w),
    "bidirectional_dijkstra": lambda f, G, s, t, c, w: f(G, s, t, weight=w),
    "all_pairs_dijkstra": lambda f, G, s, t, c, w: f(G, cutoff=c, weight=w),
    "all_pairs_dijkstra_path": lambda f, G, s, t, c, w: f(G, cutoff=c, weight=w),
    "all_pairs_dijkstra_path_length": lambda f, G, s, t, c, w: f(G, cutoff=c, weight=w),
    "shortest_path": lambda f, G, s, t, c, w: f(G, s, t, weight=w),
    "shortest_path/source": lambda f, G, s, t, c, w: f(G, source=s, weight=w),
    "shortest_path/target": lambda f, G, s, t, c, w: f(G, target=t, weight=w),
    "shortest_path/all": lambda f, G, s, t, c, w: f(G, weight=w),
    "shortest_path_length": lambda f, G, s, t, c, w: f(G, s, t, weight=w),
    "shortest_path_length/target": lambda f, G, s, t, c, w: f(G, target=t, weight=w),
}
INT_WEIGHTS = [0, 1, 1, 2, 3]  # small, with zeros: many equally short paths
FLOAT_WEIGHTS = [0.0, 0.5, 1.0, 1.5, 0.1, 0.2, 0.3, 1e-17, 1e17]  # sums that round and absorb


def random_case(rng):
    """A small graph full of ties, a source, a target, a cutoff and a weight argument."""
    cls = rng.choice([nx.Graph, nx.DiGraph, nx.MultiGraph, nx.MultiDiGraph])
    n = rng.randint(1, 9)
    labels = {"ints": list(range(n)), "shuffled": rng.sample(range(n), n), "str": [f"v{i}" for i in range(n)],
              "tuple": [(i, -i) for i in range(n)]}[rng.choice(["ints", "shuffled", "str", "tuple"])]
    weights = rng.choice([INT_WEIGHTS, FLOAT_WEIGHTS])
    G = cls()
    G.add_nodes_from(labels)
    for _ in range(rng.randint(0, 25)):
        G.add_edge(rng.choice(labels), rng.choice(labels), length=rng.choice(weights))
    s, t = rng.choice(labels), rng.choice(labels)
    if isinstance(t, tuple):
        t = tuple(x for x in t)  # an equal label that is another object: still the node
    if rng.random() < 0.1:
        t = "elsewhere"
    cutoff = rng.choice([None, None, 0, 1, 2, 1.5, -1, float("nan")])

    def hiding(u, v, d):  # hides about a third of the arcs
        if (hash(repr((u, v))) % 3) == 0:
            return None
        return min(e["length"] for e in d.values()) if G.is_multigraph() else d["length"]

    return G, s, t, cutoff, rng.choice(["length", "length", hiding])


@pytest.mark.parametrize("seed", range(6))
def test_answers_are_networkx_answers(seed, served):
    """Through dispatch, on random graphs full of ties: the same values, types, dict order,
    paths among equally short ones, and errors with the same messages; and the backend answered
    the calls it can (every call but those networkx must answer itself)."""
    rng = random.Random(seed)
    calls = 0
    for _ in range(40):
        G, s, t, cutoff, weight = random_case(rng)
        for key, call in CALLS.items():
            f = getattr(nx, key.split("/")[0])

            def answer(backend, f=f, call=call, case=(G, s, t, cutoff, weight)):
                return outcome(lambda: call(lambda *a, **k: f(*a, **k, backend=backend), *case))

            expected, got = answer("networkx"), answer(BACKEND)
            if got[0] == "raised" and got[1] is NotImplementedError:
                assert "cannot reproduce" in got[2] or "not implemented by 'quillharbour'" in got[2]
                continue
            assert same(expected, got), (key, s, t, cutoff, weight, sorted(G.edges(data=True), key=repr))
            calls += 1
    assert sum(served.values()) >= 0.8 * calls > 0


def test_ties_follow_networkx_heap_order():
    """Equal distances settle in push order; a predecessor changes only on a strictly shorter
    path; dijkstra_predecessor_and_distance lists every tight tail, in settle order, also into
    the source over a zero-weight cycle."""
    G = nx.DiGraph()
    G.add_weighted_edges_from([(0, 3, 1), (0, 1, 1), (0, 2, 2), (1, 2, 1), (3, 2, 1), (0, 5, 0), (5, 0, 0),
                               (1, 4, 0), (4, 1, 0), (2, 2, 0)])
    for name in ("single_source_dijkstra", "dijkstra_predecessor_and_distance"):
        want = getattr(nx, name)(G, 0, backend="networkx")
        assert same(want, getattr(nx, name)(G, 0, backend=BACKEND))
    (dist, paths), (pred, _) = (f(G, 0, backend=BACKEND) for f in (nx.single_source_dijkstra,
                                                                   nx.dijkstra_predecessor_and_distance))
    assert list(dist) == [0, 5, 3, 1, 4, 2] and paths[2] == [0, 2]  # settle order; the first path kept
    assert list(pred.items()) == [(0, [5]), (3, [0]), (1, [0, 4]), (2, [0, 3, 1, 2]), (5, [0]), (4, [1])]


def test_lengths_keep_networkx_types():
    """Int weights give int lengths; float weights give float lengths with the source at int 0;
    never a NumPy scalar."""
    G = nx.path_graph(4)
    nx.set_edge_attributes(G, 2, "w")
    lengths = nx.single_source_dijkstra_path_length(G, 0, weight="w", backend=BACKEND)
    assert [type(x) for x in lengths.values()] == [int] * 4 and lengths[3] == 6
    nx.set_edge_attributes(G, 0.1, "w")
    lengths = nx.single_source_dijkstra_path_length(G, 0, weight="w", backend=BACKEND)
    assert [type(x) for x in lengths.values()] == [int, float, float, float]
    assert lengths[3] == 0.1 + 0.1 + 0.1  # 0.30000000000000004, summed left to right
    assert type(nx.bidirectional_dijkstra(G, 0, 3, weight="w", backend=BACKEND)[0]) is float


@pytest.mark.parametrize("weights, reason", [
    ([1, -1], "negative"), ([1, float("nan")], "NaN"), ([1, 2.5], "mix ints and floats"),
    ([np.float64(1.0), 2.0], "not a Python int or float"), ([2**60, 1], "2**53"), (["a", "b"], "not a Python"),
])
def test_weights_networkx_must_sum_are_declined(weights, reason):
    """can_run declines them with a reason, and networkx's own result or error stands."""
    G = nx.DiGraph()
    G.add_weighted_edges_from([(0, 1, weights[0]), (1, 2, weights[1])])
    assert reason in interface.can_run("single_source_dijkstra", (G, 0), {})
    with nx.config(backend_priority=[BACKEND]):
        assert same(outcome(lambda: nx.single_source_dijkstra(G, 0)),
                    outcome(lambda: nx.single_source_dijkstra(G, 0, backend="networkx")))


@pytest.mark.parametrize("name, args, kwargs, reason", [
    ("shortest_path", (0, 2), {}, "breadth-first"),
    ("shortest_path", (0, 2), {"weight": "weight", "method": "bellman-ford"}, "method='dijkstra'"),
    ("single_source_dijkstra", (0,), {"cutoff": np.float32(1.5)}, "cutoff"),
    ("single_source_dijkstra", (0,), {"cutoff": 2**60}, "cutoff"),
    ("multi_source_dijkstra", (iter([0]),), {}, "not a collection"),
    ("multi_source_dijkstra", ([[0]],), {}, "unhashable"),
    ("dijkstra_path", (0.0, 2), {}, "equals a node but is not its label"),
    ("single_source_dijkstra", (0,), {"weight": ["w"]}, "neither an attribute key"),
])
def test_arguments_networkx_must_handle_are_declined(name, args, kwargs, reason):
    G = nx.path_graph(3, create_using=nx.DiGraph)
    assert reason in interface.can_run(name, (G, *args), kwargs)


def test_dispatch_by_priority_and_by_keyword(served):
    G = nx.grid_2d_graph(4, 5)  # tuple labels; edges keyed by other tuple objects than the nodes
    nx.set_edge_attributes(G, {e: i % 3 for i, e in enumerate(G.edges)}, "cost")
    want = nx.shortest_path(G, (0, 0), weight="cost", backend="networkx")
    with nx.config(backend_priority=[BACKEND]):
        assert same(nx.shortest_path(G, (0, 0), weight="cost"), want)
    assert same(nx.shortest_path(G, (0, 0), weight="cost", backend=BACKEND), want)
    assert served == {"shortest_path": 2}


def test_conversion_is_cached_with_the_graph(monkeypatch):
    """A graph is read once per dispatch, and never again while networkx's cache holds it;
    changing the graph through its methods clears the cache; a view is never cached."""
    reads = []
    real = ConvertedGraph.__init__
    monkeypatch.setattr(ConvertedGraph, "__init__", lambda self, *a, **k: reads.append(1) or real(self, *a, **k))
    G = nx.cycle_graph(6)
    nx.set_edge_attributes(G, 1.5, "weight")
    for _ in range(3):
        nx.single_source_dijkstra_path_length(G, 0, backend=BACKEND)
    assert len(reads) == 1
    G.add_edge(0, 3, weight=0.25)
    assert nx.single_source_dijkstra_path_length(G, 0, backend=BACKEND)[3] == 0.25
    assert len(reads) == 2
    view = G.subgraph([0, 1, 2, 3])
    nx.single_source_dijkstra_path_length(view, 0, backend=BACKEND)
    G.remove_edge(0, 3)
    assert nx.single_source_dijkstra_path_length(view, 0, backend=BACKEND)[3] == 4.5
    assert len(reads) == 4


def test_multigraphs_take_the_first_least_parallel_weight():
    G = nx.MultiDiGraph()
    G.add_edges_from([(0, 1, {"w": 3}), (0, 1, {"w": 2.0}), (0, 1, {"w": 2}), (1, 0, {})])
    _, indices, weights, kinds = _search.read_adjacency(G._adj, "w", True)
    assert indices.tolist() == [1, 0] and weights.tolist() == [2.0, 1.0]
    assert kinds == 3  # 2.0 (a float) is chosen over the equal int 2 after it; the absent weight is int 1
    assert "mix ints and floats" in interface.can_run("dijkstra_path", (G, 0, 1), {"weight": "w"})


def test_weight_functions_see_what_networkx_gives_them():
    """Called once per adjacency entry with networkx's arguments (a multigraph's dict of
    parallel edges; backward searches with the arc's own orientation); None hides the arc."""
    G = nx.MultiDiGraph()
    G.add_edges_from([(0, 1, {"w": 1}), (0, 1, {"w": 5}), (1, 2, {"w": 1}), (0, 2, {"w": 3}), (2, 1, {"w": 1})])
    seen = []

    def weight(u, v, d):
        seen.append((u, v, sorted(e["w"] for e in d.values())))
        return None if (u, v) == (1, 2) else min(e["w"] for e in d.values())

    assert nx.dijkstra_path(G, 0, 2, weight=weight, backend=BACKEND) == [0, 2]
    assert sorted(seen) == [(0, 1, [1, 5]), (0, 2, [3]), (1, 2, [1]), (2, 1, [1])]
    for name in ("bidirectional_dijkstra", "shortest_path"):
        f = getattr(nx, name)
        assert same(f(G, 0, 2, weight=weight, backend="networkx"), f(G, 0, 2, weight=weight, backend=BACKEND))
    flaky = iter([1.0, 2])  # a function whose weights mix kinds is left to networkx when called
    with pytest.raises(NotImplementedError, match="mix ints and floats"):
        interface.single_source_dijkstra(ConvertedGraph(nx.path_graph(3)), 0, weight=lambda u, v, d: next(flaky, 1))
    H = nx.DiGraph([(0, 1, {"w": 2}), (2, 0, {})])  # networkx never relaxes 2 -> 0, which has no "w"
    with nx.config(backend_priority=[BACKEND]):
        assert nx.single_source_dijkstra_path_length(H, 0, weight=lambda u, v, d: d["w"]) == {0: 0, 1: 2}


def test_labels_are_read_in_every_layout():
    """Ints 0..n-1 in order (no index), other labels (an index), and dicts that are not plain
    dicts (views, read through their mapping interface) give the same arcs."""
    rng = random.Random(3)
    edges = [(rng.randrange(30), rng.randrange(30), {"w": i % 7 / 4}) for i in range(90)]
    G, H = nx.DiGraph(), nx.DiGraph()
    G.add_nodes_from(range(30))
    G.add_edges_from(edges)
    H.add_nodes_from(f"n{v}" for v in range(30))
    H.add_edges_from((f"n{u}", f"n{v}", d) for u, v, d in edges)
    plain = ConvertedGraph(G, key="w", weighted=True)
    assert plain.identity
    relabelled = ConvertedGraph(H, key="w", weighted=True)
    view = ConvertedGraph(nx.subgraph_view(G), key="w", weighted=True)
    assert not relabelled.identity and not view.identity
    for other in (relabelled, view):
        for reverse in (False, True):
            a, b = plain.arcs("w", reverse), other.arcs("w", reverse)
            for x, y in zip(a.triple, b.triple):
                np.testing.assert_array_equal(x, y)
            assert (a.integral, a.refusal) == (b.integral, b.refusal)


def test_labels_that_equal_but_differ_are_refused():
    """A neighbour keyed by 1.0 for node 1 (networkx keeps both objects) is read but refused."""
    assert same_label((1, "a", 2.0), (1, "a", 2.0)) and not same_label(0.0, -0.0) and not same_label(1, True)
    G = nx.Graph()
    G.add_nodes_from([0, 1])
    G.add_edge(0, 1.0)
    assert "is not it" in interface.can_run("single_source_dijkstra", (G, 0), {})
    H = nx.Graph()
    H.add_nodes_from(["a", (1, 2)])
    H.add_edge("a", (1, 2.0))
    assert "is not it" in interface.can_run("single_source_dijkstra", (H, "a"), {})


def test_reading_refuses_a_graph_that_changes_under_it():
    class Sneaky(str):
        """A label whose hash, once armed, empties the row the reader is walking."""

        armed = False

        def __hash__(self):
            if Sneaky.armed:
                row.clear()
            return str.__hash__(self)

    row = {Sneaky("b"): {}, "c": {}}
    adj = {"a": row, "b": {}, "c": {}}
    Sneaky.armed = True
    with pytest.raises(RuntimeError, match="changed"):
        _search.read_adjacency(adj, "w", False, {"a": 0, "b": 1, "c": 2}, ["a", "b", "c"])


def test_native_entries_check_their_input():
    indptr, indices, weights = np.array([0, 1, 1]), np.array([1], np.int32), np.array([2.0])
    with pytest.raises(IndexError, match="source 2 is out of range"):
        _search.push_order_search(indptr, indices, weights, np.array([2]))
    with pytest.raises(IndexError, match="target -1 is out of range"):
        _search.push_order_search(indptr, indices, weights, np.array([0]), None, -1)
    with pytest.raises(ValueError, match="negative or NaN"):
        _search.push_order_search(indptr, indices, -weights, np.array([0]))
    with pytest.raises(ValueError, match="must differ"):
        _search.push_order_bidirectional(indptr, indices, weights, indptr, indices, weights, 1, 1)
    with pytest.raises(ValueError, match="malformed"):
        _search.push_order_bidirectional(indptr, indices, weights, indptr, indices + 5, weights, 0, 1)
    order, dist, pred = _search.push_order_search(indptr, indices, np.array([np.inf]), np.array([0, 0]))
    assert order.tolist() == [0, 1] and dist[1] == np.inf and pred[1] == 0  # reached at +inf, as networkx


def test_automatic_dispatch_warns_only_as_networkx_does():
    G = nx.path_graph(5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        nx.config.warnings_to_ignore.discard("cache")
        assert nx.single_source_dijkstra_path_length(G, 0, backend=BACKEND) == {i: i for i in range(5)}
