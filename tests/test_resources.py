"""Memory, references and the allocator boundary."""

from __future__ import annotations

import gc
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quillharbour
from quillharbour import _quillharbour as native
from conftest import not_sanitized, random_graph


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@not_sanitized
def test_repeated_calls_keep_references_and_memory_flat():
    rng = np.random.default_rng(11)
    graph = random_graph(rng, 300, 1500)
    source = 7
    before = [sys.getrefcount(a) for a in graph]
    # warm up allocator pools before the baseline
    for _ in range(500):
        quillharbour.dijkstra(*graph, source)
    gc.collect()
    base = rss_bytes()
    for _ in range(10_000):
        d, p = quillharbour.dijkstra(*graph, source)
    del d, p
    gc.collect()
    grown = rss_bytes() - base
    # each call hands out ~3.6 kB; a leak of the results alone would be ~36 MB
    assert grown < 4 * 2**20, grown
    assert [sys.getrefcount(a) for a in graph] == before
    # failing calls release their borrows too
    for _ in range(1000):
        with pytest.raises(IndexError):
            quillharbour.dijkstra(*graph, 10**6)
        with pytest.raises(TypeError):
            quillharbour.dijkstra(graph[0], graph[1], graph[2].astype(np.float32), source)
    assert [sys.getrefcount(a) for a in graph] == before


@not_sanitized
def test_result_buffer_freed_with_its_array():
    graph = random_graph(np.random.default_rng(1), 2_000_000, 0)
    gc.collect()
    base = rss_bytes()
    for _ in range(20):
        d, p = quillharbour.dijkstra(*graph, 0)
        d[:] = 1.0  # touch the pages
        del d, p
    gc.collect()
    # 20 leaked pairs would be 240 MB
    assert rss_bytes() - base < 64 * 2**20


@not_sanitized
def test_allocation_failure_raises_memory_error(tmp_path):
    """A run that cannot get its memory raises MemoryError; the process lives."""
    n = 300_000_000
    path = tmp_path / "indptr.bin"
    with open(path, "wb") as f:  # a sparse file: indptr all zero, no edges
        f.truncate(8 * (n + 1))
    code = textwrap.dedent(
        f"""
        import resource
        import numpy as np
        import quillharbour
        indptr = np.memmap({str(path)!r}, dtype=np.int64, mode="r")
        e = np.zeros(0, np.int32); w = np.zeros(0)
        resource.setrlimit(resource.RLIMIT_AS, (5 * 2**30, 5 * 2**30))
        try:
            quillharbour.dijkstra(indptr, e, w, 0)
        except MemoryError:
            print("memory error")
        # still alive and working afterwards
        print(quillharbour.dijkstra(np.array([0, 0]), e, w, 0)[0].tolist())
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["memory error", "[0.0]"]


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
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "libc"
