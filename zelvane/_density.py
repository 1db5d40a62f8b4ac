"""A probability distribution whose density is piecewise linear between knots.

The density is given by its values at strictly increasing knots and is linear
between neighbouring knots, zero outside them. Its distribution function is
therefore piecewise quadratic, and everything here (``cdf``, its exact inverse
``ppf``, the moments, the masses of the pieces) has a closed form evaluated in
float64 over whole arrays at once.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from zelvane._errors import InputError
from zelvane._fit import (
    METHODS,
    _check_refine,
    check_histogram,
    check_method,
    fit_density,
    smooth_checked,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes  # type: ignore[import-untyped, unused-ignore]

__all__ = ["PiecewiseLinearDensity"]

Float64Array = npt.NDArray[np.float64]
#: The fits that `PiecewiseLinearDensity.from_masses` and `from_histogram` offer: the
#: smooth fit (``zelvane.fit_smooth``) and the methods of ``zelvane.fit_density``.
FIT_METHODS = ("smooth", *METHODS)
#: The fit that `PiecewiseLinearDensity.from_masses` and `from_histogram` use by default.
DEFAULT_METHOD = "smooth"
#: A float64 scalar for 0-d input, otherwise an array of the input's shape.
Evaluated = Union[np.float64, Float64Array]
#: What ``rvs`` accepts as its source of randomness.
RandomSource = Union[None, int, np.random.SeedSequence, np.random.BitGenerator,
                     np.random.Generator, np.random.RandomState]


def _points(name: str, data: npt.ArrayLike) -> Float64Array:
    """Points or probabilities of any shape as float64; only booleans, integers and reals
    are accepted, so that a complex input is refused rather than losing its imaginary part."""
    array = np.asarray(data)
    if array.dtype.kind not in "biuf":
        raise InputError("dtype", argument=name, dtype=str(array.dtype), expected="real")
    return np.asarray(array, dtype=np.float64)


def _checked_knots_and_values(knots: npt.ArrayLike,
                              values: npt.ArrayLike) -> Tuple[Float64Array, Float64Array]:
    """Own float64 copies of `knots` and `values`, refused as the package's checking helper
    refuses them, naming the argument and the first offending element."""
    x, y = check_histogram(knots, values, center_name="knots", gap_name="values",
                           per_center=True, nonnegative=True, dtype=np.float64, max_ndim=1)
    with np.errstate(over="ignore"):
        span = x[-1] - x[0]
    if not np.isfinite(span):
        raise InputError("span", argument="knots", first=x[0], last=x[-1])
    # The helper hands back its argument itself when that is already float64.
    return np.array(x, dtype=np.float64), np.array(y, dtype=np.float64)


def _shaped(flat: Float64Array, shape: Tuple[int, ...]) -> Evaluated:
    """`flat` in `shape`; 0-d results become a float64 scalar, as SciPy returns them."""
    result = flat.reshape(shape)
    return result[()] if result.ndim == 0 else result


class PiecewiseLinearDensity:
    """A continuous distribution whose density is linear between knots.

    Parameters
    ----------
    knots : array_like
        Strictly increasing, finite positions, at least two; the support of the
        distribution is ``[knots[0], knots[-1]]``.
    values : array_like
        The density at each knot, up to a common factor: finite, non-negative,
        with a positive total area. They are scaled so that the total mass is 1.

    Raises
    ------
    zelvane.InputError
        Naming the argument and the first offending element, when the knots are
        not one-dimensional, finite and strictly increasing, or the values do not
        match them in length, are not finite, are negative or enclose no area.
        The checks are those of ``zelvane.fit_density``, made in float64.

    See Also
    --------
    PiecewiseLinearDensity.from_histogram, PiecewiseLinearDensity.from_masses

    Notes
    -----
    The methods follow the ``scipy.stats`` interface: ``pdf``, ``cdf``, ``sf`` and
    ``ppf`` take scalars or array-likes of any shape and return a float64 scalar or
    an array of the same shape. Outside the support ``pdf`` is 0 and ``cdf`` is 0
    or 1. ``ppf`` is the exact inverse of the piecewise quadratic ``cdf``: for
    ``0 < q < 1`` it returns the smallest ``x`` with ``cdf(x) >= q``, ``ppf(0)``
    and ``ppf(1)`` are the ends of the support, and other ``q`` give NaN.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
    >>> d.values
    array([0.        , 0.66666667, 0.        ])
    >>> float(d.cdf(1.0)), float(d.ppf(1 / 3)), d.mean()
    (0.3333333333333333, 1.0, 1.3333333333333335)
    """

    __slots__ = ("_knots", "_values", "_widths", "_rises", "_masses", "_below", "_above")
    _knots: Float64Array
    _values: Float64Array
    _widths: Float64Array
    _rises: Float64Array
    _masses: Float64Array
    _below: Float64Array
    _above: Float64Array

    def __init__(self, knots: npt.ArrayLike, values: npt.ArrayLike) -> None:
        x, y = _checked_knots_and_values(knots, values)
        widths = np.diff(x)
        # Scaled to a largest value of 1 first, so that neither the areas nor their
        # sum overflow whatever the magnitude of the values given.
        top = y.max()
        if top > 0:
            y /= top
        areas = widths * (y[:-1] + y[1:]) * 0.5
        below = np.concatenate(([0.0], np.cumsum(areas)))
        total = below[-1]
        if not total > 0:
            raise InputError("zero_area", argument="values")
        with np.errstate(over="ignore"):
            y /= total
        if not np.isfinite(y).all():
            raise InputError("too_close", argument="knots", first=x[0], last=x[-1])
        # Mass below and above each knot, both exact at their own end of the support
        # (0 and 1), so that cdf and sf are each accurate in their own tail.
        below /= total
        above = np.concatenate((np.cumsum(areas[::-1])[::-1], [0.0]))
        above /= above[0]
        self.__setstate__({"_knots": x, "_values": y, "_widths": widths, "_rises": np.diff(y),
                           "_masses": areas / total, "_below": below, "_above": above})

    @classmethod
    def from_masses(cls, center: npt.ArrayLike, gap: npt.ArrayLike,
                    method: str = DEFAULT_METHOD, *, refine: int = 4) -> PiecewiseLinearDensity:
        """The density fitted to the masses of the intervals between neighbouring centres.

        Parameters
        ----------
        center : array_like, shape (m + 1,)
            Strictly increasing, finite positions: the knots of the density.
        gap : array_like, shape (m,)
            Non-negative mass of every interval between neighbouring centres, not all
            zero; only their proportions matter.
        method : {"smooth", "iterative", "exact"}
            ``"smooth"`` (the default) is ``zelvane.fit_smooth``: knots at the centres and
            `refine` - 1 more in every interval, every mass exact, never negative, the
            least curvature. ``"iterative"`` and ``"exact"`` are the fits of
            ``zelvane.fit_density``, with knots at the centres alone.
        refine : int
            Sub-intervals per interval for ``method="smooth"`` (1 to 256); ignored by
            the other methods.

        Returns
        -------
        PiecewiseLinearDensity

        Raises
        ------
        zelvane.InputError
            For input that ``zelvane.fit_density`` refuses, negative or all-zero masses,
            and masses whose fit by `method` has negative values (no non-negative
            density fits them that way): the message suggests the other methods.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1])
        >>> len(d.knots), d.masses().reshape(3, 4).sum(axis=1)
        (13, array([0.25, 0.5 , 0.25]))
        >>> d = PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1], method="exact")
        >>> d.values, d.masses()
        (array([0. , 0.5, 0.5, 0. ]), array([0.25, 0.5 , 0.25]))
        """
        return cls._fitted(center, gap, method, refine, "center", "gap")

    @classmethod
    def from_histogram(cls, counts: npt.ArrayLike, edges: npt.ArrayLike,
                       method: str = DEFAULT_METHOD, *, refine: int = 4) -> PiecewiseLinearDensity:
        """The density fitted to a histogram, in the order ``numpy.histogram`` returns it.

        The edges become the knots and the counts the masses of the pieces between
        them, as in `from_masses`.

        Parameters
        ----------
        counts : array_like, shape (m,)
            Non-negative count (or weight) of every bin, not all zero.
        edges : array_like, shape (m + 1,)
            Strictly increasing bin edges.
        method : {"smooth", "iterative", "exact"}
            As in `from_masses`.
        refine : int
            As in `from_masses`.

        Returns
        -------
        PiecewiseLinearDensity

        Raises
        ------
        zelvane.InputError
            As `from_masses`, with the arguments named ``counts`` and ``edges``.

        Examples
        --------
        >>> import numpy as np
        >>> from zelvane import PiecewiseLinearDensity
        >>> sample = np.random.default_rng(0).normal(size=1000)
        >>> d = PiecewiseLinearDensity.from_histogram(*np.histogram(sample, bins=8))
        >>> round(d.mean(), 2), round(d.std(), 2)
        (-0.04, 0.97)
        """
        return cls._fitted(edges, counts, method, refine, "edges", "counts")

    @classmethod
    def _fitted(cls, center: npt.ArrayLike, gap: npt.ArrayLike, method: str, refine: int,
                center_name: str, gap_name: str) -> PiecewiseLinearDensity:
        if method == "smooth":
            sub = _check_refine(refine)
            edges64, masses64 = check_histogram(center, gap, center_name=center_name,
                                                gap_name=gap_name, nonnegative=True,
                                                dtype=np.float64, max_ndim=1)
            return cls(*smooth_checked(edges64, masses64, sub, 1, gap_name=gap_name))
        if not isinstance(method, str) or method not in FIT_METHODS:
            raise InputError("choice", argument="method", given=repr(method), choices=FIT_METHODS)
        check_method(method)
        knots32, masses32 = check_histogram(center, gap, center_name=center_name,
                                            gap_name=gap_name, nonnegative=True, max_ndim=1)
        if not masses32.any():
            raise InputError("all_zero", argument=gap_name)
        values = np.asarray(fit_density(knots32, masses32, method=method), dtype=np.float64)
        others = tuple(m for m in FIT_METHODS if m != method)
        if not np.isfinite(values).all():
            raise InputError("fit_overflow", argument=gap_name,
                             index=int(np.argmin(np.isfinite(values))), method=method,
                             others=others)
        # The fit sees float32 centres and masses and works in float32, so a value that
        # should be zero can land below it (the exact fit's chain of differences does so
        # on most histograms). This bounds how far the rounding of the centres, of the
        # masses and of each step can carry a value along the chain of pair sums; only
        # what lies beyond it counts as a negative density.
        c, m = knots32.astype(np.float64), masses32.astype(np.float64)
        widths = np.diff(c)
        relative = 3.0 + (np.abs(c[:-1]) + np.abs(c[1:])) / widths
        rounding = float(np.finfo(np.float32).eps) * float(np.sum(2.0 * m / widths * relative))
        if (values < -rounding).any():
            i = int(np.argmax(values < -rounding))
            raise InputError("negative_fit", argument=gap_name, index=i, value=values[i],
                             method=method, others=others)
        knots = np.asarray(center, dtype=np.float64)
        return cls(knots, np.maximum(values, 0.0))

    def __getstate__(self) -> Dict[str, Float64Array]:
        return {name: getattr(self, name) for name in self.__slots__}

    def __setstate__(self, state: Dict[str, Float64Array]) -> None:
        # Arrays come back from pickle (or deepcopy) writable: make them read-only again.
        for name, array in state.items():
            array.flags.writeable = False
            setattr(self, name, array)

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(knots={self._knots.tolist()!r}, "
                f"values={self._values.tolist()!r})")

    @property
    def knots(self) -> Float64Array:
        """The knots, as a read-only float64 array."""
        return self._knots.view()

    @property
    def values(self) -> Float64Array:
        """The density at each knot (total mass 1), as a read-only float64 array."""
        return self._values.view()

    # ---------------------------------------------------------------- evaluation

    def _clipped(self, x: Float64Array) -> Float64Array:
        """`x` moved into the support (NaN kept), so that the piece formulas meet no
        infinity; the callers set the values outside the support themselves."""
        return np.clip(x, self._knots[0], self._knots[-1])

    def _pieces(self, x: Float64Array) -> npt.NDArray[np.intp]:
        """Index of the piece holding each point of the support (NaN: the last piece);
        the ends of the support belong to the first and last piece."""
        last = len(self._widths) - 1
        return np.clip(np.searchsorted(self._knots, x, side="right") - 1, 0, last)

    def pdf(self, x: npt.ArrayLike) -> Evaluated:
        """The probability density at `x`, 0 outside the support.

        Parameters
        ----------
        x : array_like
            Points of any shape.

        Returns
        -------
        numpy.float64 or numpy.ndarray
            A float64 scalar for a scalar `x`, else an array of its shape.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.pdf([-1.0, 0.5, 2.0])
        array([0.        , 0.33333333, 0.33333333])
        """
        points = _points("x", x)
        flat = points.ravel()
        x = self._clipped(flat)
        i = self._pieces(x)
        t = (x - self._knots[i]) / self._widths[i]
        density = self._values[i] + self._rises[i] * t
        outside = (flat < self._knots[0]) | (flat > self._knots[-1])
        return _shaped(np.where(outside, 0.0, density), points.shape)

    def cdf(self, x: npt.ArrayLike) -> Evaluated:
        """The probability of a value at or below `x`: 0 left of the support, 1 right of it.

        Parameters
        ----------
        x : array_like
            Points of any shape.

        Returns
        -------
        numpy.float64 or numpy.ndarray
            A float64 scalar for a scalar `x`, else an array of its shape.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.cdf([0.5, 1.0, 2.0, 5.0])
        array([0.08333333, 0.33333333, 0.83333333, 1.        ])
        """
        points = _points("x", x)
        flat = points.ravel()
        x = self._clipped(flat)
        i = self._pieces(x)
        t = x - self._knots[i]
        within = t * (self._values[i] + 0.5 * self._rises[i] * (t / self._widths[i]))
        # Capped by the mass below the next knot so that rounding never makes the
        # function step down across a knot.
        p = np.minimum(self._below[i] + within, self._below[i + 1])
        p = np.where(flat < self._knots[0], 0.0, np.where(flat >= self._knots[-1], 1.0, p))
        return _shaped(p, points.shape)

    def sf(self, x: npt.ArrayLike) -> Evaluated:
        """The probability of a value above `x`, ``1 - cdf(x)`` without its cancellation
        in the right tail.

        Parameters
        ----------
        x : array_like
            Points of any shape.

        Returns
        -------
        numpy.float64 or numpy.ndarray
            A float64 scalar for a scalar `x`, else an array of its shape.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.sf([0.5, 2.9])
        array([0.91666667, 0.00166667])
        """
        points = _points("x", x)
        flat = points.ravel()
        x = self._clipped(flat)
        i = self._pieces(x)
        r = self._knots[i + 1] - x
        upper = self._values[i + 1]
        within = r * (upper - 0.5 * self._rises[i] * (r / self._widths[i]))
        s = np.minimum(self._above[i + 1] + within, self._above[i])
        s = np.where(flat < self._knots[0], 1.0, np.where(flat >= self._knots[-1], 0.0, s))
        return _shaped(s, points.shape)

    def ppf(self, q: npt.ArrayLike) -> Evaluated:
        """The quantile function, the exact inverse of `cdf`.

        For ``0 < q < 1`` the result is the smallest ``x`` with ``cdf(x) >= q``, so a
        stretch where the density is zero maps to its left end. ``ppf(0)`` and
        ``ppf(1)`` are the ends of the support; `q` outside [0, 1] or NaN gives NaN.

        Parameters
        ----------
        q : array_like
            Probabilities of any shape.

        Returns
        -------
        numpy.float64 or numpy.ndarray
            A float64 scalar for a scalar `q`, else an array of its shape.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0])
        >>> d.ppf([0.0, 1 / 12, 0.5, 1.0, 1.5])
        array([0.        , 0.5       , 1.26794919, 3.        ,        nan])
        """
        probabilities = _points("q", q)
        flat = probabilities.ravel()
        inside = (flat > 0) & (flat < 1)
        level = np.where(inside, flat, 0.5)
        # The piece whose mass range (below[i], below[i+1]] holds the level: it
        # carries positive mass, so its density vanishes at one end at most.
        i = np.searchsorted(self._below, level, side="left") - 1
        i = np.clip(i, 0, len(self._widths) - 1)
        y0, rise, width = self._values[i], self._rises[i], self._widths[i]
        # Solve y0 u + rise u^2 / 2 = (level - below) / width for the fraction u of the
        # piece, everything scaled by the piece's largest value to stay in range, by
        # the root formula that subtracts nothing: rising, falling and flat alike.
        scale = np.maximum(y0, y0 + rise)
        scale = np.where(scale > 0, scale, 1.0)
        a, b = 0.5 * rise / scale, y0 / scale
        c = (level - self._below[i]) / (width * scale)
        denominator = b + np.sqrt(np.maximum(b * b + 4.0 * a * c, 0.0))
        # Zero only where c is: a level so close to the piece's start that c underflows.
        u = np.divide(2.0 * c, denominator, out=np.zeros_like(c), where=denominator > 0)
        u = np.clip(u, 0.0, 1.0)
        x = np.minimum(self._knots[i] + u * width, self._knots[i + 1])
        x = np.where(inside, x, np.nan)
        x = np.where(flat == 0, self._knots[0], np.where(flat == 1, self._knots[-1], x))
        return _shaped(x, probabilities.shape)

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
        return self.ppf(uniform)

    # ---------------------------------------------------------------- summaries

    def support(self) -> Tuple[float, float]:
        """The interval outside which the density is zero: the first and the last knot.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).support()
        (0.0, 3.0)
        """
        return float(self._knots[0]), float(self._knots[-1])

    def masses(self) -> Float64Array:
        """The probability of each piece between neighbouring knots (summing to 1), as a
        new float64 array.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).masses()
        array([0.33333333, 0.66666667])
        """
        return self._masses.copy()

    def _moment_terms(self, power: int, about: float) -> Float64Array:
        """The integral over each piece of ``(x - about) ** power`` times the density, by
        Simpson's rule, which is exact for these polynomials of degree at most three."""
        left = self._knots[:-1] - about
        right = self._knots[1:] - about
        y0, y1 = self._values[:-1], self._values[1:]
        middle = 0.5 * (left + right)
        terms: Float64Array = self._widths / 6.0 * (
            left ** power * y0 + 2.0 * middle ** power * (y0 + y1) + right ** power * y1)
        return terms

    def mean(self) -> float:
        """The expected value, in closed form.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).mean()
        1.3333333333333335
        """
        # Taken about the middle of the support, which keeps the terms small.
        centre = self._knots[0] + 0.5 * (self._knots[-1] - self._knots[0])
        return float(centre + self._moment_terms(1, centre).sum())

    def var(self) -> float:
        """The variance, in closed form about the mean (no cancellation of large squares).

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).var()
        0.38888888888888884
        """
        return float(self._moment_terms(2, self.mean()).sum())

    def std(self) -> float:
        """The standard deviation, the square root of `var`.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> round(PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).std(), 6)
        0.62361
        """
        return float(np.sqrt(self.var()))

    def median(self) -> float:
        """The median, ``ppf(0.5)``.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).median()
        1.2679491924311228
        """
        return float(self.ppf(0.5))

    # ---------------------------------------------------------------- adapters

    def to_scipy(self) -> Any:
        """The same distribution as a frozen ``scipy.stats`` continuous distribution.

        Its ``pdf``, ``cdf``, ``sf``, ``ppf``, ``mean`` and ``var`` are this object's;
        the rest of the interface (``interval``, ``expect``, ``entropy``, ...) is
        SciPy's, computed from them.

        Raises
        ------
        ImportError
            When SciPy is not installed.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> frozen = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).to_scipy()
        >>> float(frozen.cdf(1.0)), [float(end) for end in frozen.support()]
        (0.3333333333333333, [0.0, 3.0])
        """
        return _scipy_distribution_type()(density=self)()

    def plot(self, ax: Optional[Axes] = None, **kwargs: Any) -> Axes:
        """Draw the density over its support as a line through the knots.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; None makes a new ``matplotlib.figure.Figure`` with one axes,
            without touching pyplot's state.
        **kwargs
            Passed on to ``ax.plot`` (``color``, ``label``, ...).

        Returns
        -------
        matplotlib.axes.Axes
            The axes drawn on.

        Raises
        ------
        ImportError
            When matplotlib is not installed.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> ax = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).plot(color="k")
        >>> ax.lines[0].get_xydata().tolist()
        [[0.0, 0.0], [1.0, 0.6666666666666666], [3.0, 0.0]]
        """
        try:
            from matplotlib.figure import Figure  # type: ignore[import-untyped, unused-ignore]
        except ImportError as error:
            raise ImportError("PiecewiseLinearDensity.plot needs matplotlib: "
                              "pip install 'zelvane[plot]'") from error
        if ax is None:
            ax = Figure().add_subplot()
        ax.plot(self._knots, self._values, **kwargs)
        return ax


_scipy_type: Any = None


def _scipy_distribution_type() -> Any:
    """The ``scipy.stats.rv_continuous`` subclass behind `PiecewiseLinearDensity.to_scipy`,
    made on first use so that SciPy is imported only when it is wanted."""
    global _scipy_type
    if _scipy_type is not None:
        return _scipy_type
    try:
        from scipy import stats  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError("PiecewiseLinearDensity.to_scipy needs SciPy: "
                          "pip install 'zelvane[scipy]'") from error

    class piecewise_linear_gen(stats.rv_continuous):  # type: ignore[misc, unused-ignore]
        """A piecewise linear density as a SciPy distribution without shape parameters."""

        def __init__(self, *args: Any, density: PiecewiseLinearDensity,
                     **kwargs: Any) -> None:
            self._density = density
            kwargs["a"], kwargs["b"] = density.support()
            kwargs.setdefault("name", "piecewise_linear")
            super().__init__(*args, **kwargs)

        def _updated_ctor_param(self) -> Any:
            # Freezing builds a new instance from these parameters.
            params = super()._updated_ctor_param()
            params["density"] = self._density
            return params

        def _pdf(self, x: Float64Array) -> Evaluated:
            return self._density.pdf(x)

        def _cdf(self, x: Float64Array) -> Evaluated:
            return self._density.cdf(x)

        def _sf(self, x: Float64Array) -> Evaluated:
            return self._density.sf(x)

        def _ppf(self, q: Float64Array) -> Evaluated:
            return self._density.ppf(q)

        def _stats(self) -> Tuple[float, float, None, None]:
            return self._density.mean(), self._density.var(), None, None

    _scipy_type = piecewise_linear_gen
    return _scipy_type
