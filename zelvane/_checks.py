"""Every check of the package's arguments, and the conversions that go with them.

Each entry hands its arguments to these helpers before anything is computed:
array-likes become NumPy arrays of one floating type (:func:`check_histogram`
for centres or edges with masses, :func:`check_knots_and_values` for a
density, :func:`as_float64` for points and probabilities), options are
checked against their bounds (:func:`check_workers`, :func:`check_refine`,
:func:`check_smoothing`, :func:`per_row` for a sample size or a mean,
:func:`check_out`, :func:`check_choice`), and whatever is refused is an
:class:`~zelvane.InputError` that names the argument, the first offending
index and row, and the value there. Masked arrays with masked elements and
ragged nested sequences are refused by the one conversion every array goes
through, :func:`as_array`.

Arrays that objects keep and hand out are made read-only here too
(:func:`read_only`, :func:`sealed`). The tails' checks, of a tail given whole and of
the fits' ``tail=``, ``upper=`` and ``lower=``, are ``zelvane._tail_checks``'.
"""

from __future__ import annotations

import math
import numbers
import operator
import warnings
from typing import TYPE_CHECKING, Any, Optional, Sequence, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

from zelvane._errors import InputError, plain
from zelvane._native import AUTO_SMOOTHING, MAX_REFINE, MAX_WORKERS

if TYPE_CHECKING:
    # Subscripted NumPy types exist at run time only from Python 3.9 on.
    FloatArray = npt.NDArray[np.floating[Any]]
    Float64Array = npt.NDArray[np.float64]

ArrayLike = npt.ArrayLike

#: The smoothing that asks for the information criterion's choice.
AUTO = "auto"


# ---------------------------------------------------------------- arrays handed out

def sealed(array: Any) -> Any:
    """A read-only copy of `array` held by an immutable ``bytes`` object: neither the copy
    nor any view of it can be made writable again (NumPy refuses to set the flag of an
    array whose memory is not writable), which a read-only array that owns its memory
    allows. For what an object keeps and hands out, whose other tables are made from it."""
    contiguous = np.ascontiguousarray(array)
    return np.frombuffer(contiguous.tobytes(), contiguous.dtype).reshape(contiguous.shape)


def read_only(array: Any) -> Any:
    """`array`, a new array that owns its memory, marked read-only and returned."""
    array.flags.writeable = False
    return array


def aligned(array: Any) -> Float64Array:
    """`array` as C-contiguous float64 at an address of whole elements, which the smooth
    fits read: a contiguous array can still sit at an odd address (a view into bytes).
    An array that is fit is returned itself."""
    if type(array) is np.ndarray and array.dtype == np.float64:
        flags = array.flags
        if flags.c_contiguous and flags.aligned:
            return array
    result: Float64Array = np.require(array, np.float64, ["C", "A"])
    return result


# ---------------------------------------------------------------- arrays

def _position(shape: Tuple[int, ...], flat_index: int) -> Tuple[Optional[int], int]:
    """(row, index) of a flat position in an array of `shape`; the row is None in a
    1-D array."""
    position = [int(i) for i in np.unravel_index(flat_index, shape)]
    if len(position) == 2:
        return position[0], position[1]
    return None, position[0]


def check_unmasked(name: str, value: Any) -> None:
    """Refuse a NumPy masked array with masked elements (InputError ``"masked"``, naming
    the argument and the first masked element of a 1-D or 2-D array): nothing here
    honours a mask, and a masked mass, centre or point has no one meaning that a fit or
    an evaluation could give it. A masked array with nothing masked is its data."""
    if not isinstance(value, np.ma.MaskedArray):
        return
    mask = value.mask
    if mask is np.ma.nomask or not mask.any():
        return
    row: Optional[int] = None
    index: Optional[int] = None
    if mask.ndim in (1, 2):
        row, index = _position(mask.shape, int(np.argmax(mask.ravel())))
    raise InputError("masked", argument=name, index=index, row=row)


# NumPy before 1.24 warns of ragged nested sequences, and makes them an array of
# the sequences, where later versions refuse them.
_RAGGED_WARNS = np.lib.NumpyVersion(np.__version__) < "1.24.0"


def as_array(name: str, value: Any) -> Any:
    """`value` as a NumPy array. Nested sequences of unequal lengths, of which NumPy
    makes no array, are an InputError (``"ragged"``) naming the argument, as is a masked
    array with masked elements (``"masked"``, :func:`check_unmasked`)."""
    check_unmasked(name, value)
    try:
        if _RAGGED_WARNS and isinstance(value, (list, tuple)):
            # Ragged sequences are refused below, in one error rather than an error
            # after NumPy's warning.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", getattr(np, "VisibleDeprecationWarning"))
                given = np.asarray(value)
        else:
            given = np.asarray(value)
    except ValueError as error:
        failure = error
    else:
        # NumPy before 1.24 makes ragged sequences an array of the sequences rather
        # than refusing them.
        if given.dtype == object and any(isinstance(e, (list, tuple, np.ndarray))
                                         for e in given.ravel()):
            raise InputError("ragged", argument=name)
        return given
    try:
        # An array of the sequences themselves can be made only where they are ragged;
        # anything else that failed fails again and is raised as it was.
        np.asarray(value, dtype=object)
    except (TypeError, ValueError):
        raise failure from None
    raise InputError("ragged", argument=name) from None


def check_real(name: str, dtype: Any) -> None:
    """Refuse (InputError ``"dtype"``) elements other than real numbers: booleans,
    integers and floats. A complex input would otherwise lose its imaginary part."""
    if dtype.kind not in "biuf":
        raise InputError("dtype", argument=name, dtype=str(dtype), expected="real")


def real_array(name: str, value: Any) -> Any:
    """`value` as a NumPy array of real numbers (:func:`as_array`, :func:`check_real`)."""
    given = as_array(name, value)
    check_real(name, given.dtype)
    return given


def as_float64(name: str, data: npt.ArrayLike) -> Float64Array:
    """Points or probabilities of any shape as float64; only booleans, integers and reals
    are accepted, so that a complex input is refused rather than losing its imaginary part."""
    return np.asarray(real_array(name, data), dtype=np.float64)


def _as_real_array(name: str, value: ArrayLike, dtype: type) -> Tuple[Any, FloatArray]:
    """(the input as an array, its contiguous copy in `dtype`, or itself when it is one)."""
    given = real_array(name, value)
    if given.ndim not in (1, 2):
        raise InputError("ndim", argument=name, ndim=given.ndim, allowed=(1, 2))
    if given.dtype == dtype and given.flags.c_contiguous:
        return given, given
    if given.dtype.kind != "f" or given.dtype.itemsize <= np.dtype(dtype).itemsize:
        # Nothing overflows into the type: no warning to keep quiet.
        return given, np.ascontiguousarray(given, dtype=dtype)
    with np.errstate(over="ignore", invalid="ignore"):
        converted: FloatArray = np.ascontiguousarray(given, dtype=dtype)
    return given, converted


def open_sides(center: Any) -> Tuple[Any, Any]:
    """Whether the first edge is -inf and whether the last is +inf (the open ends of
    grouped data): NumPy booleans, one per row of a 2-D `center` (0-d for 1-D)."""
    return center[..., 0] == -np.inf, center[..., -1] == np.inf


def _check_finite(name: str, given: Any, converted: FloatArray) -> None:
    finite = np.isfinite(converted)
    if not finite.all():
        k = int(np.argmin(finite.ravel()))
        row, index = _position(converted.shape, k)
        original = given.ravel()[k]
        if np.isfinite(original):
            raise InputError("overflow", argument=name, index=index, row=row, value=original,
                             dtype=converted.dtype.name)
        raise InputError("not_finite", argument=name, index=index, row=row, value=original)


def _check_increasing(name: str, center: FloatArray) -> None:
    # Compared in the precision the solvers see, so that no zero width is left
    # after rounding (two float64 centres can round to the same float32).
    rising = center[..., 1:] > center[..., :-1]
    if not rising.all():
        k = int(np.argmin(rising.ravel()))
        where = np.unravel_index(k, rising.shape)
        below = where[:-1] + (where[-1] + 1,)
        row, index = _position(center.shape, int(np.ravel_multi_index(below, center.shape)))
        raise InputError("not_increasing", argument=name, index=index, row=row,
                         value=center[below], previous=center[where])


def check_histogram(
    center: ArrayLike,
    gap: ArrayLike,
    *,
    center_name: str = "center",
    gap_name: str = "gap",
    per_center: bool = False,
    nonnegative: bool = False,
    dtype: type = np.float32,
    max_ndim: int = 2,
    open_ends: bool = False,
) -> Tuple[FloatArray, FloatArray]:
    """Check and convert the centres and masses of one histogram or a batch of them.

    Parameters
    ----------
    center : array_like
        Strictly increasing, finite positions: 1-D, or 2-D with one row per
        row of `gap`. A 1-D `center` with a 2-D `gap` is shared by every row.
    gap : array_like
        Finite masses of the intervals between neighbouring centres, 1-D (one
        histogram) or 2-D (one histogram per row), at least one per row.
    center_name, gap_name : str
        How messages name the two arguments.
    per_center : bool
        `gap` holds one value per centre (as density values do) rather than
        one per interval.
    nonnegative : bool
        Refuse negative elements of `gap`.
    dtype : {numpy.float32, numpy.float64}
        Type of the arrays returned; checks are made on the converted values.
    max_ndim : {1, 2}
        Largest number of dimensions accepted for `gap`.
    open_ends : bool
        Accept a first centre of -inf and a last of +inf (the open ends of
        grouped data); they are returned as they are.

    Returns
    -------
    center, gap : numpy.ndarray
        C-contiguous arrays of `dtype`; an argument that already is one is
        returned itself, not copied.

    Raises
    ------
    zelvane.InputError
        With the argument, and the first offending index, row and value where
        there are: values that are not real numbers (``"dtype"``), wrong
        dimensions (``"ndim"``) or lengths (``"too_short"``, ``"length"``,
        ``"shape"``), values that are not finite (``"not_finite"``) or
        overflow `dtype` (``"overflow"``), centres that are not strictly
        increasing (``"not_increasing"``), with `nonnegative` negative
        masses (``"negative"``), and masked arrays with masked elements
        (``"masked"``, naming the first: masks are not honoured).

    Examples
    --------
    >>> from zelvane._checks import check_histogram
    >>> center, gap = check_histogram([0, 1, 3], [1, 2])
    >>> center.dtype, gap.dtype
    (dtype('float32'), dtype('float32'))
    >>> check_histogram([0, 2, 1], [1, 2])
    Traceback (most recent call last):
    ...
    zelvane.InputError: center must be strictly increasing: center[2] = 1.0 is not above center[1] = 2.0
    """
    gap_given, gap_array = _as_real_array(gap_name, gap, dtype)
    center_given, center_array = _as_real_array(center_name, center, dtype)
    if gap_array.ndim > max_ndim:
        raise InputError("ndim", argument=gap_name, ndim=gap_array.ndim,
                         allowed=tuple(range(1, max_ndim + 1)))
    rows = gap_array.shape[:-1]
    width = gap_array.shape[-1]
    if width < (2 if per_center else 1):
        raise InputError("too_short", argument=gap_name, length=width,
                         minimum=2 if per_center else 1, per_row=bool(rows))
    if center_array.ndim > gap_array.ndim:
        raise InputError("ndim", argument=center_name, ndim=center_array.ndim, allowed=(1,),
                         other=gap_name, other_ndim=gap_array.ndim)
    want = width if per_center else width + 1
    if center_array.ndim == 1 and center_array.shape[0] != want:
        raise InputError("length", argument=center_name, length=center_array.shape[0],
                         expected=want, other=gap_name, offset=0 if per_center else 1,
                         per_row=bool(rows))
    if center_array.ndim == 2 and center_array.shape != rows + (want,):
        raise InputError("shape", argument=center_name, shape=center_array.shape,
                         expected=((want,), rows + (want,)), other=gap_name,
                         other_shape=gap_array.shape)
    checked = center_array
    if open_ends and checked.ndim == 1:
        # As below, on the two ends of one row of edges, in Python floats.
        first_open, last_open = bool(checked[0] == -np.inf), bool(checked[-1] == np.inf)
        if first_open or last_open:
            checked = checked.copy()
            if first_open:
                below = float(checked[1]) - 1.0
                checked[0] = below if math.isfinite(below) else 0.0
            if last_open:
                beyond = float(checked[-2]) + 1.0
                checked[-1] = beyond if math.isfinite(beyond) else 0.0
    elif open_ends:
        left, right = open_sides(checked)
        if left.any() or right.any():
            # Infinite ends stand in for a finite value beyond their neighbour, so that
            # every other check is made as for closed edges (a neighbour that is not
            # finite itself is the one reported). The last end's stand-in is taken from
            # the first's where a row has no finite edge between them.
            checked = checked.copy()
            with np.errstate(invalid="ignore", over="ignore"):
                for end, neighbour, step, is_open in ((0, 1, -1.0, left), (-1, -2, 1.0, right)):
                    stand_in = checked[..., neighbour] + step
                    stand_in = np.where(np.isfinite(stand_in), stand_in, 0.0)
                    checked[..., end] = np.where(is_open, stand_in, checked[..., end])
    _check_finite(center_name, center_given, checked)
    _check_finite(gap_name, gap_given, gap_array)
    _check_increasing(center_name, checked)
    if nonnegative:
        negative = gap_array < 0
        if negative.any():
            k = int(np.argmax(negative.ravel()))
            row, index = _position(gap_array.shape, k)
            raise InputError("negative", argument=gap_name, index=index, row=row,
                             value=gap_array.ravel()[k])
    return center_array, gap_array


def check_knots_and_values(knots: npt.ArrayLike,
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
    return sealed(x), cast("Float64Array", y)


def check_cuts(name: str, edges: npt.ArrayLike) -> Float64Array:
    """Bin edges to cut a density into: one-dimensional, strictly increasing, not NaN
    (infinite ends are allowed), as float64."""
    cuts = as_float64(name, edges)
    if cuts.ndim != 1:
        raise InputError("ndim", argument=name, ndim=cuts.ndim, allowed=(1,))
    missing = np.isnan(cuts)
    if missing.any():
        k = int(np.argmax(missing))
        raise InputError("not_finite", argument=name, index=k, value=cuts[k])
    rising = cuts[1:] > cuts[:-1]
    if not rising.all():
        k = int(np.argmin(rising)) + 1
        raise InputError("not_increasing", argument=name, index=k, value=cuts[k],
                         previous=cuts[k - 1])
    return cuts


# ---------------------------------------------------------------- options

def check_choice(name: str, given: Any, choices: Sequence[str]) -> str:
    """`given`, one of the strings `choices`; an InputError (``"choice"``) naming them
    otherwise."""
    if not isinstance(given, str) or given not in choices:
        raise InputError("choice", argument=name, given=repr(given), choices=tuple(choices))
    return given


def check_count(name: str, given: Any) -> int:
    """`given` as an int, refused unless it is an integer of some type: a bool (Python's
    or NumPy's) is a truth value, not a count, and is refused too."""
    if not isinstance(given, (bool, np.bool_)):
        try:
            return operator.index(given)
        except TypeError:
            pass
    raise InputError("type", argument=name, expected="int", type_name=type(given).__name__)


def check_workers(workers: int) -> int:
    """`workers` as an int from 0 (one per core) to MAX_WORKERS. The native run starts
    no more threads than the rows need, so a large count on a small batch costs nothing."""
    count = check_count("workers", workers)
    if not 0 <= count <= MAX_WORKERS:
        raise InputError("out_of_range", argument="workers", value=count, minimum=0,
                         maximum=MAX_WORKERS)
    return count


def check_row(row: Any, rows: Optional[int]) -> Optional[int]:
    """`row` as the index of one of the `rows` histograms of a batch fit (0 to rows - 1);
    None for the fit of one histogram (`rows` None), which takes no row."""
    if rows is None:
        if row is not None:
            raise InputError("one_histogram", argument="row", value=row)
        return None
    if row is None:
        raise InputError("needs_row", argument="row", rows=rows)
    k = check_count("row", row)
    if not 0 <= k < rows:
        raise InputError("out_of_range", argument="row", value=k, minimum=0, maximum=rows - 1)
    return k


def check_refine(refine: int) -> int:
    """`refine` as an int from 1 to MAX_REFINE: the sub-intervals per bin of a smooth fit."""
    count = check_count("refine", refine)
    if not 1 <= count <= MAX_REFINE:
        raise InputError("out_of_range", argument="refine", value=count, minimum=1,
                         maximum=MAX_REFINE)
    return count


def check_out(out: Any, shape: Tuple[int, ...], dtype: type) -> Any:
    """`out`, a writable, C-contiguous NumPy array of `shape` and `dtype` in native byte
    order, without masked elements, to write a result into."""
    if not isinstance(out, np.ndarray):
        raise InputError("type", argument="out", expected="numpy.ndarray",
                         type_name=type(out).__name__)
    check_unmasked("out", out)
    if out.dtype != np.dtype(dtype) or not out.dtype.isnative:
        raise InputError("dtype", argument="out", dtype=out.dtype.str,
                         expected=np.dtype(dtype).name)
    if out.shape != shape:
        raise InputError("shape", argument="out", shape=out.shape, expected=shape)
    if not out.flags.c_contiguous:
        raise InputError("not_contiguous", argument="out")
    if not out.flags.writeable:
        raise InputError("read_only", argument="out")
    return out


def check_number(name: str, given: Any) -> float:
    """`given`, one real number (Python's or NumPy's, not a bool), as a float; an
    InputError (``"type"``) naming `name` otherwise. NaN passes: the caller bounds it."""
    if isinstance(given, (bool, np.bool_)) or not isinstance(given, (numbers.Real, np.integer,
                                                                      np.floating)):
        raise InputError("type", argument=name, expected="int or float",
                         type_name=type(given).__name__)
    return float(given)


def check_smoothing(smoothing: Union[str, float]) -> float:
    """The native form of `smoothing`: the rows module's AUTO_SMOOTHING for "auto", else
    the number (0 or more)."""
    if isinstance(smoothing, str):
        if smoothing == AUTO:
            return AUTO_SMOOTHING
        raise InputError("choice", argument="smoothing", given=repr(smoothing),
                         choices=(AUTO, 0, "a positive number"))
    if isinstance(smoothing, bool) or not isinstance(smoothing, numbers.Real):
        raise InputError("type", argument="smoothing", expected="'auto' or a real number",
                         type_name=type(smoothing).__name__)
    value = float(smoothing)
    if not (value >= 0.0 and math.isfinite(value)):
        raise InputError("out_of_range", argument="smoothing", value=value, minimum=0)
    return value


def whole_numbers(masses: Any) -> bool:
    """Whether `masses` are counts: every finite one a whole number. The counts-aware fit
    reads counts as a sample whose size is their sum; shares and weights say nothing of
    the sample behind them."""
    given = np.asarray(masses)
    if given.dtype.kind != "f":
        return True
    if (np.floor(given) == given).all():
        # Every one whole or infinite: nothing left to leave out.
        return True
    return bool((np.mod(given[np.isfinite(given)], 1) == 0).all())


def check_counts(gap: Any, smoothing: Union[str, float], sample_size: Any,
                 gap_name: str) -> None:
    """Refuse to smooth masses that are not counts without the sample size behind them.

    Whole numbers are counts, their sum the sample size. Shares or weights say nothing
    of the sample behind them (a sum near 1 would read as one observation, and smooth
    everything away): any `smoothing` but 0 needs `sample_size` given for them. An
    InputError (``"needs_sample_size"``) names `gap_name`; a `smoothing` that is no
    smoothing at all is refused as the smooth fit refuses it.
    """
    if sample_size is None and check_smoothing(smoothing) != 0.0 and not whole_numbers(gap):
        raise InputError("needs_sample_size", argument=gap_name, given=repr(plain(smoothing)),
                         smoothing=smoothing)


def per_row(name: str, value: Any, rows: Tuple[int, ...], *, missing_allowed: bool
             ) -> Optional[Float64Array]:
    """`value` (a number, or one per row of a batch) as float64 of one per row; None
    stays None. Numbers must be finite, and positive for a sample size; a mean may be
    NaN (none for that row) where `missing_allowed`."""
    if value is None:
        return None
    if type(value) is float and not rows:
        # One Python float for one histogram: the checks below, on the number itself.
        if not math.isfinite(value):
            raise InputError("not_finite", argument=name, value=value)
        if not missing_allowed and not value > 0:
            raise InputError("out_of_range", argument=name, row=None, value=np.float64(value),
                             minimum=0, exclusive=True)
        return np.array([value])
    given = real_array(name, value)
    if given.dtype.kind == "b":
        # A truth value is no number of observations, nor a mean.
        raise InputError("type", argument=name, expected="int or float",
                         type_name=type(value).__name__)
    if given.ndim == 0 and not np.isfinite(given):
        # NaN stands for "none" in a row of a batch only: one number must be a number.
        raise InputError("not_finite", argument=name, value=given.item())
    count = rows[0] if rows else 1
    if given.ndim > 1 or (given.ndim == 1 and given.shape[0] != count):
        raise InputError("shape", argument=name, shape=given.shape, expected=((), (count,)))
    column = np.ascontiguousarray(np.broadcast_to(given.astype(np.float64), (count,)))
    bad = ~np.isfinite(column)
    if missing_allowed:
        bad &= ~np.isnan(column)
    else:
        bad |= ~(column > 0)
    if bad.any():
        k = int(np.argmax(bad))
        row = k if rows else None
        if not np.isfinite(column[k]):
            raise InputError("not_finite", argument=name, row=row, value=column[k])
        raise InputError("out_of_range", argument=name, row=row, value=column[k], minimum=0,
                         exclusive=True)
    return column


def check_lazy_masses(gap: Any, name: str, ndims: Tuple[int, ...]) -> int:
    """The number of masses per row of a Dask array of masses, refused (InputError) with
    other than `ndims` dimensions, elements other than real numbers or an unknown
    number of masses per row: what can be checked before a chunk is computed."""
    if gap.ndim not in ndims:
        raise InputError("ndim", argument=name, ndim=gap.ndim, allowed=ndims)
    check_real(name, gap.dtype)
    m = gap.shape[-1]
    if not isinstance(m, int):
        raise InputError("unknown_length", argument=name)
    return m


def check_rows(name: str, shape: Tuple[Any, ...], rows: Any, row_shape: Tuple[int, ...],
               **other: Any) -> None:
    """Refuse (InputError ``"shape"``) an argument of `shape` that is not one `row_shape`
    for each of `rows` rows, naming the shapes it may have: one for all, or one per row;
    ``"unknown_rows"`` where the number of rows is not known (a Dask array's)."""
    if not isinstance(rows, int):
        raise InputError("unknown_rows", argument=name, other=other.get("other"))
    if tuple(shape) != (rows,) + row_shape:
        raise InputError("shape", argument=name, shape=shape,
                         expected=(row_shape, (rows,) + row_shape), **other)


def check_means(means: Optional[Float64Array], masses: FloatArray, left: bool,
                right: bool) -> Optional[Float64Array]:
    """`means` (one per row, NaN: none), refused (``"mean_needs_tail"``) for the first row
    that asks for a mean without an open end with mass to meet it; None where no row
    asks for one."""
    if means is None:
        return None
    if masses.ndim == 1:
        # One histogram: its one mean, and the mass of its open ends.
        if math.isnan(means[0]):
            return None
        if not ((right and masses[-1] > 0) or (left and masses[0] > 0)):
            raise InputError("mean_needs_tail", argument="mean", row=None, value=means[0])
        return means
    wanted = ~np.isnan(means)
    flat = masses.reshape(-1, masses.shape[-1])
    usable = np.zeros(flat.shape[0], bool)
    if right:
        usable |= flat[:, -1] > 0
    if left:
        usable |= flat[:, 0] > 0
    lacking = wanted & ~usable
    if lacking.any():
        k = int(np.argmax(lacking))
        raise InputError("mean_needs_tail", argument="mean", row=k if masses.ndim == 2 else None,
                         value=means[k])
    return means if wanted.any() else None


def open_ends(center: FloatArray, name: str) -> Tuple[bool, bool]:
    """Whether the edges open to the left and to the right, the same in every row."""
    if center.ndim == 1:
        return bool(center[0] == -np.inf), bool(center[-1] == np.inf)
    left, right = open_sides(center)
    for side, flags in (("first", left), ("last", right)):
        if flags.any() and not flags.all():
            row = int(np.argmin(flags)) if flags[0] else int(np.argmax(flags))
            raise InputError("open_rows", argument=name, row=row, side=side)
    return bool(left.all()), bool(right.all())


def check_open(edges: FloatArray, masses: FloatArray, r: int, center_name: str,
                gap_name: str) -> Tuple[bool, bool]:
    """The open ends, checked against refine and the bins; every histogram's mass."""
    batch = masses.ndim == 2
    left, right = open_ends(edges, center_name)
    opens = int(left) + int(right)
    if opens and r < 2:
        raise InputError("out_of_range", argument="refine", value=r, minimum=2,
                         maximum=MAX_REFINE, reason="open_end")
    if masses.shape[-1] <= opens:
        raise InputError("too_short", argument=gap_name, length=masses.shape[-1],
                         minimum=opens + 1, per_row=batch, finite=True)
    if not batch:
        if not masses.any():
            raise InputError("all_zero", argument=gap_name)
        return left, right
    empty = ~(masses > 0).any(axis=-1)
    if empty.any():
        raise InputError("all_zero", argument=gap_name, row=int(np.argmax(empty)))
    return left, right


# ---------------------------------------------------------------- confidence intervals

def check_confidence_level(level: Any) -> float:
    """`level` as a float strictly between 0 and 1 (``"level"``)."""
    if isinstance(level, (bool, np.bool_)) or not isinstance(level, numbers.Real):
        raise InputError("type", argument="level", expected="float",
                         type_name=type(level).__name__)
    value = float(level)
    if not 0.0 < value < 1.0:
        raise InputError("level", argument="level", value=value)
    return value


def check_standard_errors(given: Any, masses: Optional[Any], *, name: str) -> Float64Array:
    """Standard errors (or margins) as float64, finite and not negative; one per mass of
    `masses` where those are given (the same shape)."""
    values = as_float64(name, given)
    if masses is not None and values.shape != np.shape(masses):
        if values.ndim == 1 and np.ndim(masses) == 1:
            raise InputError("length", argument=name, other="counts", expected=np.shape(masses)[0],
                             length=values.shape[0])
        raise InputError("shape", argument=name, shape=values.shape, expected=np.shape(masses))
    bad = ~np.isfinite(values)
    if bad.any():
        k = int(np.argmax(bad.ravel()))
        row, index = _position(values.shape, k) if values.ndim else (None, None)
        raise InputError("not_finite", argument=name, row=row, index=index,
                         value=values.ravel()[k])
    negative = values < 0
    if negative.any():
        k = int(np.argmax(negative.ravel()))
        row, index = _position(values.shape, k) if values.ndim else (None, None)
        raise InputError("negative", argument=name, row=row, index=index,
                         value=values.ravel()[k])
    return values


def check_mean_se(mean_se: Any, mean: Any) -> Optional[float]:
    """A mean's standard error: None, or a finite number not below 0 given with a mean."""
    if mean_se is None:
        return None
    given = real_array("mean_se", mean_se)
    if given.ndim != 0:
        raise InputError("shape", argument="mean_se", shape=given.shape, expected=())
    value = float(given)
    if not np.isfinite(value):
        raise InputError("not_finite", argument="mean_se", value=value)
    if value < 0:
        raise InputError("negative", argument="mean_se", value=value)
    if mean is None:
        raise InputError("needs_mean", argument="mean_se", value=value)
    return value
