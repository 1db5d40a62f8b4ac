"""Fits of a Dask array of masses: one task per chunk of whole rows, each on the
same native path as a NumPy batch, for every fit of the package.

A fitting module checks what can be checked without computing (dimensions,
lengths, a shared centre vector, settings given as numbers) when the graph is
built, then hands :func:`map_rows` its function that fits one chunk of rows:
that function checks the chunk's values and fits them, and its InputError
carries the row as numbered in the whole array. Arguments with one entry per
row (centres of their own, a sample size or a mean per row) are cut into the
same chunks of rows as the masses. Dask itself is imported only once a Dask
array is at hand.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any, Callable, Mapping, Tuple, cast

import numpy as np

from zelvane._checks import check_lazy_masses
from zelvane._errors import InputError

if TYPE_CHECKING:
    from dask.array.core import Array as DaskArray


def is_dask_array(value: object) -> bool:
    """Whether `value` is a Dask array. Dask is loaded only by a caller that made a Dask
    array, so its absence from sys.modules settles the question without importing it."""
    if "dask.array" not in sys.modules:
        return False
    return isinstance(value, sys.modules["dask.array"].Array)


def dask_array() -> Any:
    """The ``dask.array`` module, or an ImportError that names the extra to install."""
    try:
        import dask.array
    except ImportError as error:  # pragma: no cover - dask is installed for the tests
        raise ImportError("fitting a Dask array needs dask: pip install 'zelvane[dask]'") \
            from error
    return dask.array


def computed(*values: Any) -> Tuple[Any, ...]:
    """`values` with every Dask array among them computed, all in one pass over the graph;
    the rest as they are."""
    if not any(is_dask_array(value) for value in values):
        return values
    import dask

    compute: Any = getattr(dask, "compute")
    return tuple(compute(*values))


def whole_rows(lazy_gap: Any, name: str, ndims: Tuple[int, ...] = (1, 2)) -> Tuple[Any, int]:
    """(`lazy_gap` with every chunk holding whole rows, its number of masses per row),
    refused as :func:`~zelvane._checks.check_lazy_masses` refuses it."""
    gap: Any = lazy_gap  # Dask's own annotations are partial
    m = check_lazy_masses(gap, name, ndims)
    return gap.rechunk(-1 if gap.ndim == 1 else {1: -1}), m


def per_row_chunks(value: Any, gap: Any) -> Any:
    """`value` (a NumPy or Dask array with one entry or one row per row of `gap`) as a
    Dask array cut into `gap`'s chunks of rows."""
    da = dask_array()
    chunks = (gap.chunks[0],) + (-1,) * (value.ndim - 1)
    if isinstance(value, da.Array):
        return value.rechunk(chunks)
    return da.from_array(value, chunks=chunks)


def _fit_chunk(gap: Any, first_row: Any, *per_row: Any, fit: Callable[..., Any],
               names: Tuple[str, ...], **settings: Any) -> Any:
    """`fit` of one chunk of whole rows; `first_row` holds its first row's number, and
    an InputError about the chunk names the row as the whole array numbers it."""
    first = int(np.asarray(first_row).ravel()[0])
    try:
        return fit(gap, **dict(zip(names, per_row)), **settings)
    except InputError as error:
        raise error.shifted(first) from None


def map_rows(fit: Callable[..., Any], gap: Any, *, width: int, dtype: type,
             per_row: Mapping[str, Any], **settings: Any) -> DaskArray:
    """A Dask array of `width` numbers of `dtype` for every row of `gap`: one task per
    chunk of rows, each ``fit(chunk, **rows_of_per_row, **settings)``.

    `gap` comes from :func:`whole_rows`; `per_row` maps keyword names to arrays with one
    entry or one row per row of a 2-D `gap` (none for a 1-D one, a single histogram).
    `fit` must be a function of a module, so that processes of a cluster find it.
    """
    da = dask_array()
    options = {"fit": fit, "names": tuple(per_row), "dtype": dtype, "concatenate": True,
               "meta": np.empty((0,) * gap.ndim, dtype), "align_arrays": False, **settings}
    if gap.ndim == 1:
        lazy = da.blockwise(_fit_chunk, "i", gap, "i", 0, None, adjust_chunks={"i": width},
                            **options)
        return cast("DaskArray", lazy)
    # The number of every chunk's first row, for messages about its values.
    first_rows = da.from_array(np.cumsum((0,) + gap.chunks[0][:-1]), chunks=1)
    arguments = []
    for k, value in enumerate(per_row.values()):
        # Rows meet row chunk by row chunk; a per-row array's columns are its own.
        arguments += [per_row_chunks(value, gap), "i" if value.ndim == 1 else "i" + "klmnopq"[k]]
    lazy = da.blockwise(_fit_chunk, "ij", gap, "ij", first_rows, "i", *arguments,
                        adjust_chunks={"j": width}, **options)
    return cast("DaskArray", lazy)
