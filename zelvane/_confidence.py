"""Confidence intervals for every summary of a fitted density: the home of uncertainty.

A density fitted to a histogram (``PiecewiseLinearDensity.from_histogram``,
``from_masses``, or a row of ``zelvane.fit_smooth``) knows where its inputs came from:
a :class:`Source`. :func:`confidence` turns one into a :class:`Confidence`, whose
methods mirror the density's and return ``(low, high)``.

The inputs are the shares q of the bins (open ones included) and, where given, the
mean. Their uncertainty comes from the sources given:

- counts as a multinomial sample: Cov(q) = (diag(p) - p p') / N, p the fitted masses, N the
  sum of the counts or the sample size;
- standard errors of the counts (independent): Cov(q) = J diag(se^2) J', J = (I - q 1') / T,
  T the total (a published 90 % margin m is se = m / 1.645: :func:`margin_to_se`);
- exact masses: none;
- a published mean with its standard error: for a multinomial sample the mean of the same
  draws, whose covariance with the shares is p_i (mu_i - mu) / N (mu_i the fitted mean
  within bin i); with standard errors of the counts, independent of them.

Two ways carry them to a summary theta, each one native batch of fits with the chosen
smoothing held:

- ``"linear"``: the input covariance factored as A A' (eigenvectors, scaled), the fit
  redone at q + a_j for every column a_j (one standard deviation), theta's gradient along
  a_j by the forward difference, Var(theta) = sum_j g_j^2, and theta -+ z sd;
- ``"bootstrap"``: replicates drawn from the same sources (multinomial counts from the
  fitted masses, or normal shares), each refitted; the interval runs from the replicates'
  median down and up by a Student t quantile times the deviation of the replicates on
  that side (the root mean square of their distances below, and above, the median),
  with one degree of freedom fewer than the replicates on that side. The percentile
  interval needs a few hundred replicates before its ends settle; these use every
  replicate and follow a skewed spread as well with :data:`BOOTSTRAP_REPLICATES` of them
  (coverage on simulated counts, bench/margins.py);
- ``"auto"`` (the default): linear where the top is an open tail, the bootstrap where
  the last bin is closed, whose shape within (a bound active at its end or not) moves
  the mean, the Gini and the top shares by more than the first order sees (coverage on
  simulated counts, bench/margins.py).

Both take out the smoothing's bias (theta of the fit redone on its own fitted masses,
less theta: what smoothing once more moves), and widen each side in quadrature by model
terms, each theta at the two ends of a range of something the data cannot pin down:

- without a mean, the tail's extrapolation: its Pareto index (or exponential scale) on a
  log scale within :func:`tail_range`;
- with the automatic smoothing, the least and the most smoothing whose criterion
  (deviance + 3 edf) lies within :data:`SMOOTHING_RANGE` of the chosen one's.

Every fit is kept in a :class:`Stack`: densities on shared knots, each summary evaluated
for all of them at once in closed form.
"""

from __future__ import annotations

import math
import warnings
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from zelvane._checks import (as_float64, check_confidence_level, check_count, check_mean_se,
                             check_standard_errors, check_workers, check_choice)
from zelvane._density import PiecewiseLinearDensity
from zelvane._errors import ExtrapolationWarning, InputError
from zelvane._smooth import COMPLEXITY, fit_smooth
from zelvane._spread import spread_interval, z_of
from zelvane._stack import Stack, _Rows, quiet

__all__ = ["Confidence", "Source", "confidence", "margin_to_se",
           "CONFIDENCE_METHODS", "TAIL_SPREAD", "TAIL_FLOOR", "SMOOTHING_RANGE",
           "BOOTSTRAP_REPLICATES"]

Array = npt.NDArray[np.float64]

#: How :meth:`PiecewiseLinearDensity.confidence` may carry the inputs' uncertainty.
CONFIDENCE_METHODS = ("auto", "linear", "bootstrap")

#: The bootstrap's replicates unless asked for more or fewer.
BOOTSTRAP_REPLICATES = 50

#: The spread of the log tail index, as a multiple of how far the local index moves
#: over the last three bin pairs, and its floor (chosen on simulated income tails and
#: census tables, bench/margins.py).
TAIL_SPREAD = 0.75
TAIL_FLOOR = 0.09
#: Lowest Pareto index an extrapolated tail range reaches (the mean diverges at 1).
LOWEST_ALPHA = 1.02
#: The smoothings tried about the criterion's choice: a decade at a time down and up
#: from it, at most this many each way, while the criterion supports them (from a choice
#: of 0, the exact fit, upwards from 1e-9).
SMOOTHING_STEPS = 3
#: How far above the chosen smoothing's criterion a supported one may lie: the 0.9
#: quantile of chi-square with one degree of freedom (a profile interval for log lambda).
SMOOTHING_RANGE = 2.71


def margin_to_se(margins: npt.ArrayLike, level: float = 0.9) -> Any:
    """Standard errors from published margins of error at `level`.

    A margin of error is the half-width of a central normal interval: at 0.9 (the
    American Community Survey's level) ``se = margin / 1.645``. The result is what
    ``standard_errors=`` of ``PiecewiseLinearDensity.from_histogram`` and ``mean_se=``
    take.

    Parameters
    ----------
    margins : float or array_like
        Margins of error: finite and not negative.
    level : float
        The confidence level they were published at, in (0, 1).

    Returns
    -------
    float or numpy.ndarray
        A float for a scalar, an array of the same shape otherwise.

    Examples
    --------
    >>> import zelvane
    >>> round(zelvane.margin_to_se(1645.0), 3)
    1000.089
    >>> zelvane.margin_to_se([329.0, 0.0], level=0.9).round(2).tolist()
    [200.02, 0.0]
    """
    z = z_of(check_confidence_level(level))
    given = check_standard_errors(margins, None, name="margins")
    out = given / z
    return float(out) if out.ndim == 0 else out


# ------------------------------------------------------------------------------ the inputs

class Source(NamedTuple):
    """Where a fitted density's inputs came from, as its fit was given them.

    ``edges`` and ``masses`` are the histogram (open bins included); ``standard_errors``
    the counts' (None: none given); ``sample_size`` the number of observations given
    (None: the counts' sum, where they are counts); ``counts`` whether the masses are a
    sample at all (counts, or a sample size or standard errors given), not exact masses;
    ``mean`` and ``mean_se`` a known mean and its standard error (None: none, or held
    exactly); ``smoothing`` the fit's setting ("auto" or a number), ``refine`` its
    pieces per bin, ``tail`` its choice of tails and ``bottom`` the shape of its first
    bin (every refit makes the same).
    """

    edges: Array
    masses: Array
    standard_errors: Optional[Array]
    sample_size: Optional[float]
    counts: bool
    mean: Optional[float]
    mean_se: Optional[float]
    smoothing: Any
    refine: int
    tail: Any = None
    bottom: str = "auto"


def share_covariance(counts: Array, standard_errors: Array) -> Array:
    """Cov(q) of the shares of independent counts with these standard errors:
    J diag(se^2) J', J = (I - q 1') / T."""
    total = float(counts.sum())
    q = counts / total
    J = (np.eye(len(q)) - np.outer(q, np.ones(len(q)))) / total
    return np.asarray((J * standard_errors ** 2) @ J.T, dtype=np.float64)


def effective_size(counts: Array, standard_errors: Array) -> Optional[float]:
    """The size of the multinomial sample whose shares vary as much in all as these
    counts' do (sum q (1 - q) / trace Cov(q)): the smoothing criterion's N. None where
    the counts do not vary."""
    q = counts / float(counts.sum())
    spread = float(np.trace(share_covariance(counts, standard_errors)))
    return float(np.sum(q * (1 - q)) / spread) if spread > 0 else None


def local_alphas(shares: Array, edges: Array) -> Array:
    """Pareto indices of the last three pairs of a bin and all mass above it:
    (m + T) / T = (hi / lo) ** alpha, the last pair's being the fit's own interpolation."""
    above = np.cumsum(shares[::-1])[::-1]
    out = []
    k = len(shares)
    for j in (k - 2, k - 3, k - 4):
        if j < 0:
            out.append(np.nan)
            continue
        lo, hi = edges[j], edges[j + 1]
        top = above[j + 1]
        if not (lo > 0 and top > 0 and np.isfinite(hi)):
            out.append(np.nan)
            continue
        out.append(math.log((shares[j] + top) / top) / math.log(hi / lo))
    return np.array(out)


def tail_range(shares: Array, edges: Array, z: float, spread: float = TAIL_SPREAD,
               floor: float = TAIL_FLOOR) -> Tuple[float, float]:
    """How far the log tail index beyond an open top may lie below and above the fit's
    interpolated one, at the normal quantile `z`: `floor` (the spread of real tails
    about their interpolation) on either side, and towards where the local index is
    moving over the last three bin pairs, `spread` times that move, in quadrature."""
    a = local_alphas(shares, edges)
    trend = 0.0
    if np.all(np.isfinite(a)) and np.all(a > 0):
        trend = math.log(a[0] / a[2])
    up = z * math.hypot(floor, spread * max(trend, 0.0))
    down = z * math.hypot(floor, spread * max(-trend, 0.0))
    return down, up


def _factor(cov: Array, tolerance: float = 1e-12) -> Array:
    """A (n, r) with A A' = cov (the eigenvectors of the positive part, scaled)."""
    vals, vecs = np.linalg.eigh(0.5 * (cov + cov.T))
    top = float(vals.max()) if vals.size else 0.0
    keep = vals > tolerance * max(top, 0.0)
    if not top > 0:
        keep[:] = False
    return np.asarray(vecs[:, keep] * np.sqrt(vals[keep]), dtype=np.float64)


# ------------------------------------------------------------------------------ the object

#: Bounds of each summary's interval.
_BOUNDS = {"median": (-np.inf, np.inf), "mean": (-np.inf, np.inf), "var": (0.0, np.inf),
           "gini": (0.0, 1.0), "ppf": (-np.inf, np.inf), "cdf": (0.0, 1.0),
           "pdf": (0.0, np.inf), "lorenz": (0.0, 1.0), "top_share": (0.0, 1.0),
           "masses": (0.0, 1.0)}


class Confidence:
    """Confidence intervals for the summaries of one fitted density, at one level.

    Made by ``PiecewiseLinearDensity.confidence``. Every method mirrors the density's
    method of the same name and returns ``(low, high)``: two floats for a summary or a
    scalar argument, two arrays of the argument's shape for array input (``masses``:
    one per bin of the edges given). The intervals are of the density's summaries as
    estimates of the population's: what the inputs' sampling (counts, standard errors, a
    mean's standard error) leaves open, the smoothing's bias taken out, widened where the
    model leaves something open (the tail beyond an open top without a mean, the choice
    of smoothing). A summary the data cannot bound (a mean whose tail range reaches a
    Pareto index of 1) has ``high = inf``.

    Besides the methods below, any inequality measure the density has that returns a
    float (``theil``, ``mld``, ``atkinson(e)``, ``palma()``, ...) is offered too,
    evaluated on every fit behind the interval.

    Attributes
    ----------
    level : float
        The confidence level of every interval.
    method : str
        ``"linear"`` or ``"bootstrap"``: how it was made.
    info : dict
        What the construction found: ``smoothing`` and ``edf`` of the point fit, ``n``
        (the sample size, inf for exact masses), ``fits`` (how many fits the intervals
        rest on), ``tail_range`` (the tail parameters at the two ends, where one was
        used), ``smoothing_range`` (the least and most smoothing the criterion supports,
        where more than the chosen one).
    """

    def __init__(self, stack: Stack, level: float, method: str, *, plus: Sequence[int] = (),
                 replicates: Sequence[int] = (), bias: Optional[int] = None,
                 ranges: Sequence[Tuple[int, int]] = (),
                 info: Optional[Dict[str, Any]] = None) -> None:
        self._stack = stack
        self.level = level
        self.method = method
        self._z = z_of(level)
        self._plus = np.asarray(plus, int)
        self._replicates = np.asarray(replicates, int)
        self._bias = bias
        self._ranges = [tuple(pair) for pair in ranges]
        self.info = dict(info or {})
        self.info["fits"] = stack.rows
        self._densities: Optional[List[PiecewiseLinearDensity]] = None

    def __repr__(self) -> str:
        return (f"Confidence(level={self.level!r}, method={self.method!r}, "
                f"fits={self._stack.rows})")

    def _sampling(self, values: Array) -> Tuple[Array, Array]:
        """The interval of the sampling part alone, the smoothing's bias taken out (so
        it need not hold the estimate)."""
        theta = values[0]
        shift = np.zeros_like(theta)
        if self._bias is not None:
            moved = values[self._bias] - theta
            shift = np.where(np.isfinite(moved), moved, 0.0)
        if self._replicates.size:
            low, high = spread_interval(values[self._replicates], self.level)
            return low - shift, high - shift
        half = np.zeros_like(theta)
        if self._plus.size:
            grad = values[self._plus] - theta
            grad = np.where(np.isfinite(grad), grad, 0.0)
            half = self._z * np.sqrt((grad ** 2).sum(axis=0))
        return theta - shift - half, theta - shift + half

    def _interval(self, values: Array, bounds: Tuple[float, float]) -> Tuple[Array, Array]:
        """(low, high) of a summary whose value in every fit is `values` (fits, ...)."""
        values = np.asarray(values, dtype=np.float64)
        if values.ndim == 1:
            values = values[:, None]
        theta = values[0]
        low, high = self._sampling(values)
        if self._ranges:
            down2 = np.zeros_like(theta)
            up2 = np.zeros_like(theta)
            diverges = np.zeros(theta.shape, bool)
            for pair in self._ranges:
                ends = values[list(pair)]
                down2 = down2 + np.maximum(theta - ends.min(axis=0), 0.0) ** 2
                up2 = up2 + np.maximum(ends.max(axis=0) - theta, 0.0) ** 2
                diverges |= np.isinf(ends).any(axis=0)
            below = np.maximum(theta - low, 0.0)
            above = np.maximum(high - theta, 0.0)
            low = low - (np.sqrt(below ** 2 + down2) - below)
            high = high + (np.sqrt(above ** 2 + up2) - above)
            # An end that diverges (a mean at alpha <= 1) leaves the interval open.
            high = np.where(diverges, np.inf, high)
        if not np.isfinite(theta).all():
            # A diverging estimate: open above, and below it the least of what the
            # other fits found.
            finite = np.where(np.isfinite(values), values, np.nan)
            least = np.nanmin(np.vstack([finite, np.full_like(theta, np.inf)[None]]), axis=0)
            low = np.where(np.isfinite(theta), low, least)
            high = np.where(np.isfinite(theta), high, np.inf)
        low, high = np.clip(low, *bounds), np.clip(high, *bounds)
        return np.minimum(low, high), np.maximum(low, high)

    def _run(self, values: Callable[[], Array], bounds: Tuple[float, float],
             shape: Optional[Tuple[int, ...]]) -> Tuple[Any, Any]:
        with quiet():
            low, high = self._interval(values(), bounds)
        if shape is None:
            return float(low[0]), float(high[0])
        return low.reshape(shape), high.reshape(shape)

    def _points(self, name: str, given: Any) -> Tuple[Array, Optional[Tuple[int, ...]]]:
        flat = as_float64(name, given)
        return flat.ravel(), (None if flat.ndim == 0 else flat.shape)

    def median(self) -> Tuple[float, float]:
        """The interval of ``median()``."""
        return self._run(self._stack.median, _BOUNDS["median"], None)

    def mean(self) -> Tuple[float, float]:
        """The interval of ``mean()`` (``high = inf`` where the data cannot bound it)."""
        return self._run(self._stack.mean, _BOUNDS["mean"], None)

    def var(self) -> Tuple[float, float]:
        """The interval of ``var()``."""
        return self._run(self._stack.var, _BOUNDS["var"], None)

    def std(self) -> Tuple[float, float]:
        """The interval of ``std()``: the square roots of ``var()``'s."""
        low, high = self.var()
        return math.sqrt(low), math.sqrt(high)

    def gini(self) -> Tuple[float, float]:
        """The interval of ``gini()``."""
        return self._run(self._stack.gini, _BOUNDS["gini"], None)

    def ppf(self, q: npt.ArrayLike) -> Tuple[Any, Any]:
        """Intervals of ``ppf(q)``, the quantiles at levels `q`."""
        flat, shape = self._points("q", q)
        return self._run(lambda: self._stack.ppf(flat), _BOUNDS["ppf"], shape)

    def cdf(self, x: npt.ArrayLike) -> Tuple[Any, Any]:
        """Intervals of ``cdf(x)``."""
        flat, shape = self._points("x", x)
        return self._run(lambda: self._stack.cdf(flat), _BOUNDS["cdf"], shape)

    def sf(self, x: npt.ArrayLike) -> Tuple[Any, Any]:
        """Intervals of ``sf(x)``: one less ``cdf(x)``'s, swapped."""
        low, high = self.cdf(x)
        return 1.0 - high, 1.0 - low

    def pdf(self, x: npt.ArrayLike) -> Tuple[Any, Any]:
        """Intervals of ``pdf(x)``: the density's band."""
        flat, shape = self._points("x", x)
        return self._run(lambda: self._stack.pdf(flat), _BOUNDS["pdf"], shape)

    def lorenz(self, p: npt.ArrayLike) -> Tuple[Any, Any]:
        """Intervals of ``lorenz(p)``, the share of the total below the fraction `p`."""
        flat, shape = self._points("p", p)
        return self._run(lambda: self._stack.lorenz(flat), _BOUNDS["lorenz"], shape)

    def top_share(self, p: npt.ArrayLike) -> Tuple[Any, Any]:
        """Intervals of the share of the total held by the top fraction `p`
        (``1 - lorenz(1 - p)``): ``top_share(0.1)`` is the top 10 %'s."""
        flat, shape = self._points("p", p)
        return self._run(lambda: self._stack.top_share(flat), _BOUNDS["top_share"], shape)

    def masses(self, edges: npt.ArrayLike) -> Tuple[Array, Array]:
        """Intervals of ``masses(edges)``: the shares of the bins between `edges`
        (re-binned counts are these times the total)."""
        flat = as_float64("edges", edges)
        if flat.ndim != 1 or flat.size < 2:
            raise InputError("ndim" if flat.ndim != 1 else "too_short", argument="edges",
                             ndim=flat.ndim, allowed=(1,), length=flat.size, minimum=2)
        low, high = self._run(lambda: self._stack.masses(flat), _BOUNDS["masses"],
                              (flat.size - 1,))
        return low, high

    def __getattr__(self, name: str) -> Any:
        # The density's other measures (Theil, Atkinson, Palma, ...), evaluated on the
        # density of every fit.
        if name.startswith("_") or not callable(getattr(PiecewiseLinearDensity, name, None)) \
                or name in _NOT_SUMMARIES:
            raise AttributeError(f"'Confidence' object has no attribute {name!r}")

        def interval(*args: Any, **kwargs: Any) -> Tuple[Any, Any]:
            return self._generic(name, args, kwargs)

        interval.__name__ = name
        interval.__doc__ = f"The interval of the density's ``{name}(...)``, fit by fit."
        return interval

    def _generic(self, name: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]
                 ) -> Tuple[Any, Any]:
        if self._densities is None:
            self._densities = [self._stack.density(row) for row in range(self._stack.rows)]
        with quiet():
            values = [np.asarray(getattr(d, name)(*args, **kwargs), dtype=np.float64)
                      for d in self._densities]
            shape = values[0].shape
            stacked = np.stack([v.reshape(-1) for v in values])
            low, high = self._interval(stacked, (-np.inf, np.inf))
        if shape == ():
            return float(low[0]), float(high[0])
        return low.reshape(shape), high.reshape(shape)


#: The density's methods that are no summary of it.
_NOT_SUMMARIES = frozenset({"rvs", "plot", "to_scipy", "support", "confidence", "from_masses",
                            "from_histogram", "isf"})


# ------------------------------------------------------------------------------ the method

def _fit(edges: Array, masses: Array, smoothing: Any, sample_size: Optional[float],
         mean: Any, refine: int, workers: int, tail: Any = None, bottom: str = "auto") -> Any:
    with warnings.catch_warnings():
        # A refit's tail beyond the range of its data warns as the fit itself did once.
        warnings.simplefilter("ignore", ExtrapolationWarning)
        return fit_smooth(edges, masses, refine=refine, smoothing=smoothing,
                          sample_size=sample_size, mean=mean, workers=workers, tail=tail,
                          bottom=bottom)


def _fit_rows(edges: Array, masses: Array, smoothing: Any, sample_size: Optional[float],
              means: Optional[Array], refine: int, workers: int, tail: Any = None,
              bottom: str = "auto"
              ) -> Tuple[Any, int]:
    """Fit every row in one batch, and how many rows' means were moved. Where the fit
    refuses a row's mean as out of its reach (a replicate of few counts), the rows are
    fitted one by one, each refused mean moved just inside its reach."""
    try:
        return _fit(edges, masses, smoothing, sample_size, means, refine, workers, tail,
                    bottom), 0
    except InputError as error:
        if means is None or error.problem != "unreachable_mean" or error.row is None:
            raise
    moved = 0
    fits = []
    for row in range(masses.shape[0]):
        mean: Optional[float] = None if np.isnan(means[row]) else float(means[row])
        try:
            fits.append(_fit(edges, masses[row], smoothing, sample_size, mean, refine, 1, tail,
                             bottom))
            continue
        except InputError as error:
            if error.problem != "unreachable_mean":
                raise
            lowest = float(error.details.get("lowest", -np.inf))
            highest = float(error.details.get("highest", np.inf))
        moved += 1
        span = highest - lowest if np.isfinite(highest - lowest) else abs(lowest)
        mean = min(max(float(means[row]), lowest + 1e-6 * span), highest - 1e-6 * span)
        fits.append(_fit(edges, masses[row], smoothing, sample_size, mean, refine, 1, tail,
                         bottom))
    return _Rows(fits), moved


def _mean_for_parameter(stack: Stack, parameter: Array, L: float) -> Array:
    """The mean of row 0 with its right tail's parameter moved to `parameter`, its mass
    held: what to ask of the fit with a mean for a tail of that parameter."""
    below = float(stack.moment_below(np.array([[L]]))[0, 0])
    tr = float(stack.tr[0])
    if stack.right_kind == "pareto":
        return below + tr * L * parameter / (parameter - 1.0)
    return below + tr * (L + parameter)


def _smoothing_ends(edges: Array, q: Array, n: float, mean: Any, lam: float, point: Any,
                    refine: int, workers: int, info: Dict[str, Any], tail: Any = None,
                    bottom: str = "auto"
                    ) -> Optional[Stack]:
    """The fits at the least and the most smoothing whose criterion lies within
    SMOOTHING_RANGE of the chosen one's, walking a decade at a time from the choice: the
    range of smoothing the data support. None when only the choice itself is."""
    def criterion(fit: Any) -> float:
        return float(fit.deviance) + COMPLEXITY * float(fit.edf)

    best = criterion(point)
    supported = [(lam, point)]
    walks = [(lam * 0.1, 0.1), (lam * 10.0, 10.0)] if lam > 0 else [(1e-9, 10.0)]
    for value, factor in walks:
        for _ in range(SMOOTHING_STEPS):
            try:
                fit = _fit(edges, q, value, n, mean, refine, workers, tail, bottom)
            except InputError:
                break
            if criterion(fit) > best + SMOOTHING_RANGE:
                break
            supported.append((value, fit))
            value *= factor
    if len(supported) == 1:
        return None
    supported.sort(key=lambda pair: pair[0])
    info["smoothing_range"] = (supported[0][0], supported[-1][0])
    return Stack.joined(Stack.of_fit(supported[0][1]), Stack.of_fit(supported[-1][1]))


def check_options(level: Any, method: Any, replicates: Any, workers: Any) -> Tuple[float, str,
                                                                                    int, int]:
    """The options of ``confidence``, checked (None replicates: the bootstrap's own)."""
    lv = check_confidence_level(level)
    how = check_choice("method", method, CONFIDENCE_METHODS)
    count = check_count("replicates", BOOTSTRAP_REPLICATES if replicates is None else replicates)
    if count < 20:
        raise InputError("out_of_range", argument="replicates", value=count, minimum=20)
    return lv, how, count, check_workers(workers)


def confidence(source: Source, level: float = 0.9, *, method: str = "auto",
               replicates: Optional[int] = None, seed: Any = 0, workers: int = 1
               ) -> Confidence:
    """A :class:`Confidence` at `level` for the smooth fit of `source` (see the module's
    notes for the method); deterministic for a given `seed`."""
    level, method, replicates, workers = check_options(level, method, replicates, workers)
    with quiet():
        return _confidence(source, level, method, replicates, seed, workers)


def _confidence(source: Source, level: float, method: str, replicates: int, seed: Any,
                workers: int) -> Confidence:
    edges, counts, refine = source.edges, source.masses, source.refine
    z = z_of(level)
    right = bool(np.isposinf(edges[-1]))
    left = bool(np.isneginf(edges[0]))
    if method == "auto":
        method = "linear" if right else "bootstrap"
    total = float(counts.sum())
    q = counts / total
    k = len(q)
    multinomial = False
    if source.standard_errors is not None:
        cov_q = share_covariance(counts, source.standard_errors)
        fit_size = source.sample_size if source.sample_size is not None else \
            effective_size(counts, source.standard_errors)
    elif source.counts:
        fit_size = source.sample_size if source.sample_size is not None else total
        multinomial = True
    else:
        cov_q = np.zeros((k, k))
        fit_size = None
    smoothing = source.smoothing if fit_size is not None else 0
    point = _fit(edges, q, smoothing, fit_size, source.mean, refine, workers, source.tail,
                 source.bottom)
    lam = float(point.smoothing)
    base = Stack.of_fit(point)
    p = base.bin_masses(refine, left, right)[0]
    if multinomial:
        assert fit_size is not None
        cov_q = (np.diag(p) - np.outer(p, p)) / fit_size
    has_mean = source.mean is not None
    mean_var = float(source.mean_se) ** 2 if (has_mean and source.mean_se) else 0.0
    info: Dict[str, Any] = {"smoothing": lam, "edf": float(point.edf),
                            "n": math.inf if fit_size is None else fit_size}

    # The joint covariance of the inputs: the shares, then the mean where it is uncertain.
    cov = cov_q
    covariance = np.zeros(k)
    if mean_var > 0:
        cov = np.zeros((k + 1, k + 1))
        cov[:k, :k] = cov_q
        cov[k, k] = mean_var
        if multinomial:
            assert fit_size is not None
            mu_bins = base.bin_means(edges, refine, left, right)
            mu = float(base.mean()[0])
            covariance = p * (mu_bins - mu) / fit_size
            cov[:k, k] = cov[k, :k] = covariance
            # What the shares explain of the mean's variance cannot exceed it.
            cov[k, k] = max(mean_var, float(covariance @ np.linalg.pinv(cov_q) @ covariance)
                            * 1.0001)
    A = _factor(cov)
    mean_value = np.nan if source.mean is None else float(source.mean)

    rows_q: List[Array] = [q[None, :]]
    rows_m: List[Array] = [np.array([mean_value])]
    layout: Dict[str, Any] = {}
    at = 1
    if method == "linear":
        r = A.shape[1]
        rows_q.append(np.maximum(q + A[:k].T, 0.0))
        moved = np.full(r, mean_value)
        if mean_var > 0:
            moved = moved + A[k]
        rows_m.append(moved)
        layout["plus"] = np.arange(at, at + r)
        at += r
    else:
        rng = np.random.default_rng(seed)
        reps_m = np.full(replicates, mean_value)
        if multinomial and fit_size is not None and fit_size == round(fit_size):
            draws = rng.multinomial(int(fit_size), p / p.sum(), size=replicates).astype(float)
            reps_q = draws / draws.sum(axis=1, keepdims=True)
            if mean_var > 0:
                # Each replicate sample's mean: its shares' within-bin means, and the
                # draws within the bins as the mean's variance the shares leave.
                mu_bins = base.bin_means(edges, refine, left, right)
                rest = max(mean_var - float(covariance @ np.linalg.pinv(cov_q) @ covariance),
                           0.0)
                reps_m = mean_value + (reps_q @ mu_bins - float(p @ mu_bins)) + rng.normal(
                    0.0, math.sqrt(rest), replicates)
        else:
            noise = rng.standard_normal((replicates, A.shape[1])) @ A.T if A.size else \
                np.zeros((replicates, cov.shape[0]))
            reps_q = np.maximum(q + noise[:, :k], 0.0)
            reps_q /= reps_q.sum(axis=1, keepdims=True)
            if mean_var > 0:
                reps_m = mean_value + noise[:, k]
        rows_q.append(reps_q)
        rows_m.append(reps_m)
        layout["replicates"] = np.arange(at, at + replicates)
        at += replicates
    if lam > 0:
        # The fit redone on its own fitted masses: what smoothing once more moves.
        rows_q.append(p[None, :] / p.sum())
        rows_m.append(np.array([mean_value]))
        layout["bias"] = at
        at += 1
    ranges = []
    # A tail whose parameter the caller fixed has no range to extrapolate over.
    chosen = source.tail[1] if isinstance(source.tail, (tuple, list)) else source.tail
    fixed = chosen is not None and not isinstance(chosen, str)
    if right and not has_mean and not fixed and base.tr[0] > 0:
        down, up = tail_range(p, edges, z)
        a0 = float(base.par_r[0])
        ends = a0 * np.exp(np.array([-down, up]))
        if base.right_kind == "pareto":
            ends = np.maximum(ends, LOWEST_ALPHA)
        rows_q.append(np.stack([q, q]))
        rows_m.append(_mean_for_parameter(base, ends, float(edges[-2])))
        ranges.append((at, at + 1))
        at += 2
        info["tail_range"] = (float(ends[0]), float(ends[1]))
    masses = np.concatenate(rows_q)
    means = np.concatenate(rows_m)
    fit, info["means_moved"] = _fit_rows(edges, masses, lam, fit_size,
                                         None if np.isnan(means).all() else means, refine,
                                         workers, source.tail, source.bottom)
    stack = Stack.of_fit(fit)
    if source.smoothing == "auto" and fit_size is not None:
        extra = _smoothing_ends(edges, q, fit_size, source.mean, lam, point, refine, workers,
                                info, source.tail, source.bottom)
        if extra is not None:
            ranges.append((stack.rows, stack.rows + 1))
            stack = Stack.joined(stack, extra)
    return Confidence(stack, level, method, ranges=ranges, info=info, **layout)

