"""Confidence intervals for every row of a batch fit: ``SmoothFit.confidence``.

Each row's :class:`~zelvane._confidence.Confidence` is made from what that row was given
(its masses, sample size, mean, and the standard errors given here), its bootstrap seeded
from the batch's seed. A fit in memory gives a :class:`RowsConfidence`; a fit of a Dask
array of masses a :class:`LazyRowsConfidence`, whose rows' intervals are made one task per
chunk of rows (the chunks of the masses), and whose methods return Dask arrays.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from zelvane import _dask
from zelvane._checks import check_mean_se, check_standard_errors
from zelvane._confidence import _NOT_SUMMARIES, Confidence, Source, check_options, confidence
from zelvane._density import PiecewiseLinearDensity
from zelvane._errors import InputError
from zelvane._smooth_rows import sources

__all__ = ["RowsConfidence", "LazyRowsConfidence", "fit_confidence", "row_seeds"]

Array = npt.NDArray[np.float64]


class RowsConfidence:
    """Confidence intervals for every row of a batch fit: each method of
    :class:`Confidence`, its ``low`` and ``high`` with one leading axis of rows.

    Indexing gives one row's :class:`Confidence`; ``len()`` is the number of rows.
    """

    def __init__(self, rows: Sequence[Confidence]) -> None:
        self._rows = list(rows)
        self.level = self._rows[0].level if self._rows else None

    def __len__(self) -> int:
        return len(self._rows)

    def __getitem__(self, row: int) -> Confidence:
        return self._rows[row]

    def __repr__(self) -> str:
        return f"RowsConfidence(level={self.level!r}, rows={len(self._rows)})"

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        if self._rows:
            getattr(self._rows[0], name)  # an AttributeError for what rows lack

        def interval(*args: Any, **kwargs: Any) -> Tuple[Array, Array]:
            pairs = [getattr(c, name)(*args, **kwargs) for c in self._rows]
            low = np.stack([np.asarray(p[0], dtype=np.float64) for p in pairs])
            high = np.stack([np.asarray(p[1], dtype=np.float64) for p in pairs])
            return low, high

        interval.__name__ = name
        return interval


class LazyRowsConfidence:
    """Confidence intervals for every row of a fit of a Dask array of masses, computed
    when asked: each method of :class:`Confidence` returns ``(low, high)``, two Dask
    arrays with one leading axis of rows, chunked as the masses' rows.

    Every chunk of rows makes its rows' :class:`Confidence` (their refits) in one task,
    which the intervals asked for together share: compute them in one call
    (``dask.compute(c.median(), c.gini())``), or :meth:`persist` first. ``confidences``
    is the Dask array (of objects) of every row's :class:`Confidence`; indexing computes
    one row's; ``len()`` is the number of rows.
    """

    def __init__(self, confidences: Any, level: float) -> None:
        self.confidences = confidences
        self.level = level

    def __len__(self) -> int:
        return int(self.confidences.shape[0])

    def __getitem__(self, row: int) -> Confidence:
        found: Confidence = self.confidences[row].compute()
        return found

    def __repr__(self) -> str:
        return f"LazyRowsConfidence(level={self.level!r}, rows={len(self)})"

    def persist(self) -> "LazyRowsConfidence":
        """The same intervals with every row's refits made now and kept (Dask's
        ``persist``)."""
        return LazyRowsConfidence(self.confidences.persist(), self.level)

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        if name not in _SHAPED and (not callable(getattr(PiecewiseLinearDensity, name, None))
                                    or name in _NOT_SUMMARIES):
            raise AttributeError(f"'LazyRowsConfidence' object has no attribute {name!r}")

        def interval(*args: Any, **kwargs: Any) -> Tuple[Any, Any]:
            shape = _SHAPED[name](args) if name in _SHAPED else ()
            both = self.confidences.map_blocks(
                _chunk_interval, summary=name, args=args, kwargs=kwargs, dtype=np.float64,
                new_axis=list(range(1, 2 + len(shape))),
                chunks=(self.confidences.chunks[0], (2,)) + tuple((n,) for n in shape),
                meta=np.empty((0,) * (2 + len(shape)), np.float64))
            return both[:, 0], both[:, 1]

        interval.__name__ = name
        return interval


def _argument_shape(given: Tuple[Any, ...]) -> Tuple[int, ...]:
    return tuple(np.shape(given[0]))


def _bins_shape(given: Tuple[Any, ...]) -> Tuple[int, ...]:
    return (max(int(np.size(given[0])) - 1, 0),)


def _no_shape(given: Tuple[Any, ...]) -> Tuple[int, ...]:
    return ()


#: The shape of one row's interval of each method (a measure not named here: a float).
_SHAPED: Dict[str, Callable[[Tuple[Any, ...]], Tuple[int, ...]]] = {
    **{name: _argument_shape for name in ("ppf", "cdf", "sf", "pdf", "lorenz", "top_share")},
    "masses": _bins_shape,
    **{name: _no_shape for name in ("median", "mean", "var", "std", "gini")}}


def _chunk_interval(confidences: Any, *, summary: str, args: Tuple[Any, ...],
                    kwargs: Dict[str, Any]) -> Array:
    """(rows, 2, ...): the low and high ends of the interval of `summary` for every row's
    Confidence of a chunk."""
    pairs = [getattr(c, summary)(*args, **kwargs) for c in confidences]
    return np.array([[np.asarray(p[0], dtype=np.float64), np.asarray(p[1], dtype=np.float64)]
                     for p in pairs], dtype=np.float64).reshape(
        (len(pairs), 2) + np.shape(pairs[0][0]) if pairs else (0, 2))


def _chunk_confidences(masses: Any, first_row: Any, seeds: Any, *per_row: Any,
                       names: Tuple[str, ...], given: Tuple[Any, ...], refine: int,
                       options: Dict[str, Any]) -> Any:
    """Every row's Confidence of one chunk of a lazy fit (an array of objects); an
    InputError names the row as the whole batch numbers it."""
    rows = dict(zip(names, per_row))
    edges, smoothing, sizes, means, tail, bottom = given
    fields = (rows.get("edges", edges), smoothing, rows.get("sample_size", sizes),
              rows.get("mean", means), tail, bottom, masses)
    first = int(np.asarray(first_row).ravel()[0])
    try:
        made = _rows_of(sources(fields, refine), True, rows.get("standard_errors"),
                        rows.get("mean_se", options["mean_se"]), seeds.tolist(),
                        **{k: v for k, v in options.items() if k != "mean_se"})
    except InputError as error:
        raise error.shifted(first) from None
    out = np.empty(len(made), dtype=object)
    out[:] = made
    return out


def fit_confidence(fit: Any, level: Any, standard_errors: Any, mean_se: Any, method: Any,
                   replicates: Any, seed: Any, workers: Any) -> Any:
    """``SmoothFit.confidence``: a Confidence for the fit of one histogram, a
    RowsConfidence (one per row) for a batch, a LazyRowsConfidence for a batch of a Dask
    array of masses (each row's bootstrap seeded as in memory)."""
    level, method, replicates, workers = check_options(level, method, replicates, workers)
    batch = fit.values.ndim == 2
    options = {"level": level, "method": method, "replicates": replicates, "workers": workers}
    if batch and fit._given is not None and _dask.is_dask_array(fit._masses):
        return _lazy_rows(fit, standard_errors, mean_se, seed, options)
    found = fit._sources()
    seeds = row_seeds(seed, len(found)) if batch else [seed]
    rows = _rows_of(found, batch, standard_errors, mean_se, seeds, **options)
    return RowsConfidence(rows) if batch else rows[0]


def row_seeds(seed: Any, rows: int) -> List[int]:
    """The bootstrap's seed of every row of a batch, made from `seed`."""
    return [int(s) for s in np.random.default_rng(seed).integers(0, 2 ** 63 - 1, size=rows)]


def _rows_of(found: List[Dict[str, Any]], batch: bool, standard_errors: Any, mean_se: Any,
             seeds: Sequence[Any], *, level: float, method: str, replicates: int,
             workers: int) -> List[Confidence]:
    """Every row's Confidence from what it was given (`found`, the fields of a Source), with
    the standard errors of the masses and of the mean given here."""
    if standard_errors is not None:
        se = check_standard_errors(standard_errors, np.stack([s["masses"] for s in found])
                                   if batch else found[0]["masses"], name="standard_errors")
        for k, source in enumerate(found):
            source["standard_errors"] = se[k] if batch else se
            source["counts"] = True
    if mean_se is not None:
        column = np.broadcast_to(np.asarray(mean_se, dtype=np.float64), (len(found),))
        for k, source in enumerate(found):
            source["mean_se"] = check_mean_se(float(column[k]), source["mean"])
    return [confidence(Source(**source), level, method=method, replicates=replicates,
                       seed=seeds[k], workers=workers) for k, source in enumerate(found)]


def _lazy_rows(fit: Any, standard_errors: Any, mean_se: Any, seed: Any,
               options: Dict[str, Any]) -> LazyRowsConfidence:
    """The LazyRowsConfidence of a batch fit of a Dask array of masses: one task per
    chunk of its rows, the per-row arguments cut alike."""
    da = _dask.dask_array()
    masses = fit._masses
    rows = int(masses.shape[0])
    edges, smoothing, sizes, means, tail, bottom = fit._given
    if standard_errors is not None and not _dask.is_dask_array(standard_errors):
        # Checked now, as the whole batch numbers its rows.
        standard_errors = check_standard_errors(standard_errors, np.ones(masses.shape),
                                                name="standard_errors")
    per_row = {"edges": edges if np.ndim(edges) == 2 else None,
               "sample_size": sizes if np.ndim(sizes) == 1 else None,
               "mean": means if np.ndim(means) == 1 else None,
               "standard_errors": standard_errors,
               "mean_se": mean_se if np.ndim(mean_se) == 1 else None}
    per_row = {name: value for name, value in per_row.items() if value is not None}
    options = dict(options, mean_se=None if "mean_se" in per_row else mean_se)
    first_rows = da.from_array(np.cumsum((0,) + masses.chunks[0][:-1]), chunks=1)
    seeds = da.from_array(np.array(row_seeds(seed, rows), dtype=np.int64),
                          chunks=(masses.chunks[0],))
    arguments: List[Any] = []
    for name, value in per_row.items():
        chunked = _dask.per_row_chunks(value if _dask.is_dask_array(value) else np.asarray(value),
                                       masses)
        arguments += [chunked, "ij" if chunked.ndim == 2 else "i"]
    given = (None if "edges" in per_row else edges, smoothing,
             None if "sample_size" in per_row else sizes, None if "mean" in per_row else means,
             tail, bottom)
    objects = da.blockwise(_chunk_confidences, "i", masses, "ij", first_rows, "i", seeds, "i",
                           *arguments, names=tuple(per_row), given=given,
                           refine=fit._refine, options=options, dtype=object,
                           concatenate=True, meta=np.empty((0,), dtype=object),
                           align_arrays=False)
    return LazyRowsConfidence(objects, options["level"])
