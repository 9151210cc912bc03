"""The recursion's calls, one row each, and the bounds every row of the core run meets.

:func:`trace` runs BMSSP (or a research variant) once in the recursion's traced form, a
separately compiled build as the counted one is (timed runs carry nothing), and returns a
:class:`CallTrace`: a dict of equal-length NumPy columns with one row per recursive call, in the
order the calls began. Its totals are the counts of ``quillharbour._search.bmssp_counted`` for
the same run, and its distances those of every other entry.

Each row's sizes can be held to the bounds of the published analysis, restated for what the
recursion here does (:meth:`CallTrace.bounds`). For a call at level l >= 1 with source set S
and parameters k, t on a searched graph of n' vertices:

- FindPivots' near set W holds at most k|S| vertices, unless FindPivots exits early, which it
  does exactly when W grows past k|S|, and then every source is a pivot;
- otherwise every pivot roots a tree of at least k vertices of W, so |P| <= |W| / k;
- every batch a call pulls holds at most M = 2^((l-1)t) vertices (M capped at n'), so a call one
  level down has at most that many sources (pulled vertices that are already complete are
  dropped first, which only shrinks it);
- the pull loop starts a batch only while |U| < k 2^(lt), so U may overshoot that limit by at
  most the last batch's result, and then gains only vertices of W;
- B' <= B, and a base case returns at most k vertices (exactly k when B' < B).

These hold on every row of the core configuration. The research variants change the rules
(lazy pivots, another k and t, bounded searches in place of calls), so for them the report
says where the rows depart, and nothing is asserted.
"""

from __future__ import annotations

import csv
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _search
from ._files import atomic_write
from .api import resolve_method
from .graph import GraphLike, as_csr
from .params import Parameters, parameters

__all__ = ["CallTrace", "Bound", "trace", "KINDS"]

# The column `kind`, by the native code (0, 1, 2).
KINDS = ("recursive", "base case", "bounded search")

# Relaxation phases: the columns that count them, and how figures and reports name them.
PHASES = {"relax_pivots": "FindPivots", "relax_local": "base cases and bounded searches",
          "relax_route": "routing after each child"}


@dataclass(frozen=True)
class Bound:
    """One bound held to the rows it applies to."""

    name: str
    checked: int   # rows it applies to
    violated: int  # rows that break it
    first: int     # the first such row, -1 for none

    def __str__(self) -> str:
        verdict = "holds" if not self.violated else f"broken on {self.violated} (first: row {self.first})"
        return f"{self.name}: {verdict} of {self.checked} rows"


class CallTrace(dict[str, npt.NDArray[Any]]):
    """The calls of one BMSSP run: a dict of equal-length NumPy columns, one row per call in
    the order the calls began.

    Columns: ``level``; ``parent`` (the calling row, -1 for the outermost call); ``kind``
    ("recursive", "base case" or "bounded search", the last for calls the hybrid switch
    answers with one bounded Dijkstra search); ``bound`` and ``bound_out`` (the distances of
    the bound B given and of B' returned) and ``bound_reached`` (B' == B); ``sources`` (|S|),
    ``pivots`` (|P|), ``near`` (|W|), ``u_loop`` (|U| when the pull loop ended) and ``u`` (|U|
    returned); ``pulls``, ``pulled``, ``largest_pull``, ``inserts``, ``batch_prepends``; the
    edges relaxed by phase, ``relax_pivots`` (FindPivots), ``relax_local`` (the call's base
    case or bounded search) and ``relax_route`` (the re-scan after each child); and
    ``settle_start``, ``settled``: the stretch of the settlement log the call itself made.

    Beside the columns: ``method``, ``source``, ``seed``, ``params`` (k, t, levels, searched
    vertices), ``counts`` (the run's totals, as ``bmssp_counted`` gives them), ``distances``
    and ``predecessors`` of the input graph, and the settlement log: ``settled_vertices``
    (searched-graph ids: on the constant-degree transform, copies of input vertices) with
    ``settled_distances``.
    """

    method: str
    source: int
    seed: int
    params: Parameters
    counts: _search.RunCounts
    distances: npt.NDArray[np.float64]
    predecessors: npt.NDArray[np.int32]
    settled_vertices: npt.NDArray[np.int64]
    settled_distances: npt.NDArray[np.float64]

    @property
    def rows(self) -> int:
        return len(self["level"])

    @property
    def on_transform(self) -> bool:
        """Whether the run searched the constant-degree transform (else the input graph itself)."""
        p = self.params
        return p.searched_n == p.transform_n and p.searched_n != len(self.distances)

    def to_pandas(self) -> Any:
        """The columns as a pandas DataFrame (needs pandas)."""
        import pandas as pd

        return pd.DataFrame(dict(self))

    def to_arrow(self) -> Any:
        """The columns as a pyarrow Table (needs pyarrow), the run's parameters in its metadata."""
        import pyarrow as pa

        p = self.params
        about = {"method": self.method, "source": self.source, "seed": self.seed, "k": p.k, "t": p.t,
                 "levels": p.levels, "searched_vertices": p.searched_n}
        return pa.table(dict(self), metadata={key: str(value) for key, value in about.items()})

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the columns to `path` whole or not at all: Parquet for a name ending in .parquet
        (needs pyarrow), else CSV with a header line."""
        if os.fspath(path).lower().endswith(".parquet"):
            import pyarrow.parquet as pq

            table = self.to_arrow()
            with atomic_write(path) as f:
                pq.write_table(table, f)
            return
        with atomic_write(path, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(list(self))
            writer.writerows(zip(*(column.tolist() for column in self.values())))

    def summary(self, label: str) -> str:
        """The calls per level, their sizes and relaxations, and the bounds, as text."""
        p = self.params
        where = "its constant-degree transform" if self.on_transform else "the input graph"
        lines = [(f"{self.method} on {label} from {self.source} (seed {self.seed}): {self.rows} calls at "
                 f"levels {p.levels} to 0 (k = {p.k}, t = {p.t}) on {where}, {p.searched_n} vertices")]
        head = ("level", "calls", "recursive", "base cases", "searches", "mean |S|", "max |S|", "mean |U|",
                "relaxed in FindPivots", "local", "routing")
        rows = []
        levels = self["level"]
        for lv in [*range(p.levels, -1, -1), None]:
            at = np.ones(self.rows, dtype=bool) if lv is None else levels == lv
            if not at.any():
                continue
            rows.append(["all" if lv is None else str(lv), str(int(at.sum()))]
                        + [str(int(np.count_nonzero(at & (self["kind"] == kind)))) for kind in KINDS]
                        + [f"{self['sources'][at].mean():.1f}", str(int(self["sources"][at].max())),
                           f"{self['u'][at].mean():.1f}"]
                        + [f"{int(self[phase][at].sum()):,}" for phase in PHASES])
        widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(head)]
        lines += ["  ".join(c.rjust(w) for c, w in zip(row, widths)) for row in [list(head), *rows]]
        core = self.method in ("bmssp",) or (self.method.removeprefix("bmssp-") == "tuned")
        lines.append("bounds of the analysis, row by row" + ("" if core else
                     " (reported: this variant changes the rules the bounds rest on)") + ":")
        lines += [f"  {b}" for b in self.bounds()]
        return "\n".join(lines)

    def limits(self) -> dict[str, npt.NDArray[np.float64]]:
        """Per row, the limits the analysis sets: ``block`` (M = 2^((l-1)t) capped at n', the
        most vertices one pull of the row may return), ``u_limit`` (k 2^(lt): the loop pulls
        only while |U| is below it; +inf where it does not limit) and ``near_limit`` (k|S|),
        all for recursive rows, NaN elsewhere."""
        k, t, n = self.params.k, self.params.t, self.params.searched_n
        level = self["level"]
        recursive = self["kind"] == KINDS[0]
        block = np.full(self.rows, np.nan)
        u_limit = np.full(self.rows, np.nan)
        for lv in np.unique(level[recursive]).tolist():
            at = recursive & (level == lv)
            shift = t * (lv - 1)  # as the core caps it: no power of two above 2^62 is formed
            block[at] = float(max(1, 2**shift if shift <= 62 and 2**shift < n else n))
            u_limit[at] = float(k) * 2.0 ** (lv * t) if lv * t < 100 else np.inf
        near_limit = np.where(recursive, float(k) * self["sources"], np.nan)
        return {"block": block, "u_limit": u_limit, "near_limit": near_limit}

    def bounds(self) -> list[Bound]:
        """Each bound of the module's description, held to every row it applies to."""
        k = self.params.k
        kind, sources, pivots, near = self["kind"], self["sources"], self["pivots"], self["near"]
        parent, u, u_loop = self["parent"], self["u"], self["u_loop"]
        lim = self.limits()
        recursive = kind == KINDS[0]
        base = kind == KINDS[1]
        early = recursive & (near > lim["near_limit"])
        # The result of each row's last child (0 for none), to see how far its last batch took U.
        last_child = np.full(self.rows, -1)
        child = np.flatnonzero(parent >= 0)
        np.maximum.at(last_child, parent[child], child)
        last_u = np.where(last_child >= 0, u[last_child], 0)
        has_parent = parent >= 0
        parent_block = np.where(has_parent, lim["block"][np.maximum(parent, 0)], np.inf)
        tests = [
            ("FindPivots: |W| <= k|S|, or an early exit with P = S", recursive,
             ~early | (pivots == sources)),
            ("FindPivots without early exit: |P| <= |W|/k", recursive & ~early, float(k) * pivots <= near),
            ("every pull: at most M = 2^((l-1)t) vertices (capped at n')", recursive,
             self["largest_pull"] <= lim["block"]),
            ("a call's sources: at most the M of its caller's level", has_parent,
             sources <= parent_block),
            ("pull loop: |U| before the last batch < k 2^(lt)", recursive, u_loop - last_u < lim["u_limit"]),
            ("after the loop, U gains only vertices of W", recursive, (u >= u_loop) & (u - u_loop <= near)),
            ("B' <= B", np.ones(self.rows, dtype=bool), self["bound_out"] <= self["bound"]),
            ("base case: |S| = 1, |U| <= k, and |U| = k when B' < B", base,
             (sources == 1) & (u <= k) & (self["bound_reached"] | (u == k))),
        ]
        out = []
        for name, applies, holds in tests:
            broken = np.flatnonzero(applies & ~holds)
            out.append(Bound(name, int(np.count_nonzero(applies)), len(broken), int(broken[0]) if len(broken) else -1))
        return out


def trace(graph: GraphLike, source: int = 0, method: str = "bmssp", seed: int = 0, *, k: int = 0,
          t: int = 0) -> CallTrace:
    """Run `method` ("bmssp" or a research variant, as :func:`shortest_paths` names them) from
    `source` in the recursion's traced form and return its calls (:class:`CallTrace`). A
    variant's `k` and `t` are forced when both are non-zero, as ``bmssp_variant`` forces them
    ("tuned" with k and t is the core run with those parameters). Raises as ``bmssp_variant``
    does, and ValueError for "dijkstra", which has no recursion to trace, and for a method spec."""
    entry, variant = resolve_method(method)
    if entry == "dijkstra":
        raise ValueError("dijkstra has no recursion to trace; trace 'bmssp' or a variant")
    if entry == "config":
        raise ValueError(f"a method spec such as {method!r} cannot be traced; trace 'bmssp' or a variant")
    g = as_csr(graph)
    name = variant or "bmssp"
    dist, pred, counts, columns, ids, dhat = _search.bmssp_trace(g.indptr, g.indices, g.weights, source, name,
                                                                 seed, k, t)
    out = CallTrace(columns)
    out["kind"] = np.asarray(KINDS)[columns["kind"]]
    out["bound_reached"] = columns["bound_reached"].astype(bool)
    out.method, out.source, out.seed = method, source, seed
    out.params = parameters(g, name, k, t)
    out.counts = counts
    out.distances, out.predecessors = dist, pred
    out.settled_vertices, out.settled_distances = ids, dhat
    return out
