#!/usr/bin/env python
"""Runs scipy's own shortest-path tests against quillharbour.csgraph, once per engine.

scipy ships ``sparse/csgraph/tests/test_shortest_path.py`` in its wheel. For each engine this
copies it into a temporary directory with two changes: its ``dijkstra`` and ``shortest_path``
are quillharbour.csgraph's (with ``engine`` set), and its list of shortest_path methods keeps
the ones the front runs ('auto' and 'D'). Tests that exercise only what the front does not
offer are deselected, each with its reason; so is, for engines other than Dijkstra, the one
test that pins scipy's choice among equally short paths (predecessors are tight for every
engine but break ties by the engine's own rule). Every other test must pass.

    python tools/peers/scipy_csgraph.py [engine ...]      # default: dijkstra bmssp
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

import scipy

SOURCE = Path(scipy.__file__).parent / "sparse" / "csgraph" / "tests" / "test_shortest_path.py"
IMPORT = "from scipy.sparse.csgraph import (shortest_path, dijkstra, johnson,"
METHODS = "methods = ['auto', 'FW', 'D', 'BF', 'J']"
# Tests of what the front does not offer: test name prefix -> why it does not apply.
NOT_APPLICABLE = {
    "test_star_graph": "methods FW, J and BF only",
    "test_negative_cycles": "negative weights (FW, J, BF and yen)",
    "test_negative_weights": "negative weights (FW, J, BF)",
    "test_sparse_matrices": "negative weights (method 'auto' picks Johnson)",
    "test_yen": "scipy's yen, which the front does not replace",
}
# For engines other than Dijkstra, beside the above.
TIES = {"test_predecessors": "pins scipy's predecessor among equally short paths (undirected_G, 1 -> 0)"}

CONFTEST = '''
import pytest

NOT_APPLICABLE = {not_applicable!r}


def pytest_collection_modifyitems(config, items):
    kept, dropped = [], []
    for item in items:
        reason = next((why for prefix, why in NOT_APPLICABLE.items() if item.name.startswith(prefix)), None)
        (dropped if reason else kept).append(item)
        if reason:
            print(f"not applicable: {{item.name}}: {{reason}}")
    items[:] = kept
    config.hook.pytest_deselected(items=dropped)
'''


def patched(engine: str) -> str:
    text = SOURCE.read_text()
    if IMPORT not in text or METHODS not in text:
        raise SystemExit(f"{SOURCE} no longer has the lines this runner patches")
    text = text.replace(METHODS, "methods = ['auto', 'D']")
    swap = ("\nimport functools\nimport quillharbour.csgraph\n"
            f"dijkstra = functools.partial(quillharbour.csgraph.dijkstra, engine={engine!r})\n"
            f"shortest_path = functools.partial(quillharbour.csgraph.shortest_path, engine={engine!r})\n")
    marker = "import pytest\n"
    return text.replace(marker, marker + swap, 1)


def main(engines: list[str]) -> int:
    status = 0
    for engine in engines:
        with tempfile.TemporaryDirectory() as tmp:
            not_applicable = NOT_APPLICABLE | ({} if engine == "dijkstra" else TIES)
            Path(tmp, "conftest.py").write_text(CONFTEST.format(not_applicable=not_applicable))
            Path(tmp, f"test_shortest_path_{engine}.py").write_text(patched(engine))
            print(f"== scipy's test_shortest_path.py against quillharbour.csgraph, engine={engine}", flush=True)
            run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rN", tmp],
                                 cwd=tmp, check=False)
            status = status or run.returncode
    return status


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:] or ["dijkstra", "bmssp"]))
