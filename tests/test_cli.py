"""The command line, run as a user would: in a subprocess, on tiny graphs."""

from __future__ import annotations

import csv
import gzip
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import quillharbour as qh
from conftest import disk_full, huge_npz, python_env
from quillharbour import cli as qh_cli
from quillharbour import _quillharbour as native


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "quillharbour", *map(str, args)],
                          capture_output=True, text=True, timeout=120, cwd=cwd)


@pytest.fixture(scope="module")
def dimacs(tmp_path_factory):
    path = tmp_path_factory.mktemp("graphs") / "tiny.gr"
    qh.io.save(qh.generators.grid(8, 9, seed=1), path)
    return path


class TestBench:
    def test_table_lists_methods_and_agreement(self, dimacs):
        r = cli("bench", dimacs, "path:50", "--no-peers", "--sources", 2, "--repeats", 1)
        assert r.returncode == 0, r.stderr
        assert "\r" not in r.stderr  # no progress bar when stderr is not a terminal
        lines = r.stdout.splitlines()
        assert lines[0].split()[:4] == ["graph", "n", "m", "method"]
        rows = [line.split() for line in lines[2:] if line and not line.startswith("note:")]
        dijkstra_rows = [row for row in rows if row[3] == "dijkstra"]
        assert [row[:3] for row in dijkstra_rows] == [[str(dimacs), "72", "254"], ["path:50", "50", "49"]]
        assert all(row[-1] == "yes" and row[-2] == "1.00x" for row in dijkstra_rows)
        for row in rows:
            assert row[-1] == "yes", row  # every method that ran agrees with Dijkstra

    def test_json_and_csv(self, dimacs, tmp_path):
        out_csv = tmp_path / "bench.csv"
        r = cli("bench", dimacs, "grid:12x12", "--json", "-", "--csv", out_csv,
                "--sources", 2, "--repeats", 2, "--no-progress", "--methods", "dijkstra,bmssp,scipy")
        assert r.returncode == 0, r.stderr
        payload = json.loads(r.stdout)
        env = payload["environment"]
        assert env["versions"]["numpy"] == np.__version__ and env["quillharbour"] == qh.__version__
        assert env["command"][:3] == ["quillharbour", "bench", str(dimacs)] and env["cores"] >= 1
        results = payload["results"]
        graphs = {(x["graph"], x["n"], x["m"]) for x in results}
        assert graphs == {(str(dimacs), 72, 254), ("grid:12x12", 144, 528)}
        for x in results:
            assert x["agrees"] is True and x["time_s"] > 0 and len(x["sources"]) == 2
            assert x["edges_per_s"] == pytest.approx(x["m"] / x["time_s"])
            assert x["runs"] >= 2
        names = {x["method"] for x in results}
        assert names == {"dijkstra", "bmssp", "scipy"}
        with open(out_csv) as f:
            rows = list(csv.DictReader(f))
        assert len(rows) == len(results) and {r["method"] for r in rows} == names


class TestRunInfo:
    def test_run_writes_npz_equal_to_the_native_result(self, dimacs, tmp_path):
        out = tmp_path / "sp.npz"
        r = cli("run", dimacs, "-s", 5, "-s", 0, "-o", out)
        assert r.returncode == 0, r.stderr
        saved = np.load(out)
        g = qh.io.load(dimacs)
        for row, s in enumerate([5, 0]):
            d, p = native.dijkstra(g.indptr, g.indices, g.weights, s)
            np.testing.assert_array_equal(saved["distances"][row], d)
            np.testing.assert_array_equal(saved["predecessors"][row], p)
        assert saved["sources"].tolist() == [5, 0]

    def test_run_writes_npy_pair(self, tmp_path):
        out = tmp_path / "d.npy"
        r = cli("run", "path:6", "--source", 2, "-o", out)
        assert r.returncode == 0, r.stderr
        d, p = np.load(out), np.load(tmp_path / "d.pred.npy")
        assert np.isinf(d[:2]).all() and d[2] == 0 and p.tolist() == [-1, -1, -1, 2, 3, 4]

    def test_info_reports_transform_and_parameters(self, tmp_path):
        path = tmp_path / "t.csv"
        path.write_text("# vertices: 4\n0,1,5\n0,2,1\n2,1,2\n")  # vertex 3 isolated
        r = cli("info", path, "--json")
        assert r.returncode == 0, r.stderr
        info = json.loads(r.stdout)
        assert info["vertices"] == 4 and info["arcs"] == 3 and info["isolated_vertices"] == 1
        assert info["transform"] == {"vertices": 7, "arcs": 9}
        # n' = 7: log2 7 = 2.81, so k = t = 1 and levels = ceil(2.81) = 3
        assert (info["bmssp"]["k"], info["bmssp"]["t"], info["bmssp"]["levels"]) == (1, 1, 3)
        assert info["variants"]["notransform"]["searched_vertices"] == 4
        text = cli("info", path).stdout
        assert "transform      7 vertices, 9 arcs" in text and "k = 1, t = 1, levels = 3" in text


HOSTILE_FILES = {
    "huge.gr": lambda p: p.write_text("p sp 2000000000 0\n"),
    "fake.npz": lambda p: p.write_bytes(b"PK\x03\x04" + bytes(range(200))),
    "shape.npz": lambda p: np.savez(p, format=np.array(b"csr"), shape=np.array(3), data=np.ones(0),
                                    indices=np.zeros(0, np.int32), indptr=np.zeros(4, np.int64)),
    "huge.npz": huge_npz,
    "header.csv": lambda p: p.write_text("a,b,1\n"),
    "garbage.gr.gz": lambda p: p.write_bytes(b"\x1f\x8b" + bytes(100)),
    "bad.gr": lambda p: p.write_text("p sp 3 2\na 1 2 1\na 1 9 1\n"),
    "graph.graphml": lambda p: p.write_text("<graphml/>"),
    "folder.gr": lambda p: p.mkdir(),
    "cr.csv": lambda p: p.write_bytes(b"0,1,1\n1,2\r3,1\n"),
    "binary.csv": lambda p: p.write_bytes(np.random.default_rng(3).bytes(3000)),
    "binary.tsv.gz": lambda p: p.write_bytes(gzip.compress(np.random.default_rng(4).bytes(3000).replace(b"\r", b""))),
    "nul.gr": lambda p: p.write_bytes(b"p sp 3 1\na 1 2\x00 1\n"),
    "utf16.csv": lambda p: p.write_text("0,1,1\n1,2,3\n", encoding="utf-16"),
    "pickle.npz": lambda p: np.savez(p, indptr=np.array([0, 1, 1]), indices=np.array([1], dtype=object),
                                     weights=np.ones(1)),
}
COMMANDS = [["info"], ["run"], ["bench", "--no-progress"], ["settle-plot", "-o", "{tmp}/s.png"]]
NOWHERE = "{tmp}/missing-dir/out"
HOSTILE_ARGS = [
    # (arguments, words in the one line); every one exits with status 2
    (["run", "rmat:30"], "17179869184 arcs"),
    (["run", "gnm:2147483647:1"], "this machine has available"),
    (["run", "path:5", "-s", "99999999999999999999"], "-s/--source: 99999999999999999999 is outside"),
    (["run", "path:5", "-s", "1e20"], "'1e20' is not an integer"),
    (["run", "path:5", "-s", "5"], "source 5 is out of range for graph with 5 vertices"),
    (["run", "path:5", "-m", "bmssp", "--seed", "-1"], "--seed: -1 is outside"),
    (["run", "path:5", "-m", "bmssp", "--seed", "1e23"], "--seed: '1e23' is not an integer"),
    (["run", "path:5", "-m", "astar"], "unknown method 'astar'"),
    (["run", "path:5", "-o", NOWHERE + ".npz"], "no such directory"),
    (["run", "path:5", "-o", "{tmp}/out.txt"], "must end in .npz or .npy"),
    (["run", "path:5", "-o", "/proc/quillharbour.npz"], "cannot write"),  # refused even to root
    (["run", "path:5", "-o", "{tmp}"], "must end in"),
    (["run", "path:5", "--random-sources", "2", "--out", NOWHERE + ".zarr"], "no such directory"),
    (["run", "path:5", "--random-sources", "2", "--out", "{tmp}/out.txt"], "must end in .zarr"),
    (["run", "path:5", "--random-sources", "2", "--out", "/proc/quillharbour.zarr"], "cannot write"),
    (["bench", "path:5", "--plot", NOWHERE + ".png"], "--plot"),
    (["bench", "path:5", "--json", NOWHERE + ".json"], "--json"),
    (["bench", "path:5", "--csv", NOWHERE + ".csv"], "--csv"),
    (["bench", "path:5", "--methods", "dijkstra,astar"], "unknown method 'astar'"),
    (["bench", "{tmp}/neg.csv"], "1 negative or NaN weight(s)"),
    (["bench", "path:5", "--budget", "inf"], "--budget"),
    (["bench", "path:1"], "path:1: the graph has no arcs"),
    (["settle-plot", "path:5", "-o", NOWHERE + ".png"], "--output"),
    (["settle-plot", "path:5", "-s", "7"], "source 7 is out of range"),
    (["info", "grid:0x3"], "bad graph spec 'grid:0x3'"),
    (["info", "blob:3"], "unknown graph spec 'blob:3'"),
    (["info", "nothere.gr"], "no such graph file: nothere.gr"),
]


def main_in_process(args, capsys):
    try:
        code = qh_cli.main(args)
    except SystemExit as exc:
        code = exc.code
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hostile")
    for name, make in HOSTILE_FILES.items():
        make(folder / name)
    (folder / "neg.csv").write_text("0,1,-2\n")
    return folder


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: c[0])
@pytest.mark.parametrize("name", list(HOSTILE_FILES))
def test_every_command_refuses_hostile_files_in_one_line(hostile, command, name, capsys):
    args = [a.format(tmp=hostile) for a in command] + [str(hostile / name)]
    code, out, err = main_in_process(args, capsys)
    assert code == 2, err
    assert err.count("\n") == 1 and err.startswith("quillharbour") and out == ""
    assert name.split(".")[0] in err  # the line names the file


@pytest.mark.parametrize("args, words", HOSTILE_ARGS, ids=[" ".join(a[:3]) for a, _ in HOSTILE_ARGS])
def test_hostile_arguments_fail_in_one_line_before_any_work(hostile, args, words, capsys, monkeypatch):
    args = [a.format(tmp=hostile) for a in args]
    if any(a.startswith(("-o", "--out", "--plot", "--json", "--csv")) for a in args) and "{tmp}/neg" not in args:
        def no_work(*_):
            raise AssertionError("the graph was loaded before the output path was checked")
        monkeypatch.setattr(qh_cli, "load_graph", no_work)
    code, out, err = main_in_process(args, capsys)
    assert code == 2, err
    assert err.count("\n") == 1 and words in err, err
    assert not os.path.exists(os.path.join(hostile, "missing-dir"))


def test_bench_exit_status_says_a_method_failed(tmp_path, capsys):
    path = tmp_path / "inf.csv"
    path.write_text("0,1,inf\n1,2,1\n")  # Dijkstra takes +inf, BMSSP refuses it
    code, out, err = main_in_process(["bench", str(path), "--no-progress", "--methods", "dijkstra,bmssp",
                                      "--sources", "1", "--repeats", "1"], capsys)
    assert code == 1 and "error" in out and "failed" in err


OUTPUTS = [
    # (arguments writing the outputs under {o}, the files they write, files written before the fault)
    (["run", "path:6", "-s", "1", "-o", "{o}.npz"], [".npz"], 0),
    (["run", "path:6", "-s", "1", "-o", "{o}.npy"], [".npy", ".pred.npy"], 1),  # both, or neither
    (["bench", "path:6", "-q", "--no-peers", "--methods", "dijkstra,bmssp", "--repeats", "1", "--sources", "1",
      "--json", "{o}.json", "--csv", "{o}.csv", "--plot", "{o}.png"], [".json", ".csv", ".png"], 0),
    (["settle-plot", "path:6", "-o", "{o}.svg"], [".svg"], 0),
]


@pytest.mark.parametrize("fault", ["disk full", "ctrl-c"])
@pytest.mark.parametrize("args, files, spared", OUTPUTS, ids=[o[1][0][1:] for o in OUTPUTS])
def test_outputs_appear_whole_or_not_at_all(tmp_path, capsys, failing_writes, args, files, spared, fault):
    """A write that fails part-way (a full disk, or Ctrl-C) leaves every output as it was and no
    other file behind; the error names the file, in one line."""
    paths = [tmp_path / f"out{suffix}" for suffix in files]
    for path in paths:
        path.write_bytes(b"previous")
    failing_writes(KeyboardInterrupt() if fault == "ctrl-c" else disk_full(), spared=spared)
    code, _, err = main_in_process([a.format(o=tmp_path / "out") for a in args], capsys)
    if fault == "ctrl-c":
        assert (code, err) == (130, "quillharbour: interrupted\n")
    else:
        assert code == 1 and err.count("\n") == 1, err
        assert err.startswith(f"quillharbour: error: {paths[0]}") and err.endswith(": No space left on device\n")
    assert all(path.read_bytes() == b"previous" for path in paths)
    assert sorted(os.listdir(tmp_path)) == sorted(path.name for path in paths)


def test_a_closed_pipe_ends_quietly():
    """The reader is gone before the first line is written (as `| head -0` would leave it)."""
    child = subprocess.Popen([sys.executable, "-m", "quillharbour", "info", "grid:10x10"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=python_env())
    child.stdout.close()
    err = child.stderr.read()
    assert (child.wait(timeout=120), err) == (0, b"")
