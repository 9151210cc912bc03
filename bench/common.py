"""Graphs and timing shared by the benchmarks."""

from __future__ import annotations

import statistics
import time

import numpy as np


def csr(n, tails, heads, weights):
    order = np.argsort(tails, kind="stable")
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(tails, minlength=n), out=indptr[1:])
    return indptr, heads[order].astype(np.int32), weights[order].astype(np.float64)


def grid(rows, cols, seed=1, max_weight=100):
    """4-neighbour grid, random integer weights 1..max_weight, both directions."""
    rng = np.random.default_rng(seed)
    ids = np.arange(rows * cols, dtype=np.int64).reshape(rows, cols)
    tails = np.concatenate([ids[:, :-1].ravel(), ids[:, 1:].ravel(), ids[:-1, :].ravel(), ids[1:, :].ravel()])
    heads = np.concatenate([ids[:, 1:].ravel(), ids[:, :-1].ravel(), ids[1:, :].ravel(), ids[:-1, :].ravel()])
    weights = rng.integers(1, max_weight + 1, size=tails.size).astype(np.float64)
    return csr(rows * cols, tails, heads, weights)


def random_graph(n, m, seed=2, max_weight=100):
    """Uniform random directed graph with integer weights 1..max_weight."""
    rng = np.random.default_rng(seed)
    tails = rng.integers(0, n, size=m)
    heads = rng.integers(0, n, size=m)
    weights = rng.integers(1, max_weight + 1, size=m).astype(np.float64)
    return csr(n, tails, heads, weights)


def rmat(scale, edge_factor=8, seed=3, probs=(0.57, 0.19, 0.19, 0.05), max_weight=100):
    """Skewed R-MAT graph with 2**scale vertices and edge_factor * 2**scale edges."""
    rng = np.random.default_rng(seed)
    n = 1 << scale
    m = edge_factor * n
    tails = np.zeros(m, dtype=np.int64)
    heads = np.zeros(m, dtype=np.int64)
    a, b, c, _ = probs
    for bit in range(scale):
        r = rng.random(m)
        right = (r >= a) & (r < a + b) | (r >= a + b + c)
        down = r >= a + b
        tails |= down.astype(np.int64) << bit
        heads |= right.astype(np.int64) << bit
    perm = rng.permutation(n)
    weights = rng.integers(1, max_weight + 1, size=m).astype(np.float64)
    return csr(n, perm[tails], perm[heads], weights)


def interleaved_times(fns, repeats=5, clock=time.process_time):
    """Runs each callable once to warm up, then `repeats` rounds calling each in
    turn; returns {name: sorted list of times}. Interleaving spreads any
    background load evenly over the contenders. The default clock is the
    process's CPU time, which time slices lost to other processes do not
    inflate: a long call from the main thread runs on a helper thread while
    the caller waits for it (so that Ctrl-C works), and the pool's idle
    threads cost nothing, so for one single-threaded call it is that call's
    CPU time."""
    for fn in fns.values():
        fn()
    times = {name: [] for name in fns}
    for _ in range(repeats):
        for name, fn in fns.items():
            t0 = clock()
            fn()
            times[name].append(clock() - t0)
    return {name: sorted(ts) for name, ts in times.items()}


def median_time(fn, repeats=5):
    """Median wall time of `repeats` calls after one warm-up call."""
    fn()
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def load_build(path):
    """The _quillharbour module of another build (say, the previous commit's), beside this one."""
    import importlib.machinery
    import importlib.util

    loader = importlib.machinery.ExtensionFileLoader("quillharbour_before._quillharbour", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def same_outputs(a, b):
    """True when two results (tuples of arrays) are equal bit for bit."""
    return all(x.tobytes() == y.tobytes() for x, y in zip(a, b))
