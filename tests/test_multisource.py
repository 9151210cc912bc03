"""Multi-source runs in the process-wide pool: its size and fork.
(Rows against the other algorithms: test_exact.py; the error contract: test_errors.py.)"""

from __future__ import annotations

import json

import numpy as np
import pytest

from conftest import csr, grid_graph, random_graph, run_python
from quillharbour import _quillharbour as native

SEED = 2**64 - 3


# (multi-source entry, the single-source call each row must equal, extra kwargs)
RUNNERS = {
    "dijkstra_multisource": (native.dijkstra_multisource, lambda g, s: native.dijkstra(*g, s), {}),
    "bmssp_multisource": (native.bmssp_multisource, lambda g, s: native.bmssp(*g, s, SEED), {"seed": SEED}),
}


def sample_graphs():
    """Fixed-seed graphs with zero weights, self-loops, parallel edges and isolated vertices."""
    rng = np.random.default_rng(4)
    return [
        random_graph(rng, 60, 300, zero_share=0.2),
        random_graph(rng, 200, 900, integer=False),
        random_graph(rng, 80, 40),  # mostly isolated vertices
        grid_graph(rng, 9, 13),
        csr([0, 0], [], []),  # one vertex, no edges
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


@pytest.mark.parametrize(
    "env, workers",
    [
        ({"RAYON_NUM_THREADS": "1"}, 0),
        ({"RAYON_NUM_THREADS": "2"}, 1),
        ({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "1"}, 4),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, 2),
        ({"RAYON_NUM_THREADS": "two", "RAYON_RS_NUM_CPUS": "+3", "QH_AFFINITY": "1"}, 2),  # not the CPUs it may use
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

        graph = t.csr([0, 1, 1], [1], [1.0])
        threads = t.thread_count
        before = threads()
        native = t.native
        native.dijkstra_multisource(*graph, np.array([0, 1, 0, 1]))
        started = threads() - before
        t.check_all_rows()
        assert threads() - before == started  # the pool is kept, not remade
        print(json.dumps({"started": started, "cpus": len(os.sched_getaffinity(0))}))
    """
    report = json.loads(run_python(code, env=env))
    assert report["started"] == (report["cpus"] - 1 if workers is None else workers)


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
    assert run_python(code, env={"RAYON_NUM_THREADS": "3"}).strip() == "ok"
