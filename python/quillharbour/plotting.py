"""PNG figures for the command line, drawn with matplotlib's non-interactive Agg backend."""

from __future__ import annotations

import numpy as np

PEER_NAMES = ("scipy", "igraph", "networkit")


def _pyplot():
    try:
        import matplotlib
    except ImportError:
        raise RuntimeError("plotting needs matplotlib: pip install 'quillharbour[cli]'") from None
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    return plt


def plot_bench(results, path) -> None:
    """Median time per source against graph size (arcs), log-log, one line per method."""
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(10, 5.5), dpi=110)
    methods = list(dict.fromkeys(r.method for r in results))
    markers = "os^vD<>pP*hX"
    for i, name in enumerate(methods):
        pts = sorted((r.m, r.time_s) for r in results if r.method == name and r.time_s)
        if not pts:
            continue
        xs, ys = zip(*pts)
        style = "--" if name in PEER_NAMES else "-"  # peers dashed, this package's methods solid
        ax.plot(xs, ys, style, marker=markers[i % len(markers)], label=name, linewidth=1.4, markersize=6)
    sizes = {}
    for r in results:
        sizes.setdefault(r.m, []).append(r.graph)
    for m, labels in sizes.items():
        ax.axvline(m, color="grey", linestyle=":", linewidth=0.8)
        ax.annotate(", ".join(dict.fromkeys(labels)), (m, 1.0), xycoords=("data", "axes fraction"),
                    xytext=(2, -4), textcoords="offset points", rotation=90, va="top", fontsize=7,
                    color="dimgrey")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("graph size (arcs)")
    ax.set_ylabel("median time per source (s)")
    graphs = list(dict.fromkeys(r.graph for r in results))
    ax.set_title("Single-source shortest paths: " + ", ".join(graphs[:4]) + (" ..." if len(graphs) > 4 else ""),
                 fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


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
    fig.savefig(path)
    plt.close(fig)
    return stats
