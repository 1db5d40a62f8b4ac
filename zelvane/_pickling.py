"""A density's pickled state: what is written, and how a loaded state is checked and
made into the density again.

A pickle is input like any other: every field of a loaded state is checked as the
constructor checks its arguments, each refusal an InputError (a ValueError) naming
the field, and the areas and sums kept must be what the constructor makes of the
knots and values.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

import numpy as np
import numpy.typing as npt

from zelvane._checks import as_float64, check_knots_and_values, read_only, sealed
from zelvane._errors import InputError
from zelvane._tail_checks import check_tail

if TYPE_CHECKING:
    from zelvane._density import PiecewiseLinearDensity

Float64Array = npt.NDArray[np.float64]

#: The layout of a pickled density: 2 holds the knots, values, areas, sums and tails;
#: 1 (no number) held every table under its attribute's name, and is read too.
PICKLE_FORMAT = 2
_PICKLE_FORMATS = (1, 2)
# The fields of each layout, by the name a loaded state gives them.
_FIELDS = ("knots", "values", "areas", "sums", "left_tail", "right_tail", "method",
           "smoothing", "edf", "mass_error")
_FORMAT_1 = {"knots": "_knots", "values": "_values", "areas": "_areas", "sums": "_sums",
             "left_tail": "_left", "right_tail": "_right", "method": "_method",
             "smoothing": "_smoothing", "edf": "_edf", "mass_error": "_mass_error"}
# How far the areas kept may lie from those of the values, relative to each area:
# a few roundings of the normalisation.
_AREA_TOLERANCE = 1e-12


def _pickled_fields(state: Any) -> Dict[str, Any]:
    """The fields of a pickled density's state, by the names of the current layout; an
    InputError for a layout this version does not read or a field that is missing."""
    if not isinstance(state, dict):
        raise InputError("pickle_state", argument="state", type_name=type(state).__name__)
    layout = state.get("format", 1)
    if type(layout) is not int or layout not in _PICKLE_FORMATS:
        raise InputError("pickle_format", argument="format", given=repr(layout),
                         known=_PICKLE_FORMATS)
    names = _FORMAT_1 if layout == 1 else {name: name for name in _FIELDS}
    missing = [name for name, key in names.items() if key not in state]
    if missing:
        raise InputError("pickle_missing", argument=missing[0], layout=layout)
    return {name: state[key] for name, key in names.items()}


def _pickled_number(name: str, value: Any) -> Optional[float]:
    """A fit's number (smoothing, edf, mass error) of a pickle: None, or finite and >= 0."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer,
                                                                      np.floating)):
        raise InputError("type", argument=name, expected="float",
                         type_name=type(value).__name__)
    number = float(value)
    if not math.isfinite(number):
        raise InputError("not_finite", argument=name, value=number)
    if number < 0:
        raise InputError("negative", argument=name, value=number)
    return number


def _checked_areas(areas: Any, sums: Any, x: Float64Array, y: Float64Array
                   ) -> Tuple[Float64Array, Tuple[float, float, float]]:
    """The areas of the pieces and the sums (left tail, right tail, total) of a pickle,
    refused unless they are what the constructor makes of the knots `x` and values `y`:
    the total to the bit, the areas to their rounding."""
    given = as_float64("areas", areas)
    if given.shape != (x.shape[0] - 1,):
        raise InputError("shape", argument="areas", shape=given.shape,
                         expected=(x.shape[0] - 1,))
    bad = ~(np.isfinite(given) & (given >= 0))
    if bad.any():
        k = int(np.argmax(bad))
        raise InputError("not_finite" if not np.isfinite(given[k]) else "negative",
                         argument="areas", index=k, value=given[k])
    if not isinstance(sums, tuple) or len(sums) != 3:
        raise InputError("type", argument="sums", expected="a tuple of three floats",
                         type_name=type(sums).__name__)
    low, high, total = (_pickled_number(f"sums[{k}]", part) or 0.0
                        for k, part in enumerate(sums))
    body = float(given.cumsum()[-1])
    if not (body > 0 and total == low + body + high):
        raise InputError("pickle_mismatch", argument="sums", value=total)
    with np.errstate(over="ignore", under="ignore"):
        shares = given / total
        implied = 0.5 * (y[:-1] + y[1:]) * (x[1:] - x[:-1])
    off = np.abs(implied - shares) > _AREA_TOLERANCE * np.maximum(implied, shares) + 1e-300
    if off.any():
        k = int(np.argmax(off))
        raise InputError("pickle_mismatch", argument="areas", index=k, value=given[k])
    copy: Float64Array = given.copy()
    return copy, (low, high, total)


def state(density: PiecewiseLinearDensity) -> Dict[str, Any]:
    """The state that pickles `density` (the layout `PICKLE_FORMAT`)."""
    density.mass_error  # a mass error still to compute is computed, not pickled
    # What cannot be made again to the bit from the rest: the knots, the values, the
    # areas of the pieces and the sums as the constructor scaled them, the tails.
    # The other tables follow from these and are made again on loading.
    low, high, total = density._sums
    return {"format": PICKLE_FORMAT, "knots": density._knots, "values": density._values,
            "areas": density._areas, "sums": (low, high, total), "left_tail": density._left,
            "right_tail": density._right, "method": density._method,
            "smoothing": density._smoothing, "edf": density._edf,
            "mass_error": density._mass_error}


def restore(density: PiecewiseLinearDensity, state: Any) -> None:
    """Set every attribute of `density` from a loaded `state`, once it is checked."""
    fields = _pickled_fields(state)
    x, y = check_knots_and_values(fields["knots"], fields["values"])
    left = check_tail(fields["left_tail"], "left_tail", float(x[0]), right=False)
    right = check_tail(fields["right_tail"], "right_tail", float(x[-1]), right=True)
    areas, (low, high, total) = _checked_areas(fields["areas"], fields["sums"], x, y)
    for name, tail, mass in (("left_tail", left, low), ("right_tail", right, high)):
        share = 0.0 if tail is None else tail.mass
        if share != (mass / total if mass else 0.0):
            raise InputError("pickle_mismatch", argument=f"{name}.mass", value=share)
    y = sealed(y)
    below = np.empty(x.shape[0])
    below[0] = 0.0
    below[1:] = areas.cumsum()
    if low:
        below += low
    below /= total
    density._knots, density._values = x, y
    density._widths, density._below = read_only(x[1:] - x[:-1]), read_only(below)
    density._rises = read_only(y[1:] - y[:-1])
    density._areas, density._sums, density._upper = read_only(areas), (low, high, total), None
    density._left, density._right = left, right
    method = fields["method"]
    if method is not None and not isinstance(method, str):
        raise InputError("type", argument="method", expected="str",
                         type_name=type(method).__name__)
    density._method = method
    density._smoothing, density._edf, density._mass_error = (
        _pickled_number(name, fields[name]) for name in ("smoothing", "edf", "mass_error"))
    # What the fit was given stays behind: a pickle holds the density alone.
    density._source = None
