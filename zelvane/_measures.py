"""Inequality measures of a piecewise linear density, in closed form or exact quadrature
on its pieces and tails: the Gini coefficient, the Lorenz curve and top shares, the Palma
ratio, quantile ratios, Theil's index, the mean log deviation and Atkinson's indices.

Each measure is a function of a :class:`~zelvane.PiecewiseLinearDensity` that reads
its tables (knots, values, widths and rises of the pieces, the mass below and above
every knot) and its tails, whose closed forms ``zelvane._tails`` gives; the density's
methods of the same names check their arguments and hand them to these functions.

All of them are free of the scale of x, and are computed on a copy scaled by a power
of two (exactly, bit for bit) wherever the density reaches so far that a moment would
overflow float64: a result is finite, or infinite where the measure diverges (a Pareto
tail whose index is too low), never infinite by overflow. The entropy and Atkinson
indices are for densities on [0, inf): NaN where there is mass below 0.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Optional, Tuple

import numpy as np

from zelvane import _pieces, _tails
from zelvane._tails import Tail

if TYPE_CHECKING:
    import numpy.typing as npt

    from zelvane._density import PiecewiseLinearDensity

    Float64Array = npt.NDArray[np.float64]

# The three-point Gauss-Legendre rule on [0, 1] (exact for polynomials of degree 5):
# the nodes as fractions of a piece and their weights.
_GAUSS_NODES = np.array([0.5 - 0.5 * math.sqrt(0.6), 0.5, 0.5 + 0.5 * math.sqrt(0.6)])
_GAUSS_WEIGHTS = np.array([5.0 / 18.0, 8.0 / 18.0, 5.0 / 18.0])
# The largest reach (a knot, an exponential tail's scale) left unscaled: moments of
# points up to it, their sums and products with masses stay within float64.
_REACH = 2.0 ** 960


def _scaled(density: PiecewiseLinearDensity, exponent: int) -> PiecewiseLinearDensity:
    """`density` with x multiplied by ``2 ** exponent``: knots, the values (divided),
    the tails' joints and exponential scales, all exactly."""
    factor = math.ldexp(1.0, exponent)

    def tail(given: Optional[Tail]) -> Optional[Tail]:
        if given is None:
            return None
        parameter = given.parameter * factor if given.kind == "exponential" \
            else given.parameter
        return Tail(given.kind, given.joint * factor, given.mass, parameter)

    knots = density._knots * factor
    values = density._values / factor
    if not (np.isfinite(values).all() and (knots[1:] > knots[:-1]).all()):
        raise OverflowError("the density spans more than float64 can hold once scaled to "
                            "keep its moments in range")
    return type(density)._from_fit(knots, values, left_tail=tail(density._left),
                                   right_tail=tail(density._right))


def in_range(density: PiecewiseLinearDensity) -> PiecewiseLinearDensity:
    """`density` itself, or where its knots or an exponential tail's scale reach beyond
    2^960, a copy scaled down by a power of two to within it."""
    reach = max(abs(float(density._knots[0])), abs(float(density._knots[-1])))
    for tail in (density._left, density._right):
        if tail is not None and tail.kind == "exponential":
            reach = max(reach, tail.parameter)
    if not reach > _REACH:
        return density
    return _scaled(density, math.frexp(_REACH)[1] - math.frexp(reach)[1])


def _unit_mean(density: PiecewiseLinearDensity) -> Tuple[PiecewiseLinearDensity, float]:
    """(`density` scaled by a power of two so that its mean lies in [0.5, 1), that mean);
    the density in range and its mean where that is not finite and positive."""
    ranged = in_range(density)
    mean = ranged.mean()
    if not (mean > 0 and math.isfinite(mean)):
        return ranged, mean
    scaled = _scaled(ranged, -math.frexp(mean)[1])
    return scaled, scaled.mean()


def _positive_support(density: PiecewiseLinearDensity) -> bool:
    """Whether all the density's mass lies at 0 or above."""
    return density._left is None and bool(density._knots[0] >= 0)


def _expectation(density: PiecewiseLinearDensity, kind: str, q: float = 0.0) -> float:
    """E[g(X)] for ``g = x ** q``, ``log x`` or ``x log x`` (`kind` ``"power"``, ``"log"``,
    ``"xlog"``) on a density at 0 or above: its pieces' and right tail's integrals."""
    total = float(np.sum(_pieces.transformed_terms(density, kind, q)))
    if density._right is not None:
        total += _tails.transformed_moment(density._right, kind, q)
    return total


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
    density = in_range(density)
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
    result = body / mean
    if not math.isfinite(result):
        raise OverflowError("the Gini coefficient of this density is beyond float64's range")
    return result


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
    density = in_range(density)
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
        if not np.isfinite(share[interior]).all():
            raise OverflowError("the Lorenz curve of this density is beyond float64's range")
        share = np.where(interior, share, np.where(flat == 0, 0.0, np.where(
            flat == 1, 1.0, np.nan)))
    result: Float64Array = share
    return result


def top_share(density: PiecewiseLinearDensity, flat: Float64Array) -> Float64Array:
    """The share of the total held by the top fraction `flat` (1-D float64) of the
    distribution: ``1 - lorenz(1 - p)``; NaN outside [0, 1], and 1 for every p > 0 where
    the mean is infinite.

    Examples
    --------
    >>> import numpy as np
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import top_share
    >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])
    >>> top_share(d, np.array([0.1, 0.5])).round(12).tolist()
    [0.19, 0.75]
    """
    share: Float64Array = 1.0 - lorenz(density, 1.0 - flat)
    return share


def palma(density: PiecewiseLinearDensity) -> float:
    """The Palma ratio: the share of the top 10 % over the share of the bottom 40 %;
    infinite where the mean is, NaN where the mean is not positive; an OverflowError
    where the bottom's share is so small that the ratio is beyond float64's range.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import palma
    >>> round(palma(PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])), 12)
    1.1875
    """
    bottom, top = (float(share) for share in lorenz(density, np.array([0.4, 0.9])))
    if not bottom > 0:
        return math.inf if 1.0 - top > 0 else math.nan
    ratio = (1.0 - top) / bottom
    if ratio == math.inf:
        raise OverflowError("the Palma ratio of this density is beyond float64's range: the "
                            "bottom 40 % hold a share of {:.3g}".format(bottom))
    return ratio


def quantile_ratio(density: PiecewiseLinearDensity, high: float, low: float) -> float:
    """``ppf(high) / ppf(low)`` (levels in (0, 1)): P90/P10 for 0.9 and 0.1; infinite
    where the lower quantile is 0 and the upper positive, NaN where a quantile is below 0.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import quantile_ratio
    >>> round(quantile_ratio(PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0]), 0.9, 0.1), 12)
    9.0
    """
    upper, lower = (float(density.ppf(level)) for level in (high, low))
    if not (upper >= 0 and lower >= 0):
        return math.nan
    if lower == 0:
        return math.inf if upper > 0 else math.nan
    return upper / lower


def theil(density: PiecewiseLinearDensity) -> float:
    """Theil's index, ``E[(X / mu) log(X / mu)]``: 0 for a total equally shared, up to
    ``log n`` for one holder among n; infinite where the mean is (a Pareto tail with
    ``alpha <= 1``), NaN where there is mass below 0 or the mean is 0.

    Exact over the body (closed forms near 0, 20-point Gauss-Legendre beyond, see
    ``zelvane._pieces.transformed_terms``) and the tails
    (``zelvane._tails.transformed_moment``), on the density scaled to a mean near 1.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import theil
    >>> round(theil(PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])), 12)  # log 2 - 1/2
    0.19314718056
    """
    if not _positive_support(density):
        return math.nan
    scaled, mean = _unit_mean(density)
    if mean == math.inf:
        return math.inf
    if not mean > 0:
        return math.nan
    moment = _expectation(scaled, "xlog")
    if moment == math.inf:
        return math.inf
    return max(moment / mean - math.log(mean), 0.0)


def mld(density: PiecewiseLinearDensity) -> float:
    """The mean log deviation (Theil's second index), ``log mu - E[log X]``; infinite
    where the mean is, NaN where there is mass below 0 or the mean is 0. Exact as
    :func:`theil` is.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import mld
    >>> round(mld(PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])), 12)  # 1 - log 2
    0.30685281944
    """
    if not _positive_support(density):
        return math.nan
    scaled, mean = _unit_mean(density)
    if mean == math.inf:
        return math.inf
    if not mean > 0:
        return math.nan
    return max(math.log(mean) - _expectation(scaled, "log"), 0.0)


def atkinson(density: PiecewiseLinearDensity, epsilon: float) -> float:
    """Atkinson's index of inequality aversion `epsilon` (0 or more): one less the
    equally distributed equivalent over the mean, ``1 - E[X^(1 - e)]^(1 / (1 - e)) /
    mu`` (``1 - exp(E[log X]) / mu`` at ``e = 1``), in [0, 1]: 1 where the mean is
    infinite or where ``E[X^(1 - e)]`` diverges at 0 (``e >= 2`` with a density that
    is positive at 0); NaN where there is mass below 0 or the mean is 0.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._measures import atkinson
    >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])
    >>> round(atkinson(d, 0.5), 12), round(atkinson(d, 1.0), 12)  # 1 - 8/9, 1 - 2/e
    (0.111111111111, 0.264241117657)
    """
    if not _positive_support(density):
        return math.nan
    scaled, mean = _unit_mean(density)
    if not mean > 0:
        return math.nan
    if epsilon == 0:
        return 0.0
    if mean == math.inf:
        return 1.0
    if epsilon == 1:
        equivalent = math.exp(_expectation(scaled, "log"))
    else:
        q = 1.0 - epsilon
        moment = _expectation(scaled, "power", q)
        if moment == math.inf:
            return 1.0
        with np.errstate(over="ignore", under="ignore"):
            equivalent = float(np.power(moment, 1.0 / q))
    return min(max(1.0 - equivalent / mean, 0.0), 1.0)
