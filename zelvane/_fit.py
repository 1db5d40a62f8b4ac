"""Fitting piecewise linear densities to interval masses, and checking a fit.

Every entry of the package goes through :func:`check_histogram`, which turns
array-likes into contiguous arrays of one floating type and refuses bad input
with a ValueError that names the argument and the first offending index. The
native rows module ``zelvane._rows`` then fits one histogram (as a batch of
one) or a 2-D batch, on the kernels of ``zelvane.bake`` and with its bits; a
Dask array goes to ``map_blocks`` over chunks of whole rows, each chunk on the
same native path. Nothing here loads ``zelvane.bake`` itself, which works with
NumPy 1.x alone.
"""

from __future__ import annotations

import operator
import sys
from typing import TYPE_CHECKING, Any, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from dask.array.core import Array as DaskArray

    # Subscripted NumPy types exist at run time only from Python 3.9 on.
    FloatArray = npt.NDArray[np.floating[Any]]
    Float32Array = npt.NDArray[np.float32]
    Float64Array = npt.NDArray[np.float64]

__all__ = ["fit_density", "fit_smooth", "trapezoid_masses", "check_histogram", "check_method"]

# Solver of each method in zelvane.bake, whose bits the rows module gives; the
# rows module names its entry points after the methods.
METHODS = {"iterative": "fitgapmass", "exact": "fitgapmass_meh"}

ArrayLike = npt.ArrayLike

# Largest number of sub-intervals per bin that the smooth fit takes (its kernel's bound).
MAX_REFINE = 256


def _where(shape: Tuple[int, ...], flat_index: int, row_offset: int = 0) -> str:
    """``[i]`` or ``[r, i]``: the index of a flat position in an array of `shape`,
    rows counted from `row_offset`."""
    index = [int(i) for i in np.unravel_index(flat_index, shape)]
    if len(index) == 2:
        index[0] += row_offset
    return "[" + ", ".join(str(i) for i in index) + "]"


def _as_real_array(name: str, value: ArrayLike, dtype: type) -> Tuple[Any, FloatArray]:
    """(the input as an array, its contiguous copy in `dtype`, or itself when it is one)."""
    given = np.asarray(value)
    if given.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold real numbers, not {given.dtype} values")
    if given.ndim not in (1, 2):
        raise ValueError(f"{name} must be 1-D or 2-D, not {given.ndim}-D")
    with np.errstate(over="ignore", invalid="ignore"):
        converted: FloatArray = np.ascontiguousarray(given, dtype=dtype)
    return given, converted


def _check_finite(name: str, given: Any, converted: FloatArray, row_offset: int) -> None:
    finite = np.isfinite(converted)
    if not finite.all():
        k = int(np.argmin(finite.ravel()))
        where = _where(converted.shape, k, row_offset)
        original = given.ravel()[k]
        if np.isfinite(original):
            raise ValueError(f"{name}{where} = {original!r} is too large for {converted.dtype}")
        raise ValueError(f"{name}{where} is {original!r}, not a finite number")


def _check_increasing(name: str, center: FloatArray, row_offset: int) -> None:
    # Compared in the precision the solvers see, so that no zero width is left
    # after rounding (two float64 centres can round to the same float32).
    rising = center[..., 1:] > center[..., :-1]
    if not rising.all():
        k = int(np.argmin(rising.ravel()))
        where = np.unravel_index(k, rising.shape)
        below = where[:-1] + (where[-1] + 1,)
        flat = int(np.ravel_multi_index(below, center.shape))
        raise ValueError(f"{name} must be strictly increasing: "
                         f"{name}{_where(center.shape, flat, row_offset)} = {center[below]!r} "
                         f"is not above {name}{_where(center.shape, flat - 1, row_offset)} = "
                         f"{center[where]!r}")


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
    row_offset: int = 0,
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
    row_offset : int
        Row number of the first row of `gap` in messages, for a block of a
        larger batch.

    Returns
    -------
    center, gap : numpy.ndarray
        C-contiguous arrays of `dtype`; an argument that already is one is
        returned itself, not copied.

    Raises
    ------
    ValueError
        Naming the argument, and the first offending index where there is one:
        values that are not real numbers, wrong dimensions or lengths, values
        that are not finite (or overflow `dtype`), centres that are not
        strictly increasing, and with `nonnegative` negative masses.

    Examples
    --------
    >>> from zelvane._fit import check_histogram
    >>> center, gap = check_histogram([0, 1, 3], [1, 2])
    >>> center.dtype, gap.dtype
    (dtype('float32'), dtype('float32'))
    >>> check_histogram([0, 2, 1], [1, 2])
    Traceback (most recent call last):
    ...
    ValueError: center must be strictly increasing: center[2] = 1.0 is not above center[1] = 2.0
    """
    gap_given, gap_array = _as_real_array(gap_name, gap, dtype)
    center_given, center_array = _as_real_array(center_name, center, dtype)
    if gap_array.ndim > max_ndim:
        raise ValueError(f"{gap_name} must be 1-D, not {gap_array.ndim}-D")
    rows = gap_array.shape[:-1]
    width = gap_array.shape[-1]
    if width < (2 if per_center else 1):
        raise ValueError(f"{gap_name} must hold at least "
                         f"{'two values' if per_center else 'one mass'}"
                         f"{' per row' if rows else ''}, not {width}")
    if center_array.ndim > gap_array.ndim:
        raise ValueError(f"{center_name} must be 1-D for a 1-D {gap_name}, "
                         f"not {center_array.ndim}-D")
    want = width if per_center else width + 1
    rule = f"len({gap_name})" if per_center else f"len({gap_name}) + 1"
    if center_array.ndim == 1 and center_array.shape[0] != want:
        per_row = f" per row of {gap_name}" if rows else ""
        raise ValueError(f"{center_name} must have {rule} = {want} elements{per_row}, "
                         f"not {center_array.shape[0]}")
    if center_array.ndim == 2 and center_array.shape != rows + (want,):
        raise ValueError(f"{center_name} must be 1-D of length {want} or of shape "
                         f"{rows + (want,)} for {gap_name} of shape {gap_array.shape}, "
                         f"not {center_array.shape}")
    _check_finite(center_name, center_given, center_array, row_offset)
    _check_finite(gap_name, gap_given, gap_array, row_offset)
    _check_increasing(center_name, center_array, row_offset)
    if nonnegative:
        negative = gap_array < 0
        if negative.any():
            k = int(np.argmax(negative.ravel()))
            raise ValueError(f"{gap_name}{_where(gap_array.shape, k, row_offset)} = "
                             f"{gap_array.ravel()[k]!r} is negative")
    return center_array, gap_array


def check_method(method: str) -> str:
    """The name of `method`'s solver in ``zelvane.bake``; ValueError naming the choices."""
    if not isinstance(method, str) or method not in METHODS:
        choices = " or ".join(repr(m) for m in METHODS)
        raise ValueError(f"method must be {choices}, not {method!r}")
    return METHODS[method]


def _check_workers(workers: int) -> int:
    try:
        count = operator.index(workers)
    except TypeError:
        raise ValueError(f"workers must be an integer, not {type(workers).__name__}") from None
    if count < 0:
        raise ValueError(f"workers must be 0 (one per core) or more, not {count}")
    return count


def _check_out(out: Any, shape: Tuple[int, ...], dtype: type) -> Any:
    if not isinstance(out, np.ndarray):
        raise ValueError(f"out must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype != np.dtype(dtype) or not out.dtype.isnative:
        raise ValueError(f"out must be of type {np.dtype(dtype).name} in native byte order, "
                         f"not {out.dtype.str}")
    if out.shape != shape:
        raise ValueError(f"out must have shape {shape}, not {out.shape}")
    if not out.flags.c_contiguous:
        raise ValueError("out must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError("out must be writable")
    return out


def _is_dask_array(value: object) -> bool:
    # Dask is loaded only by a caller that made a Dask array, so its absence
    # from sys.modules settles the question without importing it.
    if "dask.array" not in sys.modules:
        return False
    return isinstance(value, sys.modules["dask.array"].Array)


def _fit_checked(center: Float32Array, gap: Float32Array, method: str,
                 out: Optional[Float32Array], workers: int) -> Float32Array:
    """The native fit of checked, contiguous float32 input."""
    shape = gap.shape[:-1] + (gap.shape[-1] + 1,)
    result = np.empty(shape, np.float32) if out is None else out
    if out is not None and (np.may_share_memory(out, center) or np.may_share_memory(out, gap)):
        # Rows are written while others are still being read.
        center, gap = center.copy(), gap.copy()
    from zelvane import _rows

    getattr(_rows, method)(center, gap, result, workers)
    return result


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
        computed chunk by chunk (every chunk holding whole rows).
    method : {"iterative", "exact"}
        ``"iterative"`` relaxes the values towards the masses (the method
        of ``zelvane.bake.fitgapmass``); ``"exact"`` meets every mass exactly
        (that of ``zelvane.bake.fitgapmass_meh``) at the price of zig-zags,
        and gives negative values where no non-negative solution exists.
    out : numpy.ndarray, optional
        C-contiguous float32 array of the result's shape to fill and return.
    workers : int
        Native threads for a 2-D `gap`; 0 means one per core that this
        process may run on.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        float32 values, shape (m + 1,) or (rows, m + 1): `out` when given,
        otherwise a new array. Bit for bit what ``zelvane.bake`` writes for
        each row, though ``zelvane.bake`` is not used (it needs NumPy 1.x).

    Raises
    ------
    ValueError
        For an unknown method, a bad `out` or `workers`, or input that
        :func:`check_histogram` refuses; the message names the argument and
        the first offending index.

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
            raise ValueError("out cannot be given with a Dask array of masses")
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
        Finite values of the density at the centres.

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
    try:
        count = operator.index(refine)
    except TypeError:
        raise ValueError(f"refine must be an integer, not {type(refine).__name__}") from None
    if not 1 <= count <= MAX_REFINE:
        raise ValueError(f"refine must be from 1 to {MAX_REFINE}, not {count}")
    return count


def _aligned(array: Float64Array) -> Float64Array:
    # A contiguous array can still sit at an odd address (a view into bytes); the
    # native fit reads whole float64 elements.
    return array if array.flags.aligned else array.copy()


def smooth_checked(center: Float64Array, gap: Float64Array, refine: int, workers: int,
                   gap_name: str = "gap") -> Tuple[Float64Array, Float64Array]:
    """`fit_smooth` of float64 input that :func:`check_histogram` has passed with
    ``nonnegative=True``: refuses an all-zero histogram, then fits natively."""
    empty = ~(gap > 0).any(axis=-1)
    if empty.any():
        where = f"[{int(np.argmax(empty))}]" if gap.ndim == 2 else ""
        raise ValueError(f"{gap_name}{where} are all zero: a density needs a positive total mass")
    from zelvane import _rows

    center, gap = _aligned(center), _aligned(gap)
    bins = gap.shape[-1]
    knots = np.empty(center.shape[:-1] + (bins * refine + 1,), np.float64)
    _rows.smooth_knots(center, knots, refine)
    values = np.empty(gap.shape[:-1] + (bins * refine + 1,), np.float64)
    _rows.smooth(center, gap, values, refine, workers)
    return knots, values


def fit_smooth(
    center: ArrayLike,
    gap: ArrayLike,
    *,
    refine: int = 4,
    workers: int = 1,
) -> Tuple[Float64Array, Float64Array]:
    """The smoothest non-negative piecewise linear density with exactly the given masses.

    Every interval between neighbouring centres is cut into `refine` equal
    sub-intervals; the density is linear on each of them, carries the mass of
    every interval exactly (to float64 rounding), is nowhere negative, and of
    all such densities has the least curvature: the sum over the inner knots
    of the squared change of slope, each weighted by 2 / (sum of the widths on
    either side), a discrete integral of the squared second derivative. That
    density is unique; a single interval gets the flat one.

    Parameters
    ----------
    center : array_like, shape (m + 1,) or (rows, m + 1)
        Strictly increasing, finite bin edges, shared by every histogram (1-D)
        or one row per histogram (2-D, only with a 2-D `gap`).
    gap : array_like, shape (m,) or (rows, m)
        Non-negative mass of every interval, not all zero in any histogram.
    refine : int
        Sub-intervals per interval, 1 to 256. With 2 or more a fit always
        exists; with 1 the knots are the centres alone and some masses admit
        no non-negative density.
    workers : int
        Native threads sharing the histograms; 0 means one per core that this
        process may run on.

    Returns
    -------
    knots : numpy.ndarray
        New float64 array, shape (m * refine + 1,) or (rows, m * refine + 1)
        as `center`: knot ``i * refine + s`` is ``center[i] + (center[i + 1] -
        center[i]) * (s / refine)``.
    values : numpy.ndarray
        New float64 array of the density at the knots, shape
        (m * refine + 1,) or (rows, m * refine + 1) as `gap`.

    Raises
    ------
    ValueError
        Naming the argument and the first offending index (and the row, for a
        batch): input that :func:`check_histogram` refuses, negative masses, a
        histogram without mass, `refine` or `workers` out of range, masses that
        no density fits with ``refine=1``, and intervals too narrow to cut or
        magnitudes beyond float64's range.
    RuntimeError
        If the solver reaches its bound on iterations or cannot confirm its
        answer; neither is known to happen.

    Examples
    --------
    >>> import numpy as np
    >>> import zelvane
    >>> knots, values = zelvane.fit_smooth([0, 1, 2, 4], [1, 2, 1], refine=2)
    >>> knots
    array([0. , 0.5, 1. , 1.5, 2. , 3. , 4. ])
    >>> np.round(values, 4)
    array([0.093 , 1.0305, 1.8459, 2.1731, 1.8079, 0.096 , 0.    ])
    >>> zelvane.trapezoid_masses(knots, values).reshape(3, 2).sum(axis=1)
    array([1., 2., 1.])
    """
    count = _check_workers(workers)
    r = _check_refine(refine)
    center64, gap64 = check_histogram(center, gap, nonnegative=True, dtype=np.float64)
    return smooth_checked(center64, gap64, r, count)
