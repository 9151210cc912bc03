"""Method specs: any configuration of the BMSSP recursion, written as a method name.

Beside "dijkstra", "bmssp", the named variants and hybrid:A:B, a method may be a spec that sets
each ingredient of the one recursion directly: ``bmssp:`` followed by fields separated by
``:``, each ``KEY=VALUE`` (or the flag ``lazy``), in any order, none repeated::

    bmssp:hubs=8                        only vertices of in- or out-degree above 8 become rings
    bmssp:queue=heap:transform=none     the binary-heap queue on the input graph
    bmssp:level=1:frontier=64:k=2:t=4   the hybrid switch, with k and t forced
    bmssp:lazy:rule=tuned               lazy pivots, k and t by the "tuned" rule

An ingredient left out keeps the core run's setting ("bmssp:" alone is the core run's
configuration). The keys:

- ``queue``: ``block`` (the block-based queue, default) or ``heap`` (a binary heap);
- ``transform``: ``all`` (every vertex a ring of its in- plus out-degree copies, default),
  ``none`` (the input graph) or an integer D, the same as ``hubs=D``;
- ``hubs=D``: the hub-ring transform: only vertices whose in- or out-degree exceeds D become
  rings (D = 0 is ``all``, D at least the largest degree is ``none``);
- ``level=A``, ``frontier=B``: the hybrid switch: a call at level <= A, or with at most B
  sources, is one bounded Dijkstra search (defaults -1 and 0: off);
- ``lazy`` (or ``lazy=yes``/``lazy=no``): FindPivots stops when a layer does not shrink the
  frontier;
- ``k=K``, ``t=T``: forced, both or neither (default: by the rule);
- ``rule``: ``standard`` (from log2 of the searched graph's vertex count, default), ``tuned``
  or ``fast`` (those variants' rules).

Every spec returns Dijkstra's distances, bit for bit, and runs through
``quillharbour._search.bmssp_config``, which also reports its operation counts.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _search
from .graph import CsrGraph

if TYPE_CHECKING:
    from ._search import ConfigCounts

PREFIX = "bmssp:"
KEYS = ("queue", "transform", "hubs", "level", "frontier", "lazy", "k", "t", "rule")
HELP = ("bmssp:KEY=VALUE:... sets each ingredient of the recursion: queue=block|heap, "
        "transform=all|none, hubs=D (only vertices of in- or out-degree above D are rings), "
        "level=A and frontier=B (hybrid switch), lazy, k=K:t=T, rule=standard|tuned|fast; "
        "e.g. bmssp:hubs=8:queue=heap")
_CHOICES = {"queue": ("block", "heap"), "transform": ("all", "none"), "rule": ("standard", "tuned", "fast"),
            "lazy": ("yes", "no")}
_ARGUMENT = {"hubs": "transform", "level": "hybrid_level", "frontier": "hybrid_frontier", "lazy": "lazy_pivots"}
_INT_RANGES = {"hubs": (0, 2**64 - 1), "level": (-(2**31), 2**31 - 1), "frontier": (0, 2**64 - 1),
               "k": (1, 2**64 - 1), "t": (1, 2**64 - 1)}


def is_spec(method: str) -> bool:
    """Whether `method` is written as a spec (it may still be malformed)."""
    return method.startswith(PREFIX)


def parse(spec: str) -> dict[str, Any]:
    """The keyword arguments of ``_search.bmssp_config`` that `spec` sets. Raises ValueError,
    quoting the method and naming the field, for anything malformed."""
    if not is_spec(spec):
        raise ValueError(f"method spec {spec!r} must start with {PREFIX!r}")
    given: dict[str, str] = {}
    for field in spec[len(PREFIX):].split(":") if spec != PREFIX else []:
        key, eq, value = field.partition("=")
        if key == "lazy" and not eq:
            value = "yes"
        if key not in KEYS:
            raise ValueError(f"method spec {spec!r}: unknown ingredient {key!r}; known: {', '.join(KEYS)}")
        if key in given or (key in ("transform", "hubs") and {"transform", "hubs"} & set(given)):
            raise ValueError(f"method spec {spec!r}: {key} given twice (hubs=D is transform=D)")
        given[key] = value
    out: dict[str, Any] = {}
    for key, value in given.items():
        if key in _CHOICES and (key != "transform" or not re.fullmatch(r"[0-9]+", value)):
            if value not in _CHOICES[key]:
                names = list(_CHOICES[key]) + (["an integer D"] if key == "transform" else [])
                raise ValueError(f"method spec {spec!r}: {key} must be {', '.join(names[:-1])} or {names[-1]} "
                                 f"(got {value!r})")
            out[_ARGUMENT.get(key, key)] = value == "yes" if key == "lazy" else value
            continue
        lo, hi = _INT_RANGES["hubs" if key == "transform" else key]
        number = int(value) if re.fullmatch(r"[+-]?[0-9]+", value) else None
        if number is None or not lo <= number <= hi:
            raise ValueError(f"method spec {spec!r}: {key} must be an integer in [{lo}, {hi}] (got {value!r})")
        out[_ARGUMENT.get(key, key)] = number
    if ("k" in out) != ("t" in out):
        raise ValueError(f"method spec {spec!r}: k and t are forced together: give both or neither")
    return out


def run(g: CsrGraph, spec: str, source: int, seed: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """(distances, predecessors) of one run of `spec` from `source`."""
    dist, pred = _search.bmssp_config(g.indptr, g.indices, g.weights, source, seed, **parse(spec))
    return dist, pred


def counted(g: CsrGraph, spec: str, source: int, seed: int) -> ConfigCounts:
    """The counts of one run of `spec` in the recursion's counted form."""
    return _search.bmssp_config(g.indptr, g.indices, g.weights, source, seed, counted=True, **parse(spec))[2]


def one_search(g: CsrGraph, spec: str) -> bool:
    """Whether a run of `spec` on `g` is one bounded Dijkstra search: its outermost call, with one
    source at the top level, takes the hybrid switch."""
    given = parse(spec)
    if given.get("hybrid_frontier", 0) >= 1:
        return True
    level: int = given.get("hybrid_level", -1)
    # Only a level switch needs the level count, which only a run of the configuration reports.
    return level >= 0 and level >= counted(g, spec, 0, 0)["levels"]
