"""A probability distribution whose density is piecewise linear between knots.

The density is given by its values at strictly increasing knots and is linear
between neighbouring knots. Beyond the first and the last knot it is zero, or an
open tail (:class:`zelvane.Tail`): exponential on either side, Pareto on the right
of a positive last knot. Its distribution function is piecewise quadratic on the
body and exponential or a power in the tails, and everything (``cdf``, ``sf``,
their exact inverses, the moments, the masses) has a closed form evaluated in
float64 over whole arrays at once.

:class:`PiecewiseLinearDensity` is a representation: it is built from knots, values
and tails, and evaluated, both here. Its other methods are functions of other modules,
bound in the class body under their names: the moments, the median and the inequality
measures are ``zelvane._summaries``' (the measures computed by ``zelvane._measures``);
``from_masses``, ``from_histogram`` and ``confidence`` are ``zelvane._from_data``'s,
which hand over to the fitting modules (``zelvane._fitted``); ``to_scipy`` and ``plot``
hand the density to ``zelvane._adapters``.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from zelvane import _adapters, _from_data, _pickling, _pieces, _summaries, _tails
from zelvane._checks import as_float64, check_cuts, check_knots_and_values, read_only, sealed
from zelvane._tail_checks import check_tail
from zelvane._tails import Tail

if TYPE_CHECKING:
    from matplotlib.axes import Axes  # type: ignore[import-untyped, unused-ignore]

__all__ = ["PiecewiseLinearDensity"]

Float64Array = npt.NDArray[np.float64]
#: A float64 scalar for 0-d input, otherwise an array of the input's shape.
Evaluated = Union[np.float64, Float64Array]
#: What ``rvs`` accepts as its source of randomness.
RandomSource = Union[None, int, np.random.SeedSequence, np.random.BitGenerator,
                     np.random.Generator, np.random.RandomState]


def _shaped(flat: Float64Array, shape: Tuple[int, ...]) -> Evaluated:
    """`flat` in `shape`; 0-d results become a float64 scalar, as SciPy returns them."""
    result = flat.reshape(shape)
    return result[()] if result.ndim == 0 else result


class PiecewiseLinearDensity:
    """A continuous distribution whose density is linear between knots, with optional
    open tails beyond the first and the last knot.

    Parameters
    ----------
    knots : array_like
        Strictly increasing, finite positions, at least two. Without tails the
        support of the distribution is ``[knots[0], knots[-1]]``.
    values : array_like
        The density at each knot, up to a common factor: finite, non-negative,
        with a positive total area. Masked arrays with masked elements are
        refused here, for `knots`, and by every method that takes arrays
        (``"masked"``): fill or compress them first.
    left_tail, right_tail : zelvane.Tail, optional
        Tails beyond the first and the last knot: their ``joint`` is that knot,
        their ``mass`` is in the units of the area of `values`, and their
        ``parameter`` is positive and finite. A left tail is exponential; a right
        tail is exponential or, when the last knot is above 0, Pareto. A tail of
        mass 0 is the same as none. The tail's density at its joint
        (``Tail.height``) is not checked against the value there: a fit makes
        them equal, a caller may build any tail.

    The body's values and the tails' masses are scaled by one factor so that the
    total mass is 1.

    Raises
    ------
    zelvane.InputError
        Naming the argument and the first offending element, when the knots are
        not one-dimensional, finite and strictly increasing, or the values do not
        match them in length, are not finite, are negative or enclose no area
        (the checks of ``zelvane.fit_density``, made in float64); naming the
        field (``right_tail.mass``, say) when a tail is not a ``zelvane.Tail``
        (``"type"``), its kind is not allowed on its side (``"choice"``, and
        ``"pareto_joint"`` for a Pareto tail at a joint <= 0), its joint is not
        the end knot (``"tail_joint"``), its mass is negative or not finite, or
        its parameter is not positive and finite (``"not_positive"``).

    See Also
    --------
    PiecewiseLinearDensity.from_histogram, PiecewiseLinearDensity.from_masses, zelvane.Tail

    Notes
    -----
    The methods follow the ``scipy.stats`` interface: ``pdf``, ``cdf``, ``sf``,
    ``ppf`` and ``isf`` take scalars or array-likes of any shape and return a
    float64 scalar or an array of the same shape; ``ppf`` is the exact inverse of
    ``cdf``, and ``sf`` and ``isf`` work from the right end, so that they keep
    their relative accuracy deep in a right tail, where ``cdf`` is 1 to float64
    precision.

    The fitting methods fill in what the fit found (`method`, `smoothing`,
    `edf`, `mass_error`); a density built from knots and values has None there.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity, Tail
    >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
    >>> d.values
    array([0.        , 0.66666667, 0.        ])
    >>> float(d.cdf(1.0)), float(d.ppf(1 / 3)), d.mean()
    (0.3333333333333333, 1.0, 1.3333333333333335)

    A Pareto tail beyond 10 that continues the value 1 there with ``alpha = 2``
    carries ``1 * 10 / 2 = 5`` against the body's area of 10: a third of the total.

    >>> tail = Tail.joined("pareto", joint=10.0, height=1.0, parameter=2.0)
    >>> d = PiecewiseLinearDensity([0.0, 10.0], [1.0, 1.0], right_tail=tail)
    >>> round(d.right_tail.mass, 12), d.support(), round(float(d.sf(20.0)), 12)
    (0.333333333333, (0.0, inf), 0.083333333333)
    """

    __slots__ = ("_knots", "_values", "_widths", "_rises", "_below", "_areas", "_sums", "_upper",
                 "_left", "_right", "_method", "_smoothing", "_edf", "_mass_error", "_source")
    _knots: Float64Array
    _values: Float64Array
    _widths: Float64Array
    _rises: Float64Array
    # Mass below each knot, the left tail's included, exact at the left end.
    _below: Float64Array
    # The areas of the pieces, the tails' masses and the total before normalisation.
    _areas: Float64Array
    _sums: Tuple[float, float, float]
    # `_above` once made.
    _upper: Optional[Float64Array]
    # The tails, with their masses as shares of the total; None where there is none.
    _left: Optional[Tail]
    _right: Optional[Tail]
    _method: Optional[str]
    _smoothing: Optional[float]
    _edf: Optional[float]
    _mass_error: Union[None, float, Callable[[], float]]
    # What a fit was given (the fields of ``zelvane._confidence.Source``), for intervals.
    _source: Optional[Dict[str, Any]]

    def __init__(self, knots: npt.ArrayLike, values: npt.ArrayLike, *,
                 left_tail: Optional[Tail] = None, right_tail: Optional[Tail] = None) -> None:
        x, y = check_knots_and_values(knots, values)
        left = check_tail(left_tail, "left_tail", float(x[0]), right=False)
        right = check_tail(right_tail, "right_tail", float(x[-1]), right=True)
        self._build(x, y, left, right)
        self._method = self._smoothing = self._edf = self._mass_error = None
        self._source = None

    @classmethod
    def _from_fit(cls, knots: Float64Array, values: Float64Array, *,
                  left_tail: Optional[Tail] = None, right_tail: Optional[Tail] = None,
                  method: Optional[str] = None, smoothing: Optional[float] = None,
                  edf: Optional[float] = None,
                  mass_error: Union[None, float, Callable[[], float]] = None,
                  source: Optional[Dict[str, Any]] = None) -> PiecewiseLinearDensity:
        """The density of a fit's output, without the constructor's checks.

        `knots` and `values` must be what a fitting kernel returns: one-dimensional
        float64 arrays of equal length (at least two), knots finite and strictly
        increasing, values finite and non-negative with a positive area; each tail,
        if given, a `Tail` of float fields that the constructor would take. Neither
        array is changed or kept (the knots are copied, sealed). The result is the one that
        ``PiecewiseLinearDensity(knots, values, left_tail=..., right_tail=...)``
        gives, to the bit, with the fit's metadata attached.
        """
        self = cls.__new__(cls)
        left = left_tail if left_tail is not None and left_tail.mass > 0 else None
        right = right_tail if right_tail is not None and right_tail.mass > 0 else None
        self._build(sealed(np.asarray(knots, dtype=np.float64)), values, left, right)
        self._method = method
        self._smoothing = None if smoothing is None else float(smoothing)
        self._edf = None if edf is None else float(edf)
        # A fit may hand over how to compute its mass error, done on first use.
        self._mass_error = mass_error if mass_error is None or callable(mass_error) \
            else float(mass_error)
        self._source = source
        return self

    def _build(self, x: Float64Array, y: Float64Array, left: Optional[Tail],
               right: Optional[Tail]) -> None:
        """Set every array from sealed knots `x` (kept) and values `y` (not changed), with
        tails of positive mass or None. Every array kept is read-only: the knots and
        values, which are handed out (as views), sealed so that no view of them can be
        made writable again; the tables made from them have their flag cleared."""
        low = left.mass if left is not None else 0.0
        high = right.mass if right is not None else 0.0
        y, widths, areas, below, (low, high, total) = _pieces.tables(x, y, low, high)
        y = sealed(y)
        self._knots, self._values = x, y
        self._widths, self._below = read_only(widths), read_only(below)
        self._rises = read_only(y[1:] - y[:-1])
        # The masses of the pieces and the mass above each knot wait for their first use.
        self._areas, self._sums, self._upper = read_only(areas), (low, high, total), None
        self._left = None if left is None else Tail(
            left.kind, float(left.joint), float(low / total), float(left.parameter), left.chosen)
        self._right = None if right is None else Tail(
            right.kind, float(right.joint), float(high / total), float(right.parameter),
            right.chosen)

    def _with_source(self, source: Optional[Dict[str, Any]]) -> PiecewiseLinearDensity:
        """This density, told what its fit was given (the fields of
        ``zelvane._confidence.Source``): what its confidence intervals start from."""
        self._source = source
        return self

    @property
    def _above(self) -> Float64Array:
        """Mass above each knot, the right tail's included, exact at the right end: made
        on first use (by sf, isf, gini, masses with edges)."""
        above = self._upper
        if above is None:
            low, high, _ = self._sums
            above = self._upper = read_only(_pieces.above(self._areas, low, high))
        return above

    # The density fitted to masses or to counts: zelvane._from_data, which hands over to
    # the fitting modules.
    from_masses = classmethod(_from_data.from_masses)
    from_histogram = classmethod(_from_data.from_histogram)

    def __getstate__(self) -> Dict[str, Any]:
        return _pickling.state(self)

    def __setstate__(self, state: Dict[str, Any]) -> None:
        # A pickle is input like any other: checked as the constructor checks its
        # arguments, each refusal an InputError (a ValueError) naming the field.
        _pickling.restore(self, state)

    def __repr__(self) -> str:
        parts = [f"knots={self._knots.tolist()!r}", f"values={self._values.tolist()!r}"]
        for name in ("left_tail", "right_tail", "method", "smoothing", "edf"):
            value = getattr(self, name)
            if value is not None:
                parts.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(parts)})"

    @property
    def knots(self) -> Float64Array:
        """The knots, as a read-only float64 array."""
        return self._knots.view()

    @property
    def values(self) -> Float64Array:
        """The density at each knot (total mass 1, tails included), as a read-only float64
        array."""
        return self._values.view()

    @property
    def left_tail(self) -> Optional[Tail]:
        """The tail before the first knot, its mass a share of the total, or None."""
        return self._left

    @property
    def right_tail(self) -> Optional[Tail]:
        """The tail beyond the last knot, its mass a share of the total, or None."""
        return self._right

    @property
    def method(self) -> Optional[str]:
        """The fit that made the density, or None for one built from knots and values."""
        return self._method

    @property
    def smoothing(self) -> Optional[float]:
        """The smoothing of the fit that made the density, or None."""
        return self._smoothing

    @property
    def edf(self) -> Optional[float]:
        """The effective degrees of freedom of the fit that made the density, or None."""
        return self._edf

    @property
    def mass_error(self) -> Optional[float]:
        """The largest difference between a fitted and a given mass, as a share of the
        total given, or None."""
        if callable(self._mass_error):
            self._mass_error = float(self._mass_error())
        return self._mass_error

    # ---------------------------------------------------------------- evaluation

    def _evaluated(self, name: str, given: npt.ArrayLike,
                   compute: Callable[[Float64Array], Float64Array]) -> Evaluated:
        """`compute` of the points `given` (refused, as `name`, unless they are real
        numbers), flat in float64, back in their shape: the one way every evaluation
        takes array-likes of any shape and gives float64, a scalar for 0-d input."""
        points = as_float64(name, given)
        return _shaped(compute(points.ravel()), points.shape)

    def pdf(self, x: npt.ArrayLike) -> Evaluated:
        """The probability density at `x` (of any shape; a float64 scalar for a scalar),
        0 outside the support.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.pdf([-1.0, 0.5, 2.0])
        array([0.        , 0.33333333, 0.33333333])
        """
        return self._evaluated("x", x, self._pdf)

    def _pdf(self, flat: Float64Array) -> Float64Array:
        density = _pieces.pdf(self, flat)
        if self._left is not None:
            side = flat < self._knots[0]
            density[side] = _tails.pdf(self._left, False, flat[side])
        if self._right is not None:
            side = flat > self._knots[-1]
            density[side] = _tails.pdf(self._right, True, flat[side])
        return density

    def cdf(self, x: npt.ArrayLike) -> Evaluated:
        """The probability of a value at or below `x` (of any shape; a float64 scalar for
        a scalar): 0 left of the support, 1 right of it.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.cdf([0.5, 1.0, 2.0, 5.0])
        array([0.08333333, 0.33333333, 0.83333333, 1.        ])
        """
        return self._evaluated("x", x, self._cdf)

    def _cdf(self, flat: Float64Array) -> Float64Array:
        p = _pieces.cdf(self, flat)
        if self._left is not None:
            side = flat < self._knots[0]
            p[side] = self._below[0] * _tails.beyond(self._left, False, flat[side])
        if self._right is not None:
            # The cdf side's share of the tail, 1 - cdf(joint), so that the function
            # is continuous at the joint and ends at 1 exactly.
            side = flat >= self._knots[-1]
            top = self._below[-1]
            tail = top + (1.0 - top) * _tails.within(self._right, True, flat[side])
            p[side] = np.minimum(tail, 1.0)
        return p

    def sf(self, x: npt.ArrayLike) -> Evaluated:
        """The probability of a value above `x` (of any shape; a float64 scalar for a
        scalar), ``1 - cdf(x)`` without its cancellation in the right tail.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.sf([0.5, 2.9])
        array([0.91666667, 0.00166667])
        """
        return self._evaluated("x", x, self._sf)

    def _sf(self, flat: Float64Array) -> Float64Array:
        s = _pieces.sf(self, flat)
        if self._left is not None:
            side = flat < self._knots[0]
            first = self._above[0]
            tail = first + (1.0 - first) * _tails.within(self._left, False, flat[side])
            s[side] = np.minimum(tail, 1.0)
        if self._right is not None:
            side = flat >= self._knots[-1]
            s[side] = self._above[-1] * _tails.beyond(self._right, True, flat[side])
        return s

    def ppf(self, q: npt.ArrayLike) -> Evaluated:
        """The quantile function, the exact inverse of `cdf`, at probabilities `q` (of any
        shape; a float64 scalar for a scalar).

        For ``0 < q < 1`` the result is the smallest ``x`` with ``cdf(x) >= q``, so a
        stretch where the density is zero maps to its left end. ``ppf(0)`` and
        ``ppf(1)`` are the ends of the support (-inf and inf where there are tails);
        `q` outside [0, 1] or NaN gives NaN.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.ppf([0.0, 1 / 12, 0.5, 1.0, 1.5])
        array([0.        , 0.5       , 1.26794919, 3.        ,        nan])
        """
        if isinstance(q, float) and 0.0 < q < 1.0:
            # One level: Python floats, with the very operations of the array path.
            first, top = self._below.item(0), self._below.item(-1)
            if q < first and self._left is not None:
                quantile = _tails.point_of(self._left, False, q / first)
            elif q > top and self._right is not None:
                quantile = _tails.point_of(self._right, True, (1.0 - q) / (1.0 - top))
            else:
                quantile = _pieces.quantile(self, q)
            if quantile is not None:
                return np.float64(quantile)
        return self._evaluated("q", q, self._ppf)

    def _ppf(self, flat: Float64Array) -> Float64Array:
        inside = (flat > 0) & (flat < 1)
        x = np.where(inside, _pieces.ppf(self, np.where(inside, flat, 0.5)), np.nan)
        low, high = self.support()
        x = np.where(flat == 0, low, np.where(flat == 1, high, x))
        if self._left is not None:
            side = inside & (flat < self._below[0])
            x[side] = _tails.point(self._left, False, flat[side] / self._below[0])
        if self._right is not None:
            top = self._below[-1]
            side = inside & (flat > top)
            x[side] = _tails.point(self._right, True, (1.0 - flat[side]) / (1.0 - top))
        return x

    def isf(self, q: npt.ArrayLike) -> Evaluated:
        """The inverse of `sf`: the point above which lies the probability `q` (of any
        shape; a float64 scalar for a scalar).

        ``isf(q)`` is ``ppf(1 - q)`` without the rounding of ``1 - q``, so that it
        keeps its relative accuracy deep in a right tail: for ``0 < q < 1`` it is the
        smallest ``x`` with ``sf(x) <= q``. ``isf(0)`` and ``isf(1)`` are the upper
        and lower ends of the support; `q` outside [0, 1] or NaN gives NaN.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity, Tail
        >>> tail = Tail("pareto", 1.0, 0.5, 1.5)
        >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0], right_tail=tail)
        >>> x = float(d.isf(1e-20))
        >>> f"{x:.6e}", round(float(d.sf(x)) / 1e-20, 12)
        ('1.035744e+13', 1.0)
        """
        return self._evaluated("q", q, self._isf)

    def _isf(self, flat: Float64Array) -> Float64Array:
        inside = (flat > 0) & (flat < 1)
        x = np.where(inside, _pieces.isf(self, np.where(inside, flat, 0.5)), np.nan)
        low, high = self.support()
        x = np.where(flat == 0, high, np.where(flat == 1, low, x))
        if self._right is not None:
            side = inside & (flat < self._above[-1])
            x[side] = _tails.point(self._right, True, flat[side] / self._above[-1])
        if self._left is not None:
            first = self._above[0]
            side = inside & (flat > first)
            x[side] = _tails.point(self._left, False, (1.0 - flat[side]) / (1.0 - first))
        return x

    def rvs(self, size: Union[None, int, Tuple[int, ...]] = None,
            random_state: RandomSource = None) -> Evaluated:
        """Random draws, by inverse transform of uniform numbers through `ppf`.

        Parameters
        ----------
        size : int or tuple of int, optional
            Shape of the result; None (the default) draws a single float64 scalar.
        random_state : None, int, numpy.random.Generator or numpy.random.RandomState
            The source of randomness: a Generator or RandomState is used as it is,
            anything else seeds a new ``numpy.random.default_rng`` (None from fresh
            entropy).

        Returns
        -------
        numpy.float64 or numpy.ndarray

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.rvs(size=3, random_state=7).shape
        (3,)
        """
        if isinstance(random_state, np.random.RandomState):
            uniform = random_state.random_sample(size)
        else:
            uniform = np.random.default_rng(random_state).random(size)
        if self._left is not None:
            # The uniform numbers lie in [0, 1): a draw of exactly 0 would be -inf.
            uniform = np.where(uniform > 0, uniform, 2.0 ** -54)
        return self.ppf(uniform)

    # ---------------------------------------------------------------- summaries

    def support(self) -> Tuple[float, float]:
        """The interval outside which the density is zero: the first and the last knot,
        or -inf and inf where there are tails.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity, Tail
        >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).support()
        (0.0, 3.0)
        >>> tail = Tail("exponential", 1.0, 0.5, 2.0)
        >>> PiecewiseLinearDensity([1.0, 3.0], [1.0, 0.0], left_tail=tail).support()
        (-inf, 3.0)
        """
        low = -math.inf if self._left is not None else float(self._knots[0])
        high = math.inf if self._right is not None else float(self._knots[-1])
        return low, high

    def masses(self, edges: Optional[npt.ArrayLike] = None) -> Float64Array:
        """The probability of each piece between neighbouring knots, or of each bin
        between neighbouring `edges`, as a new float64 array.

        Parameters
        ----------
        edges : array_like, optional
            Strictly increasing bin edges, one-dimensional; -inf and inf are allowed,
            so ``[-inf, ..., inf]`` gives bins that hold the whole mass. None (the
            default) gives the masses of the body's pieces, which sum to 1 less the
            tails' masses.

        Returns
        -------
        numpy.ndarray
            The differences of `cdf` across every bin (of `sf` for bins from the median
            up, which keeps them accurate in a right tail).

        Raises
        ------
        zelvane.InputError
            When `edges` are not real numbers, not one-dimensional, NaN or not
            strictly increasing.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.masses()
        array([0.33333333, 0.66666667])
        >>> d.masses([-float("inf"), 0.5, 2.0, float("inf")]).round(12).tolist()
        [0.083333333333, 0.75, 0.166666666667]
        """
        if edges is None:
            masses: Float64Array = self._areas / self._sums[2]
            return masses
        cuts = check_cuts("edges", edges)
        p = np.asarray(self.cdf(cuts))
        s = np.asarray(self.sf(cuts))
        upper = p[:-1] >= 0.5
        bins: Float64Array = np.where(upper, s[:-1] - s[1:], p[1:] - p[:-1])
        return bins

    # The moments, the median and the inequality measures: zelvane._summaries.
    mean = _summaries.mean
    var = _summaries.var
    std = _summaries.std
    median = _summaries.median
    gini = _summaries.gini
    lorenz = _summaries.lorenz
    top_share = _summaries.top_share
    palma = _summaries.palma
    quantile_ratio = _summaries.quantile_ratio
    theil = _summaries.theil
    mld = _summaries.mld
    atkinson = _summaries.atkinson
    # Their intervals, from the data it was fitted to: zelvane._from_data.
    confidence = _from_data.confidence

    # ---------------------------------------------------------------- adapters

    def to_scipy(self) -> Any:
        """The same distribution as a frozen ``scipy.stats`` continuous distribution,
        with this object's ``pdf``, ``cdf``, ``sf``, ``ppf``, ``isf``, ``mean``, ``var``
        and `support`; an ImportError without SciPy. See ``zelvane._adapters.to_scipy``."""
        return _adapters.to_scipy(self)

    def plot(self, ax: Optional[Axes] = None, *, band: Optional[float] = None,
             **kwargs: Any) -> Axes:
        """Draw the density on `ax` (None: a new figure's, pyplot untouched): a line
        through the knots with `kwargs` (``color``, ``label``, ...), each tail dashed in
        the same colour; returns the axes, an ImportError without matplotlib. With
        `band` (a level, 0.9 say) the density's confidence band
        (``confidence(band).pdf``) is shaded beneath, in the line's colour. See
        ``zelvane._adapters.plot``."""
        if band is None:
            return _adapters.plot(self, ax, **kwargs)
        intervals = self.confidence(band)
        return _adapters.plot(self, ax, band=intervals.pdf, **kwargs)
