"""Fitting piecewise linear densities to interval masses, and checking a fit.

Every entry of the package goes through :func:`check_histogram`, which turns
array-likes into contiguous arrays of one floating type and refuses bad input
with an :class:`~zelvane.InputError` that names the argument, the first
offending index and row, and the value there. The
native rows module ``zelvane._rows`` then fits one histogram (as a batch of
one) or a 2-D batch, on the kernels of ``zelvane.bake`` and with its bits; a
Dask array goes to ``map_blocks`` over chunks of whole rows, each chunk on the
same native path. Nothing here loads ``zelvane.bake`` itself, which works with
NumPy 1.x alone.
"""

from __future__ import annotations

import operator
import sys
import warnings
from typing import TYPE_CHECKING, Any, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from zelvane._errors import InputError

# The smooth fit's largest and default number of sub-intervals per bin (MAX_REFINE,
# DEFAULT_REFINE) and the most worker threads a call takes (MAX_WORKERS) are the
# rows module's, defined once in its C++. ``import zelvane`` never imports this
# module (it needs NumPy), so reading them here loads the extension only once a
# fit is at hand; signatures then show the default itself (``refine=4``).
from zelvane._rows import DEFAULT_REFINE as DEFAULT_REFINE
from zelvane._rows import MAX_REFINE as MAX_REFINE
from zelvane._rows import MAX_WORKERS as MAX_WORKERS

if TYPE_CHECKING:
    from dask.array.core import Array as DaskArray

    # Subscripted NumPy types exist at run time only from Python 3.9 on.
    FloatArray = npt.NDArray[np.floating[Any]]
    Float32Array = npt.NDArray[np.float32]
    Float64Array = npt.NDArray[np.float64]

__all__ = ["fit_density", "fit_smooth", "trapezoid_masses", "check_histogram", "check_method",
           "open_sides", "real_array"]

# Solver of each method in zelvane.bake, whose bits the rows module gives; the
# rows module names its entry points after the methods.
METHODS = {"iterative": "fitgapmass", "exact": "fitgapmass_meh"}

ArrayLike = npt.ArrayLike


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
    >>> from zelvane._fit import check_histogram
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
    if open_ends:
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


def check_method(method: str) -> str:
    """The name of `method`'s solver in ``zelvane.bake``; an InputError naming the choices."""
    if not isinstance(method, str) or method not in METHODS:
        raise InputError("choice", argument="method", given=repr(method), choices=tuple(METHODS))
    return METHODS[method]


def _check_count(name: str, given: Any) -> int:
    """`given` as an int, refused unless it is an integer of some type: a bool (Python's
    or NumPy's) is a truth value, not a count, and is refused too."""
    if not isinstance(given, (bool, np.bool_)):
        try:
            return operator.index(given)
        except TypeError:
            pass
    raise InputError("type", argument=name, expected="int", type_name=type(given).__name__)


def _check_workers(workers: int) -> int:
    """`workers` as an int from 0 (one per core) to MAX_WORKERS. The native run starts
    no more threads than the rows need, so a large count on a small batch costs nothing."""
    count = _check_count("workers", workers)
    if not 0 <= count <= MAX_WORKERS:
        raise InputError("out_of_range", argument="workers", value=count, minimum=0,
                         maximum=MAX_WORKERS)
    return count


def _check_out(out: Any, shape: Tuple[int, ...], dtype: type) -> Any:
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


def _is_dask_array(value: object) -> bool:
    # Dask is loaded only by a caller that made a Dask array, so its absence
    # from sys.modules settles the question without importing it.
    if "dask.array" not in sys.modules:
        return False
    return isinstance(value, sys.modules["dask.array"].Array)


def _fit_checked(center: Float32Array, gap: Float32Array, method: str,
                 out: Optional[Float32Array], workers: int) -> Float32Array:
    """The native fit of checked, contiguous float32 input. Checked centres leave no
    zero width: float32 centres that differ never subtract to zero."""
    shape = gap.shape[:-1] + (gap.shape[-1] + 1,)
    result = np.empty(shape, np.float32) if out is None else out
    if out is not None and (np.may_share_memory(out, center) or np.may_share_memory(out, gap)):
        # Rows are written while others are still being read.
        center, gap = center.copy(), gap.copy()
    from zelvane import _rows

    getattr(_rows, method)(center, gap, result, workers)
    # One pass over the result; where it finds a value that is not finite, the row and
    # the interval to name are looked for.
    finite = np.isfinite(result)
    if not finite.all():
        _overflow(center, gap, finite, method)
    if out is None:
        result.flags.writeable = False
    return result


def _overflow(center: Float32Array, gap: Float32Array, finite: Any, method: str) -> None:
    """Refuse a fit whose values left float32's range (InputError ``"fit_overflow"``;
    `finite` tells which values are finite), naming the first such row and, in it, the
    interval of the largest mean density: the mass that the fit could not hold in
    float32 over its width."""
    row: Optional[int] = None
    if finite.ndim == 2:
        row = int(np.argmin(finite.all(axis=1)))
        gap, center = gap[row], center[row] if center.ndim == 2 else center
    # The widths as the solvers see them; the densities in float64, where they fit.
    widths = np.diff(center)
    index = int(np.argmax(np.abs(gap.astype(np.float64)) / widths.astype(np.float64)))
    raise InputError("fit_overflow", argument="gap", index=index, row=row, value=gap[index],
                     width=widths[index], method=method)


@overload
def fit_density(
    center: Union[ArrayLike, "DaskArray"], gap: "DaskArray", *,
    method: str = ..., out: None = ..., workers: int = ...,
) -> "DaskArray": ...


@overload
def fit_density(
    center: ArrayLike, gap: ArrayLike, *,
    method: str = ..., out: Optional[Float32Array] = ..., workers: int = ...,
) -> Float32Array: ...


def fit_density(
    center: Union[ArrayLike, "DaskArray"],
    gap: Union[ArrayLike, "DaskArray"],
    *,
    method: str = "iterative",
    out: Optional[Float32Array] = None,
    workers: int = 1,
) -> Union[Float32Array, "DaskArray"]:
    """Values at the centres of a piecewise linear density with the given interval masses.

    Parameters
    ----------
    center : array_like, shape (m + 1,) or (rows, m + 1)
        Strictly increasing bin centres, shared by every histogram (1-D) or
        one row per histogram (2-D, only with a 2-D `gap`).
    gap : array_like or dask.array.Array, shape (m,) or (rows, m)
        Mass of every interval between neighbouring centres: one histogram,
        or one histogram per row. A Dask array gives a Dask array back,
        computed chunk by chunk (every chunk holding whole rows). A NumPy
        masked array (here, for `center` and for `out`) with masked elements
        is refused (``"masked"``): its mask has no one meaning for a fit, so
        fill or compress it first; one with nothing masked is its data.
    method : {"iterative", "exact"}
        ``"iterative"`` relaxes the values towards the masses (the method
        of ``zelvane.bake.fitgapmass``); ``"exact"`` meets every mass exactly
        (that of ``zelvane.bake.fitgapmass_meh``) at the price of zig-zags,
        and gives negative values where no non-negative solution exists.
    out : numpy.ndarray, optional
        C-contiguous float32 array of the result's shape to fill and return.
    workers : int
        Native threads for a 2-D `gap`; 0 means one per core that this
        process may run on, up to 1024 (``zelvane._rows.MAX_WORKERS``);
        never more threads than rows. A bool is refused.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        float32 values, shape (m + 1,) or (rows, m + 1): `out` when given,
        otherwise a new read-only array. Bit for bit what ``zelvane.bake``
        writes for each row, though ``zelvane.bake`` is not used (it needs
        NumPy 1.x).

    Raises
    ------
    zelvane.InputError
        For an unknown method, a bad `out` or `workers`, or input that
        :func:`check_histogram` refuses; its fields name the argument, the
        first offending index and row and the value there. A fit whose values
        leave float32's range (masses too large for the widths of their
        intervals) is refused too (``"fit_overflow"``), naming the first such
        row and, as its index, that row's interval of the largest mean
        density; `out` then holds what the fit wrote. A Dask array's fits are
        checked in their tasks, with rows numbered in the whole array.

    Examples
    --------
    >>> import zelvane
    >>> zelvane.fit_density([0, 1, 2, 3], [1, 2, 1])
    array([0.5, 1.5, 1.5, 0.5], dtype=float32)
    >>> zelvane.fit_density([0, 1, 2], [[1, 1], [1, 3]], method="exact")
    array([[0., 2., 0.],
           [0., 2., 4.]], dtype=float32)
    """
    check_method(method)
    count = _check_workers(workers)
    if _is_dask_array(gap):
        if out is not None:
            raise InputError("with_dask", argument="out")
        from zelvane import _dask

        return _dask.fit_blocks(center, gap, method, count)
    center32, gap32 = check_histogram(center, gap)
    if out is not None:
        out = _check_out(out, gap32.shape[:-1] + (gap32.shape[-1] + 1,), np.float32)
    return _fit_checked(center32, gap32, method, out, count)


def trapezoid_masses(center: ArrayLike, prob: ArrayLike) -> Float64Array:
    """Mass of every interval under the piecewise linear density with values `prob`.

    Interval ``i`` carries ``(prob[i] + prob[i+1]) / 2 * (center[i+1] - center[i])``,
    computed in float64: the check of a fit against its masses.

    Parameters
    ----------
    center : array_like, shape (n,) or (rows, n)
        Strictly increasing positions, at least two; 1-D is shared by every
        row of a 2-D `prob`.
    prob : array_like, shape (n,) or (rows, n)
        Finite values of the density at the centres. Masked arrays with masked
        elements are refused, here and for `center`, as by :func:`fit_density`.

    Returns
    -------
    numpy.ndarray
        New float64 array of shape (n - 1,) or (rows, n - 1).

    Examples
    --------
    >>> import zelvane
    >>> zelvane.trapezoid_masses([0, 1, 2, 3], [0, 2, 2, 0])
    array([1., 2., 1.])
    """
    c, p = check_histogram(center, prob, gap_name="prob", per_center=True, dtype=np.float64)
    widths = c[..., 1:] - c[..., :-1]
    masses: Float64Array = (p[..., :-1] + p[..., 1:]) / 2.0 * widths
    return masses


def _check_refine(refine: int) -> int:
    count = _check_count("refine", refine)
    if not 1 <= count <= MAX_REFINE:
        raise InputError("out_of_range", argument="refine", value=count, minimum=1,
                         maximum=MAX_REFINE)
    return count


def _aligned(array: FloatArray) -> Float64Array:
    # A contiguous array can still sit at an odd address (a view into bytes); the
    # native fit reads whole float64 elements. An array that is fit is used as it is.
    aligned: Float64Array = np.require(array, np.float64, ["C", "A"])
    return aligned


def fit_smooth(center: ArrayLike, gap: ArrayLike, **options: Any) -> Any:
    """:func:`zelvane.fit_smooth`, which lives in ``zelvane._smooth``."""
    from zelvane._smooth import fit_smooth as smooth

    return smooth(center, gap, **options)
