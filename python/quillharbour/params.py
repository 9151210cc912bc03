"""Sizes and parameters that the native BMSSP runs derive from a graph, computed in Python.

BMSSP runs on the constant-degree transform: every vertex v of degree deg(v) (in-arcs plus
out-arcs, a self-loop counted twice) becomes max(deg(v), 1) copies joined in a zero-weight ring,
so the transform has n' = 2m + (number of isolated vertices) vertices and
m' = m + sum(deg(v) for deg(v) >= 2) arcs. From the searched graph's vertex count N the runs take
base = max(log2(max(N, 2)), 1), k = max(1, floor(base^(1/3))), t = max(1, floor(base^(2/3))) and
levels = max(1, ceil(base / t)), all in float64 with the C library's log2 and pow (which Python's
math module calls), so the values printed here are the ones the native code uses. The research
variants change the searched graph or fix k and t; :func:`variant_parameters` follows their rules.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .graph import CsrGraph

THIRD = 0.3333333333333333
TWO_THIRDS = 0.6666666666666666


@dataclass(frozen=True)
class Transform:
    """Size of the constant-degree transform of a graph."""

    n: int
    m: int
    isolated: int


@dataclass(frozen=True)
class Parameters:
    """What one BMSSP configuration would run with."""

    searched_n: int      # vertex count of the graph the recursion runs on
    base: float
    k: int
    t: int
    levels: int
    note: str = ""


def transform_size(g: CsrGraph) -> Transform:
    deg = np.bincount(g.tails(), minlength=g.n) + np.bincount(g.indices, minlength=g.n)
    isolated = int(np.count_nonzero(deg == 0))
    m_prime = g.m + int(deg[deg >= 2].sum())
    return Transform(n=2 * g.m + isolated, m=m_prime, isolated=isolated)


def base_of(n: int) -> float:
    return max(math.log2(max(n, 2)), 1.0)


def default_kt(base: float) -> tuple[int, int]:
    return max(1, math.floor(math.pow(base, THIRD))), max(1, math.floor(math.pow(base, TWO_THIRDS)))


def levels_of(base: float, t: int) -> int:
    return max(1, math.ceil(base / float(t)))


def bmssp_parameters(n_prime: int) -> Parameters:
    """k, t and the level count of the reference BMSSP run on a transform of n' vertices."""
    base = base_of(n_prime)
    k, t = default_kt(base)
    return Parameters(n_prime, base, k, t, levels_of(base, t))


def parse_hybrid(name: str) -> tuple[int, int]:
    """(A, B) of a hybrid:A:B name: A a signed 32-bit level limit (1 when unreadable), B an
    unsigned 64-bit source-count limit (0 when missing or unreadable)."""
    pieces = name[len("hybrid:"):].split(":")
    a_txt = pieces[0]
    b_txt = pieces[1] if len(pieces) > 1 else ""
    a = 1
    body = a_txt[1:] if a_txt[:1] in "+-" else a_txt
    if body and body.isascii() and body.isdigit():
        value = int(a_txt)
        if -(2**31) <= value < 2**31:
            a = value
    b = 0
    body = b_txt[1:] if b_txt[:1] == "+" else b_txt
    if body and body.isascii() and body.isdigit() and int(body) < 2**64:
        b = int(body)
    return a, b


def variant_parameters(name: str, n: int, m: int, n_prime: int, k: int = 0, t: int = 0) -> Parameters:
    """Parameters of the research variant `name` on a graph of n vertices, m arcs and a
    transform of n' vertices, with the caller's forced k and t (both non-zero to count)."""
    force = k != 0 and t != 0
    transform = name not in ("notransform", "fast")
    searched = n_prime if transform else n
    base = base_of(searched)
    note = ""
    if force:
        kk, tt = k, t
    elif name == "tuned":
        base_t = max(math.log2(max(n, 2 * m, 2)), 1.0)
        kk, tt = default_kt(base_t) if base_t < 14.0 else (8, 12)
    elif name == "fast":
        base_f = base_of(n)
        kk, tt = default_kt(base_f) if base_f < 13.0 else (1, 12)
    else:
        kk, tt = default_kt(base)
    levels = levels_of(base, tt)
    if name in ("hybrid", "fast") or name.startswith("hybrid:"):
        a, b = (1, 1024) if name in ("hybrid", "fast") else parse_hybrid(name)
        if b >= 1 or a >= levels:
            note = "one bounded Dijkstra search (k, t unused)"
        else:
            note = f"bounded Dijkstra at levels <= {a}" if a >= 0 else ""
    return Parameters(searched, base, kk, tt, levels, note)
