"""The ``quillharbour`` command line: bench, run, info and settle-plot.

With no arguments it runs ``bench`` on a road-like grid with every available method. Graphs
are given as files (.gr, .gr.gz, .mtx, .csv, .tsv, .npz) or generator specs (``grid:300x300``,
``rmat:16``, ...). Bad input ends the program with exit status 2 and one line naming the problem;
a missing optional library ends the commands that need it with a note, never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
import os
import sys
import tempfile
import textwrap
import threading
import time
from collections.abc import Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any, NoReturn

import numpy as np
import numpy.typing as npt

from . import _quillharbour as _native
from . import configs, generators, io
from . import distributed as cluster
from ._files import atomic_write, atomic_writes, unwritable
from ._version import __version__
from .api import VARIANTS, resolve_method, shortest_paths
from .graph import INDEX_MAX, CsrGraph
from .reorder import ORDERINGS

if TYPE_CHECKING:
    from .bench import Result

DEFAULT_GRAPH = "grid:500x500"
PLOT_SUFFIXES = (".png", ".pdf", ".svg")
SEED_MAX = 2**64 - 1


class CliError(Exception):
    """A user-facing failure: printed as one line, exit status `code`."""

    def __init__(self, message: str, code: int = 2):
        super().__init__(message)
        self.code = code


def load_graph(arg: str, seed: int = 0) -> CsrGraph:
    """A graph from a file path or a generator spec; a failure is a CliError of one line."""
    try:
        return io.load_graph(arg, seed, step=_stage)
    except ImportError as exc:  # the format's reader is not installed
        raise CliError(str(exc), code=1) from None
    except (ValueError, MemoryError) as exc:  # malformed files and specs, unknown suffixes
        raise CliError(str(exc).splitlines()[0]) from None
    except OSError as exc:
        if exc.errno is None:  # io's own words: no such graph file
            raise CliError(str(exc)) from None
        raise CliError(f"cannot read {arg}: {exc.strerror or exc}") from None


# --- progress and output checks -------------------------------------------------------------


def _progress_wanted() -> bool:
    """Progress goes to stderr only when a person watches it: never into a log or a pipe."""
    return sys.stderr.isatty()


@contextlib.contextmanager
def _stage(label: str) -> Iterator[None]:
    """Show `label` with a running clock on a terminal while a long step works."""
    bar, done = None, threading.Event()
    if _progress_wanted():
        try:
            from tqdm import tqdm

            bar = tqdm(total=None, desc=label, file=sys.stderr, leave=False, bar_format="{desc} {elapsed}")
        except ImportError:
            pass
    if bar is not None:
        def tick() -> None:  # the clock runs while the step holds no lock (native code, parsers)
            while not done.wait(0.5):
                bar.refresh()
        threading.Thread(target=tick, daemon=True).start()
    try:
        yield
    finally:
        done.set()
        if bar is not None:
            bar.close()


def _check_output(path: str | None, suffixes: tuple[str, ...], what: str, stdout_ok: bool = False) -> None:
    """Refuse an output path with the wrong suffix or in a place that cannot be written, before
    any work is done."""
    if path is None or (stdout_ok and path == "-"):
        return
    if not path.lower().endswith(suffixes):
        raise CliError(f"{what} {path!r} must end in {' or '.join(suffixes)}")
    targets = [path]
    if path.lower().endswith(".npy"):
        targets.append(_pred_path(path))
    for target in targets:
        problem = unwritable(target)
        if problem is not None:
            raise CliError(f"{what} {target}: {problem}")


def _pred_path(npy: str) -> str:
    """Where ``run -o D.npy`` writes the predecessors: D.pred.npy."""
    return npy[: -len(".npy")] + ".pred.npy"


class _Progress:
    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.done = total, 0
        self.bar: Any = None
        self.enabled = enabled
        if not enabled:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.bar = tqdm(total=total, unit="run", file=sys.stderr, leave=False, dynamic_ncols=True)

    def __call__(self, label: str) -> None:
        self.done += 1
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.set_description(label, refresh=False)
            self.bar.update(1)
        else:
            sys.stderr.write(f"\r{self.done}/{self.total} runs  {label:<24}")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            sys.stderr.write("\r" + " " * 60 + "\r")


# --- bench ----------------------------------------------------------------------------------


def cmd_bench(args: argparse.Namespace) -> int:
    from . import bench

    names = None
    if args.methods:
        names = [m.strip() for m in args.methods.split(",") if m.strip()]
        for name in names:
            base, at, how = name.partition("@")
            if at and how not in ORDERINGS:
                raise CliError(f"{name}: unknown reordering {how!r}; known: {', '.join(ORDERINGS)}")
            if at and base in bench.PEERS:
                raise CliError(f"{name}: a reordering applies to the package's own methods, not to {base}")
            if base not in bench.PEERS and base not in bench.MULTI:
                try:
                    resolve_method(base)
                except ValueError as exc:
                    raise CliError(f"{exc}; peers: {', '.join(bench.PEERS)}") from None
    _check_output(args.json, (".json",), "--json", stdout_ok=True)
    _check_output(args.csv, (".csv",), "--csv", stdout_ok=True)
    _check_output(args.plot, PLOT_SUFFIXES, "--plot")
    if args.plot:
        _need_matplotlib()
    graphs = []
    for arg in args.graphs or [DEFAULT_GRAPH]:
        t0 = time.perf_counter()
        g = load_graph(arg, args.seed)
        bad = np.count_nonzero(~(g.weights >= 0))
        if bad:
            raise CliError(f"{arg}: {bad} negative or NaN weight(s); every method here needs weights >= 0")
        if g.m == 0:
            raise CliError(f"{arg}: the graph has no arcs; every search would end at its source, "
                           "so there is nothing to time")
        graphs.append((arg, g))
        if not args.quiet:
            print(f"# {arg}: {g.n} vertices, {g.m} arcs (loaded in {time.perf_counter() - t0:.2f} s)",
                  file=sys.stderr)
    methods, notes = bench.available_methods(names, seed=args.seed, include_peers=not args.no_peers)
    if not methods:
        raise CliError("no method to run: " + "; ".join(notes), code=1)
    single = sum(not m.batch for m in methods)
    total = sum(len(bench.pick_sources(g, args.sources, args.seed)) * args.repeats * single
                + args.repeats * (len(methods) - single) for _, g in graphs)  # runs, if the budget allows
    progress = _Progress(total, enabled=not args.no_progress and _progress_wanted())
    try:
        results = bench.run_bench(graphs, methods, sources=args.sources, repeats=args.repeats,
                                  seed=args.seed, budget=args.budget, progress=progress)
    finally:
        progress.close()

    table_to_stdout = args.json != "-" and args.csv != "-"
    if table_to_stdout:
        print(bench.format_table(results))
        for note in notes:
            print(f"note: {note}")
    else:
        for note in notes:
            print(f"note: {note}", file=sys.stderr)
    if args.json:
        payload = {"results": [r.as_dict() for r in results], "skipped": notes,
                   "seed": args.seed, "sources": args.sources, "repeats": args.repeats,
                   "budget": args.budget, "environment": bench.environment(args.argv)}
        text = json.dumps(payload, indent=2, allow_nan=False, default=_json_default)
        _write_text(args.json, text + "\n")
    if args.csv:
        fields = list(results[0].as_dict()) if results else []
        if args.csv == "-":
            _write_csv(sys.stdout, fields, results)
        else:
            with atomic_write(args.csv, "w", newline="") as f:
                _write_csv(f, fields, results)
    if args.plot:
        from .plotting import plot_bench

        try:
            plot_bench(results, args.plot)
        except RuntimeError as exc:
            raise CliError(str(exc), code=1) from None
        print(f"wrote {args.plot}", file=sys.stderr)
    failed = [r for r in results if r.error or r.agrees is False]
    if failed:
        print(f"quillharbour: {len(failed)} of {len(results)} results failed or disagree with Dijkstra",
              file=sys.stderr)
    return 1 if failed else 0


def _need_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CliError("plotting needs matplotlib: pip install 'quillharbour[cli]'", code=1) from None


def _json_default(obj: object) -> Any:
    if isinstance(obj, np.generic):
        return obj.item()
    raise TypeError(type(obj).__name__)


def _write_text(dest: str, text: str) -> None:
    if dest == "-":
        sys.stdout.write(text)
    else:
        with atomic_write(dest, "w") as f:
            f.write(text)


def _write_csv(f: IO[str], fields: list[str], results: list[Result]) -> None:
    writer = csv.DictWriter(f, fieldnames=fields)
    writer.writeheader()
    for r in results:
        row = r.as_dict()
        row["sources"] = " ".join(map(str, row["sources"]))
        writer.writerow(row)


# --- run ------------------------------------------------------------------------------------


def cmd_run(args: argparse.Namespace) -> int:
    if any(value is not None for value in (args.sources, args.random_sources, args.scheduler, args.out,
                                           args.rows_per_task, args.reorder)):
        return cmd_run_cluster(args)
    try:
        resolve_method(args.method)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    _check_output(args.output, (".npz", ".npy"), "--output")
    g = load_graph(args.graph, args.seed)
    sources = args.source if args.source else [0]
    for s in sources:
        _check_source(s, g)
    one = len(sources) == 1
    t0 = time.perf_counter()
    try:
        with _stage(f"{args.method} from {len(sources)} source(s)"):
            dist, pred = shortest_paths(g, sources[0] if one else sources, method=args.method, seed=args.seed)
    except (IndexError, ValueError) as exc:
        raise CliError(str(exc)) from None
    elapsed = time.perf_counter() - t0
    reached = np.isfinite(dist)
    print(f"{args.method} on {args.graph}: {g.n} vertices, {g.m} arcs, "
          f"{len(sources)} source(s) in {elapsed * 1e3:.1f} ms")
    print(f"reached {int(reached.sum())} of {dist.size} (vertex, source) pairs; "
          f"largest finite distance {float(dist[reached].max()) if reached.any() else float('nan'):.6g}")
    if args.output:
        out = args.output
        if out.lower().endswith(".npz"):
            with atomic_write(out) as f:
                np.savez(f, distances=dist, predecessors=pred, sources=np.asarray(sources, dtype=np.int64))
            print(f"wrote distances, predecessors and sources to {out}")
        else:  # .npy: both files, or neither when writing either fails
            pred_out = _pred_path(out)
            with atomic_writes([out, pred_out]) as (f, f_pred):
                np.save(f, dist)
                np.save(f_pred, pred)
            print(f"wrote distances to {out} and predecessors to {pred_out}")
    return 0


def _check_source(source: int, g: CsrGraph) -> None:
    if not 0 <= source < g.n:
        raise CliError(f"source {source} is out of range for graph with {g.n} vertices")


# --- run on a cluster: quillharbour run GRAPH --sources FILE --out RESULT.zarr ------------------


def _add_cluster_options(parser: argparse.ArgumentParser) -> None:
    """The ``run`` command's options for many sources on a Dask cluster; they take over when given."""
    group = parser.add_argument_group(
        f"many sources on a Dask cluster, written to a Zarr store (needs {cluster.EXTRA_HINT})")
    which = group.add_mutually_exclusive_group()
    which.add_argument("--sources", metavar="FILE",
                       help="sources, one integer per line or whitespace-separated (or a .npy array)")
    which.add_argument("--random-sources", metavar="N", type=int,
                       help="N distinct sources drawn with --seed")
    group.add_argument("--scheduler", metavar="local|ADDRESS",
                       help="'local' (default): worker processes on this machine; or a scheduler address")
    group.add_argument("--out", metavar="RESULT.zarr",
                       help="the store to write; run again with the same arguments to resume")
    group.add_argument("--rows-per-task", metavar="R", type=int, help="rows per task and per chunk")
    group.add_argument("--reorder", choices=ORDERINGS,
                       help="compute the rows on the graph renumbered for locality (reverse Cuthill-McKee or "
                            "breadth-first order); the results keep the graph's own ids")
    group.add_argument("--no-progress", action="store_true", help="no progress bar")


def _read_sources(path: str) -> npt.NDArray[np.int64]:
    try:
        if path.endswith(".npy"):
            arr: np.ndarray = np.load(path, allow_pickle=False)
            if arr.ndim != 1 or arr.dtype.kind not in "iu":
                raise CliError(f"{path}: expected a 1-D integer array (got {arr.ndim}-D {arr.dtype})")
            return arr.astype(np.int64)
        with open(path) as f:
            tokens = [tok for line in f for tok in line.split("#", 1)[0].replace(",", " ").split()]
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None
    values = []
    for tok in tokens:
        try:
            values.append(int(tok))
        except ValueError:
            raise CliError(f"{path}: {tok!r} is not a vertex id") from None
    try:
        return np.array(values, dtype=np.int64)
    except OverflowError:
        raise CliError(f"{path}: a source does not fit in a signed 64-bit integer") from None


def _check_store_path(path: str) -> None:
    """Refuses a --out the run could not write, before any work: one line, exit status 2."""
    if not path.lower().endswith(".zarr"):
        raise CliError(f"--out {path!r} must end in .zarr")
    if os.path.exists(path) and not os.path.isdir(path):
        raise CliError(f"--out {path}: exists and is not a directory")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CliError(f"--out {path}: no such directory {folder}")
    try:  # root passes os.access checks that writing then fails, so try it
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as exc:
        raise CliError(f"--out {path}: cannot write in {folder} ({exc.strerror or exc})") from None


def cmd_run_cluster(args: argparse.Namespace) -> int:
    """``quillharbour run`` with the cluster options: rows into a Zarr store, with a progress bar."""
    if args.source:
        raise CliError("give sources either with -s/--source or with --sources/--random-sources")
    if args.output:
        raise CliError("-o/--output writes one in-memory result; with the cluster options use --out")
    if args.out is None:
        raise CliError("--sources, --random-sources, --scheduler, --rows-per-task and --reorder "
                       "need --out RESULT.zarr")
    if args.sources is None and args.random_sources is None:
        raise CliError("give the sources: --sources FILE or --random-sources N")
    if args.random_sources is not None and args.random_sources < 0:
        raise CliError(f"--random-sources must be >= 0 (got {args.random_sources})")
    _check_store_path(args.out)
    try:
        resolve_method(args.method)
        dask_distributed, _, _ = cluster.require("distributed", "zarr", "xxhash")
    except ValueError as exc:
        raise CliError(str(exc)) from None
    except ImportError as exc:
        raise CliError(str(exc), code=1) from None
    if generators.is_spec(args.graph) and not os.path.exists(args.graph):
        graph: CsrGraph | str = load_graph(args.graph, args.seed)
    else:
        graph = os.path.abspath(args.graph)  # read by the workers
    sources = _read_sources(args.sources) if args.sources is not None else None

    reports: list[cluster.StoreReport] = []
    try:
        with contextlib.ExitStack() as stack:
            if args.scheduler in (None, "local"):
                client = stack.enter_context(cluster.local_client())
            else:
                try:
                    client = stack.enter_context(dask_distributed.Client(args.scheduler, timeout="10s"))
                except OSError as exc:
                    raise CliError(f"cannot reach the scheduler at {args.scheduler}: {exc}", code=1) from None
            n = cluster.vertex_count(graph, client)
            if sources is None:
                if args.random_sources > n:
                    raise CliError(f"--random-sources {args.random_sources} is more than the graph's {n} vertices")
                sources = np.random.default_rng(args.seed).choice(n, args.random_sources, replace=False)
            t0 = time.perf_counter()
            cluster.multisource(graph, sources, method=args.method, seed=args.seed, client=client,
                                out=args.out, rows_per_task=args.rows_per_task, reorder=args.reorder,
                                progress=not args.no_progress and sys.stderr.isatty(), report=reports.append)
            elapsed = time.perf_counter() - t0
    except FileNotFoundError as exc:
        raise CliError(f"no such graph file: {exc.filename or exc}") from None
    except (ValueError, IndexError, TypeError, OverflowError) as exc:  # input the run refused
        raise CliError(str(exc).splitlines()[0]) from None
    except OSError as exc:  # the store could not be written (disk full, lost mount)
        raise CliError(f"{exc.filename or args.out}: {exc.strerror or exc}", code=1) from None
    [summary] = reports
    if summary.damage():
        print(f"quillharbour: warning: {args.out}: {summary.damage()}", file=sys.stderr)
    print(f"{args.method} on {args.graph}: {len(sources)} source(s) x {n} vertices in {elapsed:.1f} s; "
          f"{summary} in {args.out}")
    return 0


# --- info -----------------------------------------------------------------------------------


def graph_info(g: CsrGraph) -> dict[str, Any]:
    from .api import VARIANTS
    from .params import parameters

    out_deg = np.diff(g.indptr)
    in_deg = np.bincount(g.indices, minlength=g.n)
    tails = g.tails()
    keys = tails * max(g.n, 1) + g.indices
    p = parameters(g)
    w = g.weights
    info: dict[str, Any] = {
        "vertices": g.n,
        "arcs": g.m,
        "self_loops": int(np.count_nonzero(tails == g.indices)),
        "parallel_arcs": int(g.m - len(np.unique(keys))),
        "isolated_vertices": int(np.count_nonzero(out_deg + in_deg == 0)),
        "sinks": int(np.count_nonzero(out_deg == 0)),
        "out_degree": {"mean": float(out_deg.mean()) if g.n else 0.0, "max": int(out_deg.max()) if g.n else 0},
        "in_degree": {"max": int(in_deg.max()) if g.n else 0},
        "weights": {
            "min": float(w.min()) if g.m else None, "max": float(w.max()) if g.m else None,
            "zero": int(np.count_nonzero(w == 0)),
            "negative_or_nan": int(np.count_nonzero(~(w >= 0))),
            "infinite": int(np.count_nonzero(np.isinf(w))),
        },
        "transform": {"vertices": p.transform_n, "arcs": p.transform_m},
        "bmssp": {"base": p.base, "k": p.k, "t": p.t, "levels": p.levels},
        "variants": {},
    }
    for name in VARIANTS:
        vp = parameters(g, name)
        info["variants"][name] = {"searched_vertices": vp.searched_n, "k": vp.k, "t": vp.t,
                                  "levels": vp.levels, "note": vp.note}
    return info


def _num(x: float | None) -> str:
    return "-" if x is None else f"{x:.6g}"


def cmd_info(args: argparse.Namespace) -> int:
    g = load_graph(args.graph, args.seed)
    info = graph_info(g)
    if args.json:
        print(json.dumps(info, indent=2))
        return 0
    w, tr, b = info["weights"], info["transform"], info["bmssp"]
    print(f"graph          {args.graph}")
    print(f"vertices       {info['vertices']}")
    print(f"arcs           {info['arcs']}  (self-loops {info['self_loops']}, parallel {info['parallel_arcs']})")
    print(f"isolated       {info['isolated_vertices']}   sinks {info['sinks']}")
    print(f"out-degree     mean {info['out_degree']['mean']:.3f}, max {info['out_degree']['max']}; "
          f"in-degree max {info['in_degree']['max']}")
    print(f"weights        min {_num(w['min'])}, max {_num(w['max'])}, zero {w['zero']}, "
          f"negative/NaN {w['negative_or_nan']}, infinite {w['infinite']}")
    if w["negative_or_nan"] or w["infinite"]:
        print("               (BMSSP refuses negative, NaN and infinite weights; Dijkstra accepts +inf)")
    print(f"transform      {tr['vertices']} vertices, {tr['arcs']} arcs (constant degree)")
    print(f"bmssp          k = {b['k']}, t = {b['t']}, levels = {b['levels']}  (log2 n' = {b['base']:.4f})")
    print("variants       name          searched n     k    t  levels")
    for name, v in info["variants"].items():
        print(f"               {name:<12}  {v['searched_vertices']:>10}  {v['k']:>4} {v['t']:>4}  {v['levels']:>6}"
              + (f"  {v['note']}" if v["note"] else ""))
    return 0


# --- settle-plot ----------------------------------------------------------------------------


def cmd_settle_plot(args: argparse.Namespace) -> int:
    from .plotting import plot_settlement

    _check_output(args.output, PLOT_SUFFIXES, "--output")
    _need_matplotlib()
    g = load_graph(args.graph, args.seed)
    _check_source(args.source, g)
    try:
        with _stage("instrumented BMSSP run"):
            _, _, ids, dhat = _native.bmssp_instrumented(g.indptr, g.indices, g.weights, args.source,
                                                         args.seed)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    ref, _ = _native.dijkstra(g.indptr, g.indices, g.weights, args.source)
    # Transformed vertex i is a copy of input vertex orig[i]: copies are numbered vertex by
    # vertex, max(degree, 1) of them per vertex.
    deg = np.bincount(g.tails(), minlength=g.n) + np.bincount(g.indices, minlength=g.n)
    orig = np.repeat(np.arange(g.n), np.maximum(deg, 1))
    if len(ids) and ids.max() >= len(orig):
        raise CliError("settlement log names a vertex outside the transformed graph", code=1)
    reference = ref[orig[ids]]
    agree = bool(np.allclose(dhat, reference, rtol=1e-9, atol=0.0))
    title = f"{args.graph}, source {args.source}, seed {args.seed}: BMSSP vs Dijkstra settlement order"
    try:
        with _stage("drawing"):
            stats = plot_settlement(dhat, reference, args.output, title)
    except RuntimeError as exc:
        raise CliError(str(exc), code=1) from None
    print(f"settled {stats['settled']} transformed vertices; {stats['out_of_order']} after a larger distance; "
          f"mean |index - rank| {stats['mean_abs_displacement']:.1f}, max {stats['max_abs_displacement']}")
    print(f"settlement distances agree with Dijkstra: {'yes' if agree else 'NO'}")
    print(f"wrote {args.output}")
    return 0 if agree else 1


# --- entry ----------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


FILES_HELP = ("graph files: DIMACS .gr, Matrix Market .mtx, edge lists .csv/.tsv\n"
              "  (source,target[,weight], 0-based ids), scipy .npz; text formats also gzipped (.gz)")
METHODS_HELP = ("methods: dijkstra, bmssp, or a BMSSP variant:\n  " + ", ".join(VARIANTS)
                + ", hybrid:A:B (each also as bmssp-NAME)\n"
                + "  or a spec " + textwrap.fill(configs.HELP, 92, subsequent_indent="    "))


def build_parser() -> argparse.ArgumentParser:
    epilog = f"{FILES_HELP}\n{METHODS_HELP}\n\n{generators.SPEC_HELP}"
    raw = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        prog="quillharbour",
        description="Shortest paths with BMSSP beside Dijkstra: compare, run, inspect. "
                    "Without a command, runs 'bench' on a road-like grid.",
        epilog=epilog, formatter_class=raw,
    )
    parser.add_argument("--version", action="version", version=f"quillharbour {__version__}")
    sub = parser.add_subparsers(dest="command")
    graph_help = "a graph file or generator spec (see below)"
    seed_help = f"seed for generator specs and BMSSP's pivot draws, in [0, {SEED_MAX}] (default 0)"

    b = sub.add_parser("bench", help="time every method on graphs and compare with Dijkstra",
                       description="Time every method on the same graphs and sources, interleaved, "
                                   "and check each answer against Dijkstra's. Exit status 1 when a "
                                   "method failed or disagreed.", epilog=epilog, formatter_class=raw)
    b.add_argument("graphs", nargs="*", metavar="GRAPH", help=f"graph files or specs (default {DEFAULT_GRAPH})")
    b.add_argument("--methods", help="comma-separated methods (default: all available; "
                                     "names: dijkstra, bmssp, bmssp-VARIANT or hybrid:A:B, a spec bmssp:KEY=VALUE:... "
                                     "(see below), scipy, igraph, networkit, "
                                     "and dijkstra-multi, bmssp-multi: all sources in one parallel call; a native name "
                                     "followed by @rcm or @bfs runs on the graph renumbered once by that "
                                     "ordering, e.g. dijkstra-multi@rcm)")
    b.add_argument("--no-peers", action="store_true", help="leave out scipy, igraph and NetworKit")
    b.add_argument("--sources", type=_positive, default=3, help="sources per graph (default 3)")
    b.add_argument("--repeats", type=_positive, default=3, help="runs per source (default 3)")
    b.add_argument("--budget", type=_budget, default=2.5,
                   help="seconds per method and graph, on average: no further round of runs starts "
                        "once the rounds have taken that long (the first round always runs; default 2.5)")
    b.add_argument("--seed", type=_seed, default=0, help=seed_help.replace("specs and", "specs, sources and"))
    b.add_argument("--json", metavar="FILE.json", help="write results and the environment as JSON ('-' for stdout)")
    b.add_argument("--csv", metavar="FILE.csv", help="write results as CSV ('-' for stdout)")
    b.add_argument("--plot", metavar="FILE.png",
                   help="draw the times (.png, .pdf or .svg): bars for one graph, time against size for several")
    b.add_argument("--no-progress", action="store_true",
                   help="no progress bar (there is none unless stderr is a terminal)")
    b.add_argument("-q", "--quiet", action="store_true", help="no graph summary lines")
    b.set_defaults(func=cmd_bench)

    r = sub.add_parser("run", help="one method on one graph, distances and predecessors to a file",
                       description="Run one method from one or more sources and summarise the "
                                   "distances; optionally save them.", epilog=epilog, formatter_class=raw)
    r.add_argument("graph", metavar="GRAPH", help=graph_help)
    r.add_argument("-s", "--source", type=_source, action="append",
                   help="source vertex, 0-based (repeatable: one row per source; default 0)")
    r.add_argument("-m", "--method", default="dijkstra", help="the method (default dijkstra; see below)")
    r.add_argument("--seed", type=_seed, default=0, help=seed_help)
    r.add_argument("-o", "--output", metavar="FILE",
                   help="FILE.npz (distances, predecessors, sources) or FILE.npy (distances; "
                        "predecessors in FILE.pred.npy)")
    r.set_defaults(func=cmd_run)
    _add_cluster_options(r)  # --sources/--random-sources/--scheduler/--out: many sources on a cluster

    i = sub.add_parser("info", help="graph statistics and the parameters BMSSP would pick",
                       description="Sizes, degrees, weights, the constant-degree transform and "
                                   "the parameters of BMSSP and each variant.",
                       epilog=epilog, formatter_class=raw)
    i.add_argument("graph", metavar="GRAPH", help=graph_help)
    i.add_argument("--seed", type=_seed, default=0, help="seed for generator specs (default 0)")
    i.add_argument("--json", action="store_true", help="print JSON instead of a table")
    i.set_defaults(func=cmd_info)

    p = sub.add_parser("settle-plot", help="BMSSP's settlement order against Dijkstra's, as a PNG",
                       description="Run the instrumented BMSSP and draw the order in which it "
                                   "settles vertices against Dijkstra's sorted order. Exit status 1 "
                                   "when the settlement distances disagree.",
                       epilog=epilog, formatter_class=raw)
    p.add_argument("graph", metavar="GRAPH", help=graph_help)
    p.add_argument("-s", "--source", type=_source, default=0, help="source vertex, 0-based (default 0)")
    p.add_argument("--seed", type=_seed, default=0, help=seed_help)
    p.add_argument("-o", "--output", default="settle.png", metavar="FILE.png",
                   help="the figure (.png, .pdf or .svg; default settle.png)")
    p.set_defaults(func=cmd_settle_plot)
    return parser


def _integer(text: str, lo: int, hi: int) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not lo <= value <= hi:
        raise argparse.ArgumentTypeError(f"{text} is outside [{lo}, {hi}]")
    return value


def _seed(text: str) -> int:
    return _integer(text, 0, SEED_MAX)


def _source(text: str) -> int:
    return _integer(text, 0, INDEX_MAX - 1)


def _positive(text: str) -> int:
    return _integer(text, 1, 10**9)


def _budget(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number of seconds >= 0")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    if not argv:
        argv = ["bench"]
    args = parser.parse_args(argv)
    if args.command is None:
        args = parser.parse_args(["bench"])
    args.argv = argv
    try:
        code = int(args.func(args))
        sys.stdout.flush()  # a reader gone away shows here rather than in the interpreter's last flush
        return code
    except CliError as exc:
        print(f"quillharbour: error: {exc}", file=sys.stderr)
        return exc.code
    except MemoryError as exc:
        print(f"quillharbour: error: {str(exc) or 'not enough memory for this input'}", file=sys.stderr)
        return 2
    except BrokenPipeError:  # the reader went away (| head): nothing more to say to it
        _stdout_to_devnull()
        return 0
    except OSError as exc:  # an output failed part-way (disk full, lost mount); no file was left half-written
        where = f"{exc.filename}: " if exc.filename else ""
        print(f"quillharbour: error: {where}{exc.strerror or exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quillharbour: interrupted", file=sys.stderr)
        return 130


def _stdout_to_devnull() -> None:
    """Point stdout at /dev/null, so that the interpreter's last flush of what is buffered for
    a closed pipe fails neither loudly nor with another exit status."""
    try:
        fd = os.open(os.devnull, os.O_WRONLY)
        os.dup2(fd, sys.stdout.fileno())
        os.close(fd)
    except (OSError, ValueError, AttributeError):  # no file descriptor behind it (a test's capture)
        pass


if __name__ == "__main__":
    sys.exit(main())
