"""The rows of a smooth fit: a row's tails and values out of a batch, the parts of a
lazy fit computed together, the bin masses and mass error of a fit, and what each row
was given (the fields of its confidence intervals' source).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Optional, Tuple

import numpy as np
import numpy.typing as npt

import math

from zelvane import _dask, _native
from zelvane._checks import per_row, read_only, whole_numbers
from zelvane._fit import trapezoid_masses
from zelvane._tails import Tail

if TYPE_CHECKING:
    Float64Array = npt.NDArray[np.float64]

__all__ = ["bin_masses", "sources"]


def bin_masses(knots: npt.ArrayLike, values: npt.ArrayLike, refine: int) -> Float64Array:
    """The mass of every bin under a smooth fit's `values` at its `knots`, `refine`
    pieces per bin (1-D, or one row per histogram)."""
    pieces = trapezoid_masses(knots, values)
    masses: Float64Array = pieces.reshape(pieces.shape[:-1] + (-1, refine)).sum(axis=-1)
    return masses


def _computed(*parts: Any) -> Any:
    """`parts` with their Dask arrays computed, all together (a tail field by field)."""
    flat = [field for part in parts
            for field in (part[:4] if isinstance(part, Tail) else (part,))]
    done = iter(_dask.computed(*flat))

    def tail(chosen: Any) -> Tail:
        kind, joint, mass, parameter = (next(done) for _ in range(4))
        return Tail(kind, joint, mass, parameter, chosen)

    return [tail(part.chosen) if isinstance(part, Tail) else next(done) for part in parts]


def _row_tail(tail: Optional[Tail], k: int) -> Optional[Tail]:
    """Row `k` of the tail of a batch: a Tail of one row's fields, its kind "none" where
    the row has none."""
    if tail is None:
        return None
    # A batch's fields are arrays, typed as the floats of one histogram's.
    fields: Any = tail
    kind = fields.kind if isinstance(fields.kind, str) else fields.kind[k]
    chosen = fields.chosen if isinstance(fields.chosen, str) else fields.chosen[k]
    return Tail(kind, fields.joint[k], fields.mass[k], fields.parameter[k], str(chosen))


def _tail_of(tail: Optional[Tail]) -> Optional[Tail]:
    """A tail of one histogram as the density takes it: float fields, None for a tail of
    kind "none"."""
    if tail is None or str(tail.kind) == "none":
        return None
    return Tail(str(tail.kind), float(tail.joint), float(tail.mass), float(tail.parameter),
                str(tail.chosen))


def _tail_masses(tail: Optional[Tail], rows: Tuple[int, ...]) -> Float64Array:
    """The mass of an open bin: its tail's, 0 where there is none; one per row of a batch."""
    if not rows:
        single = _tail_of(tail)
        return np.array([single.mass if single is not None else 0.0])
    assert tail is not None  # a batch's open end always has one, of kind "none" where empty
    masses: Float64Array = np.where(np.asarray(tail.kind) == "none", 0.0,
                                    np.asarray(tail.mass, dtype=np.float64))
    return masses.reshape(rows + (1,))


def _mass_error(knots: Float64Array, values: Float64Array, refine: int, given: Float64Array,
                tails: Tuple[Optional[Tail], Optional[Tail]], open_ends: Tuple[bool, bool]
                ) -> Callable[[], float]:
    """How the density of one histogram computes its mass error on first use: the largest
    difference between what the fit puts on a bin and what the bin was given, as a share
    of the total (rounding for exact masses, the smoothed-away noise for counts)."""

    def error() -> float:
        fitted = bin_masses(knots, values, refine)
        if open_ends[0]:
            fitted = np.concatenate(([tails[0].mass if tails[0] else 0.0], fitted))
        if open_ends[1]:
            fitted = np.concatenate((fitted, [tails[1].mass if tails[1] else 0.0]))
        return float(np.max(np.abs(fitted - given))) / float(given.sum())

    return error


def _scalar_or_rows(column: Any, batch: bool) -> Any:
    if not isinstance(column, np.ndarray):
        return column
    return read_only(column.copy()) if batch else float(column[0])


def sources(given: Tuple[Any, ...], refine: int, only: Optional[int] = None) -> Any:
    """What every row of a fit (or row `only`) was given, as the fields of a confidence
    interval's ``Source`` (a list, one per row): from the edges, smoothing, sample sizes,
    means and tails a fit was given and its masses, all computed (the rows of a chunk of
    a lazy fit, say)."""
    edges, smoothing, sizes, means, tail, bottom, masses = given
    masses = np.asarray(masses, dtype=np.float64)
    rows = masses.reshape(-1, masses.shape[-1])
    count = (rows.shape[0],) if masses.ndim == 2 else ()
    sizes = per_row("sample_size", sizes, count, missing_allowed=False)
    means = per_row("mean", means, count, missing_allowed=True)
    out = []
    for k, row in enumerate(rows):
        if only is not None and k != only:
            continue
        size = None if sizes is None else float(sizes[k])
        mean = None if means is None or math.isnan(means[k]) else float(means[k])
        out.append({"edges": np.asarray(edges[k] if edges.ndim == 2 else edges),
                    "masses": row, "standard_errors": None, "sample_size": size,
                    "counts": size is not None or (smoothing != 0.0 and whole_numbers(row)),
                    "mean": mean, "mean_se": None, "tail": tail, "bottom": bottom,
                    "smoothing": "auto" if smoothing == _native.AUTO_SMOOTHING
                    else float(smoothing), "refine": refine})
    return out
