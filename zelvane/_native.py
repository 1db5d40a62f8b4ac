"""The calls of the rows module ``zelvane._rows``, and the contract it states.

Every native call of the package goes through here: the fits of the float32
methods and the smooth fits, the refined knots, the cores and the memory the
process may use. So does every number the rows module states once in its C++
and the package reads rather than repeats: the bounds (:data:`MAX_REFINE`,
:data:`DEFAULT_REFINE`, :data:`MAX_WORKERS`), the layout of the open fit's
numbers after each row's values (:data:`INFO`), the statuses of a row that
could not be fitted (:data:`STATUS`), the tails' kinds (:data:`TAIL_KINDS`)
and the smoothing that asks for the criterion's choice
(:data:`AUTO_SMOOTHING`).

A row that cannot be fitted comes back from the rows module as data, ``(row,
status, position)``; the value at fault is read here from the arrays that were
passed, and the status becomes the :class:`~zelvane.InputError` (or, for a
solver that gives up, the RuntimeError) a caller sees. Nothing else in the
package imports ``zelvane._rows``.

The fitting modules make the arrays and hand them over checked: C-contiguous, of
the method's type, aligned, `out` of the result's shape and sharing no memory with
the inputs. This module itself needs no NumPy, so that reading the contract (the
public constants, the command line's defaults) loads the extension alone.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Mapping, Optional, Tuple

from zelvane import _rows
from zelvane._errors import InputError

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Float32Array = npt.NDArray[np.float32]
    Float64Array = npt.NDArray[np.float64]

#: The largest number of sub-intervals per bin of the smooth fits.
MAX_REFINE: int = _rows.MAX_REFINE
#: The smooth fits' number of sub-intervals per bin when none is given.
DEFAULT_REFINE: int = _rows.DEFAULT_REFINE
#: The most worker threads a call takes.
MAX_WORKERS: int = _rows.MAX_WORKERS
#: The smoothing that asks the counts-aware fit for its criterion's choice.
AUTO_SMOOTHING: float = _rows.AUTO_SMOOTHING
#: Offset, after a row's values, of each number the open fit writes.
INFO: Mapping[str, int] = _rows.OPEN_INFO
#: How many numbers follow a row's values in the open fit's output.
INFO_LENGTH: int = _rows.OPEN_INFO_LENGTH
#: The code of each reason why a smooth fit left a row unfitted.
STATUS: Mapping[str, int] = _rows.STATUS
#: The code of each kind of tail (``"none"`` for an open bin without mass).
TAIL_KINDS: Mapping[str, int] = _rows.TAIL_KINDS

# The statuses by their codes.
_STATUS_NAMES = {code: name for name, code in STATUS.items()}
# What a solver that gave up says after the row it names.
_GAVE_UP = {"bad_setting": "the smooth fit refused its settings",
            "iteration_limit": "the smooth fit reached its bound on solves",
            "inaccurate": "the smooth fit could not confirm its answer to working precision"}


def usable_cores() -> int:
    """The workers that ``workers=0`` asks for: the processors this process may run on."""
    return int(_rows.usable_cores())


def memory_bytes() -> int:
    """The bytes of memory this process may have: the machine's physical memory, or a
    control group's limit where that is lower."""
    return int(_rows.memory_bytes())


def _started(call: Any, *arguments: Any) -> Any:
    """``call(*arguments)``, its worker threads that could not start (no memory left for
    their stacks, most often) a MemoryError."""
    try:
        return call(*arguments)
    except RuntimeError as error:
        if str(error).startswith("cannot start "):
            raise MemoryError(str(error)) from None
        raise


def fit_values(method: str, center: Float32Array, gap: Float32Array, out: Float32Array,
               workers: int) -> None:
    """Write the values of the float32 method `method` (``"iterative"`` or ``"exact"``) at
    the centres of every row into `out`. A zero width, which checked centres never have,
    is the ZeroDivisionError of ``zelvane.bake``, naming the row of a batch."""
    failure = _started(getattr(_rows, method), center, gap, out, workers)
    if failure is not None:
        row, _, i = failure
        if gap.ndim == 2:
            raise ZeroDivisionError(f"float division: row {row} has a zero width between its "
                                    f"centres {i} and {i + 1}")
        raise ZeroDivisionError(f"float division: a zero width between the centres {i} and "
                                f"{i + 1}")


def smooth_knots(edges: Float64Array, out: Float64Array, refine: int) -> None:
    """Write the knots of the smooth fits into `out`: every bin between `edges` (1-D, or
    one row per histogram) cut into `refine` equal parts, in the bits the fits work on."""
    _rows.smooth_knots(edges, out, refine)


def fit_open(edges: Float64Array, masses: Float64Array, out: Float64Array, refine: int,
             smoothing: float, complexity: float, sample_sizes: Optional[Float64Array],
             means: Optional[Float64Array], workers: int,
             held: Tuple[Optional[Float64Array], Optional[Float64Array]] = (None, None),
             right_kind: str = "none", center_name: str = "center",
             gap_name: str = "gap") -> None:
    """The smooth fit of every row, written into `out`: per row the values at every knot
    the bins would have if all were finite (masses * refine + 1), then the
    :data:`INFO_LENGTH` numbers that :data:`INFO` names.

    `smoothing` is 0 for exact masses, :data:`AUTO_SMOOTHING` for the criterion's
    choice (`complexity` its price of a degree of freedom) or a positive lambda;
    `sample_sizes` and `means` hold one number per row (NaN: no mean) or are None;
    so does each of `held`, the parameter the left and the right tail hold (NaN: the
    fit's choice). `right_kind` is the law of the right tail (``"none"``: Pareto beyond a
    positive last edge, else exponential). A row that cannot be fitted raises what
    :func:`smooth_failure` makes of it, naming the edges `center_name` and the masses
    `gap_name` as the caller knows them.
    """
    failure = _started(_rows.open, edges, masses, out, refine, smoothing, complexity,
                       sample_sizes, means, held[0], held[1], TAIL_KINDS[right_kind], workers)
    if failure is not None:
        raise smooth_failure(failure, edges, masses, out, refine, means, center_name,
                             gap_name, smoothing)


def _decades(values: Any) -> float:
    """How many decades the positive finite numbers of `values` span (0 for fewer than two)."""
    positive = [float(v) for v in values if 0 < v < math.inf]
    return math.log10(max(positive) / min(positive)) if len(positive) > 1 else 0.0


def smooth_failure(failure: Tuple[int, int, int], edges: Float64Array, masses: Float64Array,
                   out: Float64Array, refine: int, means: Optional[Float64Array],
                   center_name: str = "center", gap_name: str = "gap",
                   smoothing: float = 0.0) -> BaseException:
    """The exception of a row that the open fit could not fit: `failure` is the rows
    module's ``(row, status, position)``, the other arguments what the fit was given and
    wrote. An InputError names the centres as `center_name` and the masses as `gap_name`, with
    the row where a batch has one of its own (a row of edges shared by a batch has
    none); a solver that gave up is a RuntimeError, ``"row r: "`` before its words in a
    batch; a fit stopped by the stop flag is a KeyboardInterrupt. `smoothing` is the
    fit's (0: exact masses): a counts-aware fit that float64 cannot resolve or confirm
    on these edges at this refine is an InputError that says so."""
    row, status, i = failure
    batch = masses.ndim == 2
    own_edges = batch and edges.ndim == 2
    edge_row = edges[row] if edges.ndim == 2 else edges
    mass_row = masses[row] if batch else masses
    at_row = row if batch else None
    at_edge_row = row if own_edges else None
    name = _STATUS_NAMES.get(status)
    if name == "bad_size":
        return InputError("out_of_range", argument="refine", value=refine, minimum=1,
                          maximum=MAX_REFINE)
    if name == "bad_edge":
        # Not finite, or not above the previous edge (which edge 0 has none of).
        edge = edge_row[i]
        if not math.isfinite(edge) or i == 0:
            return InputError("not_finite", argument=center_name, index=i, row=at_edge_row,
                              value=edge)
        return InputError("not_increasing", argument=center_name, index=i, row=at_edge_row,
                          value=edge, previous=edge_row[i - 1])
    if name == "bad_mass":
        mass = mass_row[i]
        return InputError("negative" if math.isfinite(mass) else "not_finite", argument=gap_name,
                          index=i, row=at_row, value=mass)
    if name == "zero_total":
        return InputError("all_zero", argument=gap_name, row=at_row)
    if name == "bad_width":
        return InputError("too_narrow", argument=center_name, index=i, row=at_edge_row,
                          refine=refine)
    if name == "out_of_range":
        return InputError("magnitude", argument=gap_name, row=at_row)
    if name == "infeasible":
        return InputError("infeasible", argument=gap_name, row=at_row, refine=refine)
    if name == "unreachable_mean":
        # The open fit leaves the means within reach after the row's values.
        info = out.reshape(-1, out.shape[-1])[row, masses.shape[-1] * refine + 1:]
        return InputError("unreachable_mean", argument="mean", row=at_row,
                          value=None if means is None else means[row],
                          lowest=info[INFO["lowest_mean"]], highest=info[INFO["highest_mean"]])
    if name == "empty_beside_tail":
        return InputError("empty_beside_tail", argument=gap_name, index=i, row=at_row)
    if name == "ill_conditioned":
        widths = [b - a for a, b in zip(edge_row[:-1], edge_row[1:])
                  if math.isfinite(a) and math.isfinite(b)]
        if smoothing > 0:
            return InputError("unresolved_smoothing", argument=center_name, row=at_edge_row,
                              smoothing=smoothing, refine=refine,
                              width_decades=_decades(widths))
        return InputError("ill_conditioned", argument=gap_name, row=at_row,
                          width_decades=_decades(widths), mass_decades=_decades(mass_row))
    if name == "interrupted":
        # Raised only when a signal handler raised, whose exception is the call's.
        return KeyboardInterrupt()
    if smoothing != 0 and name in ("inaccurate", "iteration_limit"):
        # What the counts-aware fit leaves unconfirmed after its slower, accurate path:
        # refines too fine for these widths in float64.
        widths = [b - a for a, b in zip(edge_row[:-1], edge_row[1:])
                  if math.isfinite(a) and math.isfinite(b)]
        return InputError("unconfirmed_counts_fit", argument=gap_name, row=at_row,
                          refine=refine, width_decades=_decades(widths),
                          count_decades=_decades(mass_row))
    where = f"row {row}: " if batch else ""
    return RuntimeError(where + _GAVE_UP.get(str(name), f"the smooth fit failed ({status})"))
