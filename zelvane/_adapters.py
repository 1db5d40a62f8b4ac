"""A piecewise linear density in other libraries' terms: a frozen SciPy distribution
(:func:`to_scipy`) and a matplotlib drawing (:func:`plot`).

SciPy and matplotlib are optional: each is imported by the function that needs it,
with an ImportError that names the extra to install. The density's ``to_scipy`` and
``plot`` methods hand themselves to these functions.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Optional, Tuple

import numpy as np

from zelvane import _tails

if TYPE_CHECKING:
    import numpy.typing as npt
    from matplotlib.axes import Axes  # type: ignore[import-untyped, unused-ignore]

    from zelvane._density import Evaluated, PiecewiseLinearDensity
    from zelvane._tails import Tail

    Float64Array = npt.NDArray[np.float64]

# How far plot() draws a tail: out to this share of the whole mass beyond its end.
_PLOT_SHARE = 0.005


def to_scipy(density: PiecewiseLinearDensity) -> Any:
    """`density` as a frozen ``scipy.stats`` continuous distribution (an ImportError
    without SciPy).

    Its ``pdf``, ``cdf``, ``sf``, ``ppf``, ``isf``, ``mean`` and ``var`` are the
    density's, its support the density's `support` (infinite where there are tails);
    the rest of the interface (``interval``, ``expect``, ``entropy``, ...) is SciPy's,
    computed from them.

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity
    >>> from zelvane._adapters import to_scipy
    >>> frozen = to_scipy(PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]))
    >>> float(frozen.cdf(1.0)), [float(end) for end in frozen.support()]
    (0.3333333333333333, [0.0, 3.0])
    """
    return _scipy_distribution_type()(density=density)()


def _tail_curve(tail: Tail, right: bool) -> Tuple[Float64Array, Float64Array]:
    """Points of a tail from its joint out to where 0.005 of the total mass lies beyond
    (or, for a tail lighter than 0.01, half its own mass), and its density there."""
    end = min(0.5, _PLOT_SHARE / tail.mass)
    x = _tails.point(tail, right, np.geomspace(1.0, end, 65))
    return x, _tails.pdf(tail, right, x)


def plot(density: PiecewiseLinearDensity, ax: Optional[Axes] = None, *,
         band: Optional[Callable[[Float64Array], Tuple[Float64Array, Float64Array]]] = None,
         **kwargs: Any) -> Axes:
    """Draw `density` on `ax` (a new figure's, made without pyplot, for None): the body's
    line through the knots with `kwargs`, then each tail dashed in its colour, ending in
    an arrowhead where it stays open (an ImportError without matplotlib).

    A tail is drawn from its joint out to the 0.005 (left) or 0.995 (right) quantile,
    or for a tail that holds less than 0.01 of the mass out to where half of its own
    mass lies beyond. The tails take `kwargs` too, but for the line style, the marker
    and the label (they stay out of a legend). ``ax.lines`` gains the body's line, then
    the left and the right tail's.

    `band`, where given, maps points to the (low, high) of the density there (a
    confidence band, ``Confidence.pdf``): it is shaded in the line's colour, over the
    body's knots and the drawn tails' points, beneath the lines (``ax.collections``
    gains it).

    Examples
    --------
    >>> from zelvane import PiecewiseLinearDensity, Tail
    >>> from zelvane._adapters import plot
    >>> ax = plot(PiecewiseLinearDensity([0.0, 1.0, 3.0], [0.0, 2.0, 0.0]), color="k")
    >>> ax.lines[0].get_xydata().tolist()
    [[0.0, 0.0], [1.0, 0.6666666666666666], [3.0, 0.0]]
    >>> tail = Tail.joined("exponential", joint=3.0, height=1.0, parameter=1.0)
    >>> body, right = plot(PiecewiseLinearDensity([0.0, 3.0], [1.0, 1.0], right_tail=tail)).lines
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
    (body,) = ax.plot(density.knots, density.values, **kwargs)
    own = {"linestyle", "ls", "dashes", "marker", "markevery", "label", "color", "c"}
    shared = {key: value for key, value in kwargs.items() if key not in own}
    for tail, right in ((density.left_tail, False), (density.right_tail, True)):
        if tail is None:
            continue
        x, y = _tail_curve(tail, right)
        ax.plot(x, y, color=body.get_color(), linestyle="--", marker=">" if right else "<",
                markevery=[len(x) - 1], label="_tail", **shared)
    if band is not None:
        xs = [density.knots]
        for tail, right in ((density.left_tail, False), (density.right_tail, True)):
            if tail is not None:
                xs.append(_tail_curve(tail, right)[0])
        points = np.unique(np.concatenate(xs))
        low, high = band(points)
        ax.fill_between(points, low, high, color=body.get_color(), alpha=0.25, linewidth=0,
                        label="_band", zorder=body.get_zorder() - 1)
    return ax


_scipy_type: Any = None


def _scipy_distribution_type() -> Any:
    """The ``scipy.stats.rv_continuous`` subclass behind :func:`to_scipy`, made on first
    use so that SciPy is imported only when it is wanted."""
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
