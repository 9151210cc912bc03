"""The ``quillharbour`` command line: bench, run, info, settle-plot, trace and explain.

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
import re
import sys
import tempfile
import textwrap
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any, NoReturn, TypeVar

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

T = TypeVar("T")

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
    """Progress of a bench run on stderr: a bar on a terminal (over the runs, then each method's
    check against Dijkstra, so it ends when the work does), one line per graph and method
    elsewhere (a pipe, a log), or nothing."""

    def __init__(self, total: int, mode: str) -> None:
        self.total, self.done, self.mode = total, 0, mode  # mode: "bar", "lines" or "off"
        self.bar: Any = None
        self.results = 0
        if mode != "bar":
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.bar = tqdm(total=total, unit="step", file=sys.stderr, leave=False, dynamic_ncols=True)

    def __call__(self, label: str) -> None:
        self.step(label)

    def step(self, label: str) -> None:
        self.done += 1
        if self.mode != "bar":
            return
        if self.bar is not None:
            self.bar.set_description(label, refresh=False)
            self.bar.update(1)
        else:
            sys.stderr.write(f"\r{self.done}/{self.total} steps  {label:<24}")
            sys.stderr.flush()

    def finished(self, r: Result, of: int) -> None:
        """One method's result on one graph is complete."""
        self.results += 1
        if self.mode == "bar":
            self.step(f"checked {r.method}")
        elif self.mode == "lines":
            if r.error:
                what = f"failed: {r.error}"
            else:
                agreement = {True: "agrees with Dijkstra", False: "DISAGREES with Dijkstra", None: "not checked"}
                warm = r.runs - (r.cold_time_s is not None)
                what = f"median {r.time_s * 1e3:.3g} ms over {warm} warm run(s), {agreement[r.agrees]}" \
                    if r.time_s is not None else "no run"
            print(f"quillharbour: [{self.results}/{of}] {r.graph} {r.method}: {what}", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.mode == "bar":
            sys.stderr.write("\r" + " " * 60 + "\r")


# --- bench ----------------------------------------------------------------------------------


def _check_method(name: str, also: str = "") -> None:
    """Refuse a method the package does not know (`also`: more names to suggest), and say on
    stderr where a field of a hybrid:A:B name took its default."""
    try:
        resolve_method(name)
    except ValueError as exc:
        raise CliError(f"{exc}{also}") from None
    note = hybrid_note(name)
    if note is not None:
        print(f"quillharbour: note: {note}", file=sys.stderr)


def hybrid_note(method: str) -> str | None:
    """How the native core reads a hybrid:A:B name whose fields are missing or malformed (A a
    signed 32-bit integer, else 1; B an unsigned 64-bit integer, else 0; later fields ignored);
    None for any other name and for a well-formed one."""
    name = method.removeprefix("bmssp-")
    if not name.startswith("hybrid:"):
        return None
    pieces = name[len("hybrid:"):].split(":")
    notes = []
    a_text, b_text = pieces[0], pieces[1] if len(pieces) > 1 else None
    if re.fullmatch(r"[+-]?[0-9]+", a_text) and -(2**31) <= int(a_text) < 2**31:
        a = int(a_text)
    else:
        a = 1
        notes.append(f"A {a_text!r} is not a signed 32-bit integer, so A = 1" if a_text else "A is empty, so A = 1")
    if b_text and re.fullmatch(r"\+?[0-9]+", b_text) and int(b_text) < 2**64:
        b = int(b_text)
    else:
        b = 0
        notes.append(f"B {b_text!r} is not an unsigned 64-bit integer, so B = 0" if b_text
                     else "B is missing, so B = 0 (no source-count rule)")
    if len(pieces) > 2:
        notes.append(f"the fields after B ({':'.join(pieces[2:])!r}) are ignored")
    return f"{method} reads as hybrid:{a}:{b}: " + "; ".join(notes) if notes else None


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
                _check_method(base, f"; peers: {', '.join(bench.PEERS)}")
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
                + args.repeats * (len(methods) - single) + len(methods) for _, g in graphs)  # if the budget allows
    mode = "off" if args.no_progress or args.quiet else "bar" if _progress_wanted() else "lines"
    progress = _Progress(total, mode)
    try:
        results = bench.run_bench(graphs, methods, sources=args.sources, repeats=args.repeats,
                                  seed=args.seed, budget=args.budget, progress=progress,
                                  finished=lambda r: progress.finished(r, len(graphs) * len(methods)))
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
    """One row per result; a cell that holds a list or a dict (the sources, the exactness counts)
    holds it as JSON."""
    writer = csv.DictWriter(f, fieldnames=fields)
    writer.writeheader()
    for r in results:
        writer.writerow({key: json.dumps(value, default=_json_default) if isinstance(value, (list, dict)) else value
                         for key, value in r.as_dict().items()})


# --- run ------------------------------------------------------------------------------------


def cmd_run(args: argparse.Namespace) -> int:
    if args.random_sources is not None and args.random_sources < 0:
        raise CliError(f"--random-sources must be >= 0 (got {args.random_sources})")
    if args.random_sources == 0:
        raise CliError("no sources to run from")
    many = args.sources is not None or args.random_sources is not None
    on_cluster = any(value is not None for value in (args.scheduler, args.out, args.rows_per_task, args.reorder))
    if on_cluster or (many and args.output is None):
        return cmd_run_cluster(args)
    # Here: one source or a few (-s), or many sources (--sources-file, --random-sources) into -o.
    if many and args.source:
        raise CliError("give sources either with -s/--source or with --sources-file/--random-sources")
    _check_method(args.method)
    _check_output(args.output, (".npz", ".npy"), "--output")
    g = load_graph(args.graph, args.seed)
    if args.sources is not None:
        sources = [int(s) for s in _read_sources(args.sources)]
    elif args.random_sources is not None:
        sources = [int(s) for s in _random_sources(args.random_sources, g.n, args.seed)]
    else:
        sources = args.source if args.source else [0]
    if not sources:
        raise CliError("no sources to run from")
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


# --- run on a cluster: quillharbour run GRAPH --sources-file FILE --out RESULT.zarr -------------


def _add_cluster_options(parser: argparse.ArgumentParser) -> None:
    """The ``run`` command's options for many sources: on a Dask cluster into a Zarr store (with
    --out, --scheduler or --rows-per-task), or here into -o."""
    group = parser.add_argument_group(
        f"many sources: on a Dask cluster into a Zarr store with --out (needs {cluster.EXTRA_HINT}), "
        "or here into -o FILE.npz|.npy")
    which = group.add_mutually_exclusive_group()
    which.add_argument("--sources-file", metavar="FILE", dest="sources",
                       help="sources, one integer per line or whitespace-separated (or a .npy array); "
                            "with -o FILE.npz|.npy the rows are computed here, without a cluster")
    which.add_argument("--sources", dest="sources", default=argparse.SUPPRESS, help=argparse.SUPPRESS)  # old name
    which.add_argument("--random-sources", metavar="N", type=int,
                       help="N distinct sources drawn with --seed (with -o, computed here)")
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


def _random_sources(count: int, n: int, seed: int) -> npt.NDArray[np.int64]:
    """`count` distinct vertices of n drawn with `seed` (the same draw on a cluster and here)."""
    if count > n:
        raise CliError(f"--random-sources {count} is more than the graph's {n} vertices")
    return np.random.default_rng(seed).choice(n, count, replace=False)


def cmd_run_cluster(args: argparse.Namespace) -> int:
    """``quillharbour run`` with the cluster options: rows into a Zarr store, with a progress bar."""
    if args.source:
        raise CliError("give sources either with -s/--source or with --sources-file/--random-sources")
    if args.output:
        raise CliError("-o/--output writes one in-memory result; with --scheduler, --out or --rows-per-task "
                       "use --out RESULT.zarr")
    if args.out is None:
        raise CliError("--scheduler, --rows-per-task and --reorder need --out RESULT.zarr; --sources-file and "
                       "--random-sources need -o FILE.npz|.npy or --out RESULT.zarr")
    if args.sources is None and args.random_sources is None:
        raise CliError("give the sources: --sources-file FILE or --random-sources N")
    _check_store_path(args.out)
    _check_method(args.method)
    try:
        dask_distributed, _, _ = cluster.require("distributed", "zarr", "xxhash")
    except ImportError as exc:
        raise CliError(str(exc), code=1) from None
    if generators.is_spec(args.graph) and not os.path.exists(args.graph):
        graph: CsrGraph | str = load_graph(args.graph, args.seed)
    else:
        graph = os.path.abspath(args.graph)  # read by the workers
    sources = _read_sources(args.sources) if args.sources is not None else None
    if sources is not None and len(sources) == 0:
        raise CliError("no sources to run from")  # as without a cluster: no empty store

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
                sources = _random_sources(args.random_sources, n, args.seed)
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


# --- trace and explain: what the recursion did -----------------------------------------------


def _check_traceable(method: str) -> None:
    _check_method(method)
    entry = resolve_method(method)[0]
    if entry == "dijkstra":
        raise CliError("dijkstra has no recursion to trace; give -m bmssp or a variant")
    if entry == "config":
        raise CliError(f"a method spec such as {method} cannot be traced; give -m bmssp or a variant")


def _traced(what: str, run: Callable[[], T]) -> T:
    """`run()`, shown as a stage; its ValueError (a source or weights the run refuses) a CliError."""
    try:
        with _stage(what):
            return run()
    except ValueError as exc:
        raise CliError(str(exc)) from None


def cmd_trace(args: argparse.Namespace) -> int:
    _check_traceable(args.method)
    _check_output(args.output, (".parquet", ".csv"), "--output")
    if args.output and args.output.lower().endswith(".parquet"):
        try:
            import pyarrow.parquet  # noqa: F401
        except ImportError:
            raise CliError("writing .parquet needs pyarrow: pip install 'quillharbour[cli]' (or write .csv)",
                           code=1) from None
    from .tracing import trace

    g = load_graph(args.graph, args.seed)
    _check_source(args.source, g)
    tr = _traced(f"traced {args.method} run", lambda: trace(g, args.source, method=args.method, seed=args.seed))
    print(tr.summary(args.graph))
    if args.output:
        tr.save(args.output)
        print(f"wrote {tr.rows} rows to {args.output}")
    return 0


def cmd_explain(args: argparse.Namespace) -> int:
    from . import explain
    from .bench import DEFAULT_NATIVE, MULTI, PEERS
    from .plotting import plot_explain

    _check_traceable(args.method)
    _check_output(args.output, PLOT_SUFFIXES + (".html",), "--output")
    _need_matplotlib()
    spec = explain.default_family(args.graph) if args.sizes is None else args.sizes
    try:
        family = [] if spec is None or spec.lower() == "none" else explain.size_family(spec)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    methods = [m.strip() for m in args.methods.split(",") if m.strip()] if args.methods else list(DEFAULT_NATIVE)
    for name in methods:
        if name not in PEERS and name not in MULTI:
            _check_method(name, f"; peers: {', '.join(PEERS)}")
    g = load_graph(args.graph, args.seed)
    _check_source(args.source, g)
    ex = _traced(f"traced {args.method} run", lambda: explain.gather(g, args.graph, args.source, args.method,
                                                                      args.seed))
    if family:
        def step(text: str) -> None:
            print(f"quillharbour: timing {len(methods)} methods on {text}", file=sys.stderr, flush=True)
        try:
            ex.sizes = explain.measure_sizes(family, methods, args.seed, args.repeats, step=step)
        except (ValueError, OSError) as exc:  # a graph of the family that cannot be made or read
            raise CliError(f"--sizes: {str(exc).splitlines()[0]}") from None
        ex.family = spec
    elif args.sizes is None:
        print("quillharbour: note: no size family for a graph file; give one with --sizes", file=sys.stderr)
    try:
        with _stage("drawing"):
            figures = plot_explain(ex, args.output)
    except RuntimeError as exc:
        raise CliError(str(exc), code=1) from None
    for line in explain.summary(ex):
        print(line)
    print(f"wrote {args.output} ({figures} figures)")
    return 0


# --- entry ----------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


FILES_HELP = ("graph files: DIMACS .gr, Matrix Market .mtx, edge lists .csv/.tsv\n"
              "  (source,target[,weight], 0-based ids), scipy .npz; text formats also gzipped (.gz)")
METHODS_HELP = ("methods: dijkstra, bmssp, or a BMSSP variant:\n  " + ", ".join(VARIANTS)
                + ", hybrid:A:B (each also as bmssp-NAME)\n"
                "  hybrid:A:B answers every call at level <= A, and every call with at most B sources, with\n"
                "  one bounded Dijkstra search instead of recursing (A = -1 or B = 0 turns a rule off; A a\n"
                "  signed 32-bit and B an unsigned 64-bit integer, read as 1 and 0 when malformed). Since the\n"
                "  outermost call has one source, B >= 1 (or A >= the level count) makes the whole run one\n"
                "  bounded Dijkstra search, as 'hybrid' (hybrid:1:1024) and 'fast' are: see 'info'\n"
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
    b.add_argument("--source-count", type=_positive, default=3, dest="sources", metavar="N",
                   help="how many sources per graph, drawn with --seed (default 3)")
    b.add_argument("--sources", type=_positive, dest="sources", default=argparse.SUPPRESS,
                   help=argparse.SUPPRESS)  # the old name of --source-count
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
                   help="no progress on stderr (a bar on a terminal, else one line per graph and method)")
    b.add_argument("-q", "--quiet", action="store_true", help="no graph summary lines and no progress")
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
    _add_cluster_options(r)  # --sources-file/--random-sources/--scheduler/--out: many sources

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

    t = sub.add_parser("trace", help="every call of the recursion, one row each, to .parquet or .csv",
                       description="Run BMSSP (or a variant) in the recursion's traced form and print its "
                                   "calls per level and the analysis's bounds held to every call; -o writes "
                                   "one row per call (level, caller, B, B', |S|, |P|, |W|, |U|, pulls, "
                                   "relaxations by phase).", epilog=epilog, formatter_class=raw)
    _add_traced_run(t, graph_help, seed_help)
    t.add_argument("-o", "--output", metavar="FILE.parquet|FILE.csv", help="write the rows")
    t.set_defaults(func=cmd_trace)

    e = sub.add_parser("explain", help="figures of what the recursion did, as one PNG or an HTML page",
                       description="Trace one run and draw: the calls per level and their sizes against "
                                   "the analysis's bounds; where the relaxations went, beside Dijkstra's; "
                                   "the settlement order (against Dijkstra's, or the levels over it); and, "
                                   "over a family of sizes, every method's time and work per arc against n "
                                   "with the fitted slopes.", epilog=epilog, formatter_class=raw)
    _add_traced_run(e, graph_help, seed_help)
    e.add_argument("-o", "--output", default="explain.png", metavar="FILE.png|FILE.html",
                   help="one image (.png, .pdf or .svg) or a self-contained page (.html); default explain.png")
    e.add_argument("--sizes", metavar="FAMILY",
                   help="graphs to time every method on: KIND:FROM..TO, stepped so n about doubles "
                        "(grid:100x100..1000x1000, rmat:12..20, rgg:1000..64000:8), a comma-separated "
                        "list of graphs, or 'none'; default: from a sixteenth of GRAPH's size up to it, "
                        "for a generated GRAPH")
    e.add_argument("--methods", help="comma-separated methods to time over the sizes (default: every "
                                     "method of this package)")
    e.add_argument("--repeats", type=_positive, default=3, help="runs per method and size (default 3)")
    e.set_defaults(func=cmd_explain)
    return parser


def _add_traced_run(parser: argparse.ArgumentParser, graph_help: str, seed_help: str) -> None:
    """The arguments of the run that trace and explain record: the graph, -s, -m and --seed."""
    parser.add_argument("graph", metavar="GRAPH", help=graph_help)
    parser.add_argument("-s", "--source", type=_source, default=0, help="source vertex, 0-based (default 0)")
    parser.add_argument("-m", "--method", default="bmssp", help="bmssp (default) or a variant (see below)")
    parser.add_argument("--seed", type=_seed, default=0, help=seed_help)


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
