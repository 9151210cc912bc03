"""Builds the native core's own test binary and runs it."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake not installed")
def test_native_suite(tmp_path_factory):
    build = Path(os.environ.get("QH_NATIVE_BUILD_DIR") or tmp_path_factory.mktemp("native"))
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build),
        "-DQH_BUILD_EXTENSION=OFF", "-DQH_BUILD_NATIVE_TESTS=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g",
    ]
    subprocess.run(configure, check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", str(build), "-j2"], check=True, capture_output=True, text=True)
    result = subprocess.run([str(build / "qh_native_tests")], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert " passed, 0 failed" in result.stdout
