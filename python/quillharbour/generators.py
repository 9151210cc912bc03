"""Seeded graph generators for experiments.

Every generator takes a `seed` and is deterministic for it (NumPy's PCG64 through
``np.random.default_rng``; a ``np.random.Generator`` is drawn from as it is), builds its arcs with
vectorised NumPy code, and returns a :class:`~quillharbour.graph.CsrGraph` whose rows are sorted
by head, or for :func:`lattice` and :func:`multigraph` (and :func:`rmat` with ``sort=False``)
hold their arcs in the order drawn. Weights are non-negative float64 values drawn after the arcs,
by default positive, so every generated graph is a valid input for every algorithm;
`weights` (a :data:`WeightFamily`, such as :func:`integer_weights`) draws others.

:func:`from_spec` reads the short textual specs used on the command line, such as
``grid:300x300``, ``rgg:100000``, ``gnm:1000:5000``, ``rmat:16``, ``path:1000`` or ``star:1000``.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from .graph import INDEX_MAX, CsrGraph, from_edges

__all__ = ["grid", "lattice", "random_geometric", "gnm", "multigraph", "rmat", "path", "star", "integer_weights",
           "WeightFamily", "from_spec", "SPEC_HELP"]

Seed = int | np.random.Generator
# Draws `size` arc weights from the generator given: (rng, size) -> float64 array.
WeightFamily = Callable[[np.random.Generator, int], npt.NDArray[np.float64]]


def _rng(seed: Seed) -> np.random.Generator:
    return np.random.default_rng(seed)


def integer_weights(low: int, high: int) -> WeightFamily:
    """Weights drawn uniformly from the integers `low` .. `high` (both included), as float64."""
    def draw(rng: np.random.Generator, size: int) -> npt.NDArray[np.float64]:
        return rng.integers(low, high + 1, size=size).astype(np.float64)

    return draw


def _unit_interval(rng: np.random.Generator, size: int) -> npt.NDArray[np.float64]:
    return 1.0 - rng.random(size)  # (0, 1]


def _check_n(n: int, what: str = "vertex count") -> int:
    n = int(n)
    if n < 1 or n > INDEX_MAX:
        raise ValueError(f"{what} must lie in [1, {INDEX_MAX}] (got {n})")
    return n


def grid(rows: int, cols: int, seed: int = 0, *, low: float = 1.0, high: float = 10.0) -> CsrGraph:
    """A road-like grid: `rows` x `cols` vertices (row-major ids), each joined to its four
    neighbours in both directions; the two arcs of a street share one weight drawn uniformly
    from [`low`, `high`)."""
    rows, cols = int(rows), int(cols)
    if rows < 1 or cols < 1:
        raise ValueError(f"grid sides must be at least 1 (got {rows} x {cols})")
    n = _check_n(rows * cols)
    if not 0 < low <= high:
        raise ValueError(f"weights need 0 < low <= high (got {low}, {high})")
    ids = np.arange(n, dtype=np.int64).reshape(rows, cols)
    right = (ids[:, :-1].ravel(), ids[:, 1:].ravel())
    down = (ids[:-1, :].ravel(), ids[1:, :].ravel())
    a = np.concatenate([right[0], down[0]])
    b = np.concatenate([right[1], down[1]])
    w = _rng(seed).uniform(low, high, size=len(a))
    return from_edges(n, np.concatenate([a, b]), np.concatenate([b, a]), np.concatenate([w, w]))


def lattice(rows: int, cols: int, seed: Seed = 0, *, weights: WeightFamily | None = None) -> CsrGraph:
    """A 4-neighbour grid of `rows` x `cols` vertices (row-major ids) whose every arc, in both
    directions, has a weight of its own from `weights` (default: the integers 1 .. 100). Each
    row holds its arcs in the order drawn: right, left, down, up."""
    rows, cols = int(rows), int(cols)
    n = _check_n(rows * cols)
    ids = np.arange(n, dtype=np.int64).reshape(rows, cols)
    tails = np.concatenate([ids[:, :-1].ravel(), ids[:, 1:].ravel(), ids[:-1, :].ravel(), ids[1:, :].ravel()])
    heads = np.concatenate([ids[:, 1:].ravel(), ids[:, :-1].ravel(), ids[1:, :].ravel(), ids[:-1, :].ravel()])
    w = (weights or integer_weights(1, 100))(_rng(seed), tails.size)
    return from_edges(n, tails, heads, w, sort=False)


def multigraph(n: int, m: int, seed: Seed = 0, *, weights: WeightFamily | None = None) -> CsrGraph:
    """A uniform random directed graph of `n` vertices and `m` arcs whose tails and heads are
    drawn independently, so self-loops and parallel arcs occur; weights from `weights`
    (default: the integers 1 .. 100). Each row holds its arcs in the order drawn."""
    n = _check_n(n)
    rng = _rng(seed)
    tails = rng.integers(0, n, size=m)
    heads = rng.integers(0, n, size=m)
    return from_edges(n, tails, heads, (weights or integer_weights(1, 100))(rng, m), sort=False)


def random_geometric(n: int, radius: float | None = None, seed: int = 0, *, degree: float = 8.0) -> CsrGraph:
    """A random geometric graph: `n` points uniform in the unit square, both arcs between every
    pair closer than `radius` (default: the radius giving mean out-degree `degree`), weighted by
    their Euclidean distance."""
    n = _check_n(n)
    if radius is None:
        radius = math.sqrt(degree / (math.pi * n))
    if not radius > 0:
        raise ValueError(f"radius must be positive (got {radius})")
    pts = _rng(seed).random((n, 2))
    cells = max(1, min(int(1.0 / radius), math.isqrt(n) + 1))
    cx = np.minimum((pts[:, 0] * cells).astype(np.int64), cells - 1)
    cy = np.minimum((pts[:, 1] * cells).astype(np.int64), cells - 1)
    cell = cx * cells + cy
    order = np.argsort(cell, kind="stable")
    starts = np.searchsorted(cell[order], np.arange(cells * cells + 1))
    tails, heads = [], []
    # Each unordered pair of neighbouring cells once: self, and four of the eight neighbours.
    for dx, dy in ((0, 0), (1, -1), (1, 0), (1, 1), (0, 1)):
        nx_, ny_ = cx + dx, cy + dy
        ok = (nx_ >= 0) & (nx_ < cells) & (ny_ >= 0) & (ny_ < cells)
        src = np.flatnonzero(ok)
        other = nx_[src] * cells + ny_[src]
        lo, hi = starts[other], starts[other + 1]
        counts = hi - lo
        rep = np.repeat(src, counts)
        first = np.repeat(lo - np.cumsum(counts) + counts, counts)
        cand = order[np.arange(len(rep)) + first]
        keep = cand > rep if (dx, dy) == (0, 0) else np.ones(len(rep), bool)
        d = pts[rep] - pts[cand]
        keep &= np.einsum("ij,ij->i", d, d) < radius * radius
        tails.append(rep[keep])
        heads.append(cand[keep])
    a, b = np.concatenate(tails), np.concatenate(heads)
    w = np.hypot(*(pts[a] - pts[b]).T)
    return from_edges(n, np.concatenate([a, b]), np.concatenate([b, a]), np.concatenate([w, w]))


def gnm(n: int, m: int, seed: int = 0) -> CsrGraph:
    """A uniform random directed graph with `n` vertices and `m` distinct arcs, no self-loops,
    weights uniform in (0, 1]."""
    n = _check_n(n)
    m = int(m)
    if m < 0 or m > n * (n - 1):
        raise ValueError(f"arc count must lie in [0, n(n-1)] = [0, {n * (n - 1)}] (got {m})")
    rng = _rng(seed)
    keys = np.zeros(0, dtype=np.int64)
    while len(keys) < m:
        # Draw ordered pairs without self-loops, keep the first occurrence of each.
        want = int((m - len(keys)) * 1.1) + 16
        u = rng.integers(0, n, size=want)
        v = rng.integers(0, n - 1, size=want)
        v += v >= u
        new = np.concatenate([keys, u * n + v])
        _, first = np.unique(new, return_index=True)
        keys = new[np.sort(first)][:m]
    w = 1.0 - rng.random(m)
    return from_edges(n, keys // n, keys % n, w)


def rmat(scale: int, edge_factor: int = 16, seed: Seed = 0, *,
         a: float = 0.57, b: float = 0.19, c: float = 0.19, weights: WeightFamily = _unit_interval,
         sort: bool = True) -> CsrGraph:
    """An R-MAT (Kronecker-style) graph with 2**`scale` vertices and `edge_factor` * 2**`scale`
    arcs: skewed degrees, vertex ids randomly permuted, weights from `weights` (default: uniform
    in (0, 1]). Self-loops and parallel arcs are kept, as the recursive model produces them.
    Rows are sorted by head, or with ``sort=False`` hold their arcs in the order drawn."""
    scale = int(scale)
    if scale < 1 or scale > 30:
        raise ValueError(f"scale must lie in [1, 30] (got {scale})")
    if min(a, b, c) < 0 or a + b + c >= 1:
        raise ValueError("R-MAT needs a, b, c >= 0 with a + b + c < 1")
    n = 1 << scale
    m = int(edge_factor) * n
    rng = _rng(seed)
    u = np.zeros(m, dtype=np.int64)
    v = np.zeros(m, dtype=np.int64)
    for bit in range(scale):
        r = rng.random(m)
        down = r >= a + b              # quadrants c and d: lower half
        right = ((r >= a) & (r < a + b)) | (r >= a + b + c)
        u |= down.astype(np.int64) << bit
        v |= right.astype(np.int64) << bit
    perm = rng.permutation(n)
    return from_edges(n, perm[u], perm[v], weights(rng, m), sort=sort)


def path(n: int, seed: int = 0) -> CsrGraph:
    """The directed path 0 -> 1 -> ... -> n-1 with weights uniform in [1, 2)."""
    n = _check_n(n)
    t = np.arange(n - 1, dtype=np.int64)
    return from_edges(n, t, t + 1, _rng(seed).uniform(1.0, 2.0, size=n - 1))


def star(n: int, seed: int = 0) -> CsrGraph:
    """A star: centre 0 joined to each of the n-1 leaves in both directions, the two arcs of a
    spoke sharing one weight uniform in [1, 2)."""
    n = _check_n(n)
    leaves = np.arange(1, n, dtype=np.int64)
    centre = np.zeros(n - 1, dtype=np.int64)
    w = _rng(seed).uniform(1.0, 2.0, size=n - 1)
    return from_edges(n, np.concatenate([centre, leaves]), np.concatenate([leaves, centre]),
                      np.concatenate([w, w]))


SPEC_HELP = """graph specs (seeded by --seed):
  grid:RxC or grid:N     road-like R x C (or N x N) grid, both directions, weights in [1, 10)
  rgg:N[:DEG]            random geometric graph, N points, mean out-degree DEG (default 8)
  gnm:N:M                uniform random graph, N vertices, M distinct arcs
  rmat:SCALE[:EF]        R-MAT graph, 2^SCALE vertices, EF * 2^SCALE arcs (default EF 16)
  path:N                 directed path of N vertices
  star:N                 star of N vertices (centre 0), both directions"""


def _ints(spec: str, text: str, count_ok: Callable[[int], bool], sep: str = ":") -> list[int]:
    parts = text.split(sep) if text else []
    if not count_ok(len(parts)):
        raise ValueError(f"bad graph spec {spec!r}")
    try:
        return [int(p) for p in parts]
    except ValueError:
        raise ValueError(f"bad graph spec {spec!r}: {text!r} is not made of integers") from None


# Bytes a generator holds per arc and per vertex at its peak (arc arrays, their sort and the
# CSR copy), to refuse a spec that cannot fit before generating it.
BYTES_PER_ARC = 64
BYTES_PER_VERTEX = 48


def _check_size(n: int, m: int) -> None:
    if m > INDEX_MAX:
        raise ValueError(f"it would have {m} arcs, more than {INDEX_MAX}")
    need = BYTES_PER_ARC * m + BYTES_PER_VERTEX * n
    memory = _available_memory()
    if memory is not None and need > memory:
        raise ValueError(f"{n} vertices and {m} arcs need about {need / 1e9:.1f} GB, "
                         f"more than the {memory / 1e9:.1f} GB this machine has available")


def _available_memory() -> int | None:
    """Bytes the system can give without swapping (Linux's MemAvailable), else its memory."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def from_spec(spec: str, seed: int = 0) -> CsrGraph:
    """Generate the graph that a spec such as ``grid:300x300`` or ``rmat:16:8`` names.

    Raises ValueError for an unknown or malformed spec, and for one whose graph would not fit
    in this machine's memory (checked before generating)."""
    kind, _, rest = spec.partition(":")
    kind = kind.lower()
    try:
        if kind == "grid":
            sides = _ints(spec, rest, lambda k: k in (1, 2), sep="x")
            r, c = (sides * 2)[:2]
            _check_size(r * c, 2 * (r * max(c - 1, 0) + c * max(r - 1, 0)))
            return grid(r, c, seed)
        if kind == "rgg":
            vals = _ints(spec, rest, lambda k: k in (1, 2))
            degree = float(vals[1]) if len(vals) > 1 else 8.0
            _check_size(vals[0], int(vals[0] * degree * 1.5))
            return random_geometric(vals[0], seed=seed, degree=degree)
        if kind == "gnm":
            nn, mm = _ints(spec, rest, lambda k: k == 2)
            _check_size(nn, mm)
            return gnm(nn, mm, seed)
        if kind == "rmat":
            vals = _ints(spec, rest, lambda k: k in (1, 2))
            scale, factor = vals[0], vals[1] if len(vals) > 1 else 16
            if 1 <= scale <= 30:
                _check_size(1 << scale, factor << scale)
            return rmat(scale, factor, seed)
        if kind == "path":
            [nn] = _ints(spec, rest, lambda k: k == 1)
            _check_size(nn, nn)
            return path(nn, seed=seed)
        if kind == "star":
            [nn] = _ints(spec, rest, lambda k: k == 1)
            _check_size(nn, 2 * nn)
            return star(nn, seed=seed)
    except ValueError as exc:
        if str(exc).startswith("bad graph spec"):
            raise
        raise ValueError(f"bad graph spec {spec!r}: {exc}") from None
    raise ValueError(f"unknown graph spec {spec!r}\n{SPEC_HELP}")


def is_spec(text: str) -> bool:
    """Whether `text` starts with a generator name and a colon."""
    kind, colon, _ = text.partition(":")
    return bool(colon) and kind.lower() in ("grid", "rgg", "gnm", "rmat", "path", "star")
