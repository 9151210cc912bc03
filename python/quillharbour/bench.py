"""Timing every available shortest-path method on the same graphs and sources.

A method is something that maps (graph, source) to a distance array: the native entries
("dijkstra", "bmssp", the research variants) and the peers that happen to be installed
(scipy.sparse.csgraph, igraph, NetworKit). A peer that cannot be imported is skipped with a note.
Graph conversion for the peers happens once per graph, outside the timed region; each timed
region is one single-source call, including whatever conversion of the result the library
itself makes. The optional "dijkstra-multi" and "bmssp-multi" methods time one parallel call
over all sources and report its time divided by the number of sources. A native method named
``NAME@rcm`` or ``NAME@bfs`` runs on the graph renumbered by that ordering
(:mod:`quillharbour.reorder`), computed once per graph outside the timed region; mapping its
results back to the graph's own ids is timed.

Methods run interleaved: in each round every method runs once on the same source, so that all
do the same work under the same load. Per graph and method the report gives the median time and
its spread (min-max) over the rounds, and the median of the per-round ratios to Dijkstra's time,
all over the warm runs: a method's first run on a graph (cold caches, first allocations) is
left out whenever there is another, and reported apart. A BMSSP method whose configuration
answers the whole run with one bounded Dijkstra search (k and t unused) is marked as such.
Distances are compared with Dijkstra's for the same source: a method agrees when it reaches
exactly the same vertices and every distance matches to a relative error of 1e-9 (BMSSP may sum
the same path's weights in another order).
"""

from __future__ import annotations

import functools
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _quillharbour as _native
from . import _search, configs, options
from ._version import __version__
from .api import VARIANTS, bmssp_multisource, dijkstra_multisource, reordered_rows, resolve_method
from .graph import CsrGraph
from .reorder import ORDERINGS, Reordering, reordering

if TYPE_CHECKING:
    from ._search import RunCounts  # described by the module's stub only

AGREE_RTOL = 1e-9

@dataclass
class Method:
    name: str
    kind: str  # "native" or "peer"
    prepare: Callable[[CsrGraph], Any]  # the graph in the method's own form, made once per graph
    run: Callable[[Any, Any], npt.NDArray[np.float64]]  # (prepared graph, source) -> distances
    batch: bool = False  # run takes every source at once and returns (k, n) distances
    # a BMSSP method's exactness counts for one source (None for the others)
    counted: Callable[[CsrGraph, int], RunCounts] | None = None
    variant: str | None = None  # a BMSSP method's configuration ("bmssp" or a variant name)


@dataclass
class Result:
    graph: str
    n: int
    m: int
    method: str
    time_s: float | None        # median seconds per source
    edges_per_s: float | None
    vs_dijkstra: float | None   # median over the rounds of time / Dijkstra's time in that round
    agrees: bool | None
    max_rel_err: float | None
    runs: int
    sources: list[int] = field(default_factory=list)
    error: str | None = None
    time_min_s: float | None = None
    time_max_s: float | None = None
    # BMSSP methods, from the first source: relaxations that offered a vertex again because a
    # rounded sum hid a shorter path ("reoffers"), and labels the run's closing edge check had
    # to lower ("finish_lowered"; 0 means the recursion alone was exact)
    exactness: RunCounts | None = None
    one_search: bool | None = None     # BMSSP methods: the whole run was one bounded Dijkstra search
    cold_time_s: float | None = None   # the first run, left out of the figures above when others ran

    def as_dict(self) -> dict[str, Any]:
        """The fields for JSON and CSV; an infinite error (different vertices reached) is None."""
        out = asdict(self)
        if out["max_rel_err"] is not None and not np.isfinite(out["max_rel_err"]):
            out["max_rel_err"] = None
        return out


def _native_method(name: str, seed: int) -> Method:
    entry, variant = resolve_method(name)

    def prepare(g: CsrGraph) -> CsrGraph:
        return g

    def run(g: CsrGraph, s: int) -> npt.NDArray[np.float64]:
        if entry == "dijkstra":
            return _native.dijkstra(g.indptr, g.indices, g.weights, s)[0]
        if entry == "bmssp":
            return _native.bmssp(g.indptr, g.indices, g.weights, s, seed)[0]
        return options.run_recursion(g, entry, str(variant), s, seed)[0]

    def counted(g: CsrGraph, s: int) -> RunCounts:
        if entry == "config":
            return configs.counted(g, str(variant), s, seed)
        return _search.bmssp_counted(g.indptr, g.indices, g.weights, s, variant or "bmssp", seed)[2]

    label = f"bmssp-{variant}" if entry == "variant" else name
    if entry == "dijkstra":
        return Method(label, "native", prepare, run)
    return Method(label, "native", prepare, run, counted=counted, variant=variant or "bmssp")


def _multi_method(name: str, seed: int, how: str | None = None) -> Method:
    """All sources in one parallel call; with `how`, on the graph renumbered by that ordering
    once per graph (untimed, like a peer's conversion), the rows mapped back within the call."""
    def prepare(g: CsrGraph) -> tuple[CsrGraph, Reordering | None]:
        return g, None if how is None else reordering(g, how)

    def run(state: tuple[CsrGraph, Reordering | None], sources: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
        g, r = state
        if r is not None:  # made from g in prepare: mapped back without checking again that it fits
            if name == "dijkstra-multi":
                return reordered_rows(_native.dijkstra_multisource, r, sources)[0]
            return reordered_rows(_native.bmssp_multisource, r, sources, seed)[0]
        if name == "dijkstra-multi":
            d, _ = dijkstra_multisource(g.indptr, g.indices, g.weights, sources)
        else:
            d, _ = bmssp_multisource(g.indptr, g.indices, g.weights, sources, seed)
        return d

    return Method(name if how is None else f"{name}@{how}", "native", prepare, run, batch=True)


def _reordered_method(base: Method, how: str) -> Method:
    """A single-source `base` on the graph renumbered by `how` once per graph (untimed), its
    distances mapped back within the call."""
    def prepare(g: CsrGraph) -> tuple[Any, Reordering]:
        r = reordering(g, how)
        return base.prepare(r.graph), r

    def run(state: tuple[Any, Reordering], s: int) -> npt.NDArray[np.float64]:
        prepared, r = state
        return base.run(prepared, int(r.rank[s]))[r.rank]

    return Method(f"{base.name}@{how}", base.kind, prepare, run)


MULTI = ("dijkstra-multi", "bmssp-multi")


def _scipy_method() -> Method:
    from scipy.sparse import csgraph

    def prepare(g: CsrGraph) -> Any:
        return g.to_scipy()

    def run(a: Any, s: int) -> npt.NDArray[np.float64]:
        return np.asarray(csgraph.dijkstra(a, directed=True, indices=s), dtype=np.float64)

    return Method("scipy", "peer", prepare, run)


def _igraph_method() -> Method:
    import igraph

    def prepare(g: CsrGraph) -> Any:
        edges = np.column_stack([g.tails(), g.indices.astype(np.int64)])
        ig = igraph.Graph(n=g.n, edges=edges.tolist(), directed=True)
        ig.es["weight"] = g.weights.tolist()
        return ig

    def run(ig: Any, s: int) -> npt.NDArray[np.float64]:
        return np.asarray(ig.distances(source=[s], weights="weight", mode="out")[0], dtype=np.float64)

    return Method("igraph", "peer", prepare, run)


def _networkit_method() -> Method:
    import networkit as nk

    def prepare(g: CsrGraph) -> Any:
        G = nk.Graph(g.n, weighted=True, directed=True)
        if g.m:
            G.addEdges((g.weights, (g.tails(), g.indices.astype(np.int64))))
        return G

    def run(G: Any, s: int) -> npt.NDArray[np.float64]:
        d = nk.distance.Dijkstra(G, s, storePaths=False)
        d.run()
        dist = np.asarray(d.getDistances(), dtype=np.float64)
        dist[dist >= np.finfo(np.float64).max] = np.inf  # NetworKit marks unreached as DBL_MAX
        return dist

    return Method("networkit", "peer", prepare, run)


PEERS = {"scipy": _scipy_method, "igraph": _igraph_method, "networkit": _networkit_method}
DEFAULT_NATIVE = ("dijkstra", "bmssp") + tuple("bmssp-" + v for v in VARIANTS)


def available_methods(names: Sequence[str] | None = None, seed: int = 0,
                      include_peers: bool = True) -> tuple[list[Method], list[str]]:
    """(methods, notes): the requested (default: all) methods that can run here, and one note
    per skipped method saying why."""
    wanted = list(names) if names else list(DEFAULT_NATIVE) + (list(PEERS) if include_peers else [])
    methods: list[Method] = []
    notes: list[str] = []
    for name in wanted:
        if name in PEERS:
            try:
                methods.append(PEERS[name]())
            except ImportError:
                notes.append(f"skipped {name}: not installed (pip install {name})")
            except Exception as exc:  # noqa: BLE001 - installed but broken, e.g. a missing shared library
                notes.append(f"skipped {name}: cannot be imported ({type(exc).__name__}: {exc})")
            continue
        # ValueError for unknown names
        base, _, how = name.partition("@")
        if how and how not in ORDERINGS:
            raise ValueError(f"unknown reordering {how!r} in {name!r}; known: {', '.join(ORDERINGS)}")
        if base in MULTI:
            methods.append(_multi_method(base, seed, how or None))
        else:
            method = _native_method(base, seed)
            methods.append(_reordered_method(method, how) if how else method)
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


def timed_round(calls: Mapping[str, Callable[[], Any]], *, clock: Callable[[], float] = time.perf_counter,
                failed: Callable[[str, Exception], None] | None = None,
                after: Callable[[str], object] | None = None) -> dict[str, tuple[float, Any]]:
    """Every call of `calls` once, in their order, each timed by `clock`: {name: (seconds, result)}.

    With `failed`, a call that raises is handed to ``failed(name, exc)`` and left out of the
    result; without it, the exception propagates. `after(name)` follows each call, untimed.
    """
    out: dict[str, tuple[float, Any]] = {}
    for name, call in calls.items():
        t0 = clock()
        try:
            result = call()
        except Exception as exc:
            if failed is None:
                raise
            failed(name, exc)
        else:
            out[name] = (clock() - t0, result)
        if after is not None:
            after(name)
    return out


def interleaved_times(calls: Mapping[str, Callable[[], Any]], repeats: int = 5, *,
                      clock: Callable[[], float] = time.process_time,
                      orders: Sequence[Sequence[str]] = ()) -> dict[str, list[float]]:
    """Runs each call once to warm up, then `repeats` rounds of :func:`timed_round`, each call in
    turn; returns {name: sorted list of times}. Interleaving spreads any background load evenly
    over the contenders. The default clock is the process's CPU time, which time slices lost to
    other processes do not inflate: a long call from the main thread runs on a helper thread
    while the caller waits for it (so that Ctrl-C works), and the pool's idle threads cost
    nothing, so for one single-threaded call it is that call's CPU time.

    Round r runs the calls in the order ``orders[r % len(orders)]``, each an ordering of all the
    names, or in the order of `calls` when `orders` is empty. A call inherits the allocator and
    cache state of the call before it; alternating who goes first shares that out evenly."""
    for order in orders:
        if sorted(order) != sorted(calls):
            raise ValueError(f"an order must name every call once: {list(order)} for {list(calls)}")
    for call in calls.values():
        call()
    times: dict[str, list[float]] = {name: [] for name in calls}
    for r in range(repeats):
        ordered = {name: calls[name] for name in orders[r % len(orders)]} if orders else calls
        for name, (dt, _) in timed_round(ordered, clock=clock).items():
            times[name].append(dt)
    return {name: sorted(ts) for name, ts in times.items()}


def run_bench(graphs: list[tuple[str, CsrGraph]], methods: list[Method], sources: int = 3,
              repeats: int = 3, seed: int = 0, budget: float = 5.0,
              progress: Callable[[str], object] | None = None,
              finished: Callable[[Result], object] | None = None) -> list[Result]:
    """Time every method on every (label, CsrGraph) of `graphs`, interleaved.

    The runs go in rounds, one per (repeat, source) pair, repeats outermost: in each round
    every method runs once on the same source, in an order rotated from round to round, so
    that every method does the same work under the same load. A method that takes all sources
    at once (`batch`) runs once per repeat, its time divided by the number of sources. The
    first round always runs; no further round starts once the rounds have taken `budget`
    seconds per method on average. A method that raises is reported with its error and left
    out of later rounds. `progress(label)` is called after each run, `finished(result)` once
    each method's result on a graph is complete (after its check against Dijkstra and its
    counted run).

    Per method the result holds the median time and its spread (min, max), the median over the
    rounds of its time divided by Dijkstra's in the same round, both without the method's first
    (cold) run when it ran more than once, and its agreement with Dijkstra on every source it
    ran.
    """
    results = []
    for label, g in graphs:
        srcs = pick_sources(g, sources, seed)
        states: dict[str, object] = {}
        errors: dict[str, str] = {}
        for method in methods:
            try:
                states[method.name] = method.prepare(g)
            except Exception as exc:  # noqa: BLE001 - a peer that cannot take this graph
                errors[method.name] = f"{type(exc).__name__}: {exc}"
        times: dict[str, list[float]] = {m.name: [] for m in methods}
        ratios: dict[str, list[float]] = {m.name: [] for m in methods}
        dists: dict[str, dict[int, np.ndarray]] = {m.name: {} for m in methods}
        spent, limit = 0.0, budget * max(len(methods), 1)
        ran: list[tuple[int, int]] = []
        single = [m for m in methods if not m.batch]
        batch = [m for m in methods if m.batch]
        rounds = [(r, s) for r in range(repeats) for s in srcs]

        for index, (r, s) in enumerate(rounds):
            if index and spent > limit:
                break
            ran.append((r, s))
            shift = index % max(len(single), 1)
            round_times = {}
            for name, (dt, dist) in _run_round(single[shift:] + single[:shift], s, states, errors, progress).items():
                spent += dt
                times[name].append(dt)
                round_times[name] = dt
                dists[name][s] = dist
            ends_repeat = index + 1 == len(rounds) or rounds[index + 1][0] != r
            if batch and (ends_repeat or spent > limit):  # the repeat's sources in one call
                these = [src for rr, src in ran if rr == r]
                for name, (dt, rows) in _run_round(batch, np.array(these, dtype=np.int64), states, errors,
                                                      progress).items():
                    spent += dt
                    times[name].append(dt / len(these))
                    round_times[name] = dt / len(these)
                    for i, src in enumerate(these):
                        dists[name][src] = rows[i]
            base = round_times.get("dijkstra")
            if base:
                for name, dt in round_times.items():
                    ratios[name].append(dt / base)
        states.clear()
        refs = dict(dists["dijkstra"]) if "dijkstra" in dists and "dijkstra" not in errors else {}
        for method in methods:
            name = method.name
            error = errors.get(name)
            ts = times[name] if not error else []
            cold = ts[0] if len(ts) > 1 else None
            warm = ts[1:] if len(ts) > 1 else ts
            warm_ratios = ratios[name][1:] if len(ratios[name]) > 1 else ratios[name]
            med = statistics.median(warm) if warm else None
            agrees, worst = None, None
            checked = sorted(dists[name]) if not error else []
            if checked:
                try:
                    checks = [compare(dists[name][s], _reference(g, refs, s)) for s in checked]
                except ValueError:  # Dijkstra refuses the graph (negative or NaN weights)
                    checks = []
                if checks:
                    agrees = all(c[0] for c in checks)
                    worst = max(c[1] for c in checks)
            exactness = method.counted(g, checked[0]) if method.counted and checked else None
            results.append(Result(
                exactness=exactness,
                graph=label, n=g.n, m=g.m, method=name, time_s=med,
                time_min_s=min(warm) if warm else None, time_max_s=max(warm) if warm else None,
                edges_per_s=(g.m / med if med else None),
                vs_dijkstra=(statistics.median(warm_ratios) if warm_ratios and not error else None),
                agrees=agrees, max_rel_err=worst, runs=len(ts), sources=checked, error=error,
                one_search=_one_search(g, method.variant) if method.variant and not error else None,
                cold_time_s=cold,
            ))
            if finished is not None:
                finished(results[-1])
    return results


def _one_search(g: CsrGraph, variant: str) -> bool:
    """Whether a run of `variant` (a variant's name or a spec) on `g` is one bounded Dijkstra
    search (k and t unused)."""
    if configs.is_spec(variant):
        return configs.one_search(g, variant)
    return bool(_search.parameters(g.indptr, g.indices, g.weights, variant)["one_search"])


def _run_round(contenders: list[Method], arg: Any, states: dict[str, object], errors: dict[str, str],
               progress: Callable[[str], object] | None) -> dict[str, tuple[float, Any]]:
    """Each of `contenders` once on `arg` (a source, or the sources of a batch), timed; one that
    failed before is not run, one that fails now has its error kept in `errors`."""
    runs = {}
    for m in contenders:
        if m.name in errors:
            if progress is not None:
                progress(m.name)
        else:
            runs[m.name] = functools.partial(m.run, states[m.name], arg)

    def failed(name: str, exc: Exception) -> None:
        errors[name] = f"{type(exc).__name__}: {exc}"

    return timed_round(runs, failed=failed, after=progress)


def _reference(g: CsrGraph, refs: dict[int, npt.NDArray[np.float64]], source: int) -> npt.NDArray[np.float64]:
    """Dijkstra's distances from `source`: the timed run's when there was one, else computed
    here, untimed."""
    if source not in refs:
        refs[source] = _native.dijkstra(g.indptr, g.indices, g.weights, source)[0]
    return refs[source]


def environment(argv: list[str] | None = None) -> dict[str, Any]:
    """What a timing depends on: versions, the CPU, the thread settings and the command line."""
    from importlib import metadata

    def version(dist: str) -> str | None:
        try:
            return metadata.version(dist)
        except metadata.PackageNotFoundError:
            return None

    cpu = platform.processor() or None
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return {
        "quillharbour": __version__,
        "python": platform.python_version(),
        "platform": platform.platform(),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "threads": {k: os.environ.get(k) for k in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "OMP_NUM_THREADS")},
        "versions": {name: version(dist) for name, dist in
                     (("numpy", "numpy"), ("scipy", "scipy"), ("igraph", "igraph"),
                      ("networkit", "networkit"), ("pyarrow", "pyarrow"))},
        "command": ["quillharbour"] + list(sys.argv[1:] if argv is None else argv),
    }


def _ms(seconds: float | None) -> str:
    """Milliseconds to three significant digits, without an exponent."""
    if seconds is None:
        return "-"
    v = seconds * 1e3
    return f"{v:.0f}" if v >= 100 else f"{v:.3g}"


ONE_SEARCH_MARK = " *"
COLD_NOTE = "times are medians and min-max over the warm runs: each method's first (cold) run on a graph is left out"
ONE_SEARCH_NOTE = ("* one bounded Dijkstra search from the source, not the recursion (k and t unused; "
                   "see 'quillharbour info')")


def format_table(results: list[Result]) -> str:
    """The results as an aligned text table: median time and its min-max spread per source,
    the median ratio to Dijkstra's time in the same rounds (all over the warm runs), the sources
    and runs timed; methods that ran as one bounded Dijkstra search are marked."""
    head = ("graph", "n", "m", "method", "sources", "runs", "median ms", "min-max ms", "Medges/s",
            "time / dijkstra", "agrees")
    rows = []
    for r in results:
        if r.error:
            rows.append((r.graph, str(r.n), str(r.m), r.method + (ONE_SEARCH_MARK if r.one_search else ""), "", "",
                         "error", "", "", "", r.error[:60]))
            continue
        rows.append((
            r.graph, str(r.n), str(r.m), r.method + (ONE_SEARCH_MARK if r.one_search else ""), str(len(r.sources)),
            str(r.runs),
            _ms(r.time_s), f"{_ms(r.time_min_s)}-{_ms(r.time_max_s)}" if r.time_min_s is not None else "-",
            f"{r.edges_per_s / 1e6:.1f}" if r.edges_per_s else "-",
            f"{r.vs_dijkstra:.2f}x" if r.vs_dijkstra else "-",
            {True: "yes", False: "NO", None: "-"}[r.agrees]
            + (f" ({r.max_rel_err:.1e})" if r.agrees is False and r.max_rel_err is not None else ""),
        ))
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h) for i, h in enumerate(head)]
    right = {1, 2, 4, 5, 6, 7, 8, 9}

    def fmt(cells: Sequence[str]) -> str:
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    lines = [fmt(head), fmt(["-" * w for w in widths])]
    lines += [fmt(row) for row in rows]
    if any(r.cold_time_s is not None for r in results):
        lines.append(f"note: {COLD_NOTE}")
    if any(r.one_search for r in results):
        lines.append(f"note: {ONE_SEARCH_NOTE}")
    for r in results:
        if r.exactness and r.exactness["finish_lowered"]:
            lines.append(f"note: {r.method} on {r.graph}: the closing edge check lowered "
                         f"{r.exactness['finish_lowered']} labels the recursion left too high")
    return "\n".join(lines)
