"""What the differential harness (test_exact.py) does not see: the seed's reach, reproducible
settlement logs, owned results and untouched inputs."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import random_graph
from quillharbour import _quillharbour as native

ENTRIES = {
    "dijkstra": lambda g, s, seed: native.dijkstra(*g, s),
    "bmssp": lambda g, s, seed: native.bmssp(*g, s, seed),
    "bmssp_instrumented": lambda g, s, seed: native.bmssp_instrumented(*g, s, seed),
    **{v: lambda g, s, seed, v=v: native.bmssp_variant(*g, s, v, seed)
       for v in ["tuned", "hybrid", "simpleq", "lazypiv", "notransform", "fast", "hybrid:1:1"]},
}
# Runs that never draw from the random state.
SEED_FREE = {"dijkstra", "simpleq", "fast", "hybrid", "hybrid:1:1"}


def digest(out):
    return b"".join(a.tobytes() for a in out)


def test_the_seed_reorders_settlement_and_nothing_else():
    rng = np.random.default_rng(22)
    g = random_graph(rng, 6000, 30000, max_weight=3, zero_share=0.3)
    logs = set()
    for seed in (0, 12345, 2**64 - 1):
        dist, pred, ids, dhat = native.bmssp_instrumented(*g, 0, seed)
        assert digest(native.bmssp_instrumented(*g, 0, seed)) == digest((dist, pred, ids, dhat))
        assert digest(native.bmssp(*g, 0, seed)) == digest((dist, pred))
        logs.add(ids.tobytes())
    assert len(logs) == 3  # on this graph the seed does reach the settlement order
    assert digest(native.bmssp(*g, 0)) == digest(native.bmssp(*g, 0, np.uint64(0)))


@pytest.mark.parametrize("name", sorted(ENTRIES))
def test_runs_are_reproducible(name):
    rng = np.random.default_rng(8)
    for _ in range(10):
        g = random_graph(rng, 60, 240, max_weight=5, zero_share=0.3)
        runs = {digest(ENTRIES[name](g, 0, seed)) for seed in (1, 1, 2**63 + 5)}
        assert len(runs) <= (1 if name in SEED_FREE else 2)
        assert digest(ENTRIES[name](g, 0, 1)) in runs


@pytest.mark.parametrize("name", sorted(ENTRIES))
def test_results_owned_and_inputs_untouched(name):
    g = random_graph(np.random.default_rng(1), 100, 400)
    copies = [a.copy() for a in g]
    out = ENTRIES[name](g, 0, 0)
    assert [a.tobytes() for a in g] == [a.tobytes() for a in copies]
    again = ENTRIES[name](g, 0, 0)
    for a, b in zip(out, again):
        assert a.flags.writeable and a.flags.c_contiguous and not a.flags.owndata
        assert type(a.base).__name__ == "PyCapsule" and a.base is not b.base
        a[:] = 0
    assert digest(ENTRIES[name](g, 0, 0)) == digest(again)
