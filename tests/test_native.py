"""The core's own tests, its benchmark driver and the internal-stop path, from one native build."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake not installed")


@pytest.fixture(scope="session")
def build():
    """The native tests, the benchmark driver and both extension modules with test hooks, sharing one core
    build (instrumented as well under tools/sanitize). The build directory is kept, so that a
    second run recompiles only what changed."""
    sanitized = bool(os.environ.get("QH_SANITIZED"))
    given = os.environ.get("QH_NATIVE_BUILD_DIR")  # tools/sanitize hands over its configured build
    build = Path(given or ROOT / "build" / ("native-asan" if sanitized else "native-test"))
    if not (given and (build / "CMakeCache.txt").is_file()):
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DQH_BUILD_NATIVE_TESTS=ON", "-DQH_TEST_HOOKS=ON",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1",
                        f"-DPython_EXECUTABLE={sys.executable}", f"-DQH_SANITIZE={'ON' if sanitized else 'OFF'}"],
                       check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "qh_native_tests", "qh_native_bmssp",
                    "_quillharbour", "_search"], check=True, capture_output=True, text=True)
    return build


def test_native_suite(build):
    result = subprocess.run([str(build / "qh_native_tests")], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0 and " passed, 0 failed" in result.stdout, result.stdout + result.stderr


def test_native_benchmark_reads_what_the_python_benchmark_writes(build, tmp_path):
    # 0 -> 1 -> 2 and 0 -> 2, plus an isolated vertex: n' = 2 * 3 + 1
    arrays = {"indptr": np.array([0, 2, 3, 3, 3], np.int64), "indices": np.array([1, 2, 2], np.int32),
              "weights": np.array([1.0, 1.0, 5.0])}
    for name, a in arrays.items():
        a.tofile(tmp_path / f"g.{name}")
    binary = str(build / "qh_native_bmssp")
    run = subprocess.run([binary, f"file:{tmp_path / 'g'}:0", "share", "0", "2"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "n=4 m=3 n'=7" in run.stdout, run.stderr
    assert 0.0 < float(run.stdout.split("transform share ")[1].split()[0]) < 1.0
    bad = subprocess.run([binary, f"file:{tmp_path / 'g'}:4", "share"], capture_output=True, text=True)
    assert bad.returncode == 2 and "not a CSR graph with source 4" in bad.stderr
    (tmp_path / "g.weights").write_bytes(b"\0" * 8)
    bad = subprocess.run([binary, f"file:{tmp_path / 'g'}:0", "share"], capture_output=True, text=True)
    assert bad.returncode == 2 and "g.weights: missing or not 3 values" in bad.stderr


HOOKED = """
    import importlib.machinery, importlib.util, os, sys, threading
    import numpy as np
    def load(name, path):
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(module)
        return module
    native = load("quillharbour._quillharbour", sys.argv[1])
    graph = (np.array([0, 1, 1]), np.array([1], np.int32), np.array([1.0]))
    rng = np.random.default_rng(2)
    n, m = 3000, 12000
    tails, heads = rng.integers(0, n, m), rng.integers(0, n, m)
    order = np.argsort(tails, kind="stable")
    g = (np.concatenate([[0], np.cumsum(np.bincount(tails, minlength=n))]).astype(np.int64),
         heads[order].astype(np.int32), rng.integers(1, 50, m)[order].astype(np.float64))
    calls = {"dijkstra": lambda: native.dijkstra(*graph, 0), "bmssp": lambda: native.bmssp(*g, 0),
             "bmssp_multisource": lambda: native.bmssp_multisource(*g, np.array([0, 5, 9, 11], np.int64))}
    before = {name: call()[0].tobytes() for name, call in calls.items()}
    # (fault site, entries, what reaches Python)
    faults = [("stop", ["dijkstra"] * 2, ("internal stop provoked by the test suite",)),
              ("exception", ["dijkstra"], ("index out of range",)), ("bad_alloc", ["dijkstra"], MemoryError),
              ("unit_queue_stop", ["bmssp", "bmssp_multisource"], ("UnitQueue: held vertex missing from its block",)),
              ("retire_bad_alloc", ["bmssp", "bmssp_multisource"], MemoryError)]
    panics = set()
    for site, names, expected in faults:
        os.environ["QH_TEST_FAULT"] = site
        for name in names:
            try:
                calls[name]()
                raise SystemExit(f"{site}: {name} finished")
            except MemoryError as e:
                assert expected is MemoryError, (site, name)
                assert str(e).startswith("Unable to allocate "), (site, name, str(e))
            except Exception as e:
                raise SystemExit(f"{site}: {name} raised {e!r}, caught by except Exception")
            except BaseException as e:
                cls = type(e)
                assert cls.__module__ == "pyo3_runtime" and cls.__qualname__ == "PanicException", e
                assert cls.__bases__ == (BaseException,) and e.args == expected, (site, name, e)
                panics.add(cls)
            # the lock was taken back: other threads run
            t = threading.Thread(target=lambda: None); t.start(); t.join()
    assert len(panics) == 1, "the class is created once"
    # made by _quillharbour, on its first stop: the other module, loaded after, has the same class
    assert load("quillharbour._search", sys.argv[2]).PanicException in panics
    del os.environ["QH_TEST_FAULT"]
    assert {name: call()[0].tobytes() for name, call in calls.items()} == before
    print("ok")
"""


def test_failures_inside_a_run_reach_python(build):
    """Internal stops (in Dijkstra and deep in the block queue), exceptions and allocation
    failures, single-source and in pool rows: PanicException or MemoryError, and the process goes
    on answering the same."""
    so = next(build.glob("_quillharbour*.so"))
    search = next(build.glob("_search*.so"))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(HOOKED), str(so), str(search)], capture_output=True,
                         text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


ONE_PANIC = """
    import os, sys
    import numpy as np
    import quillharbour
    from quillharbour import _quillharbour, _search
    assert quillharbour.__file__.startswith(sys.argv[1]), quillharbour.__file__
    graph = (np.array([0, 1, 1]), np.array([1], np.int32), np.array([1.0]))
    os.environ["QH_TEST_FAULT"] = "stop"
    caught = []
    for call in (lambda: _quillharbour.dijkstra(*graph, 0), lambda: _search.search(*graph, np.array([0])),
                 lambda: quillharbour.bmssp(*graph, 0), lambda: _search.bmssp_counted(*graph, 0)):
        try:
            call()
        except quillharbour.PanicException as e:
            caught.append(type(e))
    assert caught == [_search.PanicException] * 4, caught
    # the module's contract: its six functions and __all__, nothing else of its own
    assert {name for name in vars(_quillharbour) if not name.startswith("__")} == set(_quillharbour.__all__)
    print("ok")
"""


def test_one_panic_exception_for_the_package(build, tmp_path):
    """A stop in either extension module is caught by one `except quillharbour.PanicException`."""
    package = tmp_path / "quillharbour"
    shutil.copytree(ROOT / "python" / "quillharbour", package, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    for so in [*build.glob("_quillharbour*.so"), *build.glob("_search*.so")]:
        shutil.copy(so, package / so.name)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(ONE_PANIC), str(tmp_path)], capture_output=True,
                         text=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
