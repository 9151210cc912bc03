"""A pytest plugin that counts what the quillharbour networkx backend served.

Run networkx's own tests with the backend and this plugin:

    NETWORKX_TEST_BACKEND=quillharbour NETWORKX_FALLBACK_TO_NX=True \
        PYTHONPATH=tools/peers python -m pytest -p nx_served --pyargs networkx.algorithms

Every function of the backend is wrapped so that a call counts once it has returned its
answer (a call the backend declined, or handed back with NotImplementedError, does not count).
The summary gives the tests run, the tests in which the backend served at least one call, and
the calls served per function.
"""

from __future__ import annotations

import collections
import functools
from typing import Any

import pytest

_served_in: collections.Counter[str] = collections.Counter()  # test id -> calls served
_served_by: collections.Counter[str] = collections.Counter()  # function -> calls served
_current = [""]


def _counted(name: str, fn: Any) -> Any:
    @functools.wraps(fn)
    def served(*args: Any, **kwargs: Any) -> Any:
        result = fn(*args, **kwargs)
        _served_in[_current[0]] += 1
        _served_by[name] += 1
        return result

    return served


def pytest_configure(config: pytest.Config) -> None:
    from _quillharbour_nx import FUNCTIONS
    from quillharbour.nx import interface

    for name in FUNCTIONS:
        setattr(interface, name, _counted(name, getattr(type(interface), name)))


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Any:
    _current[0] = item.nodeid
    try:
        return (yield)
    finally:
        _current[0] = ""


def pytest_terminal_summary(terminalreporter: Any) -> None:
    stats = terminalreporter.stats
    ran = sum(len(stats.get(key, [])) for key in ("passed", "failed", "xfailed", "xpassed"))
    reached = sum(1 for test, calls in _served_in.items() if test and calls)
    write = terminalreporter.write_line
    write(f"quillharbour backend: {reached} of {ran} tests reached it; "
          f"{sum(_served_by.values())} calls served")
    for name, calls in sorted(_served_by.items()):
        write(f"  {name}: {calls}")
