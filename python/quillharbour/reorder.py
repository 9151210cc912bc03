"""Vertex reorderings for many-source runs: locality for the searches, results in the caller's ids.

A search touches a vertex's arcs and then its neighbours' labels; on a graph whose neighbours
lie far apart in memory (vertex ids shuffled, or handed out in no useful order) most of those
touches miss the cache. Renumbering the vertices so that neighbours get nearby ids, once, before
many rows are computed, makes every row cheaper. :func:`reordering` computes such a numbering:

- "rcm": reverse Cuthill-McKee (``scipy.sparse.csgraph.reverse_cuthill_mckee`` on the graph
  with every arc also reversed), which keeps the bandwidth of the adjacency matrix small;
- "bfs": breadth-first order over the arcs taken both ways, each weakly connected component
  from its smallest vertex, the components by their smallest vertex.

The renumbered graph holds each vertex's arcs in their original order. Rows computed on it are
mapped back to the caller's ids (:meth:`Reordering.rows_back`): distances are the same bit for
bit, since a search's distances do not depend on the numbering; predecessors are tight, and the
same wherever one arc alone gives a vertex its distance, but where several paths are equally
short the tie rules, which follow vertex ids, may choose another.

``dijkstra_multisource`` and ``bmssp_multisource`` (quillharbour), the Dask runs of
:func:`quillharbour.distributed.multisource` and ``bench`` (methods ``NAME@rcm``, ``NAME@bfs``)
take a reordering by name or a :class:`Reordering` made once for the graph. Needs scipy.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _search
from .graph import CsrGraph, GraphLike, as_csr, graph_digest

__all__ = ["ORDERINGS", "Reordering", "reordering", "as_reordering", "reordering_name"]

ORDERINGS = ("bfs", "rcm")
MALFORMED = ("malformed CSR: indptr must be non-decreasing, start at 0, end at len(indices), and every index "
             "must be in [0, n)")
# Rows mapped back at a time: bounds the scratch of the mapping to about 32 MiB.
_BLOCK_CELLS = 1 << 22


@dataclass(frozen=True)
class Reordering:
    """A graph renumbered: its vertex i is the caller's vertex ``order[i]``."""

    method: str
    graph: CsrGraph  # the renumbered graph
    order: npt.NDArray[np.int32]  # new id -> the caller's id
    rank: npt.NDArray[np.int64]  # the caller's id -> new id
    m: int  # arcs of the caller's graph (with n, the check that a reordering fits a graph)
    digest: str = ""  # graph_digest of the caller's graph: the check that a graph has the same arcs and weights

    @property
    def n(self) -> int:
        return len(self.order)

    def sources(self, sources: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The caller's source ids as ids of the renumbered graph (ids out of range pass as they are,
        so that the entries name them)."""
        inside = (sources >= 0) & (sources < self.n)
        return np.where(inside, self.rank[np.where(inside, sources, 0)], sources)

    def rows_back(self, dist: npt.NDArray[np.float64],
                  pred: npt.NDArray[np.int32]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
        """(k, n) rows of the renumbered graph as rows of the caller's graph, in place: the
        distance of the caller's vertex v, and its predecessor as a caller's id (-1 stays -1)."""
        back = np.append(self.order, np.int32(-1))  # index -1 (no predecessor) maps to -1
        step = max(1, _BLOCK_CELLS // max(self.n, 1))
        for r in range(0, len(dist), step):
            dist[r:r + step] = dist[r:r + step][:, self.rank]
            pred[r:r + step] = back[pred[r:r + step][:, self.rank]]
        return dist, pred


def _both_ways(g: CsrGraph, tails: npt.NDArray[np.int64] | None = None,
               heads: npt.NDArray[np.int64] | None = None) -> Any:
    """The graph's arcs, and the arcs `tails` -> `heads` (which may name vertex n), taken both ways
    and without duplicates, as a scipy matrix."""
    from scipy import sparse

    t = np.concatenate((g.tails(), tails if tails is not None else []))
    h = np.concatenate((g.indices.astype(np.int64), heads if heads is not None else []))
    size = g.n + (tails is not None)
    a = sparse.coo_array((np.ones(2 * len(t), dtype=np.int8), (np.concatenate((t, h)), np.concatenate((h, t)))),
                         shape=(size, size)).tocsr()
    a.sum_duplicates()
    return a


def _bfs_order(g: CsrGraph) -> npt.NDArray[np.int64]:
    from scipy.sparse.csgraph import breadth_first_order, connected_components

    _, label = connected_components(_both_ways(g), directed=False)
    _, firsts = np.unique(label, return_index=True)  # each component's smallest vertex, in order
    # one search from a vertex n joined to the first vertex of every component
    joined = _both_ways(g, np.full(len(firsts), g.n, dtype=np.int64), firsts.astype(np.int64))
    order = breadth_first_order(joined, g.n, directed=True, return_predecessors=False)  # symmetric
    return np.asarray(order[1:], dtype=np.int64)


def reordering_name(reorder: str | Reordering) -> str:
    """The ordering `reorder` names or was made by. Raises TypeError for anything but a str or a
    Reordering, ValueError for an unknown name."""
    if isinstance(reorder, Reordering):
        return reorder.method
    if not isinstance(reorder, str):
        raise TypeError(f"reorder must be None, a method name or a Reordering (got {type(reorder).__name__})")
    if reorder not in ORDERINGS:
        raise ValueError(f"unknown reordering {reorder!r}; known: {', '.join(ORDERINGS)}")
    return reorder


def reordering(graph: GraphLike, method: str = "rcm") -> Reordering:
    """The renumbering `method` ("rcm" or "bfs") of `graph`, with the renumbered graph. Raises
    ValueError for another method, ImportError without scipy."""
    reordering_name(method)
    try:
        from scipy.sparse.csgraph import reverse_cuthill_mckee
    except ImportError as exc:
        raise ImportError("vertex reordering needs scipy: pip install scipy") from exc
    g = as_csr(graph)
    p, i = g.indptr, g.indices
    if p[0] != 0 or p[-1] != len(i) or np.any(p[1:] < p[:-1]) or (len(i) and (i.min() < 0 or i.max() >= g.n)):
        raise ValueError(MALFORMED)  # the native entries' words; they check the weights
    if g.n == 0:
        order = np.zeros(0, dtype=np.int64)
    elif method == "rcm":
        order = np.asarray(reverse_cuthill_mckee(_both_ways(g), symmetric_mode=True), dtype=np.int64)
    else:
        order = _bfs_order(g)
    rank = np.empty(g.n, dtype=np.int64)
    rank[order] = np.arange(g.n, dtype=np.int64)
    tails = rank[g.tails()]
    # a stable counting sort by new tail keeps every vertex's arcs in their original order
    indptr, indices, weights = _search.group_arcs(g.n, tails, rank[g.indices], g.weights)
    return Reordering(method, CsrGraph(indptr, indices, weights), order.astype(np.int32), rank, g.m, graph_digest(g))


def as_reordering(reorder: str | Reordering, graph: GraphLike) -> Reordering:
    """`reorder` as a Reordering of `graph`: made now from a method name, or checked to fit (the
    same sizes, and the same arcs and weights as when it was made)."""
    if isinstance(reorder, Reordering):
        g = as_csr(graph)
        if (reorder.n, reorder.m) != (g.n, g.m):
            raise ValueError(f"the reordering was made for a graph of {reorder.n} vertices and {reorder.m} arcs, "
                             f"not this one of {g.n} and {g.m}")
        if reorder.digest != graph_digest(g):
            raise ValueError(f"the reordering was made for another graph of {g.n} vertices and {g.m} arcs (its arcs "
                             "or weights differ from this one's): make it again for this graph")
        return reorder
    return reordering(graph, reordering_name(reorder))
