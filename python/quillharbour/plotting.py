"""PNG figures for the command line, drawn with matplotlib's non-interactive Agg backend."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._files import atomic_write

if TYPE_CHECKING:
    from .bench import Result
    from .explain import Explained

PEER_NAMES = ("scipy", "igraph", "networkit")


def _pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise RuntimeError("plotting needs matplotlib: pip install 'quillharbour[cli]'") from None
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    return plt


def _save(plt: Any, fig: Any, path: str | os.PathLike[str], **options: Any) -> None:
    """Write `fig` to `path` whole or not at all, in the format its suffix names; close it."""
    suffix = os.path.splitext(os.fspath(path))[1].lstrip(".").lower()
    try:
        with atomic_write(path) as f:
            fig.savefig(f, format=suffix or None, **options)
    finally:
        plt.close(fig)


def short_label(graph: str) -> str:
    """A graph's label without its folder (generator specs are kept whole)."""
    return graph if ":" in graph and not os.path.exists(graph) else os.path.basename(graph)


def _family(graph: str) -> str:
    """Graphs of one family (one generator kind) may be joined by lines; files stand alone."""
    kind, colon, _ = graph.partition(":")
    return kind if colon and not os.path.exists(graph) else "file:" + graph


def _method_label(r: Result) -> str:
    return r.method + (" *" if r.one_search else "")


def plot_bench(results: Sequence[Result], path: str | os.PathLike[str]) -> None:
    """Draw bench results: for one graph a bar chart of the median time per method with its
    min-max spread, on a linear axis; for several, median time against graph size (arcs) on
    log-log axes, lines only between graphs of one generator family. Times are over the warm
    runs (the cold first run left out), every method has its own colour (and, on lines, its own
    marker), and a method that ran as one bounded Dijkstra search is marked with *."""
    plt = _pyplot()
    timed = [r for r in results if r.time_s]
    graphs = list(dict.fromkeys(r.graph for r in results))
    methods = list(dict.fromkeys(r.method for r in results))
    style = {name: method_style(i) for i, name in enumerate(methods)}
    marked = any(r.one_search for r in timed)
    if len(graphs) == 1:
        fig, ax = plt.subplots(figsize=(max(6.0, 0.9 * len(timed) + 2), 5), dpi=110)
        med = np.array([r.time_s for r in timed]) * 1e3
        lo = med - np.array([r.time_min_s or r.time_s for r in timed]) * 1e3
        hi = np.array([r.time_max_s or r.time_s for r in timed]) * 1e3 - med
        bars = ax.bar(range(len(timed)), med, yerr=[lo, hi], capsize=4,
                      color=[style[r.method]["color"] for r in timed],
                      hatch=["//" if r.method in PEER_NAMES else "" for r in timed], edgecolor="black", linewidth=0.5)
        ax.bar_label(bars, labels=[f"{v:.0f}" if v >= 100 else f"{v:.3g}" for v in med], padding=2, fontsize=8)
        ax.set_xticks(range(len(timed)), [_method_label(r) for r in timed], rotation=30, ha="right")
        ax.set_ylim(bottom=0)
        ax.set_ylabel("median time per source (ms), warm runs; whiskers span min-max")
        r0 = results[0]
        notes = "the first (cold) run of each method left out" + (
            "; * one bounded Dijkstra search, not the recursion" if marked else "") + "; peers hatched"
        ax.set_title(f"{short_label(graphs[0])}: {r0.n} vertices, {r0.m} arcs; "
                     f"{len(r0.sources)} source(s), {r0.runs} run(s) per method\n{notes}", fontsize=9)
        ax.grid(True, axis="y", alpha=0.3)
    else:
        fig, ax = plt.subplots(figsize=(10, 5.5), dpi=110)
        for name in dict.fromkeys(r.method for r in timed):
            style_ = "--" if name in PEER_NAMES else "-"  # peers dashed, this package's methods solid
            mine = [r for r in timed if r.method == name]
            for j, family in enumerate(dict.fromkeys(_family(r.graph) for r in mine)):
                pts = sorted((r.m, r.time_s) for r in mine if _family(r.graph) == family)
                xs, ys = zip(*pts)
                ax.plot(xs, ys, style_ if len(pts) > 1 else "", label=_method_label(mine[0]) if j == 0 else None,
                        linewidth=1.4, markersize=6, **style[name])
        ax.set_xscale("log")
        ax.set_yscale("log")
        low, high = ax.get_ylim()
        ax.set_ylim(low / (high / low) ** 0.2, high)  # a band at the bottom for the graph names
        sizes: dict[int, list[str]] = {}
        for r in results:
            sizes.setdefault(r.m, []).append(short_label(r.graph))
        for k, (m, labels) in enumerate(sorted(sizes.items())):
            ax.annotate(", ".join(dict.fromkeys(labels)), (m, 0.0), xycoords=("data", "axes fraction"),
                        xytext=(0, 4 + 10 * (k % 3)), textcoords="offset points", ha="center",
                        fontsize=7, color="dimgrey")
        ax.set_xlabel("graph size (arcs)")
        ax.set_ylabel("median time per source (s), warm runs")
        ax.set_title("Single-source shortest paths: median time per source, the first (cold) run left out"
                     + ("; * one bounded Dijkstra search" if marked else ""), fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
    _save(plt, fig, path, bbox_inches="tight")


def plot_settlement(dhat: np.ndarray, reference: np.ndarray, path: str | os.PathLike[str],
                    title: str) -> dict[str, Any]:
    """BMSSP's distances in settlement order beside the sorted order Dijkstra settles in.

    `dhat` is the distance of each settled vertex (of the constant-degree transform, which BMSSP
    searches) in BMSSP's settlement order; `reference` the
    same vertices' distances from Dijkstra. Returns summary figures of the departure: how many
    settlements come after a larger distance was already settled, and how far each settlement's
    position lies from its rank in sorted order.
    """
    plt = _pyplot()
    k = len(dhat)
    idx = np.arange(k)
    ref_sorted = np.sort(reference)
    rank = np.empty(k, dtype=np.int64)
    rank[np.argsort(dhat, kind="stable")] = idx
    displacement = idx - rank
    running_max = np.maximum.accumulate(dhat) if k else dhat
    late = int(np.count_nonzero(dhat < running_max)) if k else 0
    stats = {
        "settled": k,
        "out_of_order": late,
        "mean_abs_displacement": float(np.mean(np.abs(displacement))) if k else 0.0,
        "max_abs_displacement": int(np.max(np.abs(displacement))) if k else 0,
    }

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5), dpi=110)
    step = max(1, k // 200_000)  # keep scatter sizes reasonable on big graphs
    left.scatter(idx[::step], dhat[::step], s=1.5, alpha=0.5, color="tab:orange", label="BMSSP", rasterized=True)
    left.plot(idx, ref_sorted, color="tab:blue", linewidth=1.2, label="Dijkstra (sorted)")
    left.set_xlabel("settlement index (vertices of the constant-degree transform)")
    left.set_ylabel("distance at settlement")
    left.set_title("Settlement order")
    left.legend(markerscale=6, fontsize=8)
    right.scatter(idx[::step], displacement[::step], s=1.5, alpha=0.5, color="tab:orange", rasterized=True)
    right.axhline(0, color="tab:blue", linewidth=1, label="Dijkstra order")
    right.set_xlabel("BMSSP settlement index (vertices of the constant-degree transform)")
    right.set_ylabel("settlement index - rank in Dijkstra's order")
    right.set_title(f"{late} of {k} settled after a larger distance; "
                    f"mean |index - rank| {stats['mean_abs_displacement']:.1f}", fontsize=9)
    right.legend(fontsize=8)
    fig.suptitle(title, fontsize=11)
    fig.tight_layout()
    _save(plt, fig, path)
    return stats


# --- styles -----------------------------------------------------------------------------------

MARKERS = "osD^vP*X<>hpd8H"


def method_style(index: int) -> dict[str, Any]:
    """The colour and marker of the `index`-th method of a figure: no two of the first 20 share
    a colour, and a colour's second use comes with another marker."""
    return {"color": f"C{index % 10}" if index < 10 else _TAB20[(2 * (index - 10) + 1) % 20],
            "marker": MARKERS[index % len(MARKERS)]}


_TAB20 = ["#1f77b4", "#aec7e8", "#ff7f0e", "#ffbb78", "#2ca02c", "#98df8a", "#d62728", "#ff9896", "#9467bd",
          "#c5b0d5", "#8c564b", "#c49c94", "#e377c2", "#f7b6d2", "#7f7f7f", "#c7c7c7", "#bcbd22", "#dbdb8d",
          "#17becf", "#9edae5"]


# --- explain: what the recursion did ------------------------------------------------------------

KIND_COLOURS = {"recursive": "tab:blue", "base case": "tab:orange", "bounded search": "tab:green"}
PHASE_COLOURS = {"relax_pivots": "tab:purple", "relax_local": "tab:orange", "relax_route": "tab:cyan"}
SAMPLE = 4000  # points per series at most: more only blacken the plot and slow the file


def _legend(ax: Any, **options: Any) -> None:
    """A legend, where the axes have labelled artists (a run answered by one bounded search has
    no recursive calls to draw, nor settlements of its own)."""
    if ax.get_legend_handles_labels()[0]:
        ax.legend(**options)


def _sample(idx: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    return idx if len(idx) <= SAMPLE else np.sort(rng.choice(idx, SAMPLE, replace=False))


def draw_calls(fig: Any, ex: Explained) -> None:
    """Calls per level by kind, and each recursive call's sizes as a share of their bounds."""
    from .tracing import KINDS

    tr, p = ex.trace, ex.trace.params
    counts_ax, sizes_ax = fig.subplots(1, 2, gridspec_kw={"width_ratios": [1, 2]})
    levels = np.arange(p.levels, -1, -1)
    bottom = np.zeros(len(levels))
    for kind in KINDS:
        per_level = np.array([np.count_nonzero((tr["level"] == lv) & (tr["kind"] == kind)) for lv in levels])
        if per_level.any():
            counts_ax.bar(levels.astype(str), per_level, bottom=bottom, color=KIND_COLOURS[kind], label=kind)
            bottom += per_level
    for x, total in enumerate(bottom):
        counts_ax.annotate(f"{int(total)}", (x, total), ha="center", va="bottom", fontsize=8)
    counts_ax.set_yscale("log")
    counts_ax.set_ylim(0.5, bottom.max() * 3)
    counts_ax.set_xlabel("level (the outermost call first)")
    counts_ax.set_ylabel("calls")
    counts_ax.set_title(f"Calls per level: k = {p.k}, t = {p.t}, {p.levels} levels", fontsize=9)
    _legend(counts_ax, fontsize=7)

    lim = tr.limits()
    rec = tr["kind"] == KINDS[0]
    parent_block = np.where(tr["parent"] >= 0, lim["block"][np.maximum(tr["parent"], 0)], np.nan)
    with np.errstate(divide="ignore", invalid="ignore"):
        series = [
            ("|S| / M of the caller's batches", rec & (tr["parent"] >= 0), tr["sources"] / parent_block),
            ("|W| / k|S| (above 1: FindPivots exits early, P = S)", rec, tr["near"] / lim["near_limit"]),
            ("k|P| / |W| (FindPivots without early exit)", rec & (tr["near"] <= lim["near_limit"]),
             float(p.k) * tr["pivots"] / tr["near"]),
            ("|U| / k 2^(lt)", rec, tr["u"] / lim["u_limit"]),
        ]
    rng = np.random.default_rng(0)
    for i, (name, rows, ratio) in enumerate(series):
        idx = _sample(np.flatnonzero(rows & (ratio > 0) & np.isfinite(ratio)), rng)
        x = p.levels - tr["level"][idx] + (i - 1.5) * 0.18 + rng.uniform(-0.06, 0.06, idx.size)
        sizes_ax.scatter(x, ratio[idx], s=6, alpha=0.5, color=f"C{i}", label=name, rasterized=True)
    sizes_ax.axhline(1.0, color="black", linewidth=1, linestyle="--")
    sizes_ax.annotate("the bound", (0.99, 1.0), xycoords=("axes fraction", "data"), ha="right", va="bottom",
                      fontsize=7)
    sizes_ax.set_xticks(range(p.levels), [str(lv) for lv in levels[:-1]])
    sizes_ax.set_yscale("log")
    sizes_ax.set_xlabel("level of the recursive call")
    sizes_ax.set_ylabel("size / its bound (one point per call)")
    early = int(np.count_nonzero(rec & (tr["near"] > lim["near_limit"])))
    sizes_ax.set_title(f"Frontier sizes against their bounds; FindPivots exited early in {early} "
                       f"of {int(rec.sum())} calls", fontsize=9)
    _legend(sizes_ax, fontsize=7, loc="best")


def draw_relaxations(fig: Any, ex: Explained) -> None:
    """The edges the run relaxed, by level and phase, beside Dijkstra's."""
    from .tracing import PHASES

    tr = ex.trace
    ax = fig.subplots()
    levels = list(range(tr.params.levels, -1, -1))
    labels = [f"level {lv}" for lv in levels] + ["all levels"]
    bottom = np.zeros(len(labels))
    for phase, name in PHASES.items():
        values = np.array([tr[phase][tr["level"] == lv].sum() for lv in levels] + [tr[phase].sum()], dtype=float)
        ax.bar(labels, values, bottom=bottom, color=PHASE_COLOURS[phase], label=name)
        bottom += values
    on_input, on_searched = ex.dijkstra_work
    refs = {"Dijkstra, input graph": on_input}
    if ex.trace.on_transform:
        refs = {"Dijkstra, transformed graph": on_searched, **refs}
    ax.bar(list(refs), list(refs.values()), color="tab:grey", label="Dijkstra (each reached arc once)")
    for x, total in enumerate(list(bottom) + list(refs.values())):
        ax.annotate(f"{int(total):,}", (x, total), ha="center", va="bottom", fontsize=8)
    ax.set_ylabel("edges relaxed")
    graph = "transformed graph" if ex.trace.on_transform else "input graph"
    ax.set_title(f"Where the relaxations went ({tr.method}, edges of the {graph}): "
                 f"{int(bottom[-1]):,} against Dijkstra's {on_searched if ex.trace.on_transform else on_input:,}",
                 fontsize=9)
    ax.tick_params(axis="x", labelsize=8)
    ax.legend(fontsize=7)


def settlement_order(ex: Explained) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(distance at settlement, Dijkstra's distance of the same vertex, level of the settling
    call), in the order the run settled its vertices."""
    tr = ex.trace
    ids = tr.settled_vertices
    orig = np.repeat(np.arange(ex.graph.n), _copies(ex)) if ex.trace.on_transform else np.arange(ex.graph.n)
    made = np.flatnonzero(tr["settled"])
    order = made[np.argsort(tr["settle_start"][made])]
    level = np.repeat(tr["level"][order], tr["settled"][order])
    return tr.settled_distances, ex.dijkstra[orig[ids]], level[: len(ids)]


def _copies(ex: Explained) -> np.ndarray:
    from .explain import copies_of

    return copies_of(ex.graph)


def draw_settlement(fig: Any, ex: Explained) -> None:
    """The settlement order against Dijkstra's where they differ; else which level settled what."""
    dhat, ref, level = settlement_order(ex)
    k = len(dhat)
    idx = np.arange(k)
    late = int(np.count_nonzero(dhat < np.maximum.accumulate(dhat))) if k else 0
    what = "vertices of the constant-degree transform" if ex.trace.on_transform else "vertices"
    rng = np.random.default_rng(0)
    if not k:
        ax = fig.subplots()
        ax.text(0.5, 0.5, "no call settled a vertex: one bounded Dijkstra search answered the whole run",
                ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
        return
    if late:
        left, right = fig.subplots(1, 2)
        rank = np.empty(k, dtype=np.int64)
        rank[np.argsort(dhat, kind="stable")] = idx
        moved = idx != rank  # every displaced settlement is drawn (up to 50 samples' worth), the rest sampled
        shown = np.union1d(_sample(idx[~moved], rng), idx[moved][:: max(1, moved.sum() // (50 * SAMPLE))])
        left.plot(idx, np.sort(ref), color="black", linewidth=1.0, label="Dijkstra's order")
        running = np.maximum.accumulate(dhat)
        for lv in np.unique(level[shown])[::-1]:  # which calls settled out of order: by their level
            at = shown[level[shown] == lv]
            late_here = int(np.count_nonzero(dhat[level == lv] < running[level == lv]))
            style = {"s": 3, "alpha": 0.6, "color": f"C{int(lv) % 10}", "rasterized": True}
            left.scatter(at, dhat[at], label=f"settled by a level-{lv} call ({late_here} late)", **style)
            right.scatter(at, (idx - rank)[at], **style)
        left.set_ylabel("distance at settlement")
        _legend(left, fontsize=7, markerscale=4)
        right.set_yscale("symlog", linthresh=1.0)
        right.axhline(0, color="black", linewidth=1)
        right.set_ylabel("settlement index - rank in Dijkstra's order")
        right.set_title(f"{late} of {k} settled after a larger distance", fontsize=9)
        for ax in (left, right):
            ax.set_xlabel(f"settlement index ({what})")
        left.set_title("Settlement order against Dijkstra's", fontsize=9)
        return
    dist_ax, band_ax = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1])
    for lv in np.unique(level)[::-1]:
        shown = _sample(np.flatnonzero(level == lv), rng)
        dist_ax.scatter(shown, dhat[shown], s=3, alpha=0.6, label=f"settled by a level-{lv} call",
                        rasterized=True, color=f"C{int(lv) % 10}")
    dist_ax.set_ylabel("distance at settlement")
    dist_ax.set_title(f"Settled in Dijkstra's order (all {k}); below, the calls of each level over that order",
                      fontsize=9)
    _legend(dist_ax, fontsize=7, markerscale=4)
    # Each level's calls as alternating bands over the settlement indices their subtrees cover.
    for lv, ancestor in enumerate(call_ancestors(ex)):
        change = np.flatnonzero(np.diff(ancestor)) + 1
        starts = np.concatenate([[0], change])
        ends = np.concatenate([change, [k]])
        for parity, colour in ((0, "tab:blue"), (1, "lightsteelblue")):
            spans = [(a, b - a) for i, (a, b) in enumerate(zip(starts, ends)) if i % 2 == parity]
            band_ax.broken_barh(spans, (lv - 0.4, 0.8), color=colour)
    band_ax.set_yticks(range(ex.trace.params.levels + 1))
    band_ax.set_ylabel("level")
    band_ax.set_xlabel(f"settlement index ({what})")


def call_ancestors(ex: Explained) -> list[np.ndarray]:
    """For each level l from 0 up, the call at level l (its row) above the call that settled
    each vertex, in settlement order (the settling call itself at its own level)."""
    tr = ex.trace
    made = np.flatnonzero(tr["settled"])
    order = made[np.argsort(tr["settle_start"][made])]
    row = np.repeat(order, tr["settled"][order])
    out = []
    for lv in range(tr.params.levels + 1):
        while True:
            below = tr["level"][row] < lv
            if not below.any():
                break
            row = np.where(below, tr["parent"][row], row)
        out.append(row.copy())
    return out


def draw_sizes(fig: Any, ex: Explained) -> None:
    """Time and work per arc against the vertex count, every method, with the slopes fitted."""
    from .explain import slope

    time_ax, work_ax = fig.subplots(1, 2)
    methods = list(dict.fromkeys(pt.method for pt in ex.sizes))
    for i, name in enumerate(methods):
        mine = sorted((pt for pt in ex.sizes if pt.method == name), key=lambda pt: pt.n)
        for ax, values in ((time_ax, [(pt.n, pt.time_s * 1e9 / pt.m) for pt in mine if pt.time_s and pt.m]),
                           (work_ax, [(pt.n, pt.work / pt.m) for pt in mine if pt.work and pt.m])):
            if not values:
                continue
            xs, ys = zip(*values)
            fitted = slope(xs, ys)
            label = name + (f" (slope {fitted:+.2f})" if fitted is not None else "")
            ax.plot(xs, ys, linewidth=1.2, markersize=5, label=label, **method_style(i))
    for ax, what in ((time_ax, "time per arc (ns), median of the warm runs"),
                     (work_ax, "edges relaxed per arc")):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("vertices n")
        ax.set_ylabel(what)
        ax.grid(True, which="both", alpha=0.3)
        _legend(ax, fontsize=6)
    time_ax.set_title(f"Time per arc over {ex.family}", fontsize=9)
    work_ax.set_title("Work per arc (slope: how it grows with n)", fontsize=9)


def explain_parts(ex: Explained) -> list[tuple[str, Any, tuple[float, float]]]:
    """(caption, draw, size in inches) of each figure of an explain page, in page order."""
    parts = [
        (("How many calls each level made, and how large each recursive call's source set S, near set W, "
         "pivot set P and completed set U grew against the bounds the analysis sets."), draw_calls, (13.0, 4.6)),
        (("Where the relaxations went: FindPivots, the base cases (and bounded searches), and the re-scan "
         "of each child's result, per level, beside Dijkstra's count."), draw_relaxations, (13.0, 4.2)),
        ("The settlement order: against Dijkstra's where they differ, else which level settled what.",
         draw_settlement, (13.0, 4.2)),
    ]
    if ex.sizes:
        parts.append(("Time and work per arc against n over a family of sizes, with the fitted slopes.",
                      draw_sizes, (13.0, 4.6)))
    return parts


def _heading(ex: Explained) -> str:
    tr, p = ex.trace, ex.trace.params
    return (f"{short_label(ex.label)}: {ex.graph.n} vertices, {ex.graph.m} arcs; {tr.method} from {tr.source}, "
            f"seed {tr.seed}; searched graph {p.searched_n} vertices, k = {p.k}, t = {p.t}, {p.levels} levels")


def plot_explain(ex: Explained, path: str | os.PathLike[str]) -> int:
    """Draw the explain figures into one PNG (any other suffix matplotlib writes) or, for a
    path ending in .html, a self-contained page with one image per figure. Returns the number
    of figures."""
    plt = _pyplot()
    parts = explain_parts(ex)
    if os.fspath(path).lower().endswith(".html"):
        _explain_html(plt, ex, parts, path)
        return len(parts)
    fig = plt.figure(figsize=(13.0, sum(size[1] for _, _, size in parts) + 0.6), dpi=100, layout="constrained")
    subfigs = fig.subfigures(len(parts), 1, height_ratios=[size[1] for _, _, size in parts])
    for sub, (_, draw, _) in zip(np.atleast_1d(subfigs), parts):
        draw(sub, ex)
    fig.suptitle(_heading(ex), fontsize=11)
    _save(plt, fig, path)
    return len(parts)


def _explain_html(plt: Any, ex: Explained, parts: list[tuple[str, Any, tuple[float, float]]],
                  path: str | os.PathLike[str]) -> None:
    import base64
    import html
    import io as _io

    figures = []
    for caption, draw, size in parts:
        fig = plt.figure(figsize=size, dpi=100, layout="constrained")
        draw(fig, ex)
        buffer = _io.BytesIO()
        fig.savefig(buffer, format="png")
        plt.close(fig)
        data = base64.b64encode(buffer.getvalue()).decode("ascii")
        figures.append(f'<figure><img alt="{html.escape(caption)}" src="data:image/png;base64,{data}">'
                       f"<figcaption>{html.escape(caption)}</figcaption></figure>")
    bounds = "".join(f"<li>{html.escape(str(b))}</li>" for b in ex.trace.bounds())
    page = (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{html.escape(ex.label)}</title>'
            "<style>body{font-family:sans-serif;max-width:1320px;margin:auto}img{max-width:100%}"
            "figcaption{color:#444;margin-bottom:2em}</style></head><body>"
            f"<h1>{html.escape(_heading(ex))}</h1><h2>The bounds, row by row</h2><ul>{bounds}</ul>"
            + "".join(figures) + "</body></html>\n")
    with atomic_write(path, "w") as f:
        f.write(page)
