"""Graphs too large for the id types are refused before any work.

The arrays describe a huge vertex count through a sparse memory-mapped file:
nothing of it is read except the last offset, so the tests cost nothing.
"""

from __future__ import annotations

import numpy as np
import pytest

import quillharbour
from quillharbour import _quillharbour as native

TOO_LARGE = r"^graph too large: 2147483649 vertices, but vertex ids must fit in int32 \(at most 2147483648 vertices\)$"


@pytest.fixture(scope="module")
def huge_indptr(tmp_path_factory):
    n = 2**31 + 1
    path = tmp_path_factory.mktemp("huge") / "indptr.bin"
    with open(path, "wb") as f:
        f.truncate(8 * (n + 1))  # all zero: n vertices, no edges
    return np.memmap(path, dtype=np.int64, mode="r")


NO_EDGES = (np.zeros(0, np.int32), np.zeros(0))


def test_single_source_entries_refuse_before_allocating(huge_indptr):
    for call in (
        lambda: native.dijkstra(huge_indptr, *NO_EDGES, 0),
        lambda: native.bmssp(huge_indptr, *NO_EDGES, 0),
        lambda: native.bmssp_instrumented(huge_indptr, *NO_EDGES, 0),
        lambda: native.bmssp_variant(huge_indptr, *NO_EDGES, 0, "notransform"),
        lambda: native.bmssp_variant(huge_indptr, *NO_EDGES, 0, "no-such-variant"),
    ):
        with pytest.raises(ValueError, match=TOO_LARGE):
            call()
    # the checks that come first still win: source range and shape
    with pytest.raises(IndexError, match="^source -1 is out of range for graph with 2147483649 vertices$"):
        native.dijkstra(huge_indptr, *NO_EDGES, -1)
    with pytest.raises(ValueError, match="same length"):
        native.bmssp(huge_indptr, NO_EDGES[0], np.zeros(1), 0)


def test_multi_source_entries_refuse_before_allocating(huge_indptr):
    sources = np.array([0], dtype=np.int64)
    for call in (
        lambda: quillharbour.dijkstra_multisource(huge_indptr, *NO_EDGES, sources),
        lambda: quillharbour.bmssp_multisource(huge_indptr, *NO_EDGES, sources),
    ):
        with pytest.raises(ValueError, match=TOO_LARGE):
            call()


def test_largest_accepted_count_is_two_to_the_31(tmp_path):
    """2^31 vertices pass the id check (ids up to 2^31 - 1 fit int32). With no
    sources nothing else is allocated, so the call returns two empty arrays."""
    n = 2**31
    path = tmp_path / "indptr.bin"
    with open(path, "wb") as f:
        f.truncate(8 * (n + 1))
    indptr = np.memmap(path, dtype=np.int64, mode="r")
    dist, pred = native.dijkstra_multisource(indptr, *NO_EDGES, np.zeros(0, dtype=np.int64))
    assert dist.size == 0 and pred.size == 0
