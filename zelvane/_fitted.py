"""How ``PiecewiseLinearDensity.from_masses`` and ``from_histogram`` fit a density.

The policy of the two constructors lives here, the density class delegating to it:
the choice of method (:data:`FIT_METHODS`, the smooth fit by default), the smooth
fit's settings refused with another method, counts told from shares, the fit itself
(``zelvane.fit_smooth`` for the smooth method, whose :meth:`SmoothFit.density` gives
the density; the float32 fit of ``zelvane.fit_density`` for the others), a float32
fit refused where it has values below zero beyond its rounding, and what the density
records of its fit (``method``, ``smoothing``, ``edf``, ``mass_error``, and for the smooth
fit what it was given: the source of its confidence intervals).
"""

from __future__ import annotations

from typing import Any, Dict, Optional, Union

import numpy as np
import numpy.typing as npt

from zelvane import _batch_intervals, _confidence
from zelvane._checks import (as_array, check_choice, check_counts, check_histogram,
                             check_mean_se, check_smoothing, check_standard_errors, open_sides,
                             whole_numbers)
from zelvane._density import PiecewiseLinearDensity
from zelvane._errors import InputError
from zelvane._fit import METHODS, fit_checked
from zelvane._inputs import bin_masses, counts_and_edges
from zelvane._native import AUTO_SMOOTHING
from zelvane._smooth import fit_smooth

__all__ = ["FIT_METHODS", "from_masses", "from_histogram", "confidence", "fit_confidence"]

#: The fits that `PiecewiseLinearDensity.from_masses` and `from_histogram` offer: the
#: smooth fit (``zelvane.fit_smooth``, the default) and the methods of
#: ``zelvane.fit_density``.
FIT_METHODS = ("smooth", *METHODS)


def from_histogram(counts: Any, edges: Optional[npt.ArrayLike], method: str, refine: int,
                   smoothing: Union[str, float], sample_size: Optional[float],
                   mean: Optional[float], density: bool = False, standard_errors: Any = None,
                   mean_se: Optional[float] = None, **tails: Any) -> PiecewiseLinearDensity:
    """``PiecewiseLinearDensity.from_histogram``: the counts (or, with `density`, the
    densities) and edges of a histogram however it is held (``zelvane._inputs``), fitted
    as masses named ``counts`` and ``edges``; whole numbers are counts of a sample;
    `tails` are the tails' settings (``tail``, ``upper``, ``lower``)."""
    values, knots = counts_and_edges(counts, edges)
    masses = bin_masses(values, knots, density, smoothing, sample_size)
    return from_masses(knots, masses, method, refine, "edges", "counts", smoothing, sample_size,
                       mean, standard_errors, mean_se, histogram=True, **tails)


def from_masses(center: npt.ArrayLike, gap: npt.ArrayLike, method: str, refine: int,
                center_name: str, gap_name: str, smoothing: Union[str, float] = 0,
                sample_size: Optional[float] = None, mean: Optional[float] = None,
                standard_errors: Any = None, mean_se: Optional[float] = None, *,
                histogram: bool = False, **tails: Any) -> PiecewiseLinearDensity:
    """``PiecewiseLinearDensity.from_masses``, its arguments named in messages as
    `center_name` and `gap_name`; `tails` as in :func:`from_histogram`."""
    if method == "smooth":
        return _smooth_density(center, gap, refine, center_name, gap_name, smoothing,
                               sample_size, mean, standard_errors, mean_se, histogram, tails)
    check_choice("method", method, FIT_METHODS)
    # The smooth fit's settings are refused unless they are their defaults: no
    # smoothing (0) or the automatic one, no sample size, no mean, no tails and the
    # bottom bin's automatic shape.
    bottom = tails.pop("bottom", "auto")
    for name, given in (("smoothing", check_smoothing(smoothing) not in (0.0, AUTO_SMOOTHING)),
                        ("bottom", bottom != "auto"),
                        ("sample_size", sample_size is not None), ("mean", mean is not None),
                        ("standard_errors", standard_errors is not None),
                        ("mean_se", mean_se is not None),
                        *((name, value is not None) for name, value in tails.items())):
        if given:
            raise InputError("smooth_only", argument=name, method=method)
    edge_array = as_array(center_name, center)
    if edge_array.ndim == 1 and edge_array.size and edge_array.dtype.kind == "f" and \
            any(open_sides(edge_array)):
        raise InputError("smooth_only", argument=center_name, method=method)
    knots32, masses32 = check_histogram(center, gap, center_name=center_name,
                                        gap_name=gap_name, nonnegative=True, max_ndim=1)
    if not masses32.any():
        raise InputError("all_zero", argument=gap_name)
    others = tuple(m for m in FIT_METHODS if m != method)
    try:
        # The input is checked: the fit itself, without fit_density's checks again.
        fitted32 = fit_checked(knots32, masses32, method, None, 1)
    except InputError as refusal:
        # Only an overflow of the fit is left to refuse; named as the caller names it.
        raise refusal.replaced(argument=gap_name, others=others) from None
    values = fitted32.astype(np.float64)
    # The fit sees float32 centres and masses and works in float32, so a value that
    # should be zero can land below it (the exact fit's chain of differences does so
    # on most histograms). This bounds how far the rounding of the centres, of the
    # masses and of each step can carry a value along the chain of pair sums; only
    # what lies beyond it counts as a negative density.
    c, m = knots32.astype(np.float64), masses32.astype(np.float64)
    widths = np.diff(c)
    relative = 3.0 + (np.abs(c[:-1]) + np.abs(c[1:])) / widths
    rounding = float(np.finfo(np.float32).eps) * float(np.sum(2.0 * m / widths * relative))
    if (values < -rounding).any():
        i = int(np.argmax(values < -rounding))
        raise InputError("negative_fit", argument=gap_name, index=i, value=values[i],
                         method=method, others=others)
    # Checked above as the constructor would check them: the centres finite and
    # strictly increasing (in float32, so in float64 too), the values finite and,
    # once clipped, non-negative; the density refuses one without area.
    knots = np.asarray(center, dtype=np.float64)
    fitted = 0.5 * (values[:-1] + values[1:]) * widths
    error = float(np.max(np.abs(fitted - m))) / float(m.sum())
    return PiecewiseLinearDensity._from_fit(knots, np.maximum(values, 0.0), method=method,
                                            mass_error=error)


def _smooth_density(center: npt.ArrayLike, gap: npt.ArrayLike, refine: int, center_name: str,
                    gap_name: str, smoothing: Union[str, float], sample_size: Optional[float],
                    mean: Optional[float], standard_errors: Any, mean_se: Optional[float],
                    histogram: bool, tails: Dict[str, Any]) -> PiecewiseLinearDensity:
    """The smooth fit of one histogram, as a density with its tails, how it was fitted and
    what it was given (for its confidence intervals).

    With standard errors of the counts and no sample size, the smoothing criterion's N
    is the size of the multinomial sample whose shares vary as much in all."""
    given = as_array(gap_name, gap)
    if given.ndim != 1:
        raise InputError("ndim", argument=gap_name, ndim=given.ndim, allowed=(1,))
    se = None
    size = sample_size
    if standard_errors is not None:
        se = check_standard_errors(standard_errors, given, name="standard_errors")
        if size is None and check_smoothing(smoothing) != 0.0:
            size = _confidence.effective_size(np.asarray(given, dtype=np.float64), se)
    mean_error = check_mean_se(mean_se, mean)
    check_counts(given, smoothing, size, gap_name)
    density = fit_smooth(center, gap, refine=refine, smoothing=smoothing, sample_size=size,
                         mean=mean, center_name=center_name, gap_name=gap_name,
                         **tails).density()
    # What the fit was given, as the fit tells it, and what only this density knows.
    source = density._source
    if source is not None:
        source["counts"] = bool(source["counts"] or se is not None or
                                (histogram and whole_numbers(source["masses"])))
        source["standard_errors"] = se
        source["mean_se"] = mean_error
    return density


def confidence(density: PiecewiseLinearDensity, level: float, method: str, replicates: Any,
               seed: Any, workers: int) -> _confidence.Confidence:
    """``PiecewiseLinearDensity.confidence``: the intervals of a density fitted to data."""
    _confidence.check_options(level, method, replicates, workers)
    source = density._source
    if source is None:
        made = "built from knots and values" if density.method is None else \
            f"fitted by method={density.method!r}" if density.method != "smooth" else \
            "restored from a pickle, which holds the density alone"
        raise InputError("no_source", argument="confidence", made=made)
    return _confidence.confidence(_confidence.Source(**source), level, method=method,
                                  replicates=replicates, seed=seed, workers=workers)


def fit_confidence(fit: Any, level: float, standard_errors: Any, mean_se: Any, method: str,
                   replicates: Any, seed: Any, workers: int) -> Any:
    """``SmoothFit.confidence``: see ``zelvane._batch_intervals``."""
    return _batch_intervals.fit_confidence(fit, level, standard_errors, mean_se, method, replicates,
                                      seed, workers)
