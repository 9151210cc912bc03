"""The command line, run as a user would: in a subprocess, on tiny graphs."""

from __future__ import annotations

import csv
import json
import struct
import subprocess
import sys

import numpy as np
import pytest

import quillharbour as qh
from quillharbour import _quillharbour as native


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "quillharbour", *map(str, args)],
                          capture_output=True, text=True, timeout=120, cwd=cwd)


def native_available(name):
    g = qh.generators.path(2)
    fn = getattr(native, name)
    try:
        if name == "bmssp_variant":
            fn(g.indptr, g.indices, g.weights, 0, "tuned")
        else:
            fn(g.indptr, g.indices, g.weights, 0)
    except NotImplementedError:
        return False
    return True


def png_size(path):
    data = open(path, "rb").read(32)
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.fixture(scope="module")
def dimacs(tmp_path_factory):
    path = tmp_path_factory.mktemp("graphs") / "tiny.gr"
    qh.io.save(qh.generators.grid(8, 9, seed=1), path)
    return path


class TestBench:
    def test_table_lists_methods_and_agreement(self, dimacs):
        r = cli("bench", dimacs, "path:50", "--no-peers", "--sources", 2, "--repeats", 1, "--no-progress")
        assert r.returncode == 0, r.stderr
        lines = r.stdout.splitlines()
        assert lines[0].split()[:4] == ["graph", "n", "m", "method"]
        rows = [line.split() for line in lines[2:] if line and not line.startswith("note:")]
        dijkstra_rows = [row for row in rows if row[3] == "dijkstra"]
        assert [row[:3] for row in dijkstra_rows] == [[str(dimacs), "72", "254"], ["path:50", "50", "49"]]
        assert all(row[-1] == "yes" and row[-2] == "1.00x" for row in dijkstra_rows)
        for row in rows:
            assert row[-1] == "yes", row  # every method that ran agrees with Dijkstra
        if not native_available("bmssp"):
            assert "note: skipped bmssp, " in r.stdout and "not implemented in this build" in r.stdout

    def test_json_csv_and_plot(self, dimacs, tmp_path):
        pytest.importorskip("matplotlib")
        png, out_csv = tmp_path / "bench.png", tmp_path / "bench.csv"
        r = cli("bench", dimacs, "grid:12x12", "--json", "-", "--csv", out_csv, "--plot", png,
                "--sources", 2, "--repeats", 2, "--no-progress", "--methods", "dijkstra,bmssp,scipy")
        assert r.returncode == 0, r.stderr
        payload = json.loads(r.stdout)
        results = payload["results"]
        graphs = {(x["graph"], x["n"], x["m"]) for x in results}
        assert graphs == {(str(dimacs), 72, 254), ("grid:12x12", 144, 528)}
        for x in results:
            assert x["agrees"] is True and x["time_s"] > 0 and len(x["sources"]) == 2
            assert x["edges_per_s"] == pytest.approx(x["m"] / x["time_s"])
            assert x["runs"] >= 2
        names = {x["method"] for x in results}
        assert "dijkstra" in names
        assert ("bmssp" in names) == native_available("bmssp")
        with open(out_csv) as f:
            rows = list(csv.DictReader(f))
        assert len(rows) == len(results) and {r["method"] for r in rows} == names
        width, height = png_size(png)
        assert width >= 400 and height >= 300

    def test_missing_peer_and_unknown_method(self, dimacs):
        r = cli("bench", dimacs, "--methods", "dijkstra,astar", "--no-progress")
        assert r.returncode == 2
        assert "unknown method 'astar'" in r.stderr and "Traceback" not in r.stderr

    @pytest.mark.parametrize("graph, words", [
        ("nothere.gr", "no such graph file: nothere.gr"),
        ("grid:0x3", "bad graph spec 'grid:0x3'"),
        ("blob:3", "unknown graph spec 'blob:3'"),
    ])
    def test_bad_graphs_exit_2_with_a_message(self, graph, words, tmp_path):
        r = cli("bench", graph, "--no-progress", cwd=tmp_path)
        assert r.returncode == 2
        assert words in r.stderr and "Traceback" not in r.stderr

    def test_negative_weights_are_refused_before_timing(self, tmp_path):
        neg = tmp_path / "neg.csv"
        neg.write_text("0,1,-2\n")
        r = cli("bench", neg, "--no-progress")
        assert r.returncode == 2 and "1 negative or NaN weight(s)" in r.stderr

    def test_malformed_file_names_its_line(self, tmp_path):
        bad = tmp_path / "bad.gr"
        bad.write_text("p sp 3 2\na 1 2 1\na 1 9 1\n")
        r = cli("info", bad)
        assert r.returncode == 2
        assert f"{bad}:3: head 9 is outside [1, 3]" in r.stderr


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

    def test_run_rejects_bad_source(self):
        r = cli("run", "path:6", "--source", 6)
        assert r.returncode == 2 and "source 6 is out of range for graph with 6 vertices" in r.stderr

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


def test_settle_plot(tmp_path):
    pytest.importorskip("matplotlib")
    if not native_available("bmssp_instrumented"):
        pytest.skip("bmssp_instrumented is not implemented in this build")
    png = tmp_path / "settle.png"
    r = cli("settle-plot", "grid:20x20", "--source", 7, "-o", png)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "settlement distances agree with Dijkstra: yes" in r.stdout
    width, height = png_size(png)
    assert width > height > 300
