"""Graph files: every format round-trips exactly, foreign files load, malformed ones name the line."""

from __future__ import annotations

import errno
import gzip
import os
import re
import stat
import sys

import numpy as np
import pytest

from conftest import disk_full, huge_npz, run_python
from quillharbour import _quillharbour as native
from quillharbour import _search
from quillharbour import io as qio
from quillharbour.graph import CsrGraph, from_edges

FILE_NAMES = ["g.gr", "g.gr.gz", "g.mtx", "g.mtx.gz", "g.csv", "g.tsv", "g.csv.gz", "g.npz"]


def awkward_graph() -> CsrGraph:
    """Self-loop, parallel arcs in non-sorted order, zero and extreme weights, trailing isolated
    vertices (which only survive when the format records the vertex count)."""
    tails = [0, 0, 0, 1, 2, 2, 3, 1]
    heads = [2, 1, 2, 1, 0, 3, 0, 0]
    weights = [0.1, 3.0, 1e-300, 0.0, 1e300, 2.5, 7.0, 1 / 3]
    return from_edges(6, tails, heads, weights, sort=False)


def assert_same(a: CsrGraph, b: CsrGraph):
    assert a.indptr.dtype == np.int64 and a.indices.dtype == np.int32 and a.weights.dtype == np.float64
    assert all(x.tobytes() == y.tobytes() for x, y in zip(a, b))  # bit-exact text round trip


@pytest.mark.parametrize("name", FILE_NAMES)
def test_round_trip_keeps_every_arc_in_order(tmp_path, name):
    for i, g in enumerate([awkward_graph(), from_edges(3, [0, 1], [1, 2], [4.0, 12345678901.0]), from_edges(4, [], [], [])]):
        qio.save(g, tmp_path / f"{i}{name}")
        assert_same(qio.load(tmp_path / f"{i}{name}"), g)


def test_a_named_format_reads_and_writes_any_file_name(tmp_path):
    for fmt in ("csv", "tsv"):
        path = tmp_path / f"edges-{fmt}.txt"
        qio.save(awkward_graph(), path, format=fmt)
        assert (b"\t" in path.read_bytes()) == (fmt == "tsv")
        assert_same(qio.load(path, format=fmt), awkward_graph())


def test_dimacs_reads_the_same_without_pyarrow(tmp_path, monkeypatch):
    path = tmp_path / "g.gr"
    qio.save(awkward_graph(), path)
    monkeypatch.setattr(qio.dimacs, "_parse_arcs_fast", lambda data, start: None)
    assert_same(qio.load(path), awkward_graph())


def test_pyarrow_parsers_get_no_python_memory(tmp_path, monkeypatch):
    """pyarrow's threaded parser may let the text go on a worker thread after the call; a Python
    object there would abort the process when that happens at interpreter exit."""
    pa = pytest.importorskip("pyarrow")
    text = b"a 1 2 0.5\n" * 1000
    before = sys.getrefcount(text)
    buffer = qio._common._arrow_text(memoryview(text)[2:])
    assert sys.getrefcount(text) == before and buffer.to_pybytes() == text[2:]
    monkeypatch.setattr(pa, "py_buffer", lambda *a: pytest.fail("Python memory handed to pyarrow"))
    for name in (".gr", ".csv"):
        qio.save(awkward_graph(), tmp_path / f"g{name}")
        assert_same(qio.load(tmp_path / f"g{name}"), awkward_graph())


def test_gzip_is_detected_by_content(tmp_path):
    plain = tmp_path / "g.gr"
    qio.save(awkward_graph(), plain)
    packed = tmp_path / "packed.gr"  # gzip data without the .gz suffix
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    assert_same(qio.load(packed), awkward_graph())


@pytest.mark.parametrize("ids", [np.int32, np.int64])
@pytest.mark.parametrize("n, m", [(7, 40), (300, 5_000), (5, 200_000), (400_000, 300_000)])
def test_grouping_is_a_stable_sort_by_tail(n, m, ids):
    """Both ways the core groups arcs (straight to their rows, and through buckets of rows for
    large inputs), from 0- and 1-based ids, against NumPy's stable sort; grouped input too."""
    rng = np.random.default_rng(n + m)
    tails = rng.integers(0, n, m)
    heads, weights = rng.integers(0, n, m), rng.random(m) * 10.0 ** rng.integers(-5, 5, m)
    for order in (np.arange(m), np.argsort(tails, kind="stable")):
        t, h = tails[order], heads[order]
        for base in (0, 1):
            indptr, indices, w = _search.group_arcs(n, (t + base).astype(ids), (h + base).astype(ids),
                                                    weights[order], base)
            by_tail = np.argsort(t, kind="stable")
            assert np.array_equal(indptr, np.concatenate([[0], np.cumsum(np.bincount(t, minlength=n))]))
            assert np.array_equal(indices, h[by_tail]) and w.tobytes() == weights[order][by_tail].tobytes()


def test_grouping_does_not_depend_on_the_thread_count():
    """Large inputs are grouped in parts, one per pool thread: an odd count splits the arcs
    unevenly, and the arrays and the error named stay what one thread gives."""
    code = """
        import hashlib
        import numpy as np
        from quillharbour import _search
        rng = np.random.default_rng(9)
        n, m = 100_003, 400_001
        t, h, w = rng.integers(0, n, m), rng.integers(0, n, m), rng.random(m)
        indptr, indices, weights = _search.group_arcs(n, t, h, w)
        h[[m - 2, m // 2 + 1]] = n
        try:
            _search.group_arcs(n, t, h, w)
        except ValueError as e:
            print(e)
        print(hashlib.sha256(indptr.tobytes() + indices.tobytes() + weights.tobytes()).hexdigest())
    """
    one, three = (run_python(code, env={"RAYON_NUM_THREADS": k}) for k in ("1", "3"))
    assert one == three and one.startswith(f"arc {400_001 // 2 + 1}: endpoint 100003 is outside")


@pytest.mark.parametrize("m", [50, 200_000])
def test_grouping_refuses_endpoints_out_of_range(m):
    rng = np.random.default_rng(m)
    tails, heads, weights = rng.integers(1, 11, m), rng.integers(1, 11, m), np.ones(m)
    # The first bad arc is named, also when the arcs are shared out over threads.
    late_heads = np.where(np.arange(m) == m - 7, 0, np.where(np.arange(m) == m // 3, 11, heads))
    for bad, first in (((tails, late_heads), f"arc {m // 3}: endpoint 11"),
                       ((np.where(np.arange(m) == 3, 0, tails), heads), "arc 3: endpoint 0")):
        with pytest.raises(ValueError, match=rf"^{first} is outside \[1, 11\)$"):
            _search.group_arcs(10, *bad, weights, 1)
    with pytest.raises(ValueError, match="same length"):
        _search.group_arcs(10, tails, heads[1:], weights, 1)
    with pytest.raises(TypeError, match="argument 'heads': expected an array of dtype int32"):
        _search.group_arcs(10, tails.astype(np.int32), heads, weights, 1)


class TestForeignFiles:
    def test_dimacs_with_comments_and_unsorted_arcs(self, tmp_path):
        p = tmp_path / "road.gr"
        p.write_text("c 9th DIMACS challenge style\nc\np sp 4 5\nc arcs\na 3 1 7\na 1 2 2\n"
                     "a 1 3 5\n\nc 4 4 4\na 2 4 1\na 4 3 1\n")  # a comment shaped like an arc
        g = qio.load(p)
        assert g.n == 4
        np.testing.assert_array_equal(g.indptr, [0, 2, 3, 4, 5])
        np.testing.assert_array_equal(g.indices, [1, 2, 3, 0, 2])  # file order within each row
        np.testing.assert_array_equal(g.weights, [2, 5, 1, 7, 1])

    def test_crlf_line_endings(self, tmp_path):
        p = tmp_path / "win.gr"
        p.write_bytes(b"p sp 2 1\r\na 1 2 3\r\n")
        assert_same(qio.load(p), from_edges(2, [0], [1], [3.0]))

    def test_matrix_market_symmetric_pattern_and_skew(self, tmp_path):
        p = tmp_path / "s.mtx"
        p.write_text("%%MatrixMarket matrix coordinate pattern symmetric\n% comment\n3 3 2\n2 1\n3 3\n")
        g = qio.load(p)
        arcs = sorted(zip(g.tails().tolist(), g.indices.tolist()))
        assert arcs == [(0, 1), (1, 0), (2, 2)]  # mirrored off-diagonal, diagonal once
        assert np.all(g.weights == 1.0)
        p.write_text("%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 1.5\n")
        g = qio.load(p)
        assert dict(zip(zip(g.tails().tolist(), g.indices.tolist()), g.weights.tolist())) == {(1, 0): 1.5, (0, 1): -1.5}

    @pytest.mark.parametrize("order", ["column", "row", "file"])
    def test_matrix_market_duplicates_summed_unless_the_file_is_ours(self, tmp_path, rng, order):
        tails, heads = rng.integers(0, 40, 600), rng.integers(0, 40, 600)
        heads[:50], tails[:50] = heads[50:100], tails[50:100]  # duplicate entries
        if order != "file":
            keep = np.argsort(heads if order == "column" else tails, kind="stable")
            tails, heads = tails[keep], heads[keep]
        weights = rng.integers(1, 1000, 600).astype(float)  # integers: the sums are exact in any order
        lines = "".join(f"{u + 1} {v + 1} {w!r}\n" for u, v, w in zip(tails.tolist(), heads.tolist(), weights.tolist()))
        p = tmp_path / "m.mtx"
        p.write_text(f"%%MatrixMarket matrix coordinate real general\n% from elsewhere\n40 40 600\n{lines}")
        g = qio.load(p)  # as scipy reads a matrix: one arc per entry, repeats summed
        sums = {}
        for u, v, w in zip(tails.tolist(), heads.tolist(), weights.tolist()):
            sums[u, v] = sums.get((u, v), 0.0) + w
        assert dict(zip(zip(g.tails().tolist(), g.indices.tolist()), g.weights.tolist())) == sums and g.m == len(sums)
        p.write_text(f"%%MatrixMarket matrix coordinate real general\n{qio.matrix_market.DUPLICATES_ARE_ARCS}\n"
                     f"40 40 600\n{lines}")
        assert_same(qio.load(p), from_edges(40, tails, heads, weights, sort=False))  # ours: parallel arcs

    def test_matrix_market_distances_are_scipys(self, tmp_path, rng):
        io_, csgraph = pytest.importorskip("scipy.io"), pytest.importorskip("scipy.sparse.csgraph")
        n, m = 60, 900  # many repeated entries, decimal weights
        p = tmp_path / "r.mtx"
        p.write_text(f"%%MatrixMarket matrix coordinate real general\n{n} {n} {m}\n" + "".join(
            f"{u} {v} {w!r}\n" for u, v, w in zip(rng.integers(1, n + 1, m).tolist(), rng.integers(1, n + 1, m).tolist(),
                                                 np.round(rng.random(m) * 9, 1).tolist())))
        g = qio.load(p)
        want = csgraph.dijkstra(io_.mmread(p).tocsr(), indices=3)
        assert native.dijkstra(*g, 3)[0].tobytes() == want.tobytes()

    def test_matrix_market_integer_field(self, tmp_path):
        p = tmp_path / "i.mtx"
        p.write_text("%%MatrixMarket matrix coordinate integer general\n2 2 1\n1 2 7\n")
        assert_same(qio.load(p), from_edges(2, [0], [1], [7.0]))

    @pytest.mark.parametrize("name, content, n, arcs", [
        ("e.csv", "# vertices: 5\nfrom,to\n0,1\n\n3, 0\n", 5, [(0, 1, 1.0), (3, 0, 1.0)]),
        ("q.csv", '"0","1","2.5"\n', 2, [(0, 1, 2.5)]),              # one quoted line is data
        ("s.csv", "0;1;2\n1;1;0\n", 2, [(0, 1, 2.0), (1, 1, 0.0)]),  # delimiter detected
        ("s.tsv", "0 1 2\n", 2, [(0, 1, 2.0)]),                      # spaces in a .tsv
        ("h.tsv", "  src   dst  w\n1  0   0.5 \n1 0 7\n", 2, [(1, 0, 0.5), (1, 0, 7.0)]),
        ("c.csv", "# only a comment\n\n", 0, []),
        ("p.csv", "0|2\n", 3, [(0, 2, 1.0)]),
    ])
    def test_edge_lists_as_written_in_the_wild(self, tmp_path, name, content, n, arcs):
        p = tmp_path / name
        p.write_text(content)
        g = qio.load(p)
        assert g.n == n
        assert list(zip(g.tails().tolist(), g.indices.tolist(), g.weights.tolist())) == arcs

    @pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
    def test_scipy_save_npz_loads(self, tmp_path, fmt):
        sparse = pytest.importorskip("scipy.sparse")
        g = awkward_graph()
        m = sparse.csr_matrix((g.weights, g.indices, g.indptr), shape=(g.n, g.n)).asformat(fmt)
        sparse.save_npz(tmp_path / "m.npz", m)
        back = qio.load(tmp_path / "m.npz")
        assert back.n == g.n
        # csc and coo keep the entries, not necessarily their order within a row
        def key(h):
            return sorted(zip(h.tails().tolist(), h.indices.tolist(), h.weights.tolist()))

        assert key(back) == key(g)

    def test_our_npz_loads_in_scipy(self, tmp_path):
        sparse = pytest.importorskip("scipy.sparse")
        g = awkward_graph()
        qio.save(g, tmp_path / "g.npz")
        m = sparse.load_npz(tmp_path / "g.npz")
        assert m.shape == (6, 6) and m.nnz == g.m
        np.testing.assert_array_equal(m.indices, g.indices)


MALFORMED = [
    # (file name, content, line named, words in the message)
    ("a.gr", "c x\np sp 3 2\na 1 2 3\na 1 x 4\n", 4, "head is not an integer"),
    ("b.gr", "p sp 3 2\na 1 2 3\na 1 4 4\n", 3, "head 4 is outside [1, 3]"),
    ("c.gr", "p sp 3 2\na 0 2 3\na 1 3 4\n", 2, "tail 0 is outside"),
    ("d.gr", "p sp 3 2\na 1 2 3\nx 1 3 4\n", 3, "expected an arc line"),
    ("e.gr", "p sp 3 2\n\na 1 2 3\na 1 3 4 5\n", 4, "expected 4 fields, found 5"),
    ("f.gr", "c\np sp 3 3\na 1 2 3\nc among the arcs\na 1 3 4\n", 2, "declares 3 arcs but the file has 2"),
    ("g.gr", "p max 3 2\n", 1, "expected 'p sp"),
    ("h.gr", "p sp 3 2\na 1 2 3\np sp 3 2\n", 3, "second problem line"),
    ("i.gr", "p sp -3 2\n", 1, "vertex count -3"),
    ("j.gr", "p sp 3 1\na 1 2 w\n", 2, "weight is not a number"),
    ("k.gr", "p sp 3 1\na 1 99999999999999999999 1\n", 2, "head 99999999999999999999 is too large"),
    ("a.mtx", "%%MatrixMarket matrix coordinate real general\n% c\n3 3 2\n1 2 1.0\n4 1 2.0\n", 5, "Row index out of bounds: '4 1 2.0'"),
    ("b.mtx", "%%MatrixMarket matrix array real general\n2 2\n", 1, "only the sparse 'coordinate'"),
    ("c.mtx", "%%MatrixMarket matrix coordinate real general\n2 3 0\n", 2, "square matrix"),
    ("d.mtx", "%%MatrixMarket matrix coordinate complex general\n1 1 0\n", 1, "field 'complex'"),
    ("e.mtx", "hello\n", 1, "%%MatrixMarket"),
    ("f.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 2 1\n", 2, "declares 2 entries"),
    ("g.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 1\n1 2\n", 3, "Invalid floating-point value"),
    ("a.csv", "source,target,weight\n0,1,2\n1,2\n", 3, "expected 3 fields, found 2"),
    ("b.csv", "0,1,2\n-1,2,3\n", 2, "source -1 is outside"),
    ("c.csv", "# hi\n0,1,2\n1,a,3\n", 3, "target is not an integer"),
    ("d.csv", "0,1,2,3\n", 1, "expected 2 or 3 fields"),
    ("e.csv", "# vertices: 2\n0,5,1\n", 2, "target 5 is outside [0, 1]"),
    ("a.tsv", "0\t1\t2\n1\t2\n", 2, "expected 3 fields, found 2"),
    ("f.csv", "a,b,1\n", 1, "source is not an integer: 'a'"),   # a lone header-like line is data
    ("h.csv", "0,1,w\n1,2,3\n", 1, "weight is not a number: 'w'"),  # not a header: ids are numbers
    ("i.csv", "0," + "1" * 70000 + ",2\n", 1, "target is not an integer"),  # a line longer than the sample
    ("g.csv", "# c\n\nsource,target\nx,y\n", 4, "source is not an integer: 'x'"),
    ("l.gr", "c\n" + "\n" * 1000 + "p sp 2 1\n" + "\n" * 1000 + "a 1 2 1\nc\n\na 1 3 1\n", 2006,
     "head 3 is outside [1, 2]"),
    ("m.gr", "p sp 2 1\nx\na 1 2 1\n", 2, "expected an arc line"),
    # counts at the largest the id types allow pass the count check and fail the size check
    ("n.gr", "p sp 2147483647 0\n", 1, "declares 2147483647 vertices, more than a file of 18 bytes"),
    ("o.gr", "p sp 3 4611686018427387904\na 1 2 3\n", 1, "declares 4611686018427387904 arcs"),
    ("h.mtx", "%%MatrixMarket matrix coordinate real general\n9 9 1000000000\n", 2, "declares 1000000000 entries"),
    ("i.mtx", "%%MatrixMarket matrix coordinate real general\n2000000000 2000000000 0\n", 2,
     "declares 2000000000 vertices"),
    ("j.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 1\n99999999999999999999 2 1\n", 3,
     "Integer out of range"),
    # a carriage return that ends no line: the parsers would split there or fail without a line
    ("j.csv", "0,1,1\n1,2\r3,1\n", 2, "carriage return (\\r) inside a line; lines must end in \\n or \\r\\n"),
    ("k.csv", "0,1,1\r1,2,1\r", 1, "carriage return"),
    ("p.gr", "p sp 3 1\r\na 1 2\r1\n", 2, "carriage return"),
]


@pytest.mark.parametrize("name, content, line, words", MALFORMED, ids=[m[0] for m in MALFORMED])
def test_malformed_text_names_file_and_line(tmp_path, name, content, line, words):
    path = tmp_path / name
    path.write_text(content)
    with pytest.raises(qio.GraphFormatError) as info:
        qio.load(path)
    err = info.value
    assert err.line == line
    assert str(err).startswith(f"{path}:{line}: ")
    assert words in str(err)


class TestWritesWholeOrNotAtAll:
    @pytest.mark.parametrize("name", ["g.gr.gz", "g.csv", "g.npz"])
    @pytest.mark.parametrize("fault", ["disk full", "sync fails", "ctrl-c"])
    def test_a_failed_save_leaves_the_previous_file(self, tmp_path, monkeypatch, failing_writes, name, fault):
        path = tmp_path / name
        qio.save(awkward_graph(), path)
        before = path.read_bytes()
        if fault == "sync fails":
            def no_sync(fd):
                raise disk_full()
            monkeypatch.setattr(os, "fsync", no_sync)
        else:
            failing_writes(KeyboardInterrupt() if fault == "ctrl-c" else disk_full(), room=100)
        with pytest.raises(KeyboardInterrupt if fault == "ctrl-c" else OSError) as info:
            qio.save(from_edges(500, np.arange(500), np.arange(500)[::-1], np.ones(500)), path)
        if fault != "ctrl-c":
            assert (info.value.errno, info.value.filename) == (errno.ENOSPC, str(path))
        assert path.read_bytes() == before and os.listdir(tmp_path) == [name]

    def test_files_are_replaced_as_open_would_write_them(self, tmp_path):
        """A replaced file keeps its mode; a new one gets the umask's; a link is followed and
        kept; a device is written in place, never replaced (which root could do)."""
        g = awkward_graph()
        kept = tmp_path / "kept.gr"
        kept.write_text("old")
        kept.chmod(0o640)
        qio.save(g, kept)
        umask = os.umask(0o022)
        os.umask(umask)
        qio.save(g, tmp_path / "new.gr")
        (tmp_path / "link.gr").symlink_to(kept)
        qio.save(qio.load(tmp_path / "new.gr"), tmp_path / "link.gr", format="dimacs")
        assert [(p.name, stat.S_IMODE(p.stat().st_mode)) for p in sorted(tmp_path.iterdir())] == \
            [("kept.gr", 0o640), ("link.gr", 0o640), ("new.gr", 0o666 & ~umask)]
        assert (tmp_path / "link.gr").is_symlink() and qio.load(kept).m == g.m
        qio.save(g, "/dev/null", format="dimacs")
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


class TestWholeFileErrors:
    def test_missing_problem_line(self, tmp_path):
        (tmp_path / "x.gr").write_text("a 1 2 3\n")
        with pytest.raises(qio.GraphFormatError, match=r"x\.gr: no problem line"):
            qio.load(tmp_path / "x.gr")

    @pytest.mark.parametrize("make, words", [
        (lambda p: p.write_text("hello"), "not a NumPy .npz archive"),
        (lambda p: p.write_bytes(b"PK\x03\x04" + b"\0" * 64), "unreadable .npz archive"),
        (lambda p: np.savez(p, a=np.zeros(3)), "not a sparse-matrix archive"),
        (lambda p: np.savez(p, indptr=np.array([0, 2, 1]), indices=np.array([0, 1]), weights=np.ones(2)),
         "malformed indptr"),
        (lambda p: np.savez(p, format=np.array(b"csr"), shape=np.array(3), data=np.ones(0),
                            indices=np.zeros(0, np.int32), indptr=np.zeros(4)), "'shape' must hold two integers"),
        (lambda p: np.savez(p, format=np.array(b"csr"), shape=np.array([2**40, 2**40]), data=np.ones(0),
                            indices=np.zeros(0, np.int32), indptr=np.zeros(1)), "vertex count"),
        (huge_npz, "declares (1000000000000,) float64 values, more than it holds"),
        (lambda p: np.savez(p, format=np.array(b"csr"), shape=np.array([2, 2]), data=np.array([{}], dtype=object),
                            indices=np.zeros(1, np.int32), indptr=np.array([0, 1, 1])),
         "member data.npy holds Python objects, which are never unpickled; a graph archive holds numeric arrays only"),
        (lambda p: np.savez(p, format=np.array(b"coo"), shape=np.array([2, 2]), data=np.ones(1),
                            row=np.array([0.5]), col=np.array([1])), "coo indices must be integers"),
        (lambda p: np.savez(p, format=np.array(b"bsr"), shape=np.array([2, 2]), data=np.ones(1)), "unreadable bsr matrix"),
    ])
    def test_hostile_npz(self, tmp_path, make, words):
        path = tmp_path / "x.npz"
        make(path)
        with pytest.raises(qio.GraphFormatError, match=re.escape(words)):
            qio.load(path)

    def test_bytes_that_crash_the_matrix_market_parser_never_reach_it(self, tmp_path):
        """scipy's parser reads past a NUL byte, and past a last line without its line end, and
        can crash the process there: such files, small or mapped (over 1 MiB), are refused or
        parsed from a copy that ends its last line. In a child process, which a crash would end."""
        head = "%%MatrixMarket matrix coordinate real general\n"
        body = "".join(f"{i % 9 + 1} {i % 7 + 1} {i}.5\n" for i in range(60_000))  # over 1 MiB
        files = {"nul.mtx": f"{head}2 2 1\n1 2\x001\n", "tail.mtx": f"{head}2 2 2\n1 2 5_",
                 "big-nul.mtx": f"{head}9 9 60000\n{body[:-9]}\x00{body[-8:]}",
                 "big-tail.mtx": f"{head}9 9 60001\n{body}1 2 5e"}
        for name, text in files.items():
            (tmp_path / name).write_text(text)
        out = run_python(f"""
            from quillharbour import io
            for name in {sorted(files)!r}:
                try:
                    print(name, "loaded", io.load({str(tmp_path)!r} + "/" + name).m)
                except io.GraphFormatError as e:
                    print(name, e.line, e.reason)
        """)
        assert out.splitlines() == [
            "big-nul.mtx 60002 NUL byte in a line: '6 3\\x0059999.5'",
            "big-tail.mtx loaded 63",  # all 60001 entries read, repeats summed: 63 distinct (i, j)
            "nul.mtx 3 NUL byte in a line: '1 2\\x001'",
            "tail.mtx 2 size line declares 2 entries but the file has fewer"]

    def test_truncated_gzip(self, tmp_path):
        data = gzip.compress(b"p sp 2 1\na 1 2 3\n" * 100)
        (tmp_path / "t.gr.gz").write_bytes(data[: len(data) // 2])
        with pytest.raises(qio.GraphFormatError, match="corrupt gzip"):
            qio.load(tmp_path / "t.gr.gz")

    def test_unknown_suffix_and_missing_file(self, tmp_path):
        with pytest.raises(ValueError, match="unknown graph file type"):
            qio.load(tmp_path / "g.graphml")
        with pytest.raises(FileNotFoundError, match="no such graph file"):
            qio.load(tmp_path / "nothere.gr")
