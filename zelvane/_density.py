"""A probability distribution whose density is piecewise linear between knots.

The density is given by its values at strictly increasing knots and is linear
between neighbouring knots. Beyond the first and the last knot it is zero, or an
open tail (:class:`zelvane.Tail`): exponential on either side, Pareto on the right
of a positive last knot. Its distribution function is piecewise quadratic on the
body and exponential or a power in the tails, and everything here (``cdf``, ``sf``,
their exact inverses, the moments, the masses, the Gini coefficient and the Lorenz
curve) has a closed form evaluated in float64 over whole arrays at once.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

from zelvane import _tails
from zelvane._errors import InputError, plain
from zelvane._fit import (
    DEFAULT_REFINE,
    METHODS,
    _fit_checked,
    as_array,
    check_histogram,
    check_method,
    open_sides,
    read_only,
    real_array,
    sealed,
)
from zelvane._smooth import _check_smoothing, bin_masses, fit_smooth, whole_numbers
from zelvane._tails import KINDS, Tail

if TYPE_CHECKING:
    from matplotlib.axes import Axes  # type: ignore[import-untyped, unused-ignore]

__all__ = ["PiecewiseLinearDensity", "check_counts"]

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

# The three-point Gauss-Legendre rule on [0, 1] (exact for polynomials of degree 5):
# the nodes as fractions of a piece and their weights.
_GAUSS_NODES = np.array([0.5 - 0.5 * math.sqrt(0.6), 0.5, 0.5 + 0.5 * math.sqrt(0.6)])
_GAUSS_WEIGHTS = np.array([5.0 / 18.0, 8.0 / 18.0, 5.0 / 18.0])
# Below this total mass the values, scaled to at most 1, might overflow when normalised.
_TINY = 1e-300
# How far plot() draws a tail: out to this share of the whole mass beyond its end.
_PLOT_SHARE = 0.005


def _points(name: str, data: npt.ArrayLike) -> Float64Array:
    """Points or probabilities of any shape as float64; only booleans, integers and reals
    are accepted, so that a complex input is refused rather than losing its imaginary part."""
    return np.asarray(real_array(name, data), dtype=np.float64)


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
    # The helper hands back its argument itself when that is already float64: the knots
    # are kept as a sealed copy; the values are read, not kept (the density's own are
    # made from them).
    return sealed(x), cast(Float64Array, y)


def _real(name: str, value: Any) -> float:
    """A field of a tail as a float: a Python or NumPy real number, not a boolean."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer,
                                                                     np.floating)):
        raise InputError("type", argument=name, expected="float", type_name=type(value).__name__)
    return float(value)


def check_counts(gap: Any, smoothing: Union[str, float], sample_size: Any,
                 gap_name: str) -> None:
    """Refuse to smooth masses that are not counts without the sample size behind them.

    Whole numbers are counts, their sum the sample size. Shares or weights say nothing
    of the sample behind them (a sum near 1 would read as one observation, and smooth
    everything away): any `smoothing` but 0 needs `sample_size` given for them. An
    InputError (``"needs_sample_size"``) names `gap_name`; a `smoothing` that is no
    smoothing at all is refused as the smooth fit refuses it.
    """
    if sample_size is None and _check_smoothing(smoothing) != 0.0 and not whole_numbers(gap):
        raise InputError("needs_sample_size", argument=gap_name, given=repr(plain(smoothing)),
                         smoothing=smoothing)


def _checked_tail(tail: Any, name: str, end: float, right: bool) -> Optional[Tail]:
    """`tail` with float fields, None for no tail or a tail without mass; refused with an
    InputError naming the field (``right_tail.mass``, say) when it does not fit the side."""
    if tail is None:
        return None
    if not isinstance(tail, Tail):
        raise InputError("type", argument=name, expected="zelvane.Tail",
                         type_name=type(tail).__name__)
    allowed = KINDS if right else ("exponential",)
    if not isinstance(tail.kind, str) or tail.kind not in allowed:
        raise InputError("choice", argument=f"{name}.kind", given=repr(tail.kind),
                         choices=allowed)
    joint = _real(f"{name}.joint", tail.joint)
    if joint != end:
        raise InputError("tail_joint", argument=f"{name}.joint", value=joint,
                         end="last" if right else "first", knot=end)
    if tail.kind == "pareto" and not joint > 0:
        raise InputError("pareto_joint", argument=f"{name}.kind", value=joint)
    mass = _real(f"{name}.mass", tail.mass)
    if not math.isfinite(mass):
        raise InputError("not_finite", argument=f"{name}.mass", value=mass)
    if mass < 0:
        raise InputError("negative", argument=f"{name}.mass", value=mass)
    parameter = _real(f"{name}.parameter", tail.parameter)
    if not math.isfinite(parameter):
        raise InputError("not_finite", argument=f"{name}.parameter", value=parameter)
    if not parameter > 0:
        raise InputError("not_positive", argument=f"{name}.parameter", value=parameter)
    return Tail(tail.kind, joint, mass, parameter) if mass > 0 else None


def _shaped(flat: Float64Array, shape: Tuple[int, ...]) -> Evaluated:
    """`flat` in `shape`; 0-d results become a float64 scalar, as SciPy returns them."""
    result = flat.reshape(shape)
    return result[()] if result.ndim == 0 else result


def _fraction_of_piece(y0: Float64Array, rise: Float64Array, width: Float64Array,
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
    float64 scalar or an array of the same shape. Outside the support ``pdf`` is
    0 and ``cdf`` is 0 or 1. ``ppf`` is the exact inverse of ``cdf``: for
    ``0 < q < 1`` it returns the smallest ``x`` with ``cdf(x) >= q``, ``ppf(0)``
    and ``ppf(1)`` are the ends of the support (infinite where a tail is), and
    other ``q`` give NaN. ``sf`` and ``isf`` work from the right end, so that
    they keep their relative accuracy deep in a right tail, where ``cdf`` is 1 to
    float64 precision.

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
                 "_left", "_right", "_method", "_smoothing", "_edf", "_mass_error")
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

    def __init__(self, knots: npt.ArrayLike, values: npt.ArrayLike, *,
                 left_tail: Optional[Tail] = None, right_tail: Optional[Tail] = None) -> None:
        x, y = _checked_knots_and_values(knots, values)
        left = _checked_tail(left_tail, "left_tail", float(x[0]), right=False)
        right = _checked_tail(right_tail, "right_tail", float(x[-1]), right=True)
        self._build(x, y, left, right)
        self._method = self._smoothing = self._edf = self._mass_error = None

    @classmethod
    def _from_fit(cls, knots: Float64Array, values: Float64Array, *,
                  left_tail: Optional[Tail] = None, right_tail: Optional[Tail] = None,
                  method: Optional[str] = None, smoothing: Optional[float] = None,
                  edf: Optional[float] = None,
                  mass_error: Union[None, float, Callable[[], float]] = None
                  ) -> PiecewiseLinearDensity:
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
        return self

    def _build(self, x: Float64Array, y: Float64Array, left: Optional[Tail],
               right: Optional[Tail]) -> None:
        """Set every array from sealed knots `x` (kept) and values `y` (not changed), with
        tails of positive mass or None. Every array kept is read-only: the knots and
        values, which are handed out (as views), sealed so that no view of them can be
        made writable again; the tables made from them have their flag cleared."""
        widths = x[1:] - x[:-1]
        low = left.mass if left is not None else 0.0
        high = right.mass if right is not None else 0.0
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
        areas *= widths
        areas *= 0.5
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
        y = sealed(y)
        self._knots, self._values = x, y
        self._widths, self._below = read_only(widths), read_only(below)
        self._rises = read_only(y[1:] - y[:-1])
        # The masses of the pieces and the mass above each knot wait for their first use.
        self._areas, self._sums, self._upper = read_only(areas), (low, high, total), None
        self._left = None if left is None else Tail(
            left.kind, float(left.joint), float(low / total), float(left.parameter))
        self._right = None if right is None else Tail(
            right.kind, float(right.joint), float(high / total), float(right.parameter))

    @property
    def _above(self) -> Float64Array:
        """Mass above each knot, the right tail's included, exact at the right end: made
        on first use (by sf, isf, gini, masses with edges)."""
        above = self._upper
        if above is None:
            low, high, _ = self._sums
            above = np.empty(self._knots.shape[0])
            above[-1] = high
            above[-2::-1] = self._areas[::-1].cumsum()
            if high:
                above[:-1] += high
            above /= above.item(0) + low
            self._upper = read_only(above)
        return above

    @classmethod
    def from_masses(cls, center: npt.ArrayLike, gap: npt.ArrayLike,
                    method: str = DEFAULT_METHOD, *, refine: int = DEFAULT_REFINE,
                    smoothing: Union[str, float] = 0, sample_size: Optional[float] = None,
                    mean: Optional[float] = None) -> PiecewiseLinearDensity:
        """The density fitted to the masses of the intervals between neighbouring centres.

        Parameters
        ----------
        center : array_like, shape (m + 1,)
            Strictly increasing positions: the knots of the density. For the smooth
            fit the first may be -inf and the last +inf: an open end, beyond which
            the density gets a tail (see ``zelvane.fit_smooth``).
        gap : array_like, shape (m,)
            Non-negative mass of every interval between neighbouring centres, not all
            zero; only their proportions matter. A masked array with masked elements
            (here or as `center`) is refused: fill or compress it first.
        method : {"smooth", "iterative", "exact"}
            ``"smooth"`` (the default) is ``zelvane.fit_smooth``: knots at the centres and
            `refine` - 1 more in every interval, never negative, the least curvature.
            ``"iterative"`` and ``"exact"`` are the fits of ``zelvane.fit_density``, with
            knots at the centres alone.
        refine : int
            Sub-intervals per interval for ``method="smooth"`` (1 to 256; 2 or more with
            an open end); ignored by the other methods.
        smoothing : {0, "auto"} or float
            For the smooth fit: 0 (the default) meets every mass exactly; "auto" or a
            positive lambda reads the masses as shares of `sample_size` counts and
            smooths their noise (see ``zelvane.fit_smooth``).
        sample_size : float, optional
            The number of counts of which the masses are shares; needed for a
            smoothing other than 0 unless the masses are whole numbers (counts,
            whose sum it then is).
        mean : float, optional
            A known mean, met exactly by the tail beyond an open end.

        Returns
        -------
        PiecewiseLinearDensity
            With ``method``, ``smoothing``, ``edf`` and ``mass_error`` (the largest
            difference between a fitted and a given mass, as a share of the total)
            telling how it was fitted.

        Raises
        ------
        zelvane.InputError
            For input that ``zelvane.fit_smooth`` or ``zelvane.fit_density`` refuses,
            negative or all-zero masses, a smoothing of masses that are not whole
            numbers without a sample size (``"needs_sample_size"``), open ends or a smoothing or mean with another
            method than the smooth one (``"smooth_only"``), and masses whose fit by
            `method` has negative values (no non-negative density fits them that way):
            the message suggests the other methods.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1])
        >>> len(d.knots), d.masses().reshape(3, 4).sum(axis=1).round(13).tolist()
        (13, [0.25, 0.5, 0.25])
        >>> d = PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1], method="exact")
        >>> d.values.tolist(), d.masses().tolist()
        ([0.0, 0.5, 0.5, 0.0], [0.25, 0.5, 0.25])
        >>> top = PiecewiseLinearDensity.from_masses([0, 10, 20, float("inf")], [3, 5, 2],
        ...                                          mean=15.0)
        >>> round(top.mean(), 9), top.right_tail.kind
        (15.0, 'pareto')
        """
        return cls._fitted(center, gap, method, refine, "center", "gap", smoothing, sample_size,
                           mean)

    @classmethod
    def from_histogram(cls, counts: Any, edges: Optional[npt.ArrayLike] = None,
                       method: str = DEFAULT_METHOD, *, refine: int = DEFAULT_REFINE,
                       smoothing: Union[str, float] = "auto", sample_size: Optional[float] = None,
                       mean: Optional[float] = None) -> PiecewiseLinearDensity:
        """The density fitted to a histogram: counts, which are a sample.

        The edges become the knots and the counts the masses of the pieces between
        them. By default (``smoothing="auto"``) the counts are read as counts of a
        sample: the penalised likelihood of ``zelvane.fit_smooth`` smooths away their
        noise, with the smoothness chosen for this histogram by an information
        criterion. ``smoothing=0`` meets every count exactly.

        Parameters
        ----------
        counts : array_like, shape (m,), or a histogram object
            Non-negative count (or weight) of every bin, not all zero; or, without
            `edges`, what ``numpy.histogram`` returns, a pandas Series indexed by
            intervals (``pandas.cut(...).value_counts(sort=False)``, open intervals
            included), or a histogram object with ``values()`` and ``axes[0].edges``
            (boost-histogram, hist). A masked array with masked elements (here or as
            `edges`) is refused: fill or compress it first.
        edges : array_like, shape (m + 1,), optional
            Strictly increasing bin edges; the first may be -inf and the last +inf.
        method : {"smooth", "iterative", "exact"}
            As in `from_masses`.
        refine : int
            As in `from_masses`.
        smoothing : {"auto", 0} or float
            "auto" (the default), 0 for exact masses, or a positive lambda.
        sample_size : float, optional
            The criterion's number of counts, where the counts are weights (survey
            weights, say) of a sample of that size: needed for counts that are not
            whole numbers unless ``smoothing=0``. By default the counts' sum.
        mean : float, optional
            A known mean (a published one, say), met exactly by the tail beyond an
            open end.

        Returns
        -------
        PiecewiseLinearDensity

        Raises
        ------
        zelvane.InputError
            As `from_masses`, with the arguments named ``counts`` and ``edges``, and
            for objects that are no histogram (see ``zelvane._inputs``).

        Examples
        --------
        >>> import numpy as np
        >>> from zelvane import PiecewiseLinearDensity
        >>> sample = np.random.default_rng(0).normal(size=1000)
        >>> d = PiecewiseLinearDensity.from_histogram(np.histogram(sample, bins=8))
        >>> round(d.mean(), 2), round(d.std(), 2), d.method
        (-0.04, 0.98, 'smooth')
        >>> incomes = PiecewiseLinearDensity.from_histogram(
        ...     [310, 520, 440, 180], [0, 25_000, 50_000, 100_000, float("inf")], mean=70_000)
        >>> round(incomes.mean()), round(incomes.gini(), 3)
        (70000, 0.513)
        """
        from zelvane._inputs import counts_and_edges

        counts, edges = counts_and_edges(counts, edges)
        return cls._fitted(edges, counts, method, refine, "edges", "counts", smoothing,
                           sample_size, mean)

    @classmethod
    def _fitted(cls, center: npt.ArrayLike, gap: npt.ArrayLike, method: str, refine: int,
                center_name: str, gap_name: str, smoothing: Union[str, float] = 0,
                sample_size: Optional[float] = None,
                mean: Optional[float] = None) -> PiecewiseLinearDensity:
        if method == "smooth":
            return cls._smooth_fit(center, gap, refine, center_name, gap_name, smoothing,
                                   sample_size, mean)
        if not isinstance(method, str) or method not in FIT_METHODS:
            raise InputError("choice", argument="method", given=repr(method), choices=FIT_METHODS)
        # The smooth fit's settings are refused unless they are their defaults: no
        # smoothing (0) or the automatic one, no sample size and no mean.
        for name, given in (("smoothing", _check_smoothing(smoothing) not in (0.0, -1.0)),
                            ("sample_size", sample_size is not None), ("mean", mean is not None)):
            if given:
                raise InputError("smooth_only", argument=name, method=method)
        check_method(method)
        edge_array = as_array(center_name, center)
        if edge_array.ndim == 1 and edge_array.size and edge_array.dtype.kind == "f" and \
                any(open_sides(edge_array)):
            raise InputError("smooth_only", argument=center_name, method=method)
        knots32, masses32 = check_histogram(center, gap, center_name=center_name,
                                            gap_name=gap_name, nonnegative=True, max_ndim=1)
        if not masses32.any():
            raise InputError("all_zero", argument=gap_name)
        others = tuple(m for m in FIT_METHODS if m != method)
        try:
            # The input is checked: the fit itself, without fit_density's checks again.
            fitted32 = _fit_checked(knots32, masses32, method, None, 1)
        except InputError as refusal:
            # Only an overflow of the fit is left to refuse; named as the caller names it.
            raise refusal.replaced(argument=gap_name, others=others) from None
        values = fitted32.astype(np.float64)
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
        # Checked above as the constructor would check them: the centres finite and
        # strictly increasing (in float32, so in float64 too), the values finite and,
        # once clipped, non-negative; _build refuses a density without area.
        knots = np.asarray(center, dtype=np.float64)
        fitted = 0.5 * (values[:-1] + values[1:]) * widths
        error = float(np.max(np.abs(fitted - m))) / float(m.sum())
        return cls._from_fit(knots, np.maximum(values, 0.0), method=method, mass_error=error)

    @classmethod
    def _smooth_fit(cls, center: npt.ArrayLike, gap: npt.ArrayLike, refine: int,
                    center_name: str, gap_name: str, smoothing: Union[str, float],
                    sample_size: Optional[float], mean: Optional[float]) -> PiecewiseLinearDensity:
        """The smooth fit of one histogram, as a density with its tails and how it was fitted."""
        given = as_array(gap_name, gap)
        if given.ndim != 1:
            raise InputError("ndim", argument=gap_name, ndim=given.ndim, allowed=(1,))
        check_counts(given, smoothing, sample_size, gap_name)
        fit = fit_smooth(center, gap, refine=refine, smoothing=smoothing, sample_size=sample_size,
                         mean=mean, center_name=center_name, gap_name=gap_name)
        knots, values = fit.knots, fit.values
        left_open = fit.left_tail is not None or np.asarray(center)[0] == -np.inf
        right_open = fit.right_tail is not None or np.asarray(center)[-1] == np.inf

        def error() -> float:
            # The largest difference between what the fit puts on a bin and what the
            # bin was given, as a share of the total: rounding for exact masses, the
            # smoothed-away noise for counts.
            masses = given.astype(np.float64)
            fitted = bin_masses(knots, values, int(refine))
            if left_open:
                fitted = np.concatenate(([fit.left_tail.mass if fit.left_tail else 0.0], fitted))
            if right_open:
                fitted = np.concatenate((fitted, [fit.right_tail.mass if fit.right_tail else 0.0]))
            return float(np.max(np.abs(fitted - masses))) / float(masses.sum())

        return cls._from_fit(knots, values, left_tail=fit.left_tail, right_tail=fit.right_tail,
                             method="smooth", smoothing=float(fit.smoothing), edf=float(fit.edf),
                             mass_error=error)

    def __getstate__(self) -> Dict[str, Any]:
        self.mass_error  # a mass error still to compute is computed, not pickled
        return {name: getattr(self, name) for name in self.__slots__}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        # Arrays come back from pickle (or deepcopy) writable: read-only again, and the
        # knots and values, which are handed out, sealed again.
        for name in self.__slots__:
            value = state.get(name)
            if isinstance(value, np.ndarray):
                value = sealed(value) if name in ("_knots", "_values") else read_only(value)
            setattr(self, name, value)

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

    def _clipped(self, x: Float64Array) -> Float64Array:
        """`x` moved into the body (NaN kept), so that the piece formulas meet no
        infinity; the callers set the values outside the body themselves."""
        return np.clip(x, self._knots[0], self._knots[-1])

    def _pieces(self, x: Float64Array) -> npt.NDArray[np.intp]:
        """Index of the piece holding each point of the body (NaN: the last piece);
        the ends of the body belong to the first and last piece."""
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
        density = np.where(outside, 0.0, density)
        if self._left is not None:
            side = flat < self._knots[0]
            density[side] = _tails.pdf(self._left, False, flat[side])
        if self._right is not None:
            side = flat > self._knots[-1]
            density[side] = _tails.pdf(self._right, True, flat[side])
        return _shaped(density, points.shape)

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
        if self._left is not None:
            side = flat < self._knots[0]
            first = self._above[0]
            tail = first + (1.0 - first) * _tails.within(self._left, False, flat[side])
            s[side] = np.minimum(tail, 1.0)
        if self._right is not None:
            side = flat >= self._knots[-1]
            s[side] = self._above[-1] * _tails.beyond(self._right, True, flat[side])
        return _shaped(s, points.shape)

    def _body_quantile(self, q: float) -> Optional[float]:
        """`ppf` of one level within the body, in Python floats with the very operations
        of the array path (the same bits); None where it would divide by zero."""
        below = self._below
        # The caller has checked below[0] <= q <= below[-1]: only the first piece's own
        # start is out of range.
        i = max(int(below.searchsorted(q)) - 1, 0)
        y0, rise, width = self._values.item(i), self._rises.item(i), self._widths.item(i)
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
        start, end = self._knots.item(i), self._knots.item(i + 1)
        x = start + u * width
        return x if not x > end else end

    def ppf(self, q: npt.ArrayLike) -> Evaluated:
        """The quantile function, the exact inverse of `cdf`.

        For ``0 < q < 1`` the result is the smallest ``x`` with ``cdf(x) >= q``, so a
        stretch where the density is zero maps to its left end. ``ppf(0)`` and
        ``ppf(1)`` are the ends of the support (-inf and inf where there are tails);
        `q` outside [0, 1] or NaN gives NaN.

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
        if isinstance(q, float) and 0.0 < q < 1.0:
            # One level: Python floats, with the very operations of the array path.
            first, top = self._below.item(0), self._below.item(-1)
            if q < first and self._left is not None:
                quantile = _tails.point_of(self._left, False, q / first)
            elif q > top and self._right is not None:
                quantile = _tails.point_of(self._right, True, (1.0 - q) / (1.0 - top))
            else:
                quantile = self._body_quantile(q)
            if quantile is not None:
                return np.float64(quantile)
        probabilities = _points("q", q)
        flat = probabilities.ravel()
        inside = (flat > 0) & (flat < 1)
        level = np.where(inside, flat, 0.5)
        # The piece whose mass range (below[i], below[i+1]] holds the level: it
        # carries positive mass, so its density vanishes at one end at most.
        i = np.searchsorted(self._below, level, side="left") - 1
        i = np.clip(i, 0, len(self._widths) - 1)
        width = self._widths[i]
        u = _fraction_of_piece(self._values[i], self._rises[i], width, level - self._below[i])
        x = np.minimum(self._knots[i] + u * width, self._knots[i + 1])
        x = np.where(inside, x, np.nan)
        low, high = self.support()
        x = np.where(flat == 0, low, np.where(flat == 1, high, x))
        if self._left is not None:
            side = inside & (flat < self._below[0])
            x[side] = _tails.point(self._left, False, flat[side] / self._below[0])
        if self._right is not None:
            top = self._below[-1]
            side = inside & (flat > top)
            x[side] = _tails.point(self._right, True, (1.0 - flat[side]) / (1.0 - top))
        return _shaped(x, probabilities.shape)

    def isf(self, q: npt.ArrayLike) -> Evaluated:
        """The inverse of `sf`: the point above which lies the probability `q`.

        ``isf(q)`` is ``ppf(1 - q)`` without the rounding of ``1 - q``, so that it
        keeps its relative accuracy deep in a right tail: for ``0 < q < 1`` it is the
        smallest ``x`` with ``sf(x) <= q``. ``isf(0)`` and ``isf(1)`` are the upper
        and lower ends of the support; `q` outside [0, 1] or NaN gives NaN.

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
        >>> from zelvane import PiecewiseLinearDensity, Tail
        >>> tail = Tail("pareto", 1.0, 0.5, 1.5)
        >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0], right_tail=tail)
        >>> x = float(d.isf(1e-20))
        >>> f"{x:.6e}", round(float(d.sf(x)) / 1e-20, 12)
        ('1.035744e+13', 1.0)
        """
        probabilities = _points("q", q)
        flat = probabilities.ravel()
        inside = (flat > 0) & (flat < 1)
        level = np.where(inside, flat, 0.5)
        # The first knot k with above[k] <= level; the point lies in the piece before it,
        # which carries positive mass, measured from its right end.
        n = self._above.shape[0]
        k = n - np.searchsorted(self._above[::-1], level, side="right")
        i = np.clip(k - 1, 0, n - 2)
        width = self._widths[i]
        u = _fraction_of_piece(self._values[i + 1], -self._rises[i], width,
                               level - self._above[i + 1])
        x = np.maximum(self._knots[i + 1] - u * width, self._knots[i])
        x = np.where(inside, x, np.nan)
        low, high = self.support()
        x = np.where(flat == 0, high, np.where(flat == 1, low, x))
        if self._right is not None:
            side = inside & (flat < self._above[-1])
            x[side] = _tails.point(self._right, True, flat[side] / self._above[-1])
        if self._left is not None:
            first = self._above[0]
            side = inside & (flat > first)
            x[side] = _tails.point(self._left, False, (1.0 - flat[side]) / (1.0 - first))
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
        cuts = _points("edges", edges)
        if cuts.ndim != 1:
            raise InputError("ndim", argument="edges", ndim=cuts.ndim, allowed=(1,))
        missing = np.isnan(cuts)
        if missing.any():
            k = int(np.argmax(missing))
            raise InputError("not_finite", argument="edges", index=k, value=cuts[k])
        rising = cuts[1:] > cuts[:-1]
        if not rising.all():
            k = int(np.argmin(rising)) + 1
            raise InputError("not_increasing", argument="edges", index=k, value=cuts[k],
                             previous=cuts[k - 1])
        p = np.asarray(self.cdf(cuts))
        s = np.asarray(self.sf(cuts))
        upper = p[:-1] >= 0.5
        bins: Float64Array = np.where(upper, s[:-1] - s[1:], p[1:] - p[:-1])
        return bins

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

    def _tail_moments(self, about: float) -> Tuple[float, float]:
        """The first and second moments about `about` of both tails together."""
        first = second = 0.0
        for tail, right in ((self._left, False), (self._right, True)):
            if tail is not None:
                one, two = _tails.moments(tail, right, about)
                first, second = first + one, second + two
        return first, second

    def mean(self) -> float:
        """The expected value, in closed form: inf where a Pareto tail has ``alpha <= 1``.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).mean()
        1.3333333333333335
        """
        # Taken about the middle of the body, which keeps the terms small.
        centre = self._knots[0] + 0.5 * (self._knots[-1] - self._knots[0])
        body = self._moment_terms(1, centre).sum()
        if self._left is None and self._right is None:
            return float(centre + body)
        return float(centre + (body + self._tail_moments(float(centre))[0]))

    def var(self) -> float:
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
        body = self._moment_terms(2, mean).sum()
        if self._left is None and self._right is None:
            return float(body)
        return float(body + self._tail_moments(mean)[1])

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

    # ---------------------------------------------------------------- inequality

    def gini(self) -> float:
        """The Gini coefficient: the integral of ``F (1 - F)`` over the line, divided by
        the mean (half the mean absolute difference of two draws, over the mean).

        The integral is exact: ``F (1 - F)`` is a quartic on every piece of the body,
        which the three-point Gauss-Legendre rule integrates exactly, and has a closed
        form over each tail.

        Returns
        -------
        float
            NaN where the mean is not positive, for which the coefficient is
            undefined. 1.0 where a Pareto tail with ``alpha <= 1`` makes the mean
            infinite: the limit of the coefficients of the distribution cut off ever
            farther out, whose top holds all in the end (see `lorenz`).

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> round(PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0]).gini(), 12)
        0.333333333333
        """
        mean = self.mean()
        if not mean > 0:
            return math.nan
        if mean == math.inf:
            return 1.0
        widths = self._widths[:, None]
        t = widths * _GAUSS_NODES
        r = widths - t
        y0, y1 = self._values[:-1, None], self._values[1:, None]
        slope = self._rises[:, None] / widths
        # F from below and 1 - F from above, each exact at its own end of the line.
        below = self._below[:-1, None] + t * (y0 + 0.5 * slope * t)
        above = self._above[1:, None] + r * (y1 - 0.5 * slope * r)
        body = float(np.sum(widths * (_GAUSS_WEIGHTS * (below * above))))
        for tail in (self._left, self._right):
            if tail is not None:
                body += _tails.spread(tail)
        return body / mean

    def _moment_below(self, x: Float64Array, mean: float) -> Float64Array:
        """The first moment about 0 of the mass at or below each point of `x` (finite)."""
        terms = self._moment_terms(1, 0.0)
        start = 0.0 if self._left is None else _tails.moments(self._left, False, 0.0)[0]
        cumulative = np.concatenate(([0.0], np.cumsum(terms)))
        inside = self._clipped(x)
        i = self._pieces(inside)
        a = self._knots[i]
        h = inside - a
        y0 = self._values[i]
        yx = y0 + self._rises[i] * (h / self._widths[i])
        # Simpson's rule on [a, x], exact for the quadratic t f(t).
        partial = h / 6.0 * (a * y0 + (a + inside) * (y0 + yx) + inside * yx)
        moment: Float64Array = start + cumulative[i] + partial
        if self._left is not None:
            side = x < self._knots[0]
            moment[side] = _tails.moment_beyond(self._left, False, x[side])
        if self._right is not None:
            side = x > self._knots[-1]
            moment[side] = mean - _tails.moment_beyond(self._right, True, x[side])
        return moment

    def lorenz(self, p: npt.ArrayLike) -> Evaluated:
        """The Lorenz curve: the share of the total held by the lowest fraction `p`.

        ``lorenz(p)`` is the first moment about 0 of the mass below ``ppf(p)`` over
        the mean; the share of the top 10 % is ``1 - lorenz(0.9)``.

        Parameters
        ----------
        p : array_like
            Fractions in [0, 1], of any shape; others and NaN give NaN.

        Returns
        -------
        numpy.float64 or numpy.ndarray
            A float64 scalar for a scalar `p`, else an array of its shape. All NaN
            where the mean is not positive (the curve is undefined); 0 for ``p < 1``
            and 1 at ``p = 1`` where a Pareto tail with ``alpha <= 1`` makes the mean
            infinite (the limit of the curves of the distribution cut off ever
            farther out).

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity
        >>> d = PiecewiseLinearDensity([0.0, 1.0], [1.0, 1.0])
        >>> d.lorenz([0.0, 0.5, 0.9, 1.0]).round(12).tolist()
        [0.0, 0.25, 0.81, 1.0]
        """
        fractions = _points("p", p)
        flat = fractions.ravel()
        valid = (flat >= 0) & (flat <= 1)
        mean = self.mean()
        if not mean > 0:
            share = np.full(flat.shape, np.nan)
        elif mean == math.inf:
            share = np.where(valid, np.where(flat < 1, 0.0, 1.0), np.nan)
        else:
            interior = valid & (flat > 0) & (flat < 1)
            x = np.asarray(self.ppf(np.where(interior, flat, 0.5)))
            share = self._moment_below(x, mean) / mean
            share = np.where(interior, share, np.where(flat == 0, 0.0, np.where(
                flat == 1, 1.0, np.nan)))
        return _shaped(share, fractions.shape)

    # ---------------------------------------------------------------- adapters

    def to_scipy(self) -> Any:
        """The same distribution as a frozen ``scipy.stats`` continuous distribution.

        Its ``pdf``, ``cdf``, ``sf``, ``ppf``, ``isf``, ``mean`` and ``var`` are this
        object's, its support is `support` (infinite where there are tails); the rest
        of the interface (``interval``, ``expect``, ``entropy``, ...) is SciPy's,
        computed from them.

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

    def _tail_curve(self, tail: Tail, right: bool) -> Tuple[Float64Array, Float64Array]:
        """Points of a tail from its joint out to where 0.005 of the total mass lies beyond
        (or, for a tail lighter than 0.01, half its own mass), and its density there."""
        end = min(0.5, _PLOT_SHARE / tail.mass)
        x = _tails.point(tail, right, np.geomspace(1.0, end, 65))
        return x, _tails.pdf(tail, right, x)

    def plot(self, ax: Optional[Axes] = None, **kwargs: Any) -> Axes:
        """Draw the density: a line through the knots, and each tail dashed in the same
        colour, ending in an arrowhead where it stays open.

        A tail is drawn from its joint out to the 0.005 (left) or 0.995 (right)
        quantile, or for a tail that holds less than 0.01 of the mass out to where
        half of its own mass lies beyond.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; None makes a new ``matplotlib.figure.Figure`` with one axes,
            without touching pyplot's state.
        **kwargs
            Passed on to ``ax.plot`` (``color``, ``label``, ...) for the body; the
            tails take them too, but for the line style, the marker and the label
            (they stay out of a legend).

        Returns
        -------
        matplotlib.axes.Axes
            The axes drawn on: ``ax.lines`` gains the body's line, then the left and
            the right tail's.

        Raises
        ------
        ImportError
            When matplotlib is not installed.

        Examples
        --------
        >>> from zelvane import PiecewiseLinearDensity, Tail
        >>> ax = PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]).plot(color="k")
        >>> ax.lines[0].get_xydata().tolist()
        [[0.0, 0.0], [1.0, 0.6666666666666666], [3.0, 0.0]]
        >>> tail = Tail.joined("exponential", joint=3.0, height=1.0, parameter=1.0)
        >>> ax = PiecewiseLinearDensity([0.0, 3.0], [1.0, 1.0], right_tail=tail).plot()
        >>> body, right = ax.lines
        >>> right.get_linestyle(), float(right.get_xdata()[0]), round(float(right.get_xdata()[-1]), 4)
        ('--', 3.0, 6.912)
        """
        try:
            from matplotlib.figure import Figure  # type: ignore[import-untyped, unused-ignore]
        except ImportError as error:
            raise ImportError("PiecewiseLinearDensity.plot needs matplotlib: "
                              "pip install 'zelvane[plot]'") from error
        if ax is None:
            ax = Figure().add_subplot()
        (body,) = ax.plot(self._knots, self._values, **kwargs)
        own = {"linestyle", "ls", "dashes", "marker", "markevery", "label", "color", "c"}
        shared = {key: value for key, value in kwargs.items() if key not in own}
        for tail, right in ((self._left, False), (self._right, True)):
            if tail is None:
                continue
            x, y = self._tail_curve(tail, right)
            ax.plot(x, y, color=body.get_color(), linestyle="--", marker=">" if right else "<",
                    markevery=[len(x) - 1], label="_tail", **shared)
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

        def _isf(self, q: Float64Array) -> Evaluated:
            return self._density.isf(q)

        def _stats(self) -> Tuple[float, float, None, None]:
            return self._density.mean(), self._density.var(), None, None

    _scipy_type = piecewise_linear_gen
    return _scipy_type
