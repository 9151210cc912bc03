"""Builds the native core's own test binary and runs it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake not installed")
def test_native_suite(tmp_path_factory):
    build = Path(os.environ.get("QH_NATIVE_BUILD_DIR") or tmp_path_factory.mktemp("native"))
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build),
        "-DQH_BUILD_EXTENSION=OFF", "-DQH_BUILD_NATIVE_TESTS=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g",
        # under tools/sanitize the native suite is instrumented as well
        f"-DQH_SANITIZE={'ON' if os.environ.get('QH_SANITIZED') else 'OFF'}",
    ]
    subprocess.run(configure, check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", str(build), "-j2"], check=True, capture_output=True, text=True)
    result = subprocess.run([str(build / "qh_native_tests")], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert " passed, 0 failed" in result.stdout
    check_native_benchmark(build / "qh_native_bmssp", build)


def check_native_benchmark(binary, scratch):
    """The benchmark reads a graph the way bench/bench_bmssp.py writes it and reports its share."""
    import numpy as np

    # 0 -> 1 -> 2 and 0 -> 2, plus an isolated vertex: n' = 2 * 3 + 1
    arrays = {"indptr": np.array([0, 2, 3, 3, 3], np.int64), "indices": np.array([1, 2, 2], np.int32),
              "weights": np.array([1.0, 1.0, 5.0])}
    for name, a in arrays.items():
        a.tofile(scratch / f"g.{name}")
    run = subprocess.run([str(binary), f"file:{scratch / 'g'}:0", "share", "0", "0", "2"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert "n=4 m=3 n'=7" in run.stdout
    share = float(run.stdout.split("transform share ")[1].split()[0])
    assert 0.0 < share < 1.0
    # a source out of range and a truncated file are refused, not run
    bad = subprocess.run([str(binary), f"file:{scratch / 'g'}:4", "share"], capture_output=True, text=True)
    assert bad.returncode == 2 and "not a CSR graph with source 4" in bad.stderr
    (scratch / "g.weights").write_bytes(b"\0" * 8)
    bad = subprocess.run([str(binary), f"file:{scratch / 'g'}:0", "share"], capture_output=True, text=True)
    assert bad.returncode == 2 and "g.weights: missing or not 3 values" in bad.stderr


@pytest.fixture(scope="session")
def hooked_extension(tmp_path_factory):
    """The extension built with test hooks, in a scratch directory."""
    import numpy

    build = tmp_path_factory.mktemp("hooked")
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build), "-DQH_TEST_HOOKS=ON",
        f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
    ]
    subprocess.run(configure, check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "_quillharbour"],
                   check=True, capture_output=True, text=True)
    (so,) = build.glob("_quillharbour*.so")
    assert numpy  # the build used this interpreter's numpy headers
    return so


LOAD_HOOKED = """
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader("quillharbour._quillharbour", sys.argv[1])
spec = importlib.util.spec_from_loader("quillharbour._quillharbour", loader)
native = importlib.util.module_from_spec(spec)
loader.exec_module(native)
import numpy as np
graph = (np.array([0, 1, 1]), np.array([1], np.int32), np.array([1.0]))
"""


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake not installed")
def test_internal_stop_surfaces_as_panic_exception(hooked_extension):
    code = LOAD_HOOKED + textwrap.dedent(
        """
        import os, threading
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
    out = subprocess.run([sys.executable, "-c", code, str(hooked_extension)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[0.0, 1.0]"


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake not installed")
def test_failures_deep_in_a_run_reach_python(hooked_extension):
    """An internal stop inside the block queue and an allocation failure while a
    queue retires its blocks, single-source and in pool rows: PanicException and
    MemoryError, and the process goes on answering the same."""
    code = LOAD_HOOKED + textwrap.dedent(
        """
        import os
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
    out = subprocess.run([sys.executable, "-c", code, str(hooked_extension)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
