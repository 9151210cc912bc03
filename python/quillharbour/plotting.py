"""PNG figures for the command line, drawn with matplotlib's non-interactive Agg backend."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ._files import atomic_write

PEER_NAMES = ("scipy", "igraph", "networkit")


def _pyplot():
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


def plot_bench(results, path) -> None:
    """Draw bench results: for one graph a bar chart of the median time per method with its
    min-max spread; for several, median time against graph size (arcs) on log-log axes, one
    colour per method, lines only between graphs of one generator family."""
    plt = _pyplot()
    timed = [r for r in results if r.time_s]
    graphs = list(dict.fromkeys(r.graph for r in results))
    if len(graphs) == 1:
        fig, ax = plt.subplots(figsize=(max(6.0, 0.9 * len(timed) + 2), 5), dpi=110)
        names = [r.method for r in timed]
        med = np.array([r.time_s for r in timed]) * 1e3
        lo = med - np.array([r.time_min_s or r.time_s for r in timed]) * 1e3
        hi = np.array([r.time_max_s or r.time_s for r in timed]) * 1e3 - med
        colours = ["tab:grey" if n in PEER_NAMES else "tab:blue" for n in names]
        bars = ax.bar(range(len(names)), med, yerr=[lo, hi], capsize=4, color=colours)
        ax.bar_label(bars, labels=[f"{v:.0f}" if v >= 100 else f"{v:.3g}" for v in med], padding=2, fontsize=8)
        ax.set_xticks(range(len(names)), names, rotation=30, ha="right")
        if len(med) and med.min() > 0 and med.max() / med.min() > 30:
            ax.set_yscale("log")  # else the fast methods' bars vanish
        ax.set_ylabel("median time per source (ms); bars span min-max")
        r0 = results[0]
        ax.set_title(f"{short_label(graphs[0])}: {r0.n} vertices, {r0.m} arcs; "
                     f"{len(r0.sources)} source(s), {r0.runs} run(s) per method", fontsize=10)
        ax.grid(True, axis="y", alpha=0.3)
    else:
        fig, ax = plt.subplots(figsize=(10, 5.5), dpi=110)
        methods = list(dict.fromkeys(r.method for r in timed))
        markers = "os^vD<>pP*hX"
        for i, name in enumerate(methods):
            colour = f"C{i % 10}"
            style = "--" if name in PEER_NAMES else "-"  # peers dashed, this package's methods solid
            mine = [r for r in timed if r.method == name]
            for j, family in enumerate(dict.fromkeys(_family(r.graph) for r in mine)):
                pts = sorted((r.m, r.time_s) for r in mine if _family(r.graph) == family)
                xs, ys = zip(*pts)
                ax.plot(xs, ys, style if len(pts) > 1 else "", marker=markers[i % len(markers)],
                        color=colour, label=name if j == 0 else None, linewidth=1.4, markersize=6)
        ax.set_xscale("log")
        ax.set_yscale("log")
        low, high = ax.get_ylim()
        ax.set_ylim(low / (high / low) ** 0.2, high)  # a band at the bottom for the graph names
        sizes = {}
        for r in results:
            sizes.setdefault(r.m, []).append(short_label(r.graph))
        for k, (m, labels) in enumerate(sorted(sizes.items())):
            ax.annotate(", ".join(dict.fromkeys(labels)), (m, 0.0), xycoords=("data", "axes fraction"),
                        xytext=(0, 4 + 10 * (k % 3)), textcoords="offset points", ha="center",
                        fontsize=7, color="dimgrey")
        ax.set_xlabel("graph size (arcs)")
        ax.set_ylabel("median time per source (s)")
        ax.set_title("Single-source shortest paths: median time per source", fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
    _save(plt, fig, path, bbox_inches="tight")


def plot_settlement(dhat: np.ndarray, reference: np.ndarray, path, title: str) -> dict:
    """BMSSP's distances in settlement order beside the sorted order Dijkstra settles in.

    `dhat` is the distance of each settled vertex in BMSSP's settlement order; `reference` the
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
    left.set_xlabel("settlement index")
    left.set_ylabel("distance at settlement")
    left.set_title("Settlement order")
    left.legend(markerscale=6, fontsize=8)
    right.scatter(idx[::step], displacement[::step], s=1.5, alpha=0.5, color="tab:orange", rasterized=True)
    right.axhline(0, color="tab:blue", linewidth=1, label="Dijkstra order")
    right.set_xlabel("BMSSP settlement index")
    right.set_ylabel("settlement index - rank in Dijkstra's order")
    right.set_title(f"{late} of {k} settled after a larger distance; "
                    f"mean |index - rank| {stats['mean_abs_displacement']:.1f}", fontsize=9)
    right.legend(fontsize=8)
    fig.suptitle(title, fontsize=11)
    fig.tight_layout()
    _save(plt, fig, path)
    return stats
