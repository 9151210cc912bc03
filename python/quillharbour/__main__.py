"""`python -m quillharbour`: a short demonstration on a road-like grid."""

from __future__ import annotations

import time

import numpy as np

import quillharbour


def grid(rows: int, cols: int, seed: int = 0):
    """A 4-neighbour grid with random integer weights 1..100 in both directions."""
    rng = np.random.default_rng(seed)
    n = rows * cols
    ids = np.arange(n, dtype=np.int64).reshape(rows, cols)
    tails = np.concatenate([ids[:, :-1].ravel(), ids[:, 1:].ravel(), ids[:-1, :].ravel(), ids[1:, :].ravel()])
    heads = np.concatenate([ids[:, 1:].ravel(), ids[:, :-1].ravel(), ids[1:, :].ravel(), ids[:-1, :].ravel()])
    order = np.argsort(tails, kind="stable")
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(tails, minlength=n), out=indptr[1:])
    indices = heads[order].astype(np.int32)
    weights = rng.integers(1, 101, size=indices.size).astype(np.float64)
    return indptr, indices, weights


def main() -> None:
    rows = cols = 1000
    t0 = time.perf_counter()
    indptr, indices, weights = grid(rows, cols)
    t1 = time.perf_counter()
    dist, pred = quillharbour.dijkstra(indptr, indices, weights, 0)
    t2 = time.perf_counter()
    far = int(np.argmax(dist))
    hops = 0
    v = far
    while pred[v] != -1:
        v = int(pred[v])
        hops += 1
    print(f"graph: {rows}x{cols} grid, {len(indptr) - 1:,} vertices, {len(indices):,} edges (built in {t1 - t0:.2f} s)")
    print(f"dijkstra from vertex 0: {t2 - t1:.3f} s")
    print(f"farthest vertex {far} at distance {dist[far]:.0f}, {hops} edges away; mean distance {dist.mean():.1f}")


if __name__ == "__main__":
    main()
