"""The bottom bin of a smooth fit: its mean at its midpoint where the quantity starts at 0.

A non-negative quantity published with a first edge of 0 and an open top (incomes,
ages, wealth) has its bottom bin, "less than $10,000", filled with values at and near
0: zero and negative incomes are reported there, and its mass lies lower than a smooth
fit puts it, which rises from a low value at 0. Two shapes of the bin keep its (fitted)
mass ``m0`` and the fit's knots, continuous at the bin's upper edge ``w`` with the
body's value ``f1`` there, every other bin as fitted:

- ``"midpoint"``: the bin's mean at its midpoint ``w / 2``, as an even spread's; the
  values at its knots up to its last inner knot on a line from ``c`` at the lower edge
  to ``a`` there, then linear to ``f1`` over the last piece, ``c`` and ``a`` from the
  bin's mass and mean (two linear equations). Where ``c`` or ``a`` would be negative,
  the flat shape;
- ``"flat"``: one level ``a`` at the knots below the last inner knot, then linear to
  ``f1`` over the last piece of width ``h``, ``a = (m0 - h f1 / 2) / (w - h / 2)``.

Where the flat level too would be negative (a bin much lighter than its upper
neighbour's edge value), where the shape would raise the bin's mean (a bin heavier than
that value, through which the fit already falls), or where a bin has one piece
(``refine=1``), the fitted shape stays.

With a known mean the shape moves the mean by a computable amount: the fit is made
again with the target shifted by it, until the density with its shaped bin meets the
mean given. The body's value at the bin's edge barely follows the target, so a few
rounds reach the precision of a fit itself; each row's targets follow from its own
fits, so that a row of a batch is to the bit the row fitted alone.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Tuple

import numpy as np
import numpy.typing as npt

from zelvane import _native
from zelvane._checks import check_choice, per_row
from zelvane._errors import InputError

if TYPE_CHECKING:
    Float64Array = npt.NDArray[np.float64]
    FloatArray = npt.NDArray[np.floating[Any]]

__all__ = ["BOTTOMS", "check_bottom", "shaped"]

#: The shapes of the bottom bin: ``"auto"`` the midpoint shape where the first edge is 0
#: and the top open, ``"midpoint"`` and ``"flat"`` wherever the first bin is closed,
#: ``"smooth"`` as fitted.
BOTTOMS = ("auto", "midpoint", "flat", "smooth")

#: Rounds of the fit with a mean's target shifted for the shaped bin, at most; and the
#: relative distance to the mean at which they stop (a fit meets its own target to
#: 1e-9 of it, so this leaves the fit's precision as it is).
ROUNDS = 12
MEAN_MET = 1e-13

FitRows = Callable[..., Tuple["Float64Array", Tuple[Any, ...]]]


def check_bottom(bottom: Any, left: bool) -> str:
    """`bottom`, one of :data:`BOTTOMS`; a shape refused where the first edge is open
    (`left`), whose bin is a tail's."""
    chosen = check_choice("bottom", bottom, BOTTOMS)
    if chosen in ("midpoint", "flat") and left:
        raise InputError("bottom_open", argument="bottom", value=repr(chosen))
    return chosen


def flat_rows(edges: FloatArray, rows: Tuple[int, ...], r: int, bottom: str, left: bool,
              right: bool) -> Any:
    """Which rows get a shaped bottom bin (a bool per row, one for one histogram)."""
    n = rows[0] if rows else 1
    if bottom == "smooth" or left or r < 2:
        return np.zeros(n, bool)
    if bottom != "auto":
        return np.ones(n, bool)
    first = np.broadcast_to(np.asarray(edges)[..., 0], rows).reshape(n)
    flat: Any = (first == 0.0) & right
    return flat


def flatten(out: Float64Array, edges: FloatArray, r: int, which: Any, shape: str
            ) -> Float64Array:
    """Gives the bottom bin of the rows `which` of the fit's output `out` the `shape`
    (``"midpoint"`` or ``"flat"``), in place, where none of its values is negative (a
    row where ``"midpoint"`` would be gets ``"flat"``); returns the change of each row's
    first moment (0 where the fitted shape stays)."""
    n = which.shape[0]
    values = out.reshape(n, -1)
    ends = np.ascontiguousarray(np.broadcast_to(np.asarray(edges, dtype=np.float64)[..., :2],
                                                (n, 2)))
    x = np.empty((n, r + 1), np.float64)
    _native.smooth_knots(ends, x, r)
    x = x - x[:, :1]
    v = values[:, :r + 1]
    mass, moment = _mass(x, v), _moment(x, v)
    f1 = v[:, r]
    # The shapes as sums of basis values: f1 at the upper edge alone, one level (flat) or
    # a line from the lower edge to the last inner knot (midpoint) below it.
    edge, below, low, high = (np.zeros((n, r + 1)) for _ in range(4))
    edge[:, r] = 1.0
    below[:, :r] = 1.0
    t = x[:, :r] / x[:, r - 1:r]
    low[:, :r], high[:, :r] = 1.0 - t, t
    level = (mass - f1 * _mass(x, edge)) / _mass(x, below)
    shaped = level[:, None] * below + f1[:, None] * edge
    use = which & (level >= 0.0)
    if shape == "midpoint":
        # The bin's mean at its midpoint, as a uniform bin's: two equations in the line's
        # two ends.
        rest = mass - f1 * _mass(x, edge), 0.5 * x[:, r] * mass - f1 * _moment(x, edge)
        a, b = (_mass(x, low), _mass(x, high)), (_moment(x, low), _moment(x, high))
        det = a[0] * b[1] - a[1] * b[0]
        c0 = (rest[0] * b[1] - a[1] * rest[1]) / det
        c1 = (a[0] * rest[1] - rest[0] * b[0]) / det
        line = which & (c0 >= 0.0) & (c1 >= 0.0)
        shaped = np.where(line[:, None], c0[:, None] * low + c1[:, None] * high
                          + f1[:, None] * edge, shaped)
        use |= line
    change = _moment(x, shaped) - moment
    # The bin's values lie lower than the fit puts them, never higher: where the shape
    # would raise the bin's mean (a bin heavier than its upper neighbour's edge value),
    # the fitted shape, already falling, stays.
    use &= change < 0.0
    values[use, :r] = shaped[use, :r]
    moved: Float64Array = np.where(use, change, 0.0)
    return moved


def _moment(x: Float64Array, v: Float64Array) -> Float64Array:
    """The first moment of the pieces of every row (linear between knots)."""
    x0, x1 = x[:, :-1], x[:, 1:]
    moment: Float64Array = np.sum((x1 - x0) * (v[:, :-1] * (2 * x0 + x1)
                                               + v[:, 1:] * (x0 + 2 * x1)), axis=1) / 6.0
    return moment


def _mass(x: Float64Array, v: Float64Array) -> Float64Array:
    """The mass of the pieces of every row (linear between knots)."""
    mass: Float64Array = np.sum(np.diff(x, axis=1) * (v[:, :-1] + v[:, 1:]), axis=1) / 2.0
    return mass


def shaped(fit_rows: FitRows, bottom: str) -> FitRows:
    """`fit_rows` (the smooth fit of checked rows) with the bottom bin of the rows that
    :func:`flat_rows` names shaped as `bottom` says, and each row's mean met with it."""

    def fit(edges: FloatArray, masses: FloatArray, r: int, lam: float, sample_size: Any,
            mean: Any, workers: int, left: bool, right: bool, *rest: Any
            ) -> Tuple[Float64Array, Tuple[Any, ...]]:
        rows = masses.shape[:-1]
        which = flat_rows(edges, rows, r, bottom, left, right)
        shape = "flat" if bottom == "flat" else "midpoint"
        if not which.any():
            return fit_rows(edges, masses, r, lam, sample_size, mean, workers, left, right,
                            *rest)

        def once(target: Any) -> Tuple[Float64Array, Tuple[Any, ...], Float64Array]:
            out, chosen = fit_rows(edges, masses, r, lam, sample_size, target, workers, left,
                                   right, *rest)
            return out, chosen, flatten(out, edges, r, which, shape) / totals

        totals = np.reshape(np.asarray(masses, dtype=np.float64), (which.shape[0], -1)).sum(
            axis=1)
        means = per_row("mean", mean, rows, missing_allowed=True)
        if means is None or np.isnan(means).all():
            return once(mean)[:2]
        # Every row's targets follow from its own fits alone, as in a fit of that row
        # by itself: the first shift from a fit without the mean (the bottom bin barely
        # follows the tail), and a row that meets its mean keeps its target.
        try:
            shift = once(np.full(means.shape, np.nan))[2]
        except InputError:
            shift = np.zeros(means.shape)
        target = means - shift
        out, chosen, shift = _shifted(once, target, means, shift)
        for _ in range(ROUNDS):
            missed = means - (target + shift)
            short = np.abs(missed) > MEAN_MET * np.abs(means)
            if not short.any():
                break
            target = np.where(short, target + missed, target)
            out, chosen, shift = _shifted(once, target, means, shift)
        return out, chosen

    return fit


def _shifted(once: Callable[[Any], Tuple[Float64Array, Tuple[Any, ...], Float64Array]],
             targets: Float64Array, means: Float64Array, shift: Float64Array
             ) -> Tuple[Float64Array, Tuple[Any, ...], Float64Array]:
    """The fit with each row's mean target shifted; a refusal of a target names the mean
    the caller gave (`means`), and a range out of reach is moved by the bin's `shift`."""
    try:
        return once(targets)
    except InputError as refusal:
        if refusal.argument != "mean":
            raise
        k = 0 if refusal.row is None else int(refusal.row)
        if refusal.problem != "unreachable_mean":
            raise refusal.replaced(value=float(means[k])) from None
        back = float(shift[k])
        raise refusal.replaced(value=float(means[k]), lowest=refusal.details["lowest"] + back,
                               highest=refusal.details["highest"] + back) from None
