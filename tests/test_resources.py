"""Memory, references, the allocator boundary, and threads mixing every entry."""

from __future__ import annotations

import gc
import os
import re
import shutil
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from conftest import not_sanitized, random_graph, run_python
from quillharbour import _quillharbour as native


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


ENTRIES = {
    "dijkstra": lambda g, s: native.dijkstra(*g, s),
    "bmssp": lambda g, s: native.bmssp(*g, s),
    "bmssp_instrumented": lambda g, s: native.bmssp_instrumented(*g, s),
    "bmssp_variant": lambda g, s: native.bmssp_variant(*g, s, "tuned"),
    "dijkstra_multisource": lambda g, s: native.dijkstra_multisource(*g, np.array([s, 0])),
    "bmssp_multisource": lambda g, s: native.bmssp_multisource(*g, np.array([0, s])),
}


FAULTS_OF_LATER_RUNS = """
    import resource, time
    import quillharbour as qh
    from quillharbour.generators import lattice
    g = lattice(200, 200, seed=1)  # buffers of about 15 MB a run
    qh.bmssp(*g, 0)
    faults = 0
    for _ in range(4):
        time.sleep(0.25)  # past the allocator's purge delay: what the last run freed is purged
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        qh.bmssp(*g, 0)
        faults += resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    print(faults)
"""


@not_sanitized
def test_later_runs_reuse_the_pages_earlier_runs_freed():
    # Purged pages are reset, not decommitted, so a run reuses what the last one freed instead
    # of faulting it in again; a user's own MIMALLOC_PURGE_DECOMMITS still rules.
    reset = int(run_python(FAULTS_OF_LATER_RUNS))
    decommitted = int(run_python(FAULTS_OF_LATER_RUNS, env={"MIMALLOC_PURGE_DECOMMITS": "1"}))
    if decommitted < 200:
        pytest.skip(f"decommitted pages came back in few faults here ({decommitted}): huge pages?")
    assert reset * 8 < decommitted, (reset, decommitted)


@not_sanitized
@pytest.mark.parametrize("name", ENTRIES)
def test_many_calls_keep_memory_and_references_flat(name):
    graph = random_graph(np.random.default_rng(5), 6, 12)  # small, so many calls stay cheap
    fn = ENTRIES[name]
    refs = [sys.getrefcount(a) for a in graph]
    for _ in range(2000):
        fn(graph, 1)
    gc.collect()
    # A leak grows in every window; an allocator keeping a few more pages (a pool thread's
    # cache, say) grows once. So the quietest of three windows decides: a leak of even the two
    # result arrays (>= 360 bytes a call) would add 3.4 MiB to each.
    growth = []
    for _ in range(3):
        base = rss_bytes()
        for _ in range(10_000):
            fn(graph, 1)
        gc.collect()
        growth.append(rss_bytes() - base)
    assert min(growth) < 2 * 2**20, growth
    for _ in range(1000):  # failing calls release their borrows too
        with pytest.raises(IndexError):
            fn(graph, 10**6)
    assert [sys.getrefcount(a) for a in graph] == refs


@not_sanitized
def test_allocation_failures_raise_memory_error(tmp_path):
    """A run, or a pool row, that cannot get its memory, or results that cannot be allocated,
    raise MemoryError; the process lives on, pool included."""
    m, n = 50_000_000, 300_000_000
    for name, size in (("indices", 4 * m), ("weights", 8 * m), ("indptr", 8 * (n + 1))):
        with open(tmp_path / name, "wb") as f:  # sparse files: all zero
            f.truncate(size)
    code = f"""
        import resource
        import numpy as np
        from conftest import csr
        from quillharbour import _quillharbour as native

        indices = np.memmap({str(tmp_path / "indices")!r}, dtype=np.int32, mode="r")
        weights = np.memmap({str(tmp_path / "weights")!r}, dtype=np.float64, mode="r")
        indptr = np.memmap({str(tmp_path / "indptr")!r}, dtype=np.int64, mode="r")
        small = csr([0, 1, 1], [1], [1.0])
        native.dijkstra_multisource(*small, np.array([0, 1]))  # the pool exists now
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        # a row's heap needs 12 bytes per arc (600 MB); leave it 300 MB
        resource.setrlimit(resource.RLIMIT_AS, (size + 300 * 2**20, resource.RLIM_INFINITY))
        for what, run in [("a row", lambda: native.dijkstra_multisource(np.array([0, {m}]), indices, weights,
                                                                         np.array([0, 0, 0]))),
                          ("the results", lambda: native.dijkstra_multisource(*csr(np.zeros(10**6 + 1), [], []),
                                                                              np.arange(100))),  # 1.2 GB
                          ("a run", lambda: native.dijkstra(indptr, indices[:0], weights[:0], 0))]:  # 2.4 GB
            try:
                run()
            except MemoryError as e:
                print("memory error in", what, "|", e)
        print(native.dijkstra_multisource(*small, np.array([1, 0]))[0].tolist())
    """
    out = run_python(code, env={"RAYON_NUM_THREADS": "2"})
    # every MemoryError names what was asked for; the results are refused before any work
    assert re.fullmatch(r"memory error in a row \| Unable to allocate \d+\.?\d* MiB for the working storage of "
                        r"this call; the address-space limit \(RLIMIT_AS\) leaves \d+\.?\d* MiB\n"
                        r"memory error in the results \| Unable to allocate 1\.12 GiB for the results of 100 sources x "
                        r"1000000 vertices \(12 bytes per source and vertex\); the address-space limit \(RLIMIT_AS\) "
                        r"leaves \d+\.?\d* MiB\n"
                        r"memory error in a run \| Unable to allocate 2\.24 GiB for the working storage of this call; "
                        r"the address-space limit \(RLIMIT_AS\) leaves \d+\.?\d* MiB\n"
                        r"\[inf, 0\.0, 0\.0, 1\.0\]\n", out), out


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils not installed")
def test_module_exports_only_its_init_symbol():
    """mimalloc is linked in with its override symbols made local."""
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__quillharbour"]
    undefined = subprocess.run(
        ["nm", "-D", "--undefined-only", native.__file__], capture_output=True, text=True, check=True
    ).stdout
    # whatever the module takes from outside, it never defines an allocator symbol
    assert "mi_malloc" not in undefined


@not_sanitized
def test_process_malloc_is_not_interposed():
    code = textwrap.dedent(
        """
        import ctypes, ctypes.util
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        before = ctypes.cast(ctypes.CDLL(None).malloc, ctypes.c_void_p).value
        import numpy as np, quillharbour
        quillharbour.dijkstra(np.array([0, 1, 1]), np.array([1], np.int32), np.array([1.0]), 0)
        after = ctypes.cast(ctypes.CDLL(None).malloc, ctypes.c_void_p).value
        libc_malloc = ctypes.cast(libc.malloc, ctypes.c_void_p).value
        assert before == after == libc_malloc, (before, after, libc_malloc)
        print("libc")
        """
    )
    assert run_python(code).strip() == "libc"


def test_eight_threads_mixing_every_entry_agree_with_sequential_answers():
    graph = random_graph(np.random.default_rng(99), 400, 2400)
    for a in graph:
        a.flags.writeable = False
    sources = np.array([3, 0, 3, 17], dtype=np.int64)
    work = {"dijkstra_multi": lambda: native.dijkstra_multisource(*graph, sources),
            "bmssp_multi": lambda: native.bmssp_multisource(*graph, sources, 4),
            "bad-source": lambda: native.bmssp(*graph, 10**6),
            "bad-row": lambda: native.dijkstra_multisource(*graph, sources[::-1] - 1)}
    for s in (0, 5, 77):
        work.update({f"dijkstra/{s}": lambda s=s: native.dijkstra(*graph, s),
                     f"bmssp/{s}": lambda s=s: native.bmssp(*graph, s, s + 1),
                     f"instrumented/{s}": lambda s=s: native.bmssp_instrumented(*graph, s, 2)})
        for v in ("tuned", "simpleq", "hybrid:1:2", "notransform", "fast"):
            work[f"{v}/{s}"] = lambda s=s, v=v: native.bmssp_variant(*graph, s, v, 3)

    def answer(name):
        try:
            return b"".join(a.tobytes() for a in work[name]())
        except IndexError as e:
            return str(e)

    expected = {name: answer(name) for name in work}
    names = sorted(work)
    calls = int(os.environ.get("QH_SOAK_CALLS", "300"))  # per thread, whatever the machine's speed
    failures, counts = [], [0] * 8

    def worker(index):
        rng = np.random.default_rng(index)
        try:
            for _ in range(calls):
                name = names[rng.integers(len(names))]
                if answer(name) != expected[name]:
                    failures.append(name)
                    return
                counts[index] += 1
        except BaseException as e:  # noqa: BLE001 - PanicException included
            failures.append(repr(e))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures and counts == [calls] * 8, (failures[:5], counts)
