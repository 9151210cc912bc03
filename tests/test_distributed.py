"""Many-source runs on a Dask cluster: rows against the native entries, the store, resume,
a worker killed mid-run, refused stores, graphs loaded by the workers, the command line."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

import quillharbour
from conftest import grid_graph, random_graph
from quillharbour import _quillharbour as native
from quillharbour import cli, io

SEED = 2**64 - 5


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("zarr")
    dd = pytest.importorskip("distributed")
    cluster = dd.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              dashboard_address=":0", env={"RAYON_NUM_THREADS": "1"})
    c = dd.Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def qd():
    from quillharbour import distributed

    return distributed


def graph(seed=3):
    """Decimal weights, zero-weight arcs, self-loops, parallel arcs and isolated vertices."""
    return random_graph(np.random.default_rng(seed), 1500, 4000, integer=False, zero_share=0.05)


SOURCES = np.array([4, 0, 1499, 4, 77, 300, 12, 999, 5, 1100, 64, 0, 8], dtype=np.int64)


def native_rows(g, sources, method, seed=SEED):
    """The rows the single-source entries give, stacked."""
    run = {"dijkstra": lambda s: native.dijkstra(*g, s), "bmssp": lambda s: native.bmssp(*g, s, seed)}.get(
        method, lambda s: native.bmssp_variant(*g, s, method, seed))
    rows = [run(int(s)) for s in sources]
    return np.array([r[0] for r in rows]), np.array([r[1] for r in rows])


def assert_rows(dist, pred, expected):
    dist, pred = np.asarray(dist), np.asarray(pred)
    assert dist.dtype == np.float64 and pred.dtype == np.int32
    assert dist.tobytes() == expected[0].tobytes() and pred.tobytes() == expected[1].tobytes()


def store_rows(group):
    return group["distances"][:], group["predecessors"][:]


@pytest.mark.parametrize("method", ["dijkstra", "bmssp", "notransform"])
def test_rows_equal_native_entries(client, qd, tmp_path, method):
    g = graph()
    expected = native_rows(g, SOURCES, method)
    dist, pred = qd.multisource(g, SOURCES, method=method, seed=SEED, client=client,
                                rows_per_task=3, progress=False)
    assert_rows(dist, pred, expected)

    group = qd.multisource(g, SOURCES, method=method, seed=SEED, client=client,
                           out=tmp_path / "r.zarr", rows_per_task=3, progress=False)
    assert_rows(*store_rows(group), expected)
    assert group["distances"].chunks == (3, g[0].size - 1)
    assert np.array_equal(group["sources"][:], SOURCES)
    assert group["done"][:].tolist() == [1] * 5


def chunk_stats(store, blocks):
    stats = {(name, b): os.stat(store / name / "c" / str(b) / "0")
             for name in ("distances", "predecessors") for b in blocks}
    return {key: (st.st_ino, st.st_size, st.st_mtime_ns) for key, st in stats.items()}


def test_resume_computes_only_missing_blocks(client, qd, tmp_path):
    g, store = graph(), tmp_path / "r.zarr"
    qd.multisource(g, SOURCES, method="bmssp", seed=SEED, client=client, out=store,
                   rows_per_task=2, progress=False)
    # The state a run killed part-way leaves: blocks 1 and 4 not marked done, one of them
    # half-written, the other never started.
    import zarr

    group = zarr.open_group(store, mode="r+")
    group["done"][1] = 0
    group["done"][4] = 0
    group["distances"][2:4] = 0.0
    for name in ("distances", "predecessors"):
        os.remove(store / name / "c" / "4" / "0")
    kept = [0, 2, 3, 5, 6]
    before = chunk_stats(store, kept)
    time.sleep(0.01)  # a rewrite then shows in the modification time

    group = qd.multisource(g, SOURCES, method="bmssp", seed=SEED, client=client, out=store,
                           progress=False)
    assert_rows(*store_rows(group), native_rows(g, SOURCES, "bmssp"))
    assert group["done"][:].all()
    assert chunk_stats(store, kept) == before


@pytest.mark.parametrize("killed", [1, 2], ids=["one worker", "every worker"])
def test_workers_killed_mid_run(client, qd, tmp_path, killed):
    # With every worker gone, the graph scattered to them is lost too and must be sent again.
    g = grid_graph(np.random.default_rng(5), 100, 100)
    sources = np.arange(0, 10000, 625, dtype=np.int64)
    store = tmp_path / "r.zarr"
    outcome = {}

    def run():
        try:
            outcome["group"] = qd.multisource(g, sources, method="bmssp", client=client,
                                              out=store, rows_per_task=1, progress=False)
        except BaseException as exc:  # re-raised in the test's thread below
            outcome["error"] = exc

    pids = client.run(os.getpid)
    runner = threading.Thread(target=run)
    runner.start()
    import zarr

    done_at_kill = None
    while runner.is_alive() and done_at_kill is None:
        try:
            done = zarr.open_group(store, mode="r")["done"][:]
        except (FileNotFoundError, KeyError, ValueError):  # not yet made, or half-made
            done = np.zeros(0)
        if done.sum() >= 2:
            done_at_kill = int(done.sum())
            for pid in list(pids.values())[:killed]:
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.005)
    runner.join()
    client.wait_for_workers(2, timeout=300)  # restarts are slow on a loaded machine
    if "error" in outcome:
        raise outcome["error"]
    assert done_at_kill is not None and done_at_kill < len(sources)
    assert len(set(client.run(os.getpid).values()) - set(pids.values())) == killed
    assert_rows(*store_rows(outcome["group"]), native_rows(g, sources, "bmssp", seed=0))


@pytest.fixture(scope="module")
def made_store(client, qd, tmp_path_factory):
    """A store of bmssp rows, and the graph file it was made from."""
    root = tmp_path_factory.mktemp("made")
    g = graph()
    io.save(g, root / "g.npz")
    store = root / "r.zarr"
    qd.multisource(str(root / "g.npz"), SOURCES, method="bmssp", seed=SEED, client=client,
                   out=store, rows_per_task=3, progress=False)
    return root, g, store


def other_graph(root, g):
    weights = g[2].copy()
    weights[17] += 0.5
    io.save((g[0], g[1], weights), root / "g.npz")  # the same file name, other content
    return str(root / "g.npz")


REFUSED = [
    ("method", lambda root, g: {"method": "dijkstra"}, r"method 'bmssp' \(now 'dijkstra'\)"),
    ("seed", lambda root, g: {"seed": 1}, r"seed \d+ \(now 1\)"),
    ("rows", lambda root, g: {"rows_per_task": 4}, r"rows_per_task 3 \(now 4\)"),
    ("sources", lambda root, g: {"sources": SOURCES[::-1]}, r"other sources"),
    ("fewer sources", lambda root, g: {"sources": SOURCES[:-1]}, r"other sources"),
    ("graph", lambda root, g: {"graph": other_graph(root, g)}, r"graph '[0-9a-f]+' \(now"),
]


@pytest.mark.parametrize("change, match", [(c[1], c[2]) for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_store_made_with_other_arguments_is_refused(client, qd, made_store, change, match):
    root, g, store = made_store
    args = {"graph": str(root / "g.npz"), "sources": SOURCES, "method": "bmssp", "seed": SEED}
    args.update(change(root, g))
    try:
        with pytest.raises(ValueError, match=match):
            qd.multisource(args.pop("graph"), args.pop("sources"), client=client, out=store,
                           progress=False, **args)
    finally:
        io.save(g, root / "g.npz")
    import zarr

    assert_rows(*store_rows(zarr.open_group(store, mode="r")), native_rows(g, SOURCES, "bmssp"))


def test_foreign_paths_are_refused(client, qd, tmp_path):
    import zarr

    (tmp_path / "plain").mkdir()
    (tmp_path / "plain" / "notes.txt").write_text("mine")
    zarr.open_group(tmp_path / "other.zarr", mode="w-").attrs["owner"] = "someone"
    for path, match in [("plain", "is not a Zarr group"), ("other.zarr", "not a quillharbour result store")]:
        with pytest.raises(ValueError, match=match):
            qd.multisource(graph(), SOURCES, client=client, out=tmp_path / path, progress=False)
    assert (tmp_path / "plain" / "notes.txt").read_text() == "mine"


@pytest.mark.parametrize("bad, error, match", [
    ("source", IndexError, r"^source 1500 is out of range for graph with 1500 vertices$"),
    ("weight", ValueError, r"^negative or NaN edge weight encountered; weights must be >= 0$"),
])
def test_bad_input_leaves_no_store(client, qd, tmp_path, bad, error, match):
    g, sources = graph(), SOURCES.copy()
    if bad == "source":
        sources[5] = 1500
    else:
        g = (g[0], g[1], g[2].copy())
        g[2][40] = -1.0
    with pytest.raises(error, match=match):
        qd.multisource(g, sources, client=client, out=tmp_path / "r.zarr", rows_per_task=3,
                       progress=False)
    assert not (tmp_path / "r.zarr").exists()


@pytest.mark.parametrize("how", ["file", "random"])
def test_cli_run_to_store(client, tmp_path, how):
    import zarr

    store = tmp_path / "c.zarr"
    if how == "file":
        io.save(graph(), tmp_path / "g.gr")
        g = io.load(tmp_path / "g.gr")
        (tmp_path / "s.txt").write_text("# sources\n4 0, 1499\n4\n")
        args = [str(tmp_path / "g.gr"), "--sources", str(tmp_path / "s.txt")]
    else:
        g = quillharbour.generators.from_spec("grid:30x40", seed=2)
        args = ["grid:30x40", "--random-sources", "9"]
    address = client.scheduler.address
    argv = ["run", *args, "-m", "bmssp", "--seed", "2", "--scheduler", address,
            "--out", str(store), "--rows-per-task", "2", "--no-progress"]
    assert cli.main(argv) == 0
    group = zarr.open_group(store, mode="r")
    sources = group["sources"][:]
    if how == "file":
        assert sources.tolist() == [4, 0, 1499, 4]
    else:
        assert len(set(sources.tolist())) == 9 and sources.min() >= 0 and sources.max() < 1200
    assert_rows(*store_rows(group), native_rows(g, sources, "bmssp", seed=2))


def test_missing_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    from quillharbour import distributed as qd

    cli.build_parser()  # the command line does not need the extra
    with pytest.raises(ImportError, match=r"pip install 'quillharbour\[distributed\]'"):
        qd.multisource(graph(), [0])
    assert cli.main(["run", "grid:5x5", "--random-sources", "2", "--out", "x.zarr"]) == 1
