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
def build(tmp_path_factory):
    """The native tests, the benchmark driver and an extension with test hooks, sharing one core
    build (instrumented as well under tools/sanitize)."""
    build = Path(os.environ.get("QH_NATIVE_BUILD_DIR") or tmp_path_factory.mktemp("native"))
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build), "-DQH_BUILD_NATIVE_TESTS=ON", "-DQH_TEST_HOOKS=ON",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g",
        f"-DPython_EXECUTABLE={sys.executable}", f"-DQH_SANITIZE={'ON' if os.environ.get('QH_SANITIZED') else 'OFF'}",
    ]
    subprocess.run(configure, check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "qh_native_tests", "qh_native_bmssp",
                    "_quillharbour"], check=True, capture_output=True, text=True)
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
    run = subprocess.run([binary, f"file:{tmp_path / 'g'}:0", "share", "0", "0", "2"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "n=4 m=3 n'=7" in run.stdout, run.stderr
    assert 0.0 < float(run.stdout.split("transform share ")[1].split()[0]) < 1.0
    bad = subprocess.run([binary, f"file:{tmp_path / 'g'}:4", "share"], capture_output=True, text=True)
    assert bad.returncode == 2 and "not a CSR graph with source 4" in bad.stderr
    (tmp_path / "g.weights").write_bytes(b"\0" * 8)
    bad = subprocess.run([binary, f"file:{tmp_path / 'g'}:0", "share"], capture_output=True, text=True)
    assert bad.returncode == 2 and "g.weights: missing or not 3 values" in bad.stderr


def test_internal_stop_surfaces_as_panic_exception(build):
    code = textwrap.dedent(
        """
        import importlib.machinery, importlib.util, os, sys, threading
        import numpy as np
        loader = importlib.machinery.ExtensionFileLoader("quillharbour._quillharbour", sys.argv[1])
        native = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(native)
        graph = (np.array([0, 1, 1]), np.array([1], np.int32), np.array([1.0]))
        os.environ["QH_TEST_FAULT"] = "stop"
        caught = []
        for attempt in range(2):
            try:
                native.dijkstra(*graph, 0)
            except Exception:
                raise SystemExit("caught by except Exception")
            except BaseException as e:
                caught.append(e)
        first, second = caught
        cls = type(first)
        assert type(second) is cls, "the class is created once"
        assert cls.__module__ == "pyo3_runtime" and cls.__qualname__ == "PanicException"
        assert cls.__bases__ == (BaseException,)
        assert first.args == ("internal stop provoked by the test suite",)
        # the lock was taken back: other threads and later calls work
        t = threading.Thread(target=lambda: None); t.start(); t.join()
        os.environ["QH_TEST_FAULT"] = "exception"
        try:
            native.dijkstra(*graph, 0)
        except BaseException as e:
            assert type(e) is cls and e.args == ("index out of range",), e
        os.environ["QH_TEST_FAULT"] = "bad_alloc"
        try:
            native.dijkstra(*graph, 0)
        except MemoryError:
            pass
        del os.environ["QH_TEST_FAULT"]
        print(native.dijkstra(*graph, 0)[0].tolist())
        """
    )
    (so,) = build.glob("_quillharbour*.so")
    out = subprocess.run([sys.executable, "-c", code, str(so)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[0.0, 1.0]"


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake not installed")
def test_failures_deep_in_a_run_reach_python(build):
    """An internal stop inside the block queue and an allocation failure while a
    queue retires its blocks, single-source and in pool rows: PanicException and
    MemoryError, and the process goes on answering the same."""
    code = textwrap.dedent(
        """
        import importlib.machinery, importlib.util, os, sys
        import numpy as np
        loader = importlib.machinery.ExtensionFileLoader("quillharbour._quillharbour", sys.argv[1])
        native = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(native)
        rng = np.random.default_rng(2)
        n, m = 3000, 12000
        tails, heads = rng.integers(0, n, m), rng.integers(0, n, m)
        order = np.argsort(tails, kind="stable")
        g = (np.concatenate([[0], np.cumsum(np.bincount(tails, minlength=n))]).astype(np.int64),
             heads[order].astype(np.int32), rng.integers(1, 50, m)[order].astype(np.float64))
        sources = np.array([0, 5, 9, 11], np.int64)
        calls = {"bmssp": lambda: native.bmssp(*g, 0),
                 "bmssp_multisource": lambda: native.bmssp_multisource(*g, sources)}
        before = {name: call()[0].tobytes() for name, call in calls.items()}
        for site, expected in (("unit_queue_stop", "BaseException"), ("retire_bad_alloc", "MemoryError")):
            os.environ["QH_TEST_FAULT"] = site
            for name, call in calls.items():
                try:
                    call()
                    raise SystemExit(f"{site}: {name} finished")
                except MemoryError:
                    got = "MemoryError"
                except Exception as e:
                    raise SystemExit(f"{site}: {name} raised {e!r}")
                except BaseException as e:
                    assert type(e).__qualname__ == "PanicException", e
                    assert e.args == ("UnitQueue: held vertex missing from its block",), e
                    got = "BaseException"
                assert got == expected, (site, name, got)
        del os.environ["QH_TEST_FAULT"]
        assert {name: call()[0].tobytes() for name, call in calls.items()} == before
        print("ok")
        """
    )
    so = next(build.glob("_quillharbour*.so"))
    out = subprocess.run([sys.executable, "-c", code, str(so)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
