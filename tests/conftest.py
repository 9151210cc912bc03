"""Shared graph builders and certificate checks for the test suite."""

from __future__ import annotations

import errno
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import numpy as np
import pytest

# Set by tools/sanitize: address-space limits and RSS readings mean nothing
# under AddressSanitizer's shadow memory and quarantine.
not_sanitized = pytest.mark.skipif(
    bool(os.environ.get("QH_SANITIZED")), reason="meaningless under AddressSanitizer"
)


def python_env(**extra):
    """The environment of a fresh interpreter that imports like this one, with the tests' folder on
    its path, no inherited pool size and single-threaded BLAS (threads are counted)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["PYTHONPATH"] = os.pathsep.join([str(Path(__file__).resolve().parent)] + [p for p in sys.path if p])
    return {**env, "OPENBLAS_NUM_THREADS": "1", **extra}


def run_python(code, *argv, env=None, timeout=120):
    """Runs `code` in such an interpreter; it must exit 0. Its standard output."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, argv)], capture_output=True,
                         text=True, env=python_env(**(env or {})), timeout=timeout)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


def csr(indptr, indices, weights):
    """CSR arrays (int64, int32, float64) written out by hand."""
    return np.array(indptr, np.int64), np.array(indices, np.int32), np.array(weights, np.float64)


def csr_from_edges(n, tails, heads, weights):
    """CSR arrays (int64, int32, float64) from an edge list, rows in edge order."""
    tails = np.asarray(tails, dtype=np.int64)
    heads = np.asarray(heads, dtype=np.int64)
    weights = np.asarray(weights, dtype=np.float64)
    order = np.argsort(tails, kind="stable")
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.add.at(indptr, tails + 1, 1)
    np.cumsum(indptr, out=indptr)
    return indptr, heads[order].astype(np.int32), weights[order]


def random_graph(rng, n, m, *, integer=True, max_weight=20, zero_share=0.0):
    """A random directed multigraph with self-loops and parallel edges allowed."""
    tails = rng.integers(0, n, size=m)
    heads = rng.integers(0, n, size=m)
    if integer:
        weights = rng.integers(0, max_weight + 1, size=m).astype(np.float64)
    else:
        weights = rng.random(m) * max_weight
    if zero_share:
        weights[rng.random(m) < zero_share] = 0.0
    return csr_from_edges(n, tails, heads, weights)


def grid_graph(rng, rows, cols, max_weight=10):
    """A 4-neighbour grid with random integer weights in both directions."""
    ids = np.arange(rows * cols).reshape(rows, cols)
    pairs = [
        (ids[:, :-1].ravel(), ids[:, 1:].ravel()),
        (ids[:, 1:].ravel(), ids[:, :-1].ravel()),
        (ids[:-1, :].ravel(), ids[1:, :].ravel()),
        (ids[1:, :].ravel(), ids[:-1, :].ravel()),
    ]
    tails = np.concatenate([p[0] for p in pairs])
    heads = np.concatenate([p[1] for p in pairs])
    weights = rng.integers(1, max_weight + 1, size=tails.size).astype(np.float64)
    return csr_from_edges(rows * cols, tails, heads, weights)


def assert_certificate(indptr, indices, weights, source, dist, pred):
    """Checks a shortest-path answer without trusting any implementation: every arc is relaxed
    (no d[u] + w < d[v]), the source sits at 0 with no predecessor, every predecessor arc exists
    and is tight, unreached vertices are +inf / -1, and predecessors lead back to the source."""
    n = len(indptr) - 1
    tails = np.repeat(np.arange(n), np.diff(indptr))
    assert dist[source] == 0.0 and pred[source] == -1
    with np.errstate(invalid="ignore", over="ignore"):
        cand = dist[tails] + weights
    assert not np.any(cand < dist[indices]), "an arc is not relaxed"
    reached = np.isfinite(dist)
    assert np.all(pred[~reached] == -1)
    reached[source] = False
    vs = np.flatnonzero(reached)
    assert np.all(pred[vs] >= 0), "a reached vertex has no predecessor"
    tight = np.unique((tails.astype(np.int64) * n + indices)[cand == dist[indices]])
    assert np.all(np.isin(pred[vs].astype(np.int64) * n + vs, tight)), "a predecessor arc is not tight"
    for _ in range(n + 1):  # predecessors lead back to the source without cycles
        vs = vs[vs != source]
        if vs.size == 0:
            break
        vs = pred[vs]
        assert np.all(vs >= 0), "a predecessor chain stops before the source"
    else:
        raise AssertionError("predecessor chains contain a cycle")


def huge_npz(path):
    """A csr archive whose data member's header declares 10^12 values it does not hold."""
    np.savez(path, format=np.array(b"csr"), shape=np.array([2, 2]), data=np.ones(1),
             indices=np.zeros(1, np.int32), indptr=np.array([0, 1, 1]))
    with zipfile.ZipFile(path) as zf:
        members = {name: zf.read(name) for name in zf.namelist()}
    members["data.npy"] = members["data.npy"].replace(b"(1,)", b"(1000000000000,)")
    with zipfile.ZipFile(path, "w") as zf:
        for name, blob in members.items():
            zf.writestr(name, blob)


class FillingFile:
    """A file that takes `room` more bytes, then raises `exc` part-way through a write: a disk
    filling up, or Ctrl-C mid-write."""

    def __init__(self, file, room, exc):
        self._file, self._room, self._exc = file, room, exc

    def write(self, data):
        if len(data) > self._room:  # bytes, or characters in a text file
            self._file.write(data[: self._room])
            raise self._exc
        self._room -= len(data)
        return self._file.write(data)

    def __getattr__(self, name):
        return getattr(self._file, name)


@pytest.fixture
def failing_writes(monkeypatch):
    """fail(exc, spared=0, room=64): the package's writes to the file it opens after the first
    `spared` raise `exc` once `room` bytes are written (OSError ENOSPC, or KeyboardInterrupt)."""
    from quillharbour import _files

    def fail(exc, spared=0, room=64):
        opened, real_open = [], _files._open

        def opening(file, mode, newline):
            opened.append(real_open(file, mode, newline))
            return opened[-1] if len(opened) <= spared else FillingFile(opened[-1], room, exc)

        monkeypatch.setattr(_files, "_open", opening)
    return fail


def disk_full():
    return OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


@pytest.fixture
def rng():
    return np.random.default_rng(20261206)
