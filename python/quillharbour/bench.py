"""Timing every available shortest-path method on the same graphs and sources.

A method is something that maps (graph, source) to a distance array: the native entries
("dijkstra", "bmssp", the research variants) and the peers that happen to be installed
(scipy.sparse.csgraph, igraph, NetworKit). Each is probed before the run: a native entry that
still raises NotImplementedError and a peer that cannot be imported are skipped with a note.
Graph conversion for the peers happens once per graph, outside the timed region; each timed
region is one single-source call, including whatever conversion of the result the library
itself makes. The optional "dijkstra-multi" and "bmssp-multi" methods time one parallel call
over all sources and report its time divided by the number of sources.

Per graph and method the reported time is the median over all sources and repeats. Distances
are compared with Dijkstra's for the same source: a method agrees when it reaches exactly the
same vertices and every distance matches to a relative error of 1e-9 (BMSSP may sum the same
path's weights in another order).
"""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass, field

import numpy as np

from . import _quillharbour as _native
from .api import VARIANTS, resolve_method
from .graph import CsrGraph

AGREE_RTOL = 1e-9

_PROBE = CsrGraph(np.array([0, 1, 1], dtype=np.int64), np.array([1], dtype=np.int32), np.array([1.0]))


@dataclass
class Method:
    name: str
    kind: str  # "native" or "peer"
    prepare: Callable[[CsrGraph], object]
    run: Callable[[object, int], np.ndarray]
    batch: bool = False  # run takes every source at once and returns (k, n) distances


@dataclass
class Result:
    graph: str
    n: int
    m: int
    method: str
    time_s: float | None
    edges_per_s: float | None
    vs_dijkstra: float | None
    agrees: bool | None
    max_rel_err: float | None
    runs: int
    sources: list[int] = field(default_factory=list)
    error: str | None = None

    def as_dict(self) -> dict:
        """The fields for JSON and CSV; an infinite error (different vertices reached) is None."""
        out = asdict(self)
        if out["max_rel_err"] is not None and not np.isfinite(out["max_rel_err"]):
            out["max_rel_err"] = None
        return out


def _native_method(name: str, seed: int) -> Method:
    entry, variant = resolve_method(name)

    def prepare(g: CsrGraph):
        return g

    if entry == "dijkstra":
        def run(g, s):
            return _native.dijkstra(g.indptr, g.indices, g.weights, s)[0]
    elif entry == "bmssp":
        def run(g, s):
            return _native.bmssp(g.indptr, g.indices, g.weights, s, seed)[0]
    else:
        def run(g, s):
            return _native.bmssp_variant(g.indptr, g.indices, g.weights, s, variant, seed)[0]
    label = name if entry != "variant" else "bmssp-" + variant
    return Method(label, "native", prepare, run)


def _multi_method(name: str, seed: int) -> Method:
    if name == "dijkstra-multi":
        def run(g, sources):
            d, _ = _native.dijkstra_multisource(g.indptr, g.indices, g.weights, sources)
            return d.reshape(len(sources), g.n)
    else:
        def run(g, sources):
            d, _ = _native.bmssp_multisource(g.indptr, g.indices, g.weights, sources, seed)
            return d.reshape(len(sources), g.n)
    return Method(name, "native", lambda g: g, run, batch=True)


MULTI = ("dijkstra-multi", "bmssp-multi")


def _scipy_method() -> Method:
    from scipy.sparse import csgraph

    def prepare(g: CsrGraph):
        return g.to_scipy()

    def run(a, s):
        return csgraph.dijkstra(a, directed=True, indices=s)

    return Method("scipy", "peer", prepare, run)


def _igraph_method() -> Method:
    import igraph

    def prepare(g: CsrGraph):
        edges = np.column_stack([g.tails(), g.indices.astype(np.int64)])
        ig = igraph.Graph(n=g.n, edges=edges.tolist(), directed=True)
        ig.es["weight"] = g.weights.tolist()
        return ig

    def run(ig, s):
        return np.asarray(ig.distances(source=[s], weights="weight", mode="out")[0], dtype=np.float64)

    return Method("igraph", "peer", prepare, run)


def _networkit_method() -> Method:
    import networkit as nk

    def prepare(g: CsrGraph):
        G = nk.Graph(g.n, weighted=True, directed=True)
        if g.m:
            G.addEdges((g.weights, (g.tails(), g.indices.astype(np.int64))))
        return G

    def run(G, s):
        d = nk.distance.Dijkstra(G, s, storePaths=False)
        d.run()
        dist = np.asarray(d.getDistances(), dtype=np.float64)
        dist[dist >= np.finfo(np.float64).max] = np.inf  # NetworKit marks unreached as DBL_MAX
        return dist

    return Method("networkit", "peer", prepare, run)


PEERS = {"scipy": _scipy_method, "igraph": _igraph_method, "networkit": _networkit_method}
DEFAULT_NATIVE = ("dijkstra", "bmssp") + tuple("bmssp-" + v for v in VARIANTS)


def available_methods(names=None, seed: int = 0, include_peers: bool = True):
    """(methods, notes): the requested (default: all) methods that can run here, and one note
    per skipped method saying why."""
    wanted = list(names) if names else list(DEFAULT_NATIVE) + (list(PEERS) if include_peers else [])
    methods, notes, unbuilt = [], [], []
    for name in wanted:
        if name in PEERS:
            try:
                methods.append(PEERS[name]())
            except ImportError:
                notes.append(f"skipped {name}: not installed (pip install {name})")
            except Exception as exc:  # installed but broken, e.g. a missing shared library
                notes.append(f"skipped {name}: cannot be imported ({type(exc).__name__}: {exc})")
            continue
        if name in MULTI:
            method, probe_source = _multi_method(name, seed), np.zeros(1, dtype=np.int64)
        else:
            method, probe_source = _native_method(name, seed), 0  # ValueError for unknown names
        try:
            method.run(_PROBE, probe_source)
        except NotImplementedError:
            unbuilt.append(method.name)
            continue
        methods.append(method)
    if unbuilt:
        notes.insert(0, f"skipped {', '.join(unbuilt)}: not implemented in this build")
    if "dijkstra" not in [m.name for m in methods] and not names:
        raise RuntimeError("the native dijkstra entry is not available")
    return methods, notes


def pick_sources(g: CsrGraph, count: int, seed: int) -> list[int]:
    """`count` distinct sources, seeded, preferring vertices with out-arcs."""
    rng = np.random.default_rng(seed)
    pool = np.flatnonzero(np.diff(g.indptr) > 0)
    if len(pool) == 0:
        pool = np.arange(g.n)
    count = min(count, len(pool))
    return sorted(int(s) for s in rng.choice(pool, size=count, replace=False))


def compare(dist: np.ndarray, ref: np.ndarray) -> tuple[bool, float]:
    """(agrees, max relative error over the vertices both reach)."""
    dist = np.asarray(dist, dtype=np.float64)
    if dist.shape != ref.shape:
        return False, float("inf")
    fin_a, fin_b = np.isfinite(dist), np.isfinite(ref)
    if not np.array_equal(fin_a, fin_b):
        return False, float("inf")
    if not fin_b.any():
        return True, 0.0
    a, b = dist[fin_b], ref[fin_b]
    err = float(np.max(np.abs(a - b) / np.maximum(1.0, np.abs(b))))
    return err <= AGREE_RTOL, err


def run_bench(graphs, methods, sources: int = 3, repeats: int = 3, seed: int = 0,
              budget: float = 5.0, progress=None) -> list[Result]:
    """Time every method on every (label, CsrGraph) of `graphs`.

    Every method runs at least once, on the first source; further sources and repeats are run
    while the method's total time on the graph stays within `budget` seconds, so a slow method
    may be timed and checked on fewer sources (the result lists those it ran). `progress(label)` is called after each run.
    """
    results = []
    for label, g in graphs:
        srcs = pick_sources(g, sources, seed)
        refs = {}
        per_method = []
        for method in methods:
            try:
                state = method.prepare(g)
            except Exception as exc:  # a peer that cannot take this graph
                per_method.append((method, [], None, f"{type(exc).__name__}: {exc}"))
                for _ in range(len(srcs) * repeats):
                    progress and progress(method.name)
                continue
            times, dists, spent, error = [], {}, 0.0, None
            if method.batch:
                times, dists, error = _run_batch(method, state, srcs, repeats, budget, progress)
                srcs_to_run = []
            else:
                srcs_to_run = srcs
            for i, s in enumerate(srcs_to_run):
                for r in range(repeats):
                    if (r or i) and spent > budget:
                        progress and progress(method.name)
                        continue
                    t0 = time.perf_counter()
                    try:
                        d = method.run(state, s)
                    except Exception as exc:
                        error = f"{type(exc).__name__}: {exc}"
                        break
                    dt = time.perf_counter() - t0
                    spent += dt
                    times.append(dt)
                    dists[s] = d
                    progress and progress(method.name)
                if error:
                    break
            del state
            if method.name == "dijkstra" and not error:
                refs = dict(dists)
            per_method.append((method, times, dists, error))
        base_time = None
        for method, times, dists, error in per_method:
            if method.name == "dijkstra" and times:
                base_time = statistics.median(times)
        for method, times, dists, error in per_method:
            med = statistics.median(times) if times and not error else None
            agrees, worst = None, None
            ran = [s for s in srcs if s in dists]
            if ran and not error:
                try:
                    checks = [compare(dists[s], _reference(g, refs, s)) for s in ran]
                except ValueError:  # Dijkstra refuses the graph (negative or NaN weights)
                    checks = []
                if checks:
                    agrees = all(c[0] for c in checks)
                    worst = max(c[1] for c in checks)
            results.append(Result(
                graph=label, n=g.n, m=g.m, method=method.name, time_s=med,
                edges_per_s=(g.m / med if med else None),
                vs_dijkstra=(med / base_time if med and base_time else None),
                agrees=agrees, max_rel_err=worst, runs=len(times), sources=ran, error=error,
            ))
    return results


def _run_batch(method: Method, state, srcs: list[int], repeats: int, budget: float, progress):
    """Time a method that takes every source in one call; the time per source is the call's
    time divided by the number of sources."""
    times, dists, spent = [], {}, 0.0
    array = np.array(srcs, dtype=np.int64)
    for r in range(repeats):
        if r and spent > budget:
            for _ in srcs:
                progress and progress(method.name)
            continue
        t0 = time.perf_counter()
        try:
            rows = method.run(state, array)
        except Exception as exc:
            return times, dists, f"{type(exc).__name__}: {exc}"
        dt = time.perf_counter() - t0
        spent += dt
        times.append(dt / max(len(srcs), 1))
        dists = {s: rows[i] for i, s in enumerate(srcs)}
        for _ in srcs:
            progress and progress(method.name)
    return times, dists, None


def _reference(g: CsrGraph, refs: dict, source: int) -> np.ndarray:
    """Dijkstra's distances from `source`: the timed run's when there was one, else computed
    here, untimed."""
    if source not in refs:
        refs[source] = _native.dijkstra(g.indptr, g.indices, g.weights, source)[0]
    return refs[source]


def format_table(results: list[Result]) -> str:
    head = ("graph", "n", "m", "method", "time ms", "Medges/s", "vs dijkstra", "agrees")
    rows = []
    for r in results:
        if r.error:
            rows.append((r.graph, str(r.n), str(r.m), r.method, "error", "", "", r.error[:60]))
            continue
        rows.append((
            r.graph, str(r.n), str(r.m), r.method,
            f"{r.time_s * 1e3:.2f}" if r.time_s is not None else "-",
            f"{r.edges_per_s / 1e6:.1f}" if r.edges_per_s else "-",
            f"{r.vs_dijkstra:.2f}x" if r.vs_dijkstra else "-",
            {True: "yes", False: "NO", None: "-"}[r.agrees]
            + (f" ({r.max_rel_err:.1e})" if r.agrees is False and r.max_rel_err is not None else ""),
        ))
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h) for i, h in enumerate(head)]
    right = {1, 2, 4, 5, 6}

    def fmt(cells):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    lines = [fmt(head), fmt(["-" * w for w in widths])]
    lines += [fmt(row) for row in rows]
    return "\n".join(lines)
