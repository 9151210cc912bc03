"""Many-source runs on a Dask cluster: rows against the native entries, the store, resume,
a worker killed mid-run, refused stores, graphs loaded by the workers, the command line."""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import quillharbour
from conftest import grid_graph, python_env, random_graph
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
def test_rows_equal_native_entries(client, qd, tmp_path, monkeypatch, method, capfd):
    g = graph()
    expected = native_rows(g, SOURCES, method)
    dist, pred = qd.multisource(g, SOURCES, method=method, seed=SEED, client=client, rows_per_task=3)
    assert_rows(dist, pred, expected)
    assert capfd.readouterr().err == ""  # by default no bar into stderr that is no terminal
    assert not [f for f in os.listdir(qd.SHARED_DIR) if f.startswith("quillharbour-rows-")]
    monkeypatch.setattr(qd, "SHARED_DIR", str(tmp_path / "no-shm"))  # rows come back through Dask
    assert_rows(*qd.multisource(g, SOURCES, method=method, seed=SEED, client=client, rows_per_task=4,
                                progress=False), expected)

    group = qd.multisource(g, SOURCES, method=method, seed=SEED, client=client,
                           out=tmp_path / "r.zarr", rows_per_task=3, progress=False)
    assert_rows(*store_rows(group), expected)
    assert group["distances"].chunks == (3, g[0].size - 1)
    assert np.array_equal(group["sources"][:], SOURCES)
    assert group["done"][:].tolist() == [1] * 5


def test_shared_rows_take_blocks_from_anyone_who_can_reach_them(qd):
    """Blocks written by a worker of this machine or by the client land in the arrays the client
    maps; a worker elsewhere, or one that finds another file under the name, writes nothing."""
    dist, pred = np.arange(12.0).reshape(3, 4) / 10, np.arange(12, dtype=np.int32).reshape(3, 4)
    with qd._SharedRows.make(3, 4) as shared:
        assert qd._write_shared(shared.spec, 1, dist[1:], pred[1:])
        assert not qd._write_shared(("elsewhere", *shared.spec[1:]), 0, dist[:1], pred[:1])
        assert not qd._write_shared((shared.spec[0], shared.spec[1], shared.spec[2], -1, 3, 4), 0, dist, pred)
        shared.write(0, dist[:1], pred[:1])
        got = shared.arrays()
    assert_rows(*got, (dist, pred))
    assert not os.path.exists(shared.path)


def test_reordered_rows(client, qd, tmp_path):
    """Rows computed on a renumbered graph (in memory, and loaded by the workers from a file)
    reach the caller and the store in the caller's ids: Dijkstra's distances bit for bit, tight
    predecessors; a store made with another reordering is refused."""
    from conftest import assert_certificate

    g = graph()
    io.save(g, tmp_path / "g.npz")
    want = native_rows(g, SOURCES, "dijkstra")
    dist, pred = qd.multisource(g, SOURCES, client=client, rows_per_task=4, reorder="rcm", progress=False)
    group = qd.multisource(str(tmp_path / "g.npz"), SOURCES, client=client, out=tmp_path / "r.zarr",
                           rows_per_task=4, reorder="bfs", progress=False)
    for d, p in [(dist, pred), store_rows(group)]:
        assert d.tobytes() == want[0].tobytes()
        for i, s in enumerate(SOURCES):
            assert_certificate(*g, int(s), d[i], p[i])
    with pytest.raises(ValueError, match=r"reorder 'bfs' \(now None\)"):
        qd.multisource(str(tmp_path / "g.npz"), SOURCES, client=client, out=tmp_path / "r.zarr", progress=False)


def test_store_of_the_format_before_resumes(client, qd, made_store, tmp_path):
    """A store whose block digests are blake2b's (the format before) is resumed, and still
    tells a damaged block."""
    import hashlib

    import zarr

    _, g, made = made_store
    store = tmp_path / "r.zarr"
    shutil.copytree(made, store)
    group = zarr.open_group(store, mode="r+")
    group.attrs["quillharbour"] = {**group.attrs["quillharbour"], "format": 2}
    for b in range(group["done"].shape[0]):
        rows = slice(3 * b, 3 * b + 3)
        digest = b"".join(hashlib.blake2b(np.ascontiguousarray(group[name][rows]).data.cast("B"),
                                          digest_size=16).digest() for name in ("distances", "predecessors"))
        group["digests"][b] = np.frombuffer(digest, dtype=np.uint8)
    damage(store, "distances", 2, "altered")
    reports = []
    group = qd.multisource(g, SOURCES, method="bmssp", seed=SEED, client=client, out=store, progress=False,
                           report=reports.append)
    assert str(reports[0]) == "4 of 5 blocks reused, 1 recomputed" and "altered" in reports[0].damage()
    assert_rows(*store_rows(group), native_rows(g, SOURCES, "bmssp"))


def chunk(store, name, block):
    return store / name / "c" / str(block) / "0"


def damage(store, name, block, how):
    """Deletes, truncates or alters (one byte, same size) a block's chunk of `name`."""
    path = chunk(store, name, block)
    if how == "deleted":
        os.remove(path)
    elif how == "truncated":
        os.truncate(path, path.stat().st_size // 3)
    else:
        data = bytearray(path.read_bytes())
        data[len(data) // 2] ^= 0x40
        path.write_bytes(bytes(data))


def test_resume_verifies_what_it_reuses(client, qd, tmp_path):
    """A run killed part-way leaves blocks not marked done (one half-written, one never
    started); chunks of done blocks are deleted, truncated or altered since, or their digest
    record is lost, and the sources chunk too. Resuming computes them again, says which were
    damaged and how, and leaves the whole blocks' chunks untouched. No row reads back as NaN or
    -1 without having been computed."""
    g, store = graph(), tmp_path / "r.zarr"
    qd.multisource(g, SOURCES, method="bmssp", seed=SEED, client=client, out=store,
                   rows_per_task=1, progress=False)
    import zarr

    group = zarr.open_group(store, mode="r+")
    group["done"][1] = 0
    group["distances"][1] = 0.0
    group["done"][4] = 0
    for name in ("distances", "predecessors"):
        os.remove(chunk(store, name, 4))
    damage(store, "distances", 2, "deleted")
    damage(store, "predecessors", 3, "truncated")
    damage(store, "distances", 5, "truncated")
    damage(store, "predecessors", 5, "deleted")
    damage(store, "distances", 6, "altered")
    os.remove(chunk(store, "digests", 0))
    os.remove(store / "sources" / "c" / "0")  # its digest is in the store's record: written again
    kept = [chunk(store, name, b) for name in ("distances", "predecessors") for b in (7, 12)]
    marks = {}
    for path in kept:  # an old time stamp: a rewrite of the chunk would show
        os.utime(path, ns=(0, 0))
        marks[path] = path.stat().st_ino

    with pytest.warns(qd.StoreDamageWarning) as warned:
        group = qd.multisource(g, SOURCES, method="bmssp", seed=SEED, client=client, out=store,
                               progress=False)
    assert_rows(*store_rows(group), native_rows(g, SOURCES, "bmssp"))
    assert group["done"][:].all()
    assert {path: (path.stat().st_ino, path.stat().st_mtime_ns) for path in kept} == \
        {path: (ino, 0) for path, ino in marks.items()}
    [message] = [str(w.message) for w in warned]
    assert message == (f"{store}: 6 of 13 blocks reused, 5 recomputed, 2 computed: sources array written again; "
                       "block 0 (row 0): digest record missing; "
                       "block 2 (row 2): distances chunk missing; "
                       "block 3 (row 3): predecessors chunk unreadable (ValueError); "
                       "block 5 (row 5): distances chunk unreadable (ValueError), predecessors chunk missing; "
                       "block 6 (row 6): distances chunk altered")
    reports = []
    qd.multisource(g, SOURCES, method="bmssp", seed=SEED, client=client, out=store, progress=False,
                   report=reports.append)
    assert [str(r) for r in reports] == ["13 of 13 blocks reused"] and not reports[0].damage()


def test_killed_command_resumes_over_damaged_chunks(client, tmp_path):
    """The command line killed mid-run (SIGKILL, tasks still on the cluster), then chunks of
    both arrays of done blocks deleted and truncated: the same command resumes, reuses every
    whole done block, computes the damaged ones again and says so."""
    import zarr

    argv = [sys.executable, "-m", "quillharbour", "run", "grid:100x100", "--random-sources", "48", "-m", "bmssp",
            "--seed", "3", "--scheduler", client.scheduler.address, "--rows-per-task", "1", "--no-progress"]
    for attempt in range(5):  # until the kill lands mid-run
        store = tmp_path / f"k{attempt}.zarr"
        child = subprocess.Popen([*argv, "--out", str(store)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        done = np.zeros(0)
        while child.poll() is None and done.sum() < 4:
            with contextlib.suppress(Exception):  # not yet made, or half-made
                done = zarr.open_group(store, mode="r")["done"][:]
        child.kill()
        child.wait()
        # the dead client's tasks are forgotten by the scheduler, but those running go on
        while any(client.run(lambda dask_worker: len(dask_worker.state.executing)).values()):
            threading.Event().wait(0.01)
        done = zarr.open_group(store, mode="r")["done"][:]
        if child.returncode == -signal.SIGKILL and 4 <= done.sum() < len(done):
            break
    else:
        pytest.fail("the run always finished before it could be killed")
    hit = np.flatnonzero(done)[:4]
    for b, (name, how) in zip(hit, [("distances", "deleted"), ("predecessors", "deleted"),
                                    ("distances", "truncated"), ("predecessors", "truncated")]):
        damage(store, name, b, how)
    out = subprocess.run([*argv, "--out", str(store)], capture_output=True, text=True, timeout=300, check=False)
    assert out.returncode == 0, out.stderr
    reused, computed = int(done.sum()) - 4, len(done) - int(done.sum())
    assert out.stdout.rstrip().endswith(f"{reused} of 48 blocks reused, 4 recomputed, {computed} computed in {store}")
    assert out.stderr.startswith(f"quillharbour: warning: {store}: block {hit[0]} (row {hit[0]}): "
                                 "distances chunk missing;") and out.stderr.count("\n") == 1
    group = zarr.open_group(store, mode="r")
    g = quillharbour.generators.from_spec("grid:100x100", seed=3)
    assert_rows(*store_rows(group), native_rows(g, group["sources"][:], "bmssp", seed=3))


@pytest.mark.parametrize("killed", [1, 2], ids=["one worker", "every worker"])
def test_workers_killed_mid_run(client, qd, tmp_path, killed):
    # With every worker gone, the graph scattered to them is lost too and must be sent again.
    g = grid_graph(np.random.default_rng(5), 100, 100)
    sources = np.arange(0, 10000, 625, dtype=np.int64)
    import zarr

    for attempt in range(5):  # until the kill lands while the run is still going
        store = tmp_path / f"r{attempt}.zarr"
        outcome = {}

        def run(outcome=outcome, store=store):
            try:
                outcome["group"] = qd.multisource(g, sources, method="bmssp", client=client,
                                                  out=store, rows_per_task=1, progress=False)
            except BaseException as exc:  # noqa: BLE001 - re-raised in the test's thread below
                outcome["error"] = exc

        pids = client.run(os.getpid)
        runner = threading.Thread(target=run)
        runner.start()
        done_at_kill, mid_run = None, False
        while runner.is_alive() and done_at_kill is None:
            try:
                done = zarr.open_group(store, mode="r")["done"][:]
            except Exception:  # noqa: BLE001 - not yet made, or half-made
                done = np.zeros(0)
            if done.sum() >= 2:
                done_at_kill = int(done.sum())
                for pid in list(pids.values())[:killed]:
                    os.kill(pid, signal.SIGKILL)
                mid_run = runner.is_alive() and done_at_kill < len(sources)
        runner.join()
        client.wait_for_workers(2, timeout=300)  # restarts are slow on a loaded machine
        if "error" in outcome:
            raise outcome["error"]
        if mid_run:
            break
    else:
        pytest.fail("the run always finished before the workers could be killed")
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
    ("reorder", lambda root, g: {"reorder": "rcm"}, r"reorder None \(now 'rcm'\)"),
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


def set_older_format(store):
    import zarr

    group = zarr.open_group(store, mode="r+")
    group.attrs["quillharbour"] = {**group.attrs["quillharbour"], "format": 1}


UNTRUSTED = [
    ("array record", lambda store: os.remove(store / "distances" / "zarr.json"),
     r"array 'distances' is missing or damaged, so no block of the store can be trusted"),
    ("done record", lambda store: (store / "done" / "zarr.json").write_text("{"), r"array 'done' is missing or damaged"),
    ("group record", lambda store: (store / "zarr.json").write_text("{not json"), r"its group record is damaged"),
    ("older format", set_older_format, r"made by an earlier quillharbour, whose blocks carry no digests"),
]


@pytest.mark.parametrize("spoil, match", [u[1:] for u in UNTRUSTED], ids=[u[0] for u in UNTRUSTED])
def test_store_that_cannot_be_verified_is_refused_in_one_line(client, qd, made_store, tmp_path, spoil, match):
    _, g, made = made_store
    store = tmp_path / "r.zarr"
    shutil.copytree(made, store)
    spoil(store)
    with pytest.raises(ValueError, match=match):
        qd.multisource(g, SOURCES, method="bmssp", seed=SEED, client=client, out=store, progress=False)


@pytest.mark.parametrize("how", ["script", "stdin"])
def test_local_cluster_from_a_script_without_main_guard(tmp_path, how):
    """The README's example as a plain script, and piped into `python -`: the workers do not run
    the script again, and the script's own module is as it was afterwards."""
    code = textwrap.dedent("""
        import numpy as np
        import quillharbour as qh
        from quillharbour.distributed import multisource
        g = qh.generators.grid(20, 20, seed=1)
        D, P = multisource(g, np.arange(6), method="bmssp", seed=1, progress=False)
        rows = np.stack([qh.bmssp(*g, s, 1)[0] for s in range(6)])
        print(D.shape, D.tobytes() == rows.tobytes(), __file__)
    """)
    script = tmp_path / "unguarded.py"
    script.write_text(code)
    argv, stdin, name = ([str(script)], None, str(script)) if how == "script" else (["-"], code, "<stdin>")
    out = subprocess.run([sys.executable, *argv], input=stdin, capture_output=True, text=True, timeout=300,
                         env=python_env(), cwd=tmp_path, check=False)
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout == f"(6, 400) True {name}\n"


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
