"""The summaries of a piecewise linear density: its moments, its median, and the
inequality measures (the Gini coefficient, the Lorenz curve and top shares, the Palma
ratio, quantile ratios, Theil's index, the mean log deviation, Atkinson's indices).

Each public function here is a method of :class:`~zelvane.PiecewiseLinearDensity`,
bound in its class body under the same name, and its docstring is the method's. The
moments are computed here in closed form over the body's pieces (``zelvane._pieces``)
and the tails (``zelvane._tails``); the inequality measures check their arguments and
hand them to ``zelvane._measures``.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Tuple

import numpy as np
import numpy.typing as npt

from zelvane import _measures, _pieces, _tails
from zelvane._checks import check_number
from zelvane._errors import InputError

if TYPE_CHECKING:
    from zelvane._density import Evaluated, PiecewiseLinearDensity


def _no_truth_value(name: str, given: Any) -> None:
    """Refuse a bool, or an array of them, where a fraction is asked for."""
    if isinstance(given, (bool, np.bool_)) or getattr(given, "dtype", None) == np.bool_:
        raise InputError("type", argument=name, expected="int or float",
                         type_name=type(given).__name__)


def _tail_moments(self: PiecewiseLinearDensity, about: float) -> Tuple[float, float]:
    """The first and second moments about `about` of both tails together."""
    first = second = 0.0
    for tail, right in ((self._left, False), (self._right, True)):
        if tail is not None:
            one, two = _tails.moments(tail, right, about)
            first, second = first + one, second + two
    return first, second


def mean(self: PiecewiseLinearDensity) -> float:
    """The expected value, in closed form: inf where a Pareto tail has ``alpha <= 1``.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).mean()
    1.3333333333333335
    """
    # Taken about the middle of the body, which keeps the terms small.
    centre = self._knots[0] + 0.5 * (self._knots[-1] - self._knots[0])
    body = _pieces.moment_terms(self, 1, centre).sum()
    if self._left is None and self._right is None:
        return float(centre + body)
    return float(centre + (body + _tail_moments(self, float(centre))[0]))


def var(self: PiecewiseLinearDensity) -> float:
    """The variance, in closed form about the mean (no cancellation of large squares):
    inf where a Pareto tail has ``alpha <= 2``.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).var()
    0.38888888888888884
    """
    mean = self.mean()
    if not math.isfinite(mean):
        return math.inf
    body = _pieces.moment_terms(self, 2, mean).sum()
    if self._left is None and self._right is None:
        return float(body)
    return float(body + _tail_moments(self, mean)[1])


def std(self: PiecewiseLinearDensity) -> float:
    """The standard deviation, the square root of `var`.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> round(PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).std(), 6)
    0.62361
    """
    return float(np.sqrt(self.var()))


def median(self: PiecewiseLinearDensity) -> float:
    """The median, ``ppf(0.5)``.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).median()
    1.2679491924311228
    """
    return float(self.ppf(0.5))

# ---------------------------------------------------------------- inequality


def gini(self: PiecewiseLinearDensity) -> float:
    """The Gini coefficient: the integral of ``F (1 - F)`` over the line, divided by
    the mean (half the mean absolute difference of two draws, over the mean), exact
    over the body's pieces and each tail; NaN where the mean is not positive, 1.0
    where a Pareto tail with ``alpha <= 1`` makes it infinite (the limit of the
    distribution cut off ever farther out). See ``zelvane._measures.gini``."""
    return _measures.gini(self)


def lorenz(self: PiecewiseLinearDensity, p: npt.ArrayLike) -> Evaluated:
    """The Lorenz curve: the share of the total held by the lowest fraction `p` (of
    any shape; a float64 scalar for a scalar), the first moment about 0 of the mass
    below ``ppf(p)`` over the mean. The share of the top 10 % is
    ``1 - lorenz(0.9)``. See ``zelvane._measures.lorenz``."""
    return self._evaluated("p", p, lambda flat: _measures.lorenz(self, flat))


def top_share(self: PiecewiseLinearDensity, p: npt.ArrayLike = 0.1) -> Evaluated:
    """The share of the total held by the top fraction `p` (of any shape; a float64
    scalar for a scalar; 0.1 by default, the top 10 %): ``1 - lorenz(1 - p)``, 1 for
    every ``p > 0`` where the mean is infinite. See ``zelvane._measures.top_share``.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])
    >>> round(float(d.top_share(0.1)), 12)
    0.19
    """
    _no_truth_value("p", p)
    return self._evaluated("p", p, lambda flat: _measures.top_share(self, flat))


def palma(self: PiecewiseLinearDensity) -> float:
    """The Palma ratio: the share of the top 10 % over that of the bottom 40 %;
    infinite where the mean is. See ``zelvane._measures.palma``."""
    return _measures.palma(self)


def quantile_ratio(self: PiecewiseLinearDensity, high: float = 0.9, low: float = 0.1) -> float:
    """``ppf(high) / ppf(low)``: P90/P10 by default, P90/P50 with ``low=0.5``, ...;
    both levels strictly between 0 and 1. Infinite where the lower quantile is 0, NaN
    where a quantile is negative. See ``zelvane._measures.quantile_ratio``.

    Raises
    ------
    zelvane.InputError
        For a level that is not a real number (a bool included, ``"type"``) or not
        strictly between 0 and 1 (``"out_of_range"``).
    """
    levels = []
    for name, given in (("high", high), ("low", low)):
        level = check_number(name, given)
        if not 0.0 < level < 1.0:
            raise InputError("out_of_range", argument=name, value=level, minimum=0,
                             maximum=1, exclusive=True)
        levels.append(level)
    return _measures.quantile_ratio(self, levels[0], levels[1])


def theil(self: PiecewiseLinearDensity) -> float:
    """Theil's index ``E[(X / mu) log(X / mu)]``: 0 for equal shares, infinite where
    the mean is (a Pareto tail with ``alpha <= 1``), NaN where there is mass below 0.
    See ``zelvane._measures.theil``."""
    return _measures.theil(self)


def mld(self: PiecewiseLinearDensity) -> float:
    """The mean log deviation ``log mu - E[log X]`` (Theil's second index): infinite
    where the mean is, NaN where there is mass below 0. See ``zelvane._measures.mld``."""
    return _measures.mld(self)


def atkinson(self: PiecewiseLinearDensity, epsilon: float = 1.0) -> float:
    """Atkinson's index for the inequality aversion `epsilon` (0 or more; 1 by
    default), in [0, 1]: 1 where the mean is infinite or ``E[X^(1 - epsilon)]``
    diverges at 0, NaN where there is mass below 0. See
    ``zelvane._measures.atkinson``.

    Raises
    ------
    zelvane.InputError
        For an `epsilon` that is not a real number (a bool included, ``"type"``),
        negative or not finite.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])
    >>> round(d.atkinson(0.5), 12)
    0.111111111111
    """
    aversion = check_number("epsilon", epsilon)
    if not math.isfinite(aversion):
        raise InputError("not_finite", argument="epsilon", value=aversion)
    if aversion < 0:
        raise InputError("out_of_range", argument="epsilon", value=aversion, minimum=0)
    return _measures.atkinson(self, aversion)
