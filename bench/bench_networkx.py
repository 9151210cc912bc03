"""The networkx backend against networkx itself, side by side in one process.

    python bench/bench_networkx.py [--side 447] [--repeats 7]

On a side x side 4-neighbour grid (447 x 447: 199,809 vertices, 797,448 arcs) with integer
weights 1..100, as networkx users build it (integer labels, ``weight`` attributes):

1. conversion: quillharbour.from_networkx (the package's converter) against the backend's
   reading (quillharbour.nx.ConvertedGraph), and the same reading on the graph relabelled with
   strings (where every neighbour is looked up by label);
2. ``nx.single_source_dijkstra_path_length(G, 0)`` by networkx, through the backend with the
   conversion cached on the graph, and through the backend on a first call that converts
   (the cache is cleared before each); the result dict is built in every case, and the three
   answers are checked to be equal item by item, in order.

Calls are interleaved round by round after a warm-up; times are the process's CPU time (see
common.py), reported as the median with the spread of the rounds, and as ratios of medians.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys

import networkx as nx

sys.path.insert(0, os.path.dirname(__file__))
from common import interleaved_times  # noqa: E402

import quillharbour  # noqa: E402
from quillharbour.nx import ConvertedGraph  # noqa: E402


def grid(side: int) -> nx.Graph:
    G = nx.convert_node_labels_to_integers(nx.grid_2d_graph(side, side))
    rng = random.Random(1)
    for _, _, d in G.edges(data=True):
        d["weight"] = rng.randint(1, 100)
    return G


def table(times: dict[str, list[float]], reference: str) -> None:
    base = statistics.median(times[reference])
    for name, ts in times.items():
        median = statistics.median(ts)
        print(f"  {name:34s} {median * 1e3:9.1f} ms  [{ts[0] * 1e3:7.1f} .. {ts[-1] * 1e3:7.1f}]"
              f"  {base / median:6.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--side", type=int, default=447)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    nx.config.warnings_to_ignore.add("cache")
    G = grid(args.side)
    labelled = nx.relabel_nodes(G, {v: f"v{v}" for v in G})
    print(f"grid {args.side} x {args.side}: {G.number_of_nodes()} vertices, {2 * G.number_of_edges()} arcs; "
          f"{args.repeats} rounds, CPU time, median [min .. max], ratio to the first row")

    print("conversion")
    table(interleaved_times({
        "quillharbour.from_networkx": lambda: quillharbour.from_networkx(G),
        "backend reading": lambda: ConvertedGraph(G, key="weight", weighted=True),
        "backend reading, string labels": lambda: ConvertedGraph(labelled, key="weight", weighted=True),
    }, repeats=args.repeats), "quillharbour.from_networkx")

    def first_call() -> object:
        G.__networkx_cache__.clear()
        return nx.single_source_dijkstra_path_length(G, 0, backend="quillharbour")

    answers = [nx.single_source_dijkstra_path_length(G, 0, backend=b) for b in ("networkx", "quillharbour")]
    answers.append(first_call())
    assert all(list(a.items()) == list(answers[0].items()) for a in answers), "the answers differ"
    print("single_source_dijkstra_path_length(G, 0), result dict included (answers equal, in order)")
    table(interleaved_times({
        "networkx": lambda: nx.single_source_dijkstra_path_length(G, 0, backend="networkx"),
        "backend, conversion cached": lambda: nx.single_source_dijkstra_path_length(G, 0, backend="quillharbour"),
        "backend, first call (converts)": first_call,
    }, repeats=args.repeats), "networkx")


if __name__ == "__main__":
    main()
