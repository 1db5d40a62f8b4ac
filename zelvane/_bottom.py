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

import functools
from typing import TYPE_CHECKING, Any, Callable, Tuple

import numpy as np
import numpy.typing as npt

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

#: ``"auto"`` shapes a bin only where the fit rises through it from a low value at 0:
#: its value at 0 below this share of the bin's average (incomes' bottom brackets: a
#: fifth to four fifths; a population's youngest age group: all but 1).
RISING = 0.9

#: Rounds of the fit with a mean's target shifted for the shaped bin, at most; and the
#: relative distance to the mean at which they stop: a tenth of the 1e-9 to which a fit
#: meets its own target (on published income tables the first shifted fit is there).
ROUNDS = 12
MEAN_MET = 1e-10

FitRows = Callable[..., Tuple["Float64Array", Tuple[Any, ...]]]


def check_bottom(bottom: Any, left: bool) -> str:
    """`bottom`, one of :data:`BOTTOMS`; a shape refused where the first edge is open
    (`left`), whose bin is a tail's."""
    chosen = check_choice("bottom", bottom, BOTTOMS)
    if chosen in ("midpoint", "flat") and left:
        raise InputError("bottom_open", argument="bottom", value=repr(chosen))
    return chosen


def shaped_rows(edges: FloatArray, rows: Tuple[int, ...], r: int, bottom: str, left: bool,
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


def flatten(out: Float64Array, edges: FloatArray, r: int, which: Any, shape: str,
            rising: bool = False) -> Float64Array:
    """Gives the bottom bin of the rows `which` of the fit's output `out` the `shape`
    (``"midpoint"`` or ``"flat"``), in place, where none of its values is negative (a
    row where ``"midpoint"`` would be gets ``"flat"``) and the shape lowers the bin's
    mean; with `rising`, only where the fit rises through the bin from below
    :data:`RISING` of its average at 0. Returns the change of each row's first moment
    (0 where the fitted shape stays)."""
    n = which.shape[0]
    values = out.reshape(n, -1)
    ends = np.broadcast_to(np.asarray(edges, dtype=np.float64)[..., :2], (n, 2))
    w = ends[:, 1] - ends[:, 0]
    h = w / r
    # The bin's r equal pieces: the mass and first moment (from the lower edge) of any
    # values at its knots are h (t . v) and h^2 (s . v); the shapes' basis: the value at
    # the upper edge alone (f1 times it continues the body), one level below it (flat),
    # and a line from the lower edge to the last inner knot, by its two ends (midpoint).
    t, s, basis = _pieces(r)
    v = values[:, :r + 1]
    # (Sums along each row, so that a row of a batch gets the bits it gets alone.)
    mass, moment, f1 = h * np.sum(v * t, axis=1), h * h * np.sum(v * s, axis=1), v[:, r]
    bm, bs = h[:, None] * np.sum(basis * t, axis=1), (h * h)[:, None] * np.sum(basis * s, axis=1)
    rest = mass - f1 * bm[:, 0], 0.5 * w * mass - f1 * bs[:, 0]
    level = rest[0] / bm[:, 1]
    use = which & (level >= 0.0)
    shaped = np.repeat(level[:, None], r, axis=1)
    change = level * bs[:, 1] + f1 * bs[:, 0] - moment
    if shape == "midpoint":
        # The bin's mean at its midpoint, as a uniform bin's: two equations in the line's
        # two ends.
        det = bm[:, 2] * bs[:, 3] - bm[:, 3] * bs[:, 2]
        c0 = (rest[0] * bs[:, 3] - bm[:, 3] * rest[1]) / det
        c1 = (bm[:, 2] * rest[1] - rest[0] * bs[:, 2]) / det
        line = which & (c0 >= 0.0) & (c1 >= 0.0)
        shaped = np.where(line[:, None], c0[:, None] * basis[2, :r] + c1[:, None] * basis[3, :r],
                          shaped)
        change = np.where(line, c0 * bs[:, 2] + c1 * bs[:, 3] + f1 * bs[:, 0] - moment, change)
        use |= line
    # The bin's values lie lower than the fit puts them, never higher: where the shape
    # would raise the bin's mean (a bin heavier than its upper neighbour's edge value),
    # the fitted shape, already falling, stays.
    use &= change < 0.0
    if rising:
        use &= v[:, 0] < RISING * mass / w
    values[use, :r] = shaped[use]
    moved: Float64Array = np.where(use, change, 0.0)
    return moved


@functools.lru_cache(maxsize=None)
def _pieces(r: int) -> Tuple[Float64Array, Float64Array, Float64Array]:
    """For a bin of r equal pieces of unit width: the weights t and s of the values at its
    knots that give their mass and first moment, and the shapes' basis (rows: the upper
    edge alone, one level below it, the line's ends at the lower edge and at the last
    inner knot)."""
    k = np.arange(r + 1, dtype=np.float64)
    t = np.ones(r + 1)
    t[0] = t[r] = 0.5
    s = k.copy()
    s[0], s[r] = 1.0 / 6.0, (3.0 * r - 1.0) / 6.0
    basis = np.zeros((4, r + 1))
    basis[0, r] = 1.0
    basis[1, :r] = 1.0
    basis[3, :r] = k[:r] / (r - 1)
    basis[2, :r] = 1.0 - basis[3, :r]
    for array in (t, s, basis):
        array.setflags(write=False)
    return t, s, basis


def shaped(fit_rows: FitRows, bottom: str) -> FitRows:
    """`fit_rows` (the smooth fit of checked rows) with the bottom bin of the rows that
    :func:`shaped_rows` names shaped as `bottom` says, and each row's mean met with it."""

    def fit(edges: FloatArray, masses: FloatArray, r: int, lam: float, sample_size: Any,
            mean: Any, workers: int, left: bool, right: bool, *rest: Any
            ) -> Tuple[Float64Array, Tuple[Any, ...]]:
        rows = masses.shape[:-1]
        which = shaped_rows(edges, rows, r, bottom, left, right)
        shape = "flat" if bottom == "flat" else "midpoint"
        if not which.any():
            return fit_rows(edges, masses, r, lam, sample_size, mean, workers, left, right,
                            *rest)

        def once(target: Any) -> Tuple[Float64Array, Tuple[Any, ...], Float64Array]:
            out, chosen = fit_rows(edges, masses, r, lam, sample_size, target, workers, left,
                                   right, *rest)
            return out, chosen, flatten(out, edges, r, which, shape,
                                        bottom == "auto") / totals

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
