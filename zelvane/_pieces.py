"""The body of a piecewise linear density: closed forms on its pieces between knots.

On a piece of width ``h`` from ``a``, where the density starts at ``y0`` and changes
by ``rise``, the density is linear, the mass up to a point quadratic and its inverse
the root of a quadratic. The functions below evaluate them over NumPy arrays of
points or levels, from the tables a :class:`~zelvane.PiecewiseLinearDensity` keeps
(knots, values, widths and rises of the pieces, the mass below and above every knot,
all normalised with the tails), which :func:`tables` and :func:`above` make.
``zelvane._tails`` does the same for the tails, and the density's methods join the
two.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Optional, Tuple

import numpy as np

from zelvane._errors import InputError

if TYPE_CHECKING:
    import numpy.typing as npt

    from zelvane._density import PiecewiseLinearDensity

    Float64Array = npt.NDArray[np.float64]


# Below this total mass the values, scaled to at most 1, might overflow when normalised.
_TINY = 1e-300


def tables(x: Float64Array, y: Float64Array, low: float, high: float
           ) -> Tuple[Float64Array, Float64Array, Float64Array, Float64Array,
                      Tuple[float, float, float]]:
    """(values, widths, areas, below, (low, high, total)): the values `y` at the knots
    `x` (`y` not changed) and the tails' masses `low` and `high` normalised to a total
    mass of 1; the widths of the pieces; their areas before normalising; the mass below
    each knot, the left tail's included, exact at the left end; the tails' masses and
    the total before normalising, scaled as the areas are."""
    widths = x[1:] - x[:-1]
    # Scaled to a largest value (or tail mass) of 1 first, so that neither the
    # areas nor their sum overflow whatever the magnitude of the values given.
    # Scalars are Python floats: the same arithmetic as NumPy's, and cheaper.
    top = float(y.max())
    if low > top or high > top:
        top = max(low, high)
    if top > 0:
        y = y / top
        low, high = low / top, high / top
    else:
        y = y.copy()
    areas = y[:-1] + y[1:]
    # Each sum is at most 2 and each width at most the span: below this span no
    # product overflows.
    narrow = x.item(-1) - x.item(0) < 8e307
    if narrow:
        areas *= widths
    else:
        with np.errstate(over="ignore"):
            areas *= widths
    areas *= 0.5
    if not narrow and not np.isfinite(areas).all():
        # Pieces wider than half of float64's range: halved before the width, which
        # bounds every area by its width.
        areas = 0.5 * (y[:-1] + y[1:]) * widths
    n = x.shape[0]
    below = np.empty(n)
    below[0] = 0.0
    below[1:] = areas.cumsum()
    body = below.item(-1)
    if not body > 0:
        raise InputError("zero_area", argument="values")
    if low:
        below += low
    # Without tails, adding their zero masses changes no bit.
    total = low + body + high
    if total < _TINY:
        # The values (at most 1 now) may overflow only when divided by so little.
        with np.errstate(over="ignore"):
            y /= total
        if not np.isfinite(y).all():
            raise InputError("too_close", argument="knots", first=x[0], last=x[-1])
    else:
        y /= total
    below /= total
    return y, widths, areas, below, (low, high, total)


def above(areas: Float64Array, low: float, high: float) -> Float64Array:
    """The mass above each knot, the right tail's included, exact at the right end, from
    the areas of the pieces and the tails' masses as :func:`tables` gives them."""
    result = np.empty(areas.shape[0] + 1)
    result[-1] = high
    result[-2::-1] = areas[::-1].cumsum()
    if high:
        result[:-1] += high
    result /= result.item(0) + low
    return result


def clipped(d: PiecewiseLinearDensity, x: Float64Array) -> Float64Array:
    """`x` moved into the body (NaN kept), so that the piece formulas meet no infinity;
    the callers set the values outside the body themselves."""
    inside: Float64Array = np.clip(x, d._knots[0], d._knots[-1])
    return inside


def piece(d: PiecewiseLinearDensity, x: Float64Array) -> npt.NDArray[np.intp]:
    """Index of the piece holding each point of the body (NaN: the last piece); the ends
    of the body belong to the first and last piece."""
    last = len(d._widths) - 1
    return np.clip(np.searchsorted(d._knots, x, side="right") - 1, 0, last)


def pdf(d: PiecewiseLinearDensity, flat: Float64Array) -> Float64Array:
    """The body's density at the points `flat`, 0 outside it."""
    x = clipped(d, flat)
    i = piece(d, x)
    t = (x - d._knots[i]) / d._widths[i]
    density = d._values[i] + d._rises[i] * t
    outside = (flat < d._knots[0]) | (flat > d._knots[-1])
    result: Float64Array = np.where(outside, 0.0, density)
    return result


def cdf(d: PiecewiseLinearDensity, flat: Float64Array) -> Float64Array:
    """The mass at or below the points `flat` within the body, from the mass below each
    knot: 0 left of the body, 1 from its last knot on."""
    x = clipped(d, flat)
    i = piece(d, x)
    t = x - d._knots[i]
    within = t * (d._values[i] + 0.5 * d._rises[i] * (t / d._widths[i]))
    # Capped by the mass below the next knot so that rounding never makes the
    # function step down across a knot.
    p = np.minimum(d._below[i] + within, d._below[i + 1])
    result: Float64Array = np.where(flat < d._knots[0], 0.0,
                                    np.where(flat >= d._knots[-1], 1.0, p))
    return result


def sf(d: PiecewiseLinearDensity, flat: Float64Array) -> Float64Array:
    """The mass above the points `flat` within the body, from the mass above each knot
    (so accurate where it is small): 1 left of the body, 0 from its last knot on."""
    x = clipped(d, flat)
    i = piece(d, x)
    r = d._knots[i + 1] - x
    upper = d._values[i + 1]
    within = r * (upper - 0.5 * d._rises[i] * (r / d._widths[i]))
    s = np.minimum(d._above[i + 1] + within, d._above[i])
    result: Float64Array = np.where(flat < d._knots[0], 1.0,
                                    np.where(flat >= d._knots[-1], 0.0, s))
    return result


def fraction_of_piece(y0: Float64Array, rise: Float64Array, width: Float64Array,
                      mass: Float64Array) -> Float64Array:
    """The fraction u of each piece from its start that holds `mass`: the root in [0, 1]
    of ``y0 u + rise u^2 / 2 = mass / width``, where the density starts at `y0` and
    changes by `rise` over the piece (negative `rise`: falling)."""
    # Everything scaled by the piece's largest value to stay in range, and the root
    # formula that subtracts nothing: rising, falling and flat alike.
    scale = np.maximum(y0, y0 + rise)
    scale = np.where(scale > 0, scale, 1.0)
    a, b = 0.5 * rise / scale, y0 / scale
    c = mass / (width * scale)
    denominator = b + np.sqrt(np.maximum(b * b + 4.0 * a * c, 0.0))
    # Zero only where c is: a level so close to the piece's start that c underflows.
    u = np.divide(2.0 * c, denominator, out=np.zeros_like(c), where=denominator > 0)
    fraction: Float64Array = np.clip(u, 0.0, 1.0)
    return fraction


def ppf(d: PiecewiseLinearDensity, level: Float64Array) -> Float64Array:
    """The smallest point of the body below which lies the mass `level` (each within
    the body's range of the cdf)."""
    # The piece whose mass range (below[i], below[i+1]] holds the level: it
    # carries positive mass, so its density vanishes at one end at most.
    i = np.searchsorted(d._below, level, side="left") - 1
    i = np.clip(i, 0, len(d._widths) - 1)
    width = d._widths[i]
    u = fraction_of_piece(d._values[i], d._rises[i], width, level - d._below[i])
    x: Float64Array = np.minimum(d._knots[i] + u * width, d._knots[i + 1])
    return x


def isf(d: PiecewiseLinearDensity, level: Float64Array) -> Float64Array:
    """The smallest point of the body above which lies the mass `level`, measured from
    the right so that a small level keeps its relative accuracy."""
    # The first knot k with above[k] <= level; the point lies in the piece before it,
    # which carries positive mass, measured from its right end.
    n = d._above.shape[0]
    k = n - np.searchsorted(d._above[::-1], level, side="right")
    i = np.clip(k - 1, 0, n - 2)
    width = d._widths[i]
    u = fraction_of_piece(d._values[i + 1], -d._rises[i], width, level - d._above[i + 1])
    x: Float64Array = np.maximum(d._knots[i + 1] - u * width, d._knots[i])
    return x


def quantile(d: PiecewiseLinearDensity, q: float) -> Optional[float]:
    """:func:`ppf` of one level within the body, in Python floats with the very
    operations of the array path (the same bits); None where it would divide by zero."""
    below = d._below
    # The caller has checked below[0] <= q <= below[-1]: only the first piece's own
    # start is out of range.
    i = max(int(below.searchsorted(q)) - 1, 0)
    y0, rise, width = d._values.item(i), d._rises.item(i), d._widths.item(i)
    scale = max(y0, y0 + rise)
    if not scale > 0:
        scale = 1.0
    a, b = 0.5 * rise / scale, y0 / scale
    try:
        c = (q - below.item(i)) / (width * scale)
        discriminant = b * b + 4.0 * a * c
        denominator = b + math.sqrt(discriminant if not discriminant < 0 else 0.0)
        u = 2.0 * c / denominator if denominator > 0 else 0.0
    except ZeroDivisionError:
        return None
    u = 0.0 if u < 0.0 else (1.0 if u > 1.0 else u)
    start, end = d._knots.item(i), d._knots.item(i + 1)
    x = start + u * width
    return x if not x > end else end


def moment_terms(d: PiecewiseLinearDensity, power: int, about: float) -> Float64Array:
    """The integral over each piece of ``(x - about) ** power`` times the density, by
    Simpson's rule, which is exact for these polynomials of degree at most three."""
    left = d._knots[:-1] - about
    right = d._knots[1:] - about
    y0, y1 = d._values[:-1], d._values[1:]
    middle = 0.5 * (left + right)
    terms: Float64Array = d._widths / 6.0 * (
        left ** power * y0 + 2.0 * middle ** power * (y0 + y1) + right ** power * y1)
    return terms


# The 20-point Gauss-Legendre rule on [0, 1]: on a piece that lies at least its own
# width away from 0, a power or a logarithm of x times the linear density is analytic
# well beyond the piece, and the rule integrates it to working precision.
_RULE = np.polynomial.legendre.leggauss(20)  # type: ignore[no-untyped-call, unused-ignore]
_NODES_01, _WEIGHTS_01 = 0.5 * (_RULE[0] + 1.0), 0.5 * _RULE[1]


def _transform(kind: str, q: float, x: Float64Array) -> Float64Array:
    """``x ** q``, ``log x`` or ``x log x`` of positive points."""
    with np.errstate(over="ignore", divide="ignore"):
        if kind == "power":
            result: Float64Array = np.power(x, q)
        elif kind == "log":
            result = np.log(x)
        else:
            result = x * np.log(x)
    return result


def _power_integral(p: float, a: Float64Array, b: Float64Array) -> Float64Array:
    """The integral of ``x ** p`` from `a` to `b` (0 <= a < b): infinite from 0 where
    ``p <= -1``."""
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        if p == -1.0:
            result: Float64Array = np.log(b) - np.log(a)
        else:
            result = (np.power(b, p + 1.0) - np.power(a, p + 1.0)) / (p + 1.0)
            if p < -1.0:
                result = np.where(a > 0, result, np.inf)
    return result


def _log_antiderivative(k: int, x: Float64Array) -> Float64Array:
    """The integral of ``x ** k log x`` from 0 to `x` (k = 0, 1, 2): ``x^(k+1) (log x /
    (k+1) - 1 / (k+1)^2)``, 0 at 0."""
    n = k + 1.0
    with np.errstate(divide="ignore", invalid="ignore"):
        power = np.power(x, n)
        result: Float64Array = np.where(x > 0, power * (np.log(x) / n - 1.0 / (n * n)), 0.0)
    return result


def transformed_terms(d: PiecewiseLinearDensity, kind: str, q: float = 0.0) -> Float64Array:
    """The integral over each piece of ``g(x)`` times the density, for ``g(x) = x ** q``
    (`kind` ``"power"``), ``log x`` (``"log"``) or ``x log x`` (``"xlog"``), on a body
    whose knots are all 0 or more: what the entropy and Atkinson indices need.

    A piece at least its width away from 0 takes the 20-point Gauss-Legendre rule; a
    piece nearer 0 the closed form of the integral of ``g(x) (c + s x)``, which meets
    the singularity of `g` at 0 exactly (infinite where a power diverges there)."""
    a, h = d._knots[:-1], d._widths
    y0, rise = d._values[:-1], d._rises
    terms = np.zeros(h.shape[0])
    far = a >= h
    if far.any():
        x = a[far, None] + h[far, None] * _NODES_01
        f = y0[far, None] + rise[far, None] * _NODES_01
        terms[far] = h[far] * np.sum(_WEIGHTS_01 * (f * _transform(kind, q, x)), axis=1)
    near = ~far
    if near.any():
        start, end = a[near], a[near] + h[near]
        slope = rise[near] / h[near]
        # The density as c + s x on the piece: c is its value at 0.
        c, s = y0[near] - slope * start, slope
        if kind == "power":
            parts = (_power_integral(q, start, end), _power_integral(q + 1.0, start, end))
        else:
            k = 0 if kind == "log" else 1
            parts = (_log_antiderivative(k, end) - _log_antiderivative(k, start),
                     _log_antiderivative(k + 1, end) - _log_antiderivative(k + 1, start))
        with np.errstate(invalid="ignore"):
            # A coefficient of 0 takes nothing of a divergent integral.
            terms[near] = (np.where(c != 0, c * parts[0], 0.0)
                           + np.where(s != 0, s * parts[1], 0.0))
        # Where the density is 0 on the whole piece, nothing diverges.
        terms[near] = np.where((y0[near] == 0) & (rise[near] == 0), 0.0, terms[near])
    return terms
