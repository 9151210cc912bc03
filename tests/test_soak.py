"""Concurrency soak and long-run resource checks across all six entries."""

from __future__ import annotations

import gc
import multiprocessing
import os
import sys
import threading
import time

import numpy as np
import pytest

import quillharbour
from conftest import not_sanitized, random_graph
from quillharbour import _quillharbour as native

SOAK_SECONDS = float(os.environ.get("QH_SOAK_SECONDS", "4"))


def shared_inputs():
    rng = np.random.default_rng(99)
    graph = random_graph(rng, 400, 2400)
    for a in graph:
        a.flags.writeable = False
    sources = np.array([3, 0, 3, 17], dtype=np.int64)
    sources.flags.writeable = False
    return graph, sources


def jobs(graph, sources):
    """(name, callable) pairs covering every entry and a few argument sets."""
    out = []
    for s in (0, 5, 77):
        out.append((f"dijkstra/{s}", lambda s=s: native.dijkstra(*graph, s)))
        out.append((f"bmssp/{s}", lambda s=s: native.bmssp(*graph, s, s + 1)))
        out.append((f"instrumented/{s}", lambda s=s: native.bmssp_instrumented(*graph, s, 2)))
        for variant in ("tuned", "simpleq", "hybrid:1:2", "notransform"):
            out.append((f"{variant}/{s}", lambda s=s, v=variant: native.bmssp_variant(*graph, s, v, 3)))
    out.append(("dijkstra_multi", lambda: native.dijkstra_multisource(*graph, sources)))
    out.append(("bmssp_multi", lambda: native.bmssp_multisource(*graph, sources, 4)))
    out.append(("bad-source", lambda: _error(lambda: native.bmssp(*graph, 10**6))))
    return out


def _error(fn):
    try:
        fn()
    except (IndexError, ValueError) as e:
        return (type(e).__name__, str(e))
    raise AssertionError("expected an error")


def fingerprint(result):
    if isinstance(result, tuple) and result and isinstance(result[0], np.ndarray):
        return tuple(a.tobytes() for a in result)
    return result


def test_eight_threads_mixing_every_entry_agree_with_sequential_answers():
    graph, sources = shared_inputs()
    work = jobs(graph, sources)
    expected = {name: fingerprint(fn()) for name, fn in work}
    deadline = time.monotonic() + SOAK_SECONDS
    failures = []
    counts = [0] * 8

    def worker(index):
        rng = np.random.default_rng(index)
        try:
            while time.monotonic() < deadline:
                name, fn = work[rng.integers(len(work))]
                got = fingerprint(fn())
                if got != expected[name]:
                    failures.append(name)
                    return
                counts[index] += 1
        except BaseException as e:  # PanicException included
            failures.append(repr(e))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:5]
    assert all(c > 0 for c in counts)


def _child_work(args):
    index, = args
    graph, sources = shared_inputs()
    work = jobs(graph, sources)
    name, fn = work[index % len(work)]
    return name, fingerprint(fn())


def test_multiprocessing_with_fork_after_the_pool_exists():
    graph, sources = shared_inputs()
    work = jobs(graph, sources)
    expected = {name: fingerprint(fn()) for name, fn in work}  # the pool exists now
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        results = pool.map(_child_work, [(i,) for i in range(2 * len(work))], chunksize=3)
    for name, got in results:
        assert got == expected[name], name


@not_sanitized
@pytest.mark.parametrize("name", ["dijkstra", "bmssp", "bmssp_instrumented", "bmssp_variant",
                                  "dijkstra_multisource", "bmssp_multisource"])
def test_many_calls_keep_memory_and_references_flat(name):
    rng = np.random.default_rng(5)
    graph = random_graph(rng, 6, 12)  # small, so 10^5 calls stay cheap
    sources = np.array([0, 1], dtype=np.int64)
    calls = {
        "dijkstra": lambda: native.dijkstra(*graph, 0),
        "bmssp": lambda: native.bmssp(*graph, 0),
        "bmssp_instrumented": lambda: native.bmssp_instrumented(*graph, 0),
        "bmssp_variant": lambda: native.bmssp_variant(*graph, 0, "tuned"),
        "dijkstra_multisource": lambda: native.dijkstra_multisource(*graph, sources),
        "bmssp_multisource": lambda: native.bmssp_multisource(*graph, sources),
    }
    fn = calls[name]
    refs = [sys.getrefcount(a) for a in (*graph, sources)]
    for _ in range(2000):
        fn()
    gc.collect()
    with open("/proc/self/statm") as f:
        base = int(f.read().split()[1])
    for _ in range(100_000):
        fn()
    gc.collect()
    with open("/proc/self/statm") as f:
        grown_pages = int(f.read().split()[1]) - base
    # a leak of even the two result arrays (>= 360 bytes a call) would be 36 MB
    assert grown_pages * 4096 < 8 * 2**20, grown_pages
    assert [sys.getrefcount(a) for a in (*graph, sources)] == refs
