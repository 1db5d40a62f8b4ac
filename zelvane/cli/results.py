"""What a command fitted: every method's fit of every histogram, row by row.

A result names, for every histogram, its edges and masses (as read, float64, when the
smooth fit is among the methods; as the iterative and exact fits alone saw them,
float32, otherwise) and, for every method, the fitted values and the masses that those
values reproduce (float64). The iterative and exact fits have their values at the
edges (float32); the smooth fit cuts every bin into ``refine`` pieces and has its
values (float64) at those finer knots, and keeps the :class:`zelvane.SmoothFit` of
each chunk of rows for its smoothing, tails and densities. With ``--bands`` the smooth fit
has a :class:`Band` too: the confidence interval of every value and fitted mass.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Tuple

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from zelvane import PiecewiseLinearDensity, SmoothFit


class TailRow(NamedTuple):
    """A tail of one histogram: ``kind`` (``"pareto"`` or ``"exponential"``), the edge
    where it joins the body, its mass, its parameter and how the fit chose that
    (``zelvane.Tail.chosen``: ``"brackets"``, ``"prior"``, ``"mean"``, ...)."""

    kind: str
    joint: float
    mass: float
    parameter: float
    chosen: str = "given"


class Band(NamedTuple):
    """The smooth fit's confidence band at ``level``: the low and high ends of the
    interval of every fitted value (shaped like the values) and of every fitted mass
    (shaped like the masses), in the units of the fit (the total of the masses given);
    ``intervals``, each histogram's ``zelvane.Confidence`` for the first few (what a plot
    shows), for the band beyond the knots (the tails)."""

    level: float
    values_low: npt.NDArray[np.float64]
    values_high: npt.NDArray[np.float64]
    masses_low: npt.NDArray[np.float64]
    masses_high: npt.NDArray[np.float64]
    intervals: Tuple[Any, ...] = ()


class SmoothRow(NamedTuple):
    """What the smooth fit of one histogram chose and found."""

    smoothing: float
    edf: float
    deviance: float
    left_tail: Optional[TailRow]
    right_tail: Optional[TailRow]


def _item(value: Any, k: int) -> Any:
    """Row ``k`` of a per-row attribute, or the attribute itself when every row shares it."""
    import numpy as np

    return value if np.ndim(value) == 0 else value[k]


def _tail_row(tail: Any, k: int) -> Optional[TailRow]:
    if tail is None:
        return None
    kind = _item(tail.kind, k)
    if kind is None or kind == "none":  # no tail where the open bin is empty
        return None
    joint, mass, parameter = (float(_item(getattr(tail, name), k))
                              for name in ("joint", "mass", "parameter"))
    return TailRow(str(kind), joint, mass, parameter,
                   str(_item(getattr(tail, "chosen", "given"), k)))


@dataclass(frozen=True)
class MethodFit:
    """One method's fit of every histogram and the masses it reproduces
    (float64, shaped like the masses). ``values`` are at the edges (float32),
    or, for a fit that cuts every bin into ``refine`` sub-intervals, at its
    ``knots`` (float64, shaped like the edges but ``refine`` times finer; with
    open ends, of the bins between the finite edges alone). The smooth fit keeps
    ``zelvane.fit_smooth``'s results in ``raw``, each with the first row it
    fitted, and ``open_ends`` says whether the bins run to -inf and to inf."""

    method: str
    values: npt.NDArray[Any]
    fitted_masses: npt.NDArray[np.float64]
    knots: Optional[npt.NDArray[np.float64]] = None
    refine: int = 1
    raw: Tuple[Tuple[int, SmoothFit], ...] = ()
    open_ends: Tuple[bool, bool] = (False, False)
    band: Optional[Band] = None

    @property
    def edge_values(self) -> npt.NDArray[Any]:
        """The values at the edges alone."""
        return self.values if self.refine == 1 else self.values[..., ::self.refine]

    def smooth_row(self, k: int) -> SmoothRow:
        """The smoothing, degrees of freedom, deviance and tails of histogram ``k``."""
        start, result = next((start, result) for start, result in reversed(self.raw)
                             if start <= k)
        i = k - start
        return SmoothRow(float(_item(result.smoothing, i)), float(_item(result.edf, i)),
                         float(_item(result.deviance, i)), _tail_row(result.left_tail, i),
                         _tail_row(result.right_tail, i))


class FitRow(NamedTuple):
    """One method's fit of one histogram, with its band where it has one (the low and
    high values, then the low and high masses)."""

    knots: npt.NDArray[Any]
    values: npt.NDArray[Any]
    fitted_masses: npt.NDArray[np.float64]
    refine: int
    band: Optional[Tuple[npt.NDArray[np.float64], ...]] = None


@dataclass(frozen=True)
class Result:
    """The fitted problem and each method's fit. ``edges`` is 1-D when the
    histograms share it, ``masses`` 1-D for a single histogram."""

    edges: npt.NDArray[Any]
    masses: npt.NDArray[Any]
    fits: Tuple[MethodFit, ...]

    @property
    def count(self) -> int:
        return 1 if self.masses.ndim == 1 else int(self.masses.shape[0])

    @property
    def refine(self) -> int:
        """The finest cut of the bins among the fits."""
        return max(f.refine for f in self.fits)

    @property
    def open_ends(self) -> Tuple[bool, bool]:
        return self.fits[0].open_ends

    def row(self, k: int) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.float32],
                                   List[FitRow]]:
        """Edges, masses and each method's fit of histogram ``k``."""
        def pick(array: npt.NDArray[Any], shared: bool) -> npt.NDArray[Any]:
            return array if shared else array[k]

        single = self.masses.ndim == 1
        edges = pick(self.edges, self.edges.ndim == 1)
        fits = [FitRow(edges if f.knots is None else pick(f.knots, f.knots.ndim == 1),
                       pick(f.values, single), pick(f.fitted_masses, single), f.refine,
                       None if f.band is None else tuple(pick(a, single) for a in f.band[1:5]))
                for f in self.fits]
        return edges, pick(self.masses, single), fits

    def names(self, what: str) -> List[str]:
        """Column or array names of a per-method quantity ``what``."""
        if len(self.fits) == 1:
            return [what]
        return [f"{what}_{f.method}" for f in self.fits]



def density_of(result: Result, k: int) -> PiecewiseLinearDensity:
    """The density of the smooth fit of histogram ``k``, tails and all, for a plot or a
    summary: made from the fit that the result holds, not fitted again."""
    method_fit = next(f for f in result.fits if f.raw)
    start, fitted = next((start, fitted) for start, fitted in reversed(method_fit.raw)
                         if start <= k)
    return fitted.density(None if result.masses.ndim == 1 else k - start)


def with_band(result: Result, level: float, margins: Optional[npt.NDArray[Any]],
              margin_level: float, workers: int, kept: int = 0) -> Result:
    """The result with the smooth fit's :class:`Band` at `level`: from each chunk's
    ``SmoothFit.confidence``, with the standard errors of `margins` (margins of error at
    `margin_level`, shaped like the masses) where the input has them, else from what the
    fit was given (counts as a sample of their sum or the sample size; exact masses). The
    intervals of the first `kept` histograms are kept in the band."""
    import dataclasses

    import numpy as np

    from zelvane import margin_to_se

    index, method_fit = next((i, f) for i, f in enumerate(result.fits) if f.raw)
    values_low = np.empty(method_fit.values.shape)
    values_high = np.empty(method_fit.values.shape)
    masses_low = np.empty(method_fit.fitted_masses.shape)
    masses_high = np.empty(method_fit.fitted_masses.shape)
    single = result.masses.ndim == 1
    kept_intervals = []
    for start, fitted in method_fit.raw:
        rows = 1 if single else int(fitted.values.shape[0])
        se = None
        if margins is not None:
            chosen = np.asarray(margins, dtype=np.float64)
            se = margin_to_se(chosen if single else chosen[start:start + rows], margin_level)
        # A seed per chunk of rows: rows of different chunks draw from different streams.
        intervals = fitted.confidence(level, standard_errors=se, seed=start, workers=workers)
        for i in range(rows):
            k = start + i
            edges, masses, fit_rows = result.row(k)
            fit_row = fit_rows[index]
            one = intervals if single else intervals[i]
            if k < kept:
                kept_intervals.append(one)
            total = float(np.sum(masses))
            at = slice(None) if single else k
            low, high = one.pdf(np.asarray(fit_row.knots, dtype=np.float64))
            values_low[at], values_high[at] = low * total, high * total
            low, high = one.masses(np.asarray(edges, dtype=np.float64))
            masses_low[at], masses_high[at] = low * total, high * total
    band = Band(level, values_low, values_high, masses_low, masses_high,
                tuple(kept_intervals))
    fits = list(result.fits)
    fits[index] = dataclasses.replace(method_fit, band=band)
    return dataclasses.replace(result, fits=tuple(fits))
