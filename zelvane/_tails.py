"""The tails beyond a histogram's open ends ("85+", "200,000 or more").

A tail joins the piecewise linear body at its first or last knot, continuously:
beyond a last knot L > 0 a Pareto tail, f(x) = f(L) (x / L)^-(alpha + 1), of
mass f(L) L / alpha; beyond any other end an exponential one, f(x) = f(L)
exp(-|x - L| / beta), of mass f(L) beta.
"""

from __future__ import annotations

from typing import Any, NamedTuple

__all__ = ["Tail"]

#: The kinds of tail, by the codes of the native fit (0 is no tail).
KINDS = {1: "exponential", 2: "pareto"}


class Tail(NamedTuple):
    """A tail of a density: its kind, where it joins the body, its mass and its parameter.

    ``kind`` is ``"pareto"`` (``parameter`` is the index alpha) or
    ``"exponential"`` (``parameter`` is the scale beta); ``mass`` is in the
    units of the body's values' total. For a batch, every field but ``kind``
    may be an array with one entry per row.
    """

    kind: str
    joint: Any
    mass: Any
    parameter: Any
