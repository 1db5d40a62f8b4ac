"""Inequality measures of a piecewise linear density, in closed form on its pieces and
tails: the Gini coefficient and the Lorenz curve.

Each measure is a function of a :class:`~zelvane.PiecewiseLinearDensity` that reads
its tables (knots, values, widths and rises of the pieces, the mass below and above
every knot) and its tails, whose closed forms ``zelvane._tails`` gives; the density's
methods of the same names hand their arguments to these functions. A new measure
(a top share, an entropy index) is one more function here and one more thin method
there.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from zelvane import _pieces, _tails

if TYPE_CHECKING:
    import numpy.typing as npt

    from zelvane._density import PiecewiseLinearDensity

    Float64Array = npt.NDArray[np.float64]

# The three-point Gauss-Legendre rule on [0, 1] (exact for polynomials of degree 5):
# the nodes as fractions of a piece and their weights.
_GAUSS_NODES = np.array([0.5 - 0.5 * math.sqrt(0.6), 0.5, 0.5 + 0.5 * math.sqrt(0.6)])
_GAUSS_WEIGHTS = np.array([5.0 / 18.0, 8.0 / 18.0, 5.0 / 18.0])


def gini(density: PiecewiseLinearDensity) -> float:
    """The Gini coefficient of `density`: the integral of ``F (1 - F)`` over the line,
    divided by the mean; NaN where the mean is not positive, 1.0 where it is infinite.

    The integral is exact: ``F (1 - F)`` is a quartic on every piece of the body,
    which the three-point Gauss-Legendre rule integrates exactly, and has a closed
    form over each tail (``zelvane._tails.spread``). Half the mean absolute difference
    of two draws, over the mean; an infinite mean (a Pareto tail with ``alpha <= 1``)
    gives the limit of the distribution cut off ever farther out, whose top holds all
    in the end.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import gini
    >>> round(gini(PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])), 12)
    0.333333333333
    """
    mean = density.mean()
    if not mean > 0:
        return math.nan
    if mean == math.inf:
        return 1.0
    widths = density._widths[:, None]
    t = widths * _GAUSS_NODES
    r = widths - t
    y0, y1 = density._values[:-1, None], density._values[1:, None]
    slope = density._rises[:, None] / widths
    # F from below and 1 - F from above, each exact at its own end of the line.
    below = density._below[:-1, None] + t * (y0 + 0.5 * slope * t)
    above = density._above[1:, None] + r * (y1 - 0.5 * slope * r)
    body = float(np.sum(widths * (_GAUSS_WEIGHTS * (below * above))))
    for tail in (density._left, density._right):
        if tail is not None:
            body += _tails.spread(tail)
    return body / mean


def _moment_below(density: PiecewiseLinearDensity, x: Float64Array, mean: float
                  ) -> Float64Array:
    """The first moment about 0 of the mass at or below each point of `x` (finite)."""
    terms = _pieces.moment_terms(density, 1, 0.0)
    start = 0.0 if density._left is None else _tails.moments(density._left, False, 0.0)[0]
    cumulative = np.concatenate(([0.0], np.cumsum(terms)))
    inside = _pieces.clipped(density, x)
    i = _pieces.piece(density, inside)
    a = density._knots[i]
    h = inside - a
    y0 = density._values[i]
    yx = y0 + density._rises[i] * (h / density._widths[i])
    # Simpson's rule on [a, x], exact for the quadratic t f(t).
    partial = h / 6.0 * (a * y0 + (a + inside) * (y0 + yx) + inside * yx)
    moment: Float64Array = start + cumulative[i] + partial
    if density._left is not None:
        side = x < density._knots[0]
        moment[side] = _tails.moment_beyond(density._left, False, x[side])
    if density._right is not None:
        side = x > density._knots[-1]
        moment[side] = mean - _tails.moment_beyond(density._right, True, x[side])
    return moment


def lorenz(density: PiecewiseLinearDensity, flat: Float64Array) -> Float64Array:
    """The Lorenz curve of `density` at the fractions `flat` (1-D float64): the first
    moment about 0 of the mass below ``ppf(p)`` over the mean; NaN outside [0, 1] and
    everywhere where the mean is not positive, 0 below 1 and 1 at 1 where it is
    infinite (the limit of the curves of the distribution cut off ever farther out).

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import lorenz
    >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])
    >>> lorenz(d, np.array([0.0, 0.5, 0.9, 1.0])).round(12).tolist()
    [0.0, 0.25, 0.81, 1.0]
    """
    mean = density.mean()
    valid = (flat >= 0) & (flat <= 1)
    if not mean > 0:
        share = np.full(flat.shape, np.nan)
    elif mean == math.inf:
        share = np.where(valid, np.where(flat < 1, 0.0, 1.0), np.nan)
    else:
        interior = valid & (flat > 0) & (flat < 1)
        x = np.asarray(density.ppf(np.where(interior, flat, 0.5)))
        share = _moment_below(density, x, mean) / mean
        share = np.where(interior, share, np.where(flat == 0, 0.0, np.where(
            flat == 1, 1.0, np.nan)))
    result: Float64Array = share
    return result
