"""What the recursion did on one graph, and how its cost grows over a family of sizes.

:func:`gather` collects what the figures of ``quillharbour explain`` show (plotting draws them):
the trace of one run (:func:`quillharbour.trace`), Dijkstra's distances and relaxation counts
on the same graph, and, over a family of sizes, every method's time and work per arc.

A family of sizes is a spec (:func:`size_family`): a range ``KIND:FROM..TO`` of generator
specs of one kind, stepped so that the vertex count about doubles from one graph to the next
(``grid:100x100..1000x1000``, ``rmat:12..20``, ``rgg:1000..64000:8``), or a comma-separated
list of graph specs and files.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from . import _quillharbour as _native
from . import _search, bench, generators, io
from .api import resolve_method
from .graph import CsrGraph
from .tracing import CallTrace, trace

__all__ = ["SizePoint", "Explained", "size_family", "default_family", "gather", "measure_sizes", "summary",
           "copies_of", "dijkstra_work", "slope"]

# Graphs per family at most: a range wider than this is a typing slip, not a plan.
MAX_FAMILY = 40


@dataclass(frozen=True)
class SizePoint:
    """One method on one graph of a family of sizes."""

    graph: str
    n: int
    m: int
    method: str
    time_s: float | None  # median seconds per source, the cold run excluded
    work: int | None      # edges relaxed from the source (None for methods that do not report it)


@dataclass
class Explained:
    """What the figures of one ``explain`` page show."""

    label: str
    graph: CsrGraph
    trace: CallTrace
    dijkstra: npt.NDArray[np.float64]  # Dijkstra's distances from the same source
    dijkstra_work: tuple[int, int]     # Dijkstra's relaxations on the input and on the searched graph
    sizes: list[SizePoint] = field(default_factory=list)  # the family of sizes, if measured
    family: str | None = None                               # its spec


def copies_of(g: CsrGraph) -> npt.NDArray[np.int64]:
    """How many vertices of the constant-degree transform copy each input vertex: its in- plus
    out-degree, at least one (a self-loop counts twice)."""
    degree = np.bincount(g.tails(), minlength=g.n) + np.bincount(g.indices, minlength=g.n)
    copies: npt.NDArray[np.int64] = np.maximum(degree, 1).astype(np.int64)
    return copies


def dijkstra_work(g: CsrGraph, dist: npt.NDArray[np.float64]) -> tuple[int, int]:
    """The edges Dijkstra relaxes from a source whose distances are `dist`: every arc out of a
    reached vertex, on the input graph and on its constant-degree transform (where each ring of
    c >= 2 copies adds c zero-weight arcs)."""
    reached = np.isfinite(dist)
    out_degree = np.diff(g.indptr)
    copies = copies_of(g)
    ring = np.where(copies >= 2, copies, 0)
    return int(out_degree[reached].sum()), int((out_degree + ring)[reached].sum())


def size_family(spec: str) -> list[str]:
    """The graph specs (or files) a family spec names; ValueError for a malformed one."""
    low, dots, high = spec.strip().lower().partition("..")
    kind, _, low = low.partition(":")
    if not dots or not generators.is_spec(f"{kind}:"):
        items = [item.strip() for item in spec.split(",") if item.strip()]
        if not items:
            raise ValueError(f"bad size family {spec!r}: give KIND:FROM..TO (as grid:100x100..400x400 or "
                             "rmat:10..14) or a comma-separated list of graphs")
        return items
    sep = "x" if kind == "grid" else ":"
    try:
        a = [int(v) for v in low.split(sep)]
        fields = [int(v) for v in high.split(sep)]
    except ValueError:
        raise ValueError(f"bad size family {spec!r}: FROM and TO must be made of integers") from None
    b, tail = fields[: len(a)], "".join(f":{f}" for f in fields[len(a):])  # what follows TO is kept as it is
    if len(a) != len(b) or min(a + b) < 1 or any(x > y for x, y in zip(a, b)):
        raise ValueError(f"bad size family {spec!r}: FROM and TO need the same fields, FROM not above TO")
    if kind == "rmat":  # the scale is log2 n: one step per doubling
        steps = [[a[0] + i, *a[1:]] for i in range(b[0] - a[0] + 1)]
    else:
        def vertices(fields: list[int]) -> int:
            return math.prod((fields * 2)[:2]) if kind == "grid" else fields[0]
        count = max(1, round(math.log2(vertices(b) / vertices(a))))
        steps = [[round(x * (y / x) ** (i / count)) for x, y in zip(a, b)] for i in range(count + 1)]
    specs = list(dict.fromkeys(f"{kind}:{sep.join(map(str, s))}{tail}" for s in steps))
    if len(specs) > MAX_FAMILY:
        raise ValueError(f"size family {spec!r} names {len(specs)} graphs; at most {MAX_FAMILY}")
    return specs


def default_family(graph: str) -> str | None:
    """The family from a sixteenth of a generated graph's vertex count up to it; None for a file
    or a graph too small to scale down."""
    if not generators.is_spec(graph):
        return None
    kind, _, rest = graph.lower().partition(":")
    sep = "x" if kind == "grid" else ":"
    try:
        fields = [int(v) for v in rest.split(sep)]
    except ValueError:
        return None
    tail = ""
    if kind == "grid":
        fields = (fields * 2)[:2]
        low = [max(2, f // 4) for f in fields]
    elif kind in ("rmat", "rgg"):  # only the first field is a size: the edge factor or degree stays
        low = [max(1, fields[0] - 4) if kind == "rmat" else max(2, fields[0] // 16)]
        fields, tail = fields[:1], "".join(f":{f}" for f in fields[1:])
    elif kind == "gnm" and len(fields) == 2:  # the mean out-degree stays, and fits below n
        n, m = fields
        low_n = max(2, n // 16, -(-m // max(n, 1)) + 1)
        low = [low_n, m * low_n // max(n, 1)]
    else:
        low = [max(2, f // 16) for f in fields]
    if low == fields or min(low, default=0) < 1 or any(lo > f for lo, f in zip(low, fields)):
        return None
    return f"{kind}:{sep.join(map(str, low))}..{sep.join(map(str, fields))}{tail}"


def _work(g: CsrGraph, method: str, source: int, seed: int) -> int | None:
    if method in bench.PEERS or method in bench.MULTI:
        return None
    entry, variant = resolve_method(method)
    if entry == "dijkstra":
        return dijkstra_work(g, _native.dijkstra(g.indptr, g.indices, g.weights, source)[0])[0]
    counts = _search.bmssp_counted(g.indptr, g.indices, g.weights, source, variant or "bmssp", seed)[2]
    return counts["relaxations"]


def measure_sizes(specs: Sequence[str], methods: Sequence[str], seed: int = 0, repeats: int = 3,
                  budget: float = 1.0, step: Callable[[str], object] | None = None) -> list[SizePoint]:
    """Every method of `methods` on every graph of `specs`, from one seeded source: the median
    time (bench.run_bench, interleaved, the cold run excluded) and the edges relaxed.
    `step(text)` hears of each graph before it runs."""
    chosen, _ = bench.available_methods(list(methods), seed=seed)
    points = []
    for i, spec in enumerate(specs):
        if step is not None:
            step(f"{spec} ({i + 1} of {len(specs)})")
        g = io.load_graph(spec, seed)
        [source] = bench.pick_sources(g, 1, seed)
        for r in bench.run_bench([(spec, g)], chosen, sources=1, repeats=repeats, seed=seed, budget=budget):
            work = _work(g, r.method, source, seed) if not r.error else None
            points.append(SizePoint(spec, g.n, g.m, r.method, r.time_s, work))
    return points


def gather(g: CsrGraph, label: str, source: int, method: str = "bmssp", seed: int = 0) -> Explained:
    """The trace of `method` on `g` from `source`, with Dijkstra's distances and work beside it;
    a family of sizes is measured apart (:func:`measure_sizes`)."""
    tr = trace(g, source, method=method, seed=seed)
    ref = _native.dijkstra(g.indptr, g.indices, g.weights, source)[0]
    return Explained(label, g, tr, ref, dijkstra_work(g, ref))


def summary(ex: Explained) -> list[str]:
    """What the figures show, in sentences: the calls, FindPivots' early exits, where the
    relaxations went against Dijkstra's, the settlement order, and the fitted slopes."""
    from .tracing import KINDS, PHASES

    tr, p = ex.trace, ex.trace.params
    per_level = ", ".join(f"{int(np.count_nonzero(tr['level'] == lv))} at level {lv}"
                          for lv in range(p.levels, -1, -1) if np.any(tr["level"] == lv))
    recursive = tr["kind"] == KINDS[0]
    early = int(np.count_nonzero(recursive & (tr["near"] > tr.limits()["near_limit"])))
    lines = [f"calls: {per_level} (k = {p.k}, t = {p.t})"]
    if recursive.any():
        lines.append(f"FindPivots exited early (|W| > k|S|, every source a pivot) in {early} of "
                     f"{int(recursive.sum())} calls")
    total = sum(int(tr[phase].sum()) for phase in PHASES)
    on_input, on_searched = ex.dijkstra_work
    transformed = tr.on_transform
    reference = on_searched if transformed else on_input
    shares = ", ".join(f"{name} {int(tr[phase].sum()) / max(total, 1):.0%}" for phase, name in PHASES.items())
    lines.append(f"relaxations: {total:,}, {total / max(reference, 1):.2f}x Dijkstra's {reference:,} on the "
                 f"{'transformed' if transformed else 'input'} graph ({shares})")
    dhat = tr.settled_distances
    late = int(np.count_nonzero(dhat < np.maximum.accumulate(dhat))) if len(dhat) else 0
    what = "vertices of the transform" if transformed else "vertices"
    if not len(dhat):
        lines.append("settlement: no call settled a vertex (one bounded Dijkstra search answered the whole run)")
    else:
        lines.append(f"settlement: {late} of {len(dhat)} {what} settled after a larger distance" if late
                     else f"settlement: all {len(dhat)} {what} in Dijkstra's order")
    broken = [b for b in tr.bounds() if b.violated]
    lines.append("bounds: every row meets every bound" if not broken
                 else "bounds: " + "; ".join(str(b) for b in broken))
    for name in dict.fromkeys(pt.method for pt in ex.sizes):
        mine = sorted((pt for pt in ex.sizes if pt.method == name), key=lambda pt: pt.n)
        slopes = []
        for what_, values in (("time", [(pt.n, pt.time_s / pt.m) for pt in mine if pt.time_s and pt.m]),
                              ("work", [(pt.n, pt.work / pt.m) for pt in mine if pt.work and pt.m])):
            fitted = slope(*zip(*values)) if values else None
            if fitted is not None:
                slopes.append(f"{what_} per arc ~ n^{fitted:+.2f}")
        if slopes:
            lines.append(f"{name}: " + ", ".join(slopes))
    return lines


def slope(xs: Sequence[float], ys: Sequence[float]) -> float | None:
    """The slope of log y against log x (least squares); None below two distinct x."""
    if len(set(xs)) < 2:
        return None
    return float(np.polyfit(np.log(xs), np.log(ys), 1)[0])
