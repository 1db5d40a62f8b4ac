"""Fitting piecewise linear densities to interval masses, and checking a fit.

:func:`fit_density` fits by the methods of ``zelvane.bake`` (``"iterative"``,
``"exact"``), with their bits; :func:`trapezoid_masses` gives the masses of a
density's values back. The arguments are checked and converted by
``zelvane._checks``, whose :class:`~zelvane.InputError` names the argument, the
first offending index and row, and the value there; the native rows module
then fits one histogram (as a batch of one) or a 2-D batch through
``zelvane._native``, and a Dask array goes to ``zelvane._dask`` in chunks of
whole rows, each chunk on the same native path. Nothing here loads
``zelvane.bake`` itself, which works with NumPy 1.x alone.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Union, overload

import numpy as np
import numpy.typing as npt

from zelvane import _dask, _native
from zelvane._checks import (check_choice, check_histogram, check_out, check_rows,
                             check_unmasked, check_workers)
from zelvane._errors import InputError

if TYPE_CHECKING:
    from dask.array.core import Array as DaskArray

    # Subscripted NumPy types exist at run time only from Python 3.9 on.
    Float32Array = npt.NDArray[np.float32]
    Float64Array = npt.NDArray[np.float64]

__all__ = ["fit_density", "trapezoid_masses", "METHODS"]

#: Solver of each method in zelvane.bake, whose bits the rows module gives; the
#: rows module names its entry points after the methods.
METHODS = {"iterative": "fitgapmass", "exact": "fitgapmass_meh"}

ArrayLike = npt.ArrayLike


def fit_checked(center: Float32Array, gap: Float32Array, method: str,
                out: Optional[Float32Array], workers: int) -> Float32Array:
    """The native fit of checked, contiguous float32 input, refused (``"fit_overflow"``)
    where its values leave float32's range. Checked centres leave no zero width: float32
    centres that differ never subtract to zero."""
    shape = gap.shape[:-1] + (gap.shape[-1] + 1,)
    result = np.empty(shape, np.float32) if out is None else out
    if out is not None and (np.may_share_memory(out, center) or np.may_share_memory(out, gap)):
        # Rows are written while others are still being read.
        center, gap = center.copy(), gap.copy()
    _native.fit_values(method, center, gap, result, workers)
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
        process may run on, up to 1024 (``zelvane.MAX_WORKERS``);
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
        :func:`~zelvane._checks.check_histogram` refuses; its fields name the argument, the
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
    check_choice("method", method, tuple(METHODS))
    count = check_workers(workers)
    if _dask.is_dask_array(gap):
        if out is not None:
            raise InputError("with_dask", argument="out")
        return _fit_lazy(center, gap, method, count)
    center32, gap32 = check_histogram(center, gap)
    if out is not None:
        out = check_out(out, gap32.shape[:-1] + (gap32.shape[-1] + 1,), np.float32)
    return fit_checked(center32, gap32, method, out, count)


def _fit_chunk(gap: Any, *, center: Any, method: str, workers: int) -> Float32Array:
    """The fit of one chunk of whole rows of a Dask array, with its centres (the shared
    ones, or the chunk's rows of centres of their own)."""
    center32, gap32 = check_histogram(center, gap)
    return fit_checked(center32, gap32, method, None, workers)


def _fit_lazy(center: Any, lazy_gap: Any, method: str, workers: int) -> DaskArray:
    """A Dask array of float32 values, one chunk of rows for every chunk of `gap`'s rows.

    `center` is 1-D (shared, any array-like) or 2-D (a NumPy or Dask array with one row
    per row of `gap`); a shared one is checked now, centres of their own in each task.
    Chunks along the masses are joined first, so that every chunk holds whole rows.
    """
    gap, m = _dask.whole_rows(lazy_gap, "gap")
    check_unmasked("center", center)
    center_array: Any = center if _dask.is_dask_array(center) else np.asarray(center)
    fit = dict(fit=_fit_chunk, gap=gap, width=m + 1, dtype=np.float32, method=method,
               workers=workers)
    if gap.ndim == 1 or center_array.ndim == 1:
        shared, _ = check_histogram(np.asarray(center_array),
                                    np.zeros((1, m) if gap.ndim == 2 else (m,), np.float32))
        return _dask.map_rows(per_row={}, center=shared, **fit)
    check_rows("center", center_array.shape, gap.shape[0], (m + 1,), other="gap",
               other_shape=gap.shape)
    return _dask.map_rows(per_row={"center": center_array}, **fit)


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

