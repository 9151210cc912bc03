"""Multi-source runs: rows against single-source calls, errors, pool, threads, fork."""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import quillharbour
from conftest import assert_certificate, grid_graph, random_graph
from quillharbour import _quillharbour as native

TESTS = Path(__file__).resolve().parent

MULTI_NEGATIVE = r"^negative or NaN edge weight encountered; weights must be >= 0$"
MALFORMED = (
    r"^malformed CSR: indptr must be non-decreasing, start at 0, end at len\(indices\), "
    r"and every index must be in \[0, n\)$"
)

SEED = 2**64 - 3


# (multi-source entry, the single-source call each row must equal, extra kwargs)
RUNNERS = {
    "dijkstra_multisource": (native.dijkstra_multisource, lambda g, s: native.dijkstra(*g, s), {}),
    "bmssp_multisource": (native.bmssp_multisource, lambda g, s: native.bmssp(*g, s, SEED), {"seed": SEED}),
}


def arrays(indptr, indices, weights):
    return (
        np.array(indptr, dtype=np.int64),
        np.array(indices, dtype=np.int32),
        np.array(weights, dtype=np.float64),
    )


def src(*values):
    return np.array(values, dtype=np.int64)


def sample_graphs():
    """Fixed-seed graphs with zero weights, self-loops, parallel edges and isolated vertices."""
    rng = np.random.default_rng(4)
    return [
        random_graph(rng, 60, 300, zero_share=0.2),
        random_graph(rng, 200, 900, integer=False),
        random_graph(rng, 80, 40),  # mostly isolated vertices
        grid_graph(rng, 9, 13),
        arrays([0, 0], [], []),  # one vertex, no edges
    ]


def sample_sources(n, rng):
    """Unsorted, with repeats, longer than the pool has threads."""
    picked = rng.integers(0, n, size=23)
    return np.concatenate([picked, picked[:3], [n - 1, 0, n - 1]]).astype(np.int64)


def check_rows(name, graph, sources):
    """Row i of the flat result equals the single-source call for sources[i], bit for bit."""
    multi, single, extra = RUNNERS[name]
    dist, pred = multi(*graph, sources, **extra)
    n, k = len(graph[0]) - 1, len(sources)
    assert dist.dtype == np.float64 and pred.dtype == np.int32
    assert dist.shape == pred.shape == (k * n,)
    for i, s in enumerate(sources):
        row = slice(i * n, (i + 1) * n)
        d, p = single(graph, int(s))
        assert dist[row].tobytes() == d.tobytes(), (name, i, s)
        assert pred[row].tobytes() == p.tobytes(), (name, i, s)
    return dist, pred


def check_all_rows():
    rng = np.random.default_rng(99)
    for graph in sample_graphs():
        sources = sample_sources(len(graph[0]) - 1, rng)
        for name in RUNNERS:
            check_rows(name, graph, sources)


def thread_count():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))


def run_python(code, env_extra=None, timeout=60):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["OPENBLAS_NUM_THREADS"] = "1"
    env["PYTHONPATH"] = os.pathsep.join([str(TESTS), env.get("PYTHONPATH", "")])
    env.update(env_extra or {})
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         env=env, timeout=timeout)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


# ---------------------------------------------------------------------------
# Rows


@pytest.mark.parametrize("name", RUNNERS)
def test_rows_equal_single_source_calls(name):
    rng = np.random.default_rng(7)
    for graph in sample_graphs():
        check_rows(name, graph, sample_sources(len(graph[0]) - 1, rng))


@pytest.mark.parametrize("name", RUNNERS)
def test_rows_are_certified_shortest_paths(name):
    graph = random_graph(np.random.default_rng(12), 400, 2400, integer=False, zero_share=0.1)
    sources = src(399, 0, 17, 17, 250)
    dist, pred = check_rows(name, graph, sources)
    n = 400
    for i, s in enumerate(sources):
        assert_certificate(*graph, s, dist[i * n : (i + 1) * n], pred[i * n : (i + 1) * n])


@pytest.mark.parametrize(
    "env, workers",
    [
        ({"RAYON_NUM_THREADS": "1"}, 0),
        ({"RAYON_NUM_THREADS": "2"}, 1),
        ({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "1"}, 4),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, 2),
        ({"RAYON_NUM_THREADS": "two", "RAYON_RS_NUM_CPUS": "+2"}, 1),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "-3", "QH_AFFINITY": "1"}, 0),
        ({}, None),  # this process's CPUs, whatever the machine has
        ({"QH_AFFINITY": "1"}, 0),  # one allowed CPU: no worker, however many the machine has
    ],
)
def test_pool_size_and_rows_in_a_fresh_process(env, workers):
    """The pool is made once per process, so each size gets a subprocess.

    Every pool size must give the same bits; the number of threads the first
    call starts (size - 1 workers, the caller is the last thread) shows which
    size the environment chose.
    """
    code = """
        import json, os
        if os.environ.get("QH_AFFINITY"):
            os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[: int(os.environ["QH_AFFINITY"])])
        import numpy as np
        import test_multisource as t

        graph = t.arrays([0, 1, 1], [1], [1.0])
        threads = t.thread_count
        before = threads()
        native = t.native
        native.dijkstra_multisource(*graph, np.array([0, 1, 0, 1]))
        started = threads() - before
        t.check_all_rows()
        assert threads() - before == started  # the pool is kept, not remade
        print(json.dumps({"started": started, "cpus": len(os.sched_getaffinity(0))}))
    """
    report = json.loads(run_python(code, env))
    expected = report["cpus"] - 1 if workers is None else workers
    assert report["started"] == expected


# ---------------------------------------------------------------------------
# Errors, in the order the entries detect them


@pytest.mark.parametrize("name", RUNNERS)
def test_first_bad_source_in_input_order_beats_bad_weights(name):
    multi, _, extra = RUNNERS[name]
    good = arrays([0, 1, 2, 2], [1, 2], [1.0, 2.0])
    bad_weights = arrays([0, 1, 2, 2], [1, 2], [-1.0, np.nan])
    for graph in (good, bad_weights):
        with pytest.raises(IndexError, match=r"^source 3 is out of range for graph with 3 vertices$"):
            multi(*graph, src(0, 2, 3, -1, 99), **extra)
        with pytest.raises(IndexError, match=r"^source -1 is out of range for graph with 3 vertices$"):
            multi(*graph, src(1, -1, 3), **extra)
        with pytest.raises(IndexError, match=r"^source -9223372036854775808 is out of range"):
            multi(*graph, src(-(2**63)), **extra)


@pytest.mark.parametrize("name", RUNNERS)
def test_shape_tests_come_before_the_source_test(name):
    multi, _, extra = RUNNERS[name]
    indptr, indices, weights = arrays([0, 1, 2, 2], [1, 2], [1.0, 2.0])
    with pytest.raises(ValueError, match="^indices and weights must have the same length$"):
        multi(indptr, indices, weights[:1], src(-1), **extra)
    with pytest.raises(ValueError, match=r"^indptr\[-1\] must equal len\(indices\)$"):
        multi(np.array([0, 1, 2, 1]), indices, weights, src(5), **extra)
    with pytest.raises(ValueError, match=r"^indptr must have length n \+ 1 \(got empty array\)$"):
        multi(np.array([], np.int64), indices, weights, src(5), **extra)


@pytest.mark.parametrize("name", RUNNERS)
def test_no_sources_and_no_vertices(name):
    multi, _, extra = RUNNERS[name]
    for graph in (arrays([0, 1, 2, 2], [1, 2], [1.0, 2.0]), arrays([0], [], [])):
        dist, pred = multi(*graph, src(), **extra)
        assert dist.dtype == np.float64 and pred.dtype == np.int32
        assert dist.shape == pred.shape == (0,)
    with pytest.raises(IndexError, match=r"^source 0 is out of range for graph with 0 vertices$"):
        multi(*arrays([0], [], []), src(0, -4), **extra)
    # the wrapper keeps n as the row length also without rows
    d, p = getattr(quillharbour, name)(*arrays([0, 1, 2, 2], [1, 2], [1.0, 2.0]), src(), **extra)
    assert d.shape == p.shape == (0, 3)


@pytest.mark.parametrize("name", RUNNERS)
def test_negative_and_nan_weights_get_the_multi_source_message(name):
    multi, _, extra = RUNNERS[name]
    for bad in (-1.0, np.nan, -np.inf, -1e-300):
        # the bad edge is unreachable from every source: all weights are checked
        graph = arrays([0, 1, 1, 2], [1, 0], [1.0, bad])
        with pytest.raises(ValueError, match=MULTI_NEGATIVE):
            multi(*graph, src(0, 1, 0), **extra)
    graph = arrays([0, 1, 1], [1], [-0.0])
    check_rows(name, graph, src(0, 1))


def test_dijkstra_multisource_accepts_infinite_weights():
    graph = arrays([0, 2, 3, 3], [1, 2, 2], [np.inf, 1.0, np.inf])
    dist, _ = check_rows("dijkstra_multisource", graph, src(0, 1))
    assert dist.tolist() == [0.0, np.inf, 1.0, np.inf, 0.0, np.inf]


def test_bmssp_multisource_refuses_infinite_weights_with_its_own_message():
    graph = arrays([0, 2, 3, 3], [1, 2, 2], [np.inf, 1.0, 2.0])
    with pytest.raises(ValueError, match=MULTI_NEGATIVE):
        native.bmssp_multisource(*graph, src(2))
    dist, pred = native.bmssp_multisource(*graph, src())  # no row, no run
    assert dist.size == pred.size == 0


def test_bmssp_multisource_rows_use_the_callers_seed():
    """Each row starts its own random state at the seed: any seed gives the same distances."""
    rng = np.random.default_rng(21)
    graph = random_graph(rng, 500, 3000, zero_share=0.3, max_weight=3)  # many equal paths
    sources = rng.integers(0, 500, size=12).astype(np.int64)
    want = native.dijkstra_multisource(*graph, sources)[0]
    for seed in (0, 1, 2**64 - 1):
        first = native.bmssp_multisource(*graph, sources, seed)
        again = native.bmssp_multisource(*graph, sources, seed=seed)
        assert np.array_equal(first[0], want)
        assert first[0].tobytes() == again[0].tobytes() and first[1].tobytes() == again[1].tobytes()
    d0, p0 = native.bmssp_multisource(*graph, sources)
    assert d0.tobytes() == native.bmssp_multisource(*graph, sources, 0)[0].tobytes()


def test_dijkstra_multisource_finds_malformed_structure_only_when_it_runs():
    bad_head = arrays([0, 1, 2, 2], [1, 3], [1.0, 1.0])
    decreasing = arrays([0, 2, 1, 2], [1, 2], [1.0, 1.0])
    for graph in (bad_head, decreasing):
        with pytest.raises(ValueError, match=MALFORMED):
            native.dijkstra_multisource(*graph, src(2, 0))
        dist, pred = native.dijkstra_multisource(*graph, src())
        assert dist.size == pred.size == 0
        # the owned copy of bmssp_multisource checks the structure whatever k is
        for sources in (src(), src(0)):
            with pytest.raises(ValueError, match=MALFORMED):
                native.bmssp_multisource(*graph, sources)


# ---------------------------------------------------------------------------
# Threads, fork, hostile callers, resources


def test_python_threads_calling_at_once():
    rng = np.random.default_rng(5)
    graphs = [random_graph(rng, 150, 900, zero_share=0.1), grid_graph(rng, 10, 12)]
    jobs = []
    for i in range(24):
        name = list(RUNNERS)[i % len(RUNNERS)]
        graph = graphs[i % 2]
        n = len(graph[0]) - 1
        sources = rng.integers(0, n, size=9).astype(np.int64)
        if i % 5 == 4:
            sources[3] = -1  # every fifth call fails
        jobs.append((name, graph, sources))

    def call(job):
        name, graph, sources = job
        multi, _, extra = RUNNERS[name]
        try:
            d, p = multi(*graph, sources, **extra)
        except IndexError:
            return "IndexError"
        return d.tobytes(), p.tobytes()

    wanted = [call(job) for job in jobs]  # one at a time; rows are checked elsewhere
    barrier = threading.Barrier(6)

    def worker(start):
        barrier.wait()
        return [call(jobs[j]) for j in range(start, len(jobs), 6)]

    with ThreadPoolExecutor(6) as ex:
        results = list(ex.map(worker, range(6)))
    for start, got in enumerate(results):
        assert got == wanted[start::6]


def test_fork_child_gets_a_working_pool():
    """A child forked while the parent's pool exists (and is busy) gets a pool of its own.

    The parent's workers do not exist in the child; the child's first call
    must start new ones and compute the same bits.
    """
    code = """
        import os, threading
        import numpy as np
        import test_multisource as t

        graph = t.random_graph(np.random.default_rng(1), 400, 2400)
        sources = np.arange(0, 400, 29, dtype=np.int64)
        calls = [(multi, extra) for multi, _, extra in t.RUNNERS.values()]
        want = [multi(*graph, sources, **extra) for multi, extra in calls]
        stop = threading.Event()

        def busy():
            while not stop.is_set():
                t.native.dijkstra_multisource(*graph, sources)

        for round in range(4):
            worker = threading.Thread(target=busy) if round % 2 else None
            if worker:
                worker.start()
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    alone = t.thread_count()
                    got = [multi(*graph, sources, **extra) for multi, extra in calls]
                    same = all(a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()
                               for a, b in zip(got, want))
                    # a fresh pool of 3: two new workers beside this thread
                    code = 0 if same and t.thread_count() - alone == 2 else 3
                finally:
                    os._exit(code)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0, (round, status)
            if worker:
                stop.set()
                worker.join()
                stop.clear()
        print("ok")
    """
    assert run_python(code, {"RAYON_NUM_THREADS": "3"}).strip() == "ok"


def test_sources_rewritten_during_the_call_are_never_used_unchecked():
    """Another thread flips the sources between valid and absurd ids while calls run.

    Each call must either report a bad source or return rows that each start
    at a real vertex (one zero distance, positive weights); it must never read
    or write out of bounds.
    """
    code = """
        import threading
        import numpy as np
        import test_multisource as t

        rng = np.random.default_rng(8)
        indptr, indices, weights = t.random_graph(rng, 2000, 12000)
        weights = weights + 1.0
        n = 2000
        valid = rng.integers(0, n, size=64).astype(np.int64)
        sources = valid.copy()
        stop = threading.Event()

        def flip():
            while not stop.is_set():
                sources[:] = 10**12
                sources[:] = valid

        writer = threading.Thread(target=flip)
        writer.start()
        outcomes = set()
        try:
            for _ in range(40):
                try:
                    d, p = t.native.dijkstra_multisource(indptr, indices, weights, sources)
                except IndexError as e:
                    # the writer may be caught mid-element: any id the check refuses will do
                    assert int(str(e).split()[1]) >= n and "is out of range" in str(e), e
                    outcomes.add("refused")
                    continue
                rows = d.reshape(64, n)
                assert ((rows == 0.0).sum(axis=1) == 1).all()
                outcomes.add("ran")
        finally:
            stop.set()
            writer.join()
        print(sorted(outcomes))
    """
    assert "ran" in run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=120)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.parametrize("name", RUNNERS)
def test_references_and_memory_stay_flat(name):
    multi, _, extra = RUNNERS[name]
    graph = random_graph(np.random.default_rng(6), 2000, 2000)
    sources = src(0, 5, 1999, 5)
    bad = src(0, 2000)
    before = [sys.getrefcount(a) for a in (*graph, sources, bad)]
    for _ in range(200):
        multi(*graph, sources, **extra)
    gc.collect()
    base = rss_bytes()
    for _ in range(1000):
        d, p = multi(*graph, sources, **extra)
        with pytest.raises(IndexError):
            multi(*graph, bad, **extra)
    del d, p
    gc.collect()
    # each call hands out 96 kB; keeping the results would be ~96 MB
    assert rss_bytes() - base < 8 * 2**20
    assert [sys.getrefcount(a) for a in (*graph, sources, bad)] == before


def test_out_of_memory_inside_a_row_raises_memory_error(tmp_path):
    """A row whose heap cannot be allocated, or results that cannot be, raise MemoryError."""
    m = 50_000_000
    for name, size in (("indices", 4 * m), ("weights", 8 * m)):
        with open(tmp_path / name, "wb") as f:  # sparse files: all heads 0, all weights 0
            f.truncate(size)
    code = f"""
        import resource
        import numpy as np
        import test_multisource as t

        indices = np.memmap({str(tmp_path / "indices")!r}, dtype=np.int32, mode="r")
        weights = np.memmap({str(tmp_path / "weights")!r}, dtype=np.float64, mode="r")
        indptr = np.array([0, {m}], dtype=np.int64)
        small = t.arrays([0, 1, 1], [1], [1.0])
        wide = t.arrays(np.zeros(10**6 + 1), [], [])
        t.native.dijkstra_multisource(*small, np.array([0, 1]))  # the pool exists now
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        # the row's heap needs 12 bytes per edge (600 MB); leave it 300 MB
        resource.setrlimit(resource.RLIMIT_AS, (size + 300 * 2**20, resource.RLIM_INFINITY))
        try:
            t.native.dijkstra_multisource(indptr, indices, weights, np.array([0, 0, 0]))
        except MemoryError:
            print("memory error in a row")
        try:  # 100 rows of 10**6 vertices: the result buffers alone need 1.2 GB
            t.native.dijkstra_multisource(*wide, np.arange(100))
        except MemoryError:
            print("memory error for the results")
        print(t.native.dijkstra_multisource(*small, np.array([1, 0]))[0].tolist())
    """
    out = run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert out.split("\n")[:3] == ["memory error in a row", "memory error for the results", "[inf, 0.0, 0.0, 1.0]"]
