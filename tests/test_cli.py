"""The command line, run as a user would: in a subprocess, on tiny graphs."""

from __future__ import annotations

import base64
import csv
import gzip
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import quillharbour as qh
from conftest import disk_full, huge_npz, python_env, run_python
from quillharbour import _quillharbour as native
from quillharbour import bench as qh_bench
from quillharbour import cli as qh_cli


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
        assert "\r" not in r.stderr  # no progress bar when stderr is not a terminal, but a line per graph and method
        done = [line for line in r.stderr.splitlines() if line.startswith("quillharbour: [")]
        assert len(done) == 2 * len(qh_bench.DEFAULT_NATIVE) and done[-1].startswith(f"quillharbour: [{len(done)}/")
        assert all("agrees with Dijkstra" in line for line in done)
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
        for row, x in zip(rows, results):  # lists and dicts in cells as JSON
            assert json.loads(row["sources"]) == x["sources"] and json.loads(row["exactness"] or "null") == x["exactness"]

    def test_one_search_methods_marked_and_cold_runs_left_out(self, capsys):
        code, out, _ = main_in_process(["bench", "grid:9x9", "--no-progress", "--methods",
                                        "dijkstra,bmssp,bmssp-fast,hybrid:0:64,hybrid:-1:0", "--source-count", "1",
                                        "--repeats", "3", "--json", "-", "--budget", "60"], capsys)
        assert code == 0
        by = {x["method"]: x for x in json.loads(out)["results"]}
        assert {name: x["one_search"] for name, x in by.items()} == {
            "dijkstra": None, "bmssp": False, "bmssp-fast": True, "bmssp-hybrid:0:64": True, "bmssp-hybrid:-1:0": False}
        assert all(x["runs"] == 3 and x["cold_time_s"] > 0 for x in by.values())
        results = [qh_bench.Result(**x) for x in json.loads(out)["results"]]
        table = qh_bench.format_table(results).splitlines()
        marked = [line.split()[3] for line in table[2:] if line.split()[4:5] == ["*"]]
        assert marked == ["bmssp-fast", "bmssp-hybrid:0:64"] and f"note: {qh_bench.ONE_SEARCH_NOTE}" in table
        assert f"note: {qh_bench.COLD_NOTE}" in table


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

    @pytest.mark.parametrize("which", ["--sources-file", "--sources", "--random-sources"])
    def test_many_sources_into_one_file_without_a_cluster(self, dimacs, tmp_path, which):
        (tmp_path / "ids.txt").write_text("4\n0 7\n")
        given = "3" if which == "--random-sources" else tmp_path / "ids.txt"
        r = cli("run", dimacs, which, given, "-m", "bmssp", "--seed", 5, "-o", tmp_path / "m.npz")
        assert r.returncode == 0, r.stderr
        saved = np.load(tmp_path / "m.npz")
        sources = saved["sources"]
        assert len(sources) == 3 and (which == "--random-sources" or sources.tolist() == [4, 0, 7])
        g = qh.io.load(dimacs)
        d, p = native.bmssp_multisource(g.indptr, g.indices, g.weights, sources, 5)
        assert saved["distances"].tobytes() == d.tobytes() and saved["predecessors"].tobytes() == p.tobytes()

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
COMMANDS = [["info"], ["run"], ["bench", "--no-progress"], ["settle-plot", "-o", "{tmp}/s.png"],
            ["trace"], ["explain", "-o", "{tmp}/e.png"]]
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
    (["run", "path:5", "--random-sources", "0", "--out", "{tmp}/r.zarr"], "no sources to run from"),
    (["run", "path:5", "--random-sources", "0", "-o", "{tmp}/r.npz"], "no sources to run from"),
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
    (["trace", "path:5", "-m", "dijkstra"], "dijkstra has no recursion to trace"),
    (["explain", "path:5", "-m", "bmssp:hubs=2"], "spec such as bmssp:hubs=2 cannot be traced"),
    (["trace", "path:5", "-o", "{tmp}/t.json"], "must end in .parquet or .csv"),
    (["trace", "path:5", "-s", "9"], "source 9 is out of range"),
    (["explain", "path:5", "-o", NOWHERE + ".html"], "no such directory"),
    (["explain", "path:5", "--sizes", "grid:8x8..4x4"], "FROM not above TO"),
    (["explain", "path:5", "--methods", "dijkstra,astar"], "unknown method 'astar'"),
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
    code, _, err = main_in_process(args, capsys)
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


def test_the_library_never_loads_the_command_line():
    out = run_python("""
        import sys
        import quillharbour, quillharbour.bench, quillharbour.csgraph, quillharbour.distributed, quillharbour.io
        print(sorted(name for name in ("argparse", "quillharbour.cli") if name in sys.modules))
    """)
    assert out == "[]\n"


class TestRecursionShown:
    def test_trace_writes_the_rows_of_the_library_call(self, dimacs, tmp_path):
        g = qh.io.load(dimacs)
        want = qh.trace(g, 3, seed=2)
        for suffix in (".parquet", ".csv"):
            r = cli("trace", dimacs, "-s", 3, "--seed", 2, "-o", tmp_path / f"t{suffix}")
            assert r.returncode == 0, r.stderr
            assert f"wrote {want.rows} rows" in r.stdout and "broken" not in r.stdout
            assert r.stdout.count("holds of") == len(want.bounds())
        table = pytest.importorskip("pyarrow.parquet").read_table(tmp_path / "t.parquet")
        assert table.column_names == list(want) and table.schema.metadata[b"k"] == str(want.params.k).encode()
        for name, column in want.items():
            assert np.array_equal(table.column(name).to_numpy(), column), name
        with open(tmp_path / "t.csv") as f:
            rows = list(csv.DictReader(f))
        assert [int(row["u"]) for row in rows] == want["u"].tolist() and [row["kind"] for row in rows] == list(want["kind"])
        r = cli("trace", dimacs, "-s", 3, "-m", "lazypiv")
        assert r.returncode == 0 and "reported: this variant changes the rules" in r.stdout

    def test_explain_draws_every_figure(self, tmp_path):
        r = cli("explain", "grid:12x12", "-s", 5, "--sizes", "grid:4x4..8x8", "--repeats", 2,
                "--methods", "dijkstra,bmssp,bmssp-fast", "-o", tmp_path / "e.png")
        assert r.returncode == 0, r.stderr
        assert "wrote" in r.stdout and "(4 figures)" in r.stdout and "bounds: every row meets every bound" in r.stdout
        assert r.stderr.count("quillharbour: timing 3 methods on grid:") == 3
        png = (tmp_path / "e.png").read_bytes()
        assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[12:16] == b"IHDR"
        width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
        assert width == 1300 and height > 1600  # four figures, one above the other
        r = cli("explain", "rmat:9", "-s", 1, "--sizes", "none", "-m", "tuned", "-o", tmp_path / "e.html")
        assert r.returncode == 0, r.stderr
        page = (tmp_path / "e.html").read_text()
        images = re.findall(r'<img alt="[^"]*" src="data:image/png;base64,([^"]+)">', page)
        assert len(images) == page.count("<figure>") == 3 and "(3 figures)" in r.stdout
        assert all(base64.b64decode(image)[:8] == b"\x89PNG\r\n\x1a\n" for image in images)

    @pytest.mark.parametrize("spec, source, method", [("grid:14x14", 0, "bmssp"), ("rmat:10", None, "bmssp"),
                                                      ("grid:14x14", 0, "fast")])
    def test_each_figure_has_its_axes(self, spec, source, method):
        import matplotlib.pyplot as plt

        from quillharbour import explain, plotting

        g = qh.generators.from_spec(spec)
        source = int(np.argmax(np.diff(g.indptr))) if source is None else source
        ex = explain.gather(g, spec, source, method)
        ex.sizes = explain.measure_sizes(["path:40", "path:80"], ["dijkstra", "bmssp"], repeats=1)
        late = "after a larger distance" in " ".join(explain.summary(ex))
        assert late == (spec == "rmat:10")  # R-MAT settles some vertices out of Dijkstra's order, the grid none
        # one bounded search ("fast") has no call that settles: its settlement figure is one note
        for (_, draw, _), axes in zip(plotting.explain_parts(ex), [2, 1, 1 if method == "fast" else 2, 2]):
            fig = plt.figure()
            draw(fig, ex)
            assert len(fig.axes) == axes
            plt.close(fig)

    def test_size_families(self):
        from quillharbour.explain import default_family, size_family

        assert size_family("grid:100x100..1000x1000")[::7] == ["grid:100x100", "grid:1000x1000"]
        assert len(size_family("grid:100x100..1000x1000")) == 8  # n doubles about every step
        assert size_family("rmat:12..14:8") == ["rmat:12:8", "rmat:13:8", "rmat:14:8"]
        assert size_family("gnm:100:400..400:1600") == ["gnm:100:400", "gnm:200:800", "gnm:400:1600"]
        assert size_family("a.gr, ../b.gr") == ["a.gr", "../b.gr"]
        assert default_family("grid:300x300") == "grid:75x75..300x300" and default_family("x.gr") is None
        assert default_family("rmat:16:8") == "rmat:12..16:8"
        assert default_family("rgg:1600:8") == "rgg:100..1600:8"  # the degree stays
        assert default_family("grid:1x1") is None and default_family("path:1") is None  # nothing smaller
        for spec in ("gnm:40:600", "gnm:4000:16000"):  # each graph of the family can be made
            family = size_family(default_family(spec))
            assert len(family) >= 2 and all(qh.generators.from_spec(f).n >= 2 for f in family)


@pytest.mark.parametrize("name, reading", [
    ("hybrid:0:64", None), ("bmssp-hybrid:+7:+8", None), ("tuned", None),
    ("hybrid:", "hybrid:1:0: A is empty, so A = 1; B is missing"),
    ("hybrid:2", "hybrid:2:0: B is missing"),
    ("hybrid:x:y", "hybrid:1:0: A 'x' is not a signed 32-bit integer, so A = 1; B 'y' is not an unsigned"),
    ("hybrid:2147483648:5", "hybrid:1:5: A '2147483648' is not"),
    ("hybrid:3:-5", "hybrid:3:0: B '-5' is not"),
    ("hybrid:3:5:9", "hybrid:3:5: the fields after B ('9') are ignored"),
])
def test_hybrid_names_say_which_field_took_its_default(name, reading):
    note = qh_cli.hybrid_note(name)
    assert note is None if reading is None else note.startswith(f"{name} reads as {reading}"), note


def test_hybrid_default_noted_on_stderr(capsys):
    code, _, err = main_in_process(["run", "path:5", "-m", "hybrid:x:64"], capsys)
    assert code == 0
    assert err == "quillharbour: note: hybrid:x:64 reads as hybrid:1:64: A 'x' is not a signed 32-bit integer, so A = 1\n"


def test_the_namespace_holds_the_api_only():
    assert set(dir(qh)) == set(qh.__all__) | {"__version__"}
    assert all(hasattr(qh, name) for name in dir(qh))
