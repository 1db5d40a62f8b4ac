"""Fits of a Dask array of masses: one task per chunk of whole rows, each on the
same native path as a NumPy batch (zelvane._rows).

What can be checked without computing (dimensions, lengths, a shared centre
vector) is checked when the graph is built; the values of every chunk are
checked in its task, and its InputError carries the row as numbered in the
whole array.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, cast

import numpy as np

from zelvane._errors import InputError
from zelvane._fit import _fit_checked, check_histogram, check_real, check_unmasked

if TYPE_CHECKING:
    from dask.array.core import Array as DaskArray

    from zelvane._fit import Float32Array


def _dask_array() -> Any:
    try:
        import dask.array
    except ImportError as error:  # pragma: no cover - dask is installed for the tests
        raise ImportError("fitting a Dask array needs dask: pip install 'zelvane[dask]'") \
            from error
    return dask.array


def _fit_block(gap: Float32Array, first_row: Any, center: Optional[Float32Array] = None, *,
               shared_center: Any, method: str, workers: int) -> Float32Array:
    """The fit of one chunk of whole rows; `first_row` holds its first row's number."""
    first = int(np.asarray(first_row).ravel()[0])
    try:
        center32, gap32 = check_histogram(shared_center if center is None else center, gap)
        return _fit_checked(center32, gap32, method, None, workers)
    except InputError as error:
        raise error.shifted(first) from None


def fit_blocks(center: Any, lazy_gap: Any, method: str, workers: int) -> "DaskArray":
    """A Dask array of float32 values, one chunk of rows for every chunk of `gap`'s rows.

    `center` is 1-D (shared, any array-like) or 2-D (a NumPy or Dask array with
    one row per row of `gap`). Chunks along the masses are joined first, so
    that every chunk holds whole rows.
    """
    da = _dask_array()
    gap: Any = lazy_gap  # Dask's own annotations are partial
    if gap.ndim not in (1, 2):
        raise InputError("ndim", argument="gap", ndim=gap.ndim, allowed=(1, 2))
    check_real("gap", gap.dtype)
    m = gap.shape[-1]
    if not isinstance(m, int):
        raise InputError("unknown_length", argument="gap")
    options = {"method": method, "workers": workers, "dtype": np.float32, "concatenate": True,
               "meta": np.empty((0,) * gap.ndim, np.float32), "align_arrays": False}
    check_unmasked("center", center)
    center_array: Any = center if isinstance(center, da.Array) else np.asarray(center)
    if gap.ndim == 1:
        shared, _ = check_histogram(np.asarray(center_array), np.zeros(m, np.float32))
        lazy = da.blockwise(_fit_block, "i", gap.rechunk(-1), "i", 0, None, shared_center=shared,
                            adjust_chunks={"i": m + 1}, **options)
        return cast("DaskArray", lazy)
    gap = gap.rechunk({1: -1})
    # The number of every chunk's first row, for messages about its values.
    first_rows = da.from_array(np.cumsum((0,) + gap.chunks[0][:-1]), chunks=1)
    if center_array.ndim == 1:
        shared, _ = check_histogram(np.asarray(center_array), np.zeros((1, m), np.float32))
        lazy = da.blockwise(_fit_block, "ij", gap, "ij", first_rows, "i", shared_center=shared,
                            adjust_chunks={"j": m + 1}, **options)
        return cast("DaskArray", lazy)
    if center_array.ndim != 2 or center_array.shape != (gap.shape[0], m + 1):
        raise InputError("shape", argument="center", shape=center_array.shape,
                         expected=((m + 1,), (gap.shape[0], m + 1)), other="gap",
                         other_shape=gap.shape)
    if not isinstance(center_array, da.Array):
        center_array = da.from_array(center_array, chunks=(gap.chunks[0], -1))
    center_array = center_array.rechunk((gap.chunks[0], -1))
    # Masses and centres meet row chunk by row chunk; their columns differ in number.
    lazy = da.blockwise(_fit_block, "ij", gap, "ik", first_rows, "i", center_array, "ij",
                        shared_center=None, **options)
    return cast("DaskArray", lazy)
