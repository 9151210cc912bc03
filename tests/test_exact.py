"""Every algorithm against Dijkstra, on the graphs that break shortest-path codes.

One body, run over every entry and variant: distances equal Dijkstra's bit for
bit, predecessors pass the certificate, the settlement log keeps its invariants,
and no BMSSP run needed its closing edge check (the recursion's own rules for
rounding kept it complete). The families favour what integer weights hide:
decimal and many-decade weights, sums that absorb or overflow, subnormals, zero-weight
cycles, parallel arcs, self-loops, hubs, long paths and disconnected parts.
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillharbour as qh
from conftest import assert_certificate, grid_graph
from quillharbour import _quillharbour as native
from quillharbour import _search
from quillharbour.graph import from_edges

SMALL = bool(os.environ.get("QH_SANITIZED"))  # the sanitized build runs about ten times slower
DATA = Path(__file__).parent / "data"

WEIGHTS = {
    "integer": lambda rng, m: rng.integers(0, 20, m).astype(np.float64),
    "decimal": lambda rng, m: rng.choice([0.1, 0.2, 0.3, 0.7], m),
    "decades": lambda rng, m: 10.0 ** rng.uniform(-300, 300, m),
    "absorbing": lambda rng, m: rng.choice([0.0, 1.0, 0.5, 1.1e-16, 2.3e-16, 3e-16, 1e16], m),
    "subnormal": lambda rng, m: rng.choice([0.0, 5e-324, 1e-320, 2.2250738585072014e-308, 1.0], m),
    "zero-cycles": lambda rng, m: np.where(rng.random(m) < 0.5, 0.0, rng.choice([0.1, 0.3, 2.0], m)),
    "overflowing": lambda rng, m: rng.choice([1e308, 1.7e308, 0.5, 3.0], m),  # sums to +inf are no paths
}


def random_multigraph(rng, n, m, kind):
    """Self-loops and parallel arcs allowed; a share of vertices isolated."""
    tails = rng.integers(0, n, m)
    heads = rng.integers(0, n, m)
    return from_edges(n, tails, heads, WEIGHTS[kind](rng, m), sort=False)


def family(name, rng):
    scale = 4 if SMALL else 1
    if name in WEIGHTS:
        n = int(rng.integers(5, 2500 // scale))
        return random_multigraph(rng, n, int(rng.integers(n, 6 * n)), name)
    if name == "grid-2dp":  # road-like: two-decimal travel times
        side = 60 // (2 if SMALL else 1)
        g = grid_graph(rng, side, side)
        return g[0], g[1], np.round(rng.uniform(0.01, 9.99, g[2].size), 2)
    if name == "hub":  # one vertex reaching (and reached from) everything, decimal weights
        n = 1500 // scale
        spokes = np.arange(1, n)
        tails = np.concatenate([np.zeros(n - 1, np.int64), spokes, rng.integers(0, n, n)])
        heads = np.concatenate([spokes, np.zeros(n - 1, np.int64), rng.integers(0, n, n)])
        return from_edges(n, tails, heads, WEIGHTS["decimal"](rng, tails.size), sort=False)
    if name == "long-path":  # a long decimal path with a few shortcuts
        n = 3000 // scale
        tails = np.concatenate([np.arange(n - 1), rng.integers(0, n, n // 20)])
        heads = np.concatenate([np.arange(1, n), rng.integers(0, n, n // 20)])
        return from_edges(n, tails, heads, rng.choice([0.1, 0.7, 1e-9, 3.3], tails.size), sort=False)
    if name == "disconnected":  # two decimal components and isolated vertices
        n = 2000 // scale
        half = n // 2
        tails = np.concatenate([rng.integers(0, half - 100, 3 * half), rng.integers(half, n - 100, 3 * half)])
        heads = np.concatenate([rng.integers(0, half - 100, 3 * half), rng.integers(half, n - 100, 3 * half)])
        return from_edges(n, tails, heads, WEIGHTS["decimal"](rng, tails.size), sort=False)
    raise KeyError(name)


FAMILIES = [*WEIGHTS, "grid-2dp", "hub", "long-path", "disconnected"]
VARIANTS = ["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast", "hybrid:1:0", "hybrid:0:64"]
ON_INPUT = {"notransform", "fast"}
RECURSIVE = {"bmssp", "bmssp_instrumented", "tuned", "simpleq", "lazypiv", "notransform", "hybrid:1:0"}


def reached_copies(graph, dist):
    """Transformed vertices of the reached input vertices: max(deg, 1) copies each."""
    indptr, indices, _ = graph
    n = len(indptr) - 1
    deg = np.diff(indptr) + np.bincount(indices, minlength=n)
    return int(np.maximum(deg, 1)[np.isfinite(dist)].sum())


HUB_DEGREES = [0, 1, 2, 3, 5, 8, 10**6]


def sampled_configs(rng, count=4):
    """(name, bmssp_config keywords): configurations drawn from the whole space, every
    ingredient at random, after two hub-ring ones."""
    yield "config hubs=2", {"transform": 2}
    yield "config hubs=3 heap lazy", {"transform": 3, "queue": "heap", "lazy_pivots": True}
    for i in range(count):
        kw = {"queue": str(rng.choice(["block", "heap"])),
              "transform": [*HUB_DEGREES, "all", "none"][rng.integers(0, len(HUB_DEGREES) + 2)],
              "hybrid_level": int(rng.choice([-1, -1, -1, 0, 1, 2])),
              "hybrid_frontier": int(rng.choice([0, 0, 0, 1, 64])),
              "lazy_pivots": bool(rng.random() < 0.3),
              "rule": str(rng.choice(["standard", "standard", "tuned", "fast"]))}
        if rng.random() < 0.3:
            kw["k"], kw["t"] = int(rng.integers(1, 5)), int(rng.integers(1, 6))
        yield f"config {i} {kw}", kw


def form_of(graph, transform):
    """The catalogue run whose searched graph a configuration's transform gives (None: its own)."""
    largest = max(np.diff(graph[0]).max(initial=0), np.bincount(graph[1], minlength=1).max())
    if transform in ("all", 0):
        return "bmssp"
    if transform == "none" or (isinstance(transform, int) and transform >= largest):
        return "notransform"
    return None


def algorithms(graph, source, seed, rng):
    """(name, thunk, config) for every algorithm; each thunk returns (dist, pred), and config
    holds the bmssp_config keywords of a configuration run (None for the others)."""
    k, t = int(rng.integers(1, 5)), int(rng.integers(1, 6))
    other = int(rng.integers(0, len(graph[0]) - 1))
    rows = np.array([other, source, other], dtype=np.int64)

    def middle_row(flat, single):
        """Row 1 of the multi-source result; rows 0 and 2 (one source) and the single call agree."""
        assert all(a[0].tobytes() == a[2].tobytes() for a in flat), "two rows of one source differ"
        assert all(a.tobytes() == b[0].tobytes() for a, b in zip(single(other), flat)), "row 0 differs"
        return flat[0][1], flat[1][1]
    yield "bmssp", lambda: native.bmssp(*graph, source, seed), None

    def instrumented():
        dist, pred, ids, dhat = native.bmssp_instrumented(*graph, source, seed)
        assert np.unique(ids).size == ids.size, "a vertex settled twice"
        assert np.all(np.isfinite(dhat)), "an unreached vertex was settled"
        assert ids.size == reached_copies(graph, dist), "a reached transformed vertex was never settled"
        return dist, pred

    yield "bmssp_instrumented", instrumented, None
    for v in VARIANTS:
        yield v, lambda v=v: native.bmssp_variant(*graph, source, v, seed), None
    for v in ["tuned", "simpleq", "lazypiv", "notransform"]:
        yield f"{v} k={k} t={t}", lambda v=v: native.bmssp_variant(*graph, source, v, seed, k, t), None
    yield "bmssp_multisource", lambda: middle_row(qh.bmssp_multisource(*graph, rows, seed),
                                                  lambda s: native.bmssp(*graph, s, seed)), None
    yield "dijkstra_multisource", lambda: middle_row(qh.dijkstra_multisource(*graph, rows),
                                                     lambda s: native.dijkstra(*graph, s)), None
    yield "shortest_paths", lambda: qh.shortest_paths(graph, source, method="lazypiv", seed=seed), None
    spec = {"transform": 4, "queue": "heap"}
    yield "shortest_paths spec", lambda: qh.shortest_paths(graph, source, method="bmssp:hubs=4:queue=heap", seed=seed), spec
    for name, kw in sampled_configs(rng):
        yield name, lambda kw=kw: _search.bmssp_config(*graph, source, seed, **kw), kw


def check_every_algorithm(graph, source, seed, rng, exact_sums=False):
    want, want_pred = native.dijkstra(*graph, source)
    assert_certificate(*graph, source, want, want_pred)
    preds, configs = {}, {}
    for name, run, config in algorithms(graph, source, seed, rng):
        dist, pred = run()
        assert dist.tobytes() == want.tobytes(), f"{name}: distances differ from Dijkstra's"
        assert_certificate(*graph, source, dist, pred)
        preds[name] = pred.tobytes()
        if config is not None:
            configs[name] = config
            continue
        variant, *forced = name.split()
        if variant in RECURSIVE:
            k, t = (int(f.split("=")[1]) for f in forced) if forced else (0, 0)
            variant = "bmssp" if variant == "bmssp_instrumented" else variant
            again, again_pred, counts = _search.bmssp_counted(*graph, source, variant, seed, k, t)
            assert again.tobytes() == dist.tobytes() and again_pred.tobytes() == pred.tobytes(), name
            assert counts["finish_lowered"] == 0, f"{name}: the closing check lowered {counts}"
    check_operation_counts(graph, source, seed, want)
    check_configs(graph, source, seed, configs, preds)
    # With exact sums every run settles each vertex on its least (distance, hops, predecessor)
    # label, so the runs on one searched graph agree bit for bit (a hub-ring form at D = 0 is
    # the constant-degree form, and at D at least the largest degree the input). (With rounding, which of two
    # paths that round to one distance fixes the hop count may depend on the order of offers.)
    assert preds.pop("dijkstra_multisource") == want_pred.tobytes(), "dijkstra_multisource: tie rule"
    for name, pred in preds.items() if exact_sums else ():
        same = form_of(graph, configs[name]["transform"]) if name in configs else (
            "notransform" if name.split()[0] in ON_INPUT else "bmssp")
        assert same is None or pred == preds[same], f"{name}: predecessors differ from {same}'s"


def check_configs(graph, source, seed, configs, preds):
    """A configuration's counted run gives its results bit for bit, needed no closing check,
    and is one bounded search exactly when its hybrid switch takes the outermost call."""
    for name, kw in configs.items():
        _, pred, counts = _search.bmssp_config(*graph, source, seed, counted=True, **kw)
        assert pred.tobytes() == preds[name], f"{name}: the counted run's predecessors differ"
        assert counts["finish_lowered"] == 0, f"{name}: the closing check lowered {counts}"
        whole = kw.get("hybrid_frontier", 0) >= 1 or kw.get("hybrid_level", -1) >= counts["levels"]
        assert (counts["bounded_searches"] == 1 and counts["pulls"] == 0) == whole, (name, counts)


def check_operation_counts(graph, source, seed, want):
    """The counted runs' work fits their configurations."""
    core = _search.bmssp_counted(*graph, source, "bmssp", seed)[2]
    assert _search.bmssp_counted(*graph, source, "bmssp", seed)[2] == core, "counts differ between equal runs"
    params = _search.parameters(*graph)
    tuned = _search.bmssp_counted(*graph, source, "tuned", seed, params["k"], params["t"])[2]
    assert tuned == core, "tuned with the core's k and t is the core's configuration"
    # every reached vertex but the source took its label from a relaxation
    assert core["relaxations"] >= np.isfinite(want).sum() - 1 and core["find_pivots"] >= 1, core
    # one whole search takes each reached vertex once and relaxes its row once: no queue, no base case
    reached_edges = int(np.diff(graph[0])[np.isfinite(want)].sum())
    for variant in ["fast", "hybrid"]:
        counts, other_seed = (_search.bmssp_counted(*graph, source, variant, s)[2] for s in (seed, seed ^ 1))
        assert counts == other_seed, f"{variant}: a whole search draws nothing from the seed"
        assert counts["bounded_searches"] == 1 and counts["pulls"] == counts["inserts"] == 0, (variant, counts)
        assert counts["base_cases"] == counts["find_pivots"] == counts["batch_prepends"] == 0, (variant, counts)
        if variant == "fast":  # on the input graph
            assert counts["relaxations"] == reached_edges, counts


@pytest.mark.parametrize("name", FAMILIES)
def test_every_algorithm_equals_dijkstra(name):
    for trial in range(2 if SMALL else 4):
        rng = np.random.default_rng([FAMILIES.index(name), trial])
        graph = family(name, rng)
        source = int(rng.integers(0, len(graph[0]) - 1))
        check_every_algorithm(graph, source, int(rng.integers(0, 2**64, dtype=np.uint64)), rng, name == "integer")


@pytest.mark.parametrize("name", ["road-decimal-87.gr", "road-decimal-43.gr"])
def test_reduced_road_networks(name):
    """Decimal travel times on which the recursion once lost vertices, from every source."""
    g = qh.io.load(DATA / name)
    graph = (g.indptr, g.indices, g.weights)
    for source in range(0, g.n, 3 if SMALL else 1):
        want, _ = native.dijkstra(*graph, source)
        for seed in range(3):
            assert native.bmssp(*graph, source, seed)[0].tobytes() == want.tobytes(), (source, seed)
        for v in ["tuned", "simpleq", "lazypiv", "notransform"]:
            assert native.bmssp_variant(*graph, source, v, 0)[0].tobytes() == want.tobytes(), (source, v)


def test_tight_edges_under_rounding_keep_their_root_a_pivot():
    g = qh.io.load(DATA / "decades-117.gr")
    graph = (g.indptr, g.indices, g.weights)
    want, _ = native.dijkstra(*graph, 116)
    dist, _, counts = _search.bmssp_counted(*graph, 116, "tuned", 156, 4, 6)
    assert dist.tobytes() == want.tobytes() and counts["finish_lowered"] == 0


ROUNDING_WEIGHTS = st.sampled_from(["decimal", "decades", "absorbing", "subnormal", "zero-cycles", "integer"])


@settings(max_examples=int(os.environ.get("QH_FUZZ_EXAMPLES", "25")), deadline=None,
          derandomize=not os.environ.get("QH_FUZZ_EXAMPLES"), suppress_health_check=[HealthCheck.too_slow])
@given(kind=ROUNDING_WEIGHTS, n=st.integers(2, 700), density=st.integers(1, 6), seed=st.integers(0, 2**32 - 1))
def test_rounding_prone_graphs(kind, n, density, seed):
    rng = np.random.default_rng(seed)
    graph = random_multigraph(rng, n, density * n, kind)
    check_every_algorithm(graph, int(rng.integers(0, n)), seed, rng, kind == "integer")
