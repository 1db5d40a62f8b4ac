"""Shared by the suites in bench/: what a fitted density looks like to a suite, the
registry entries of methods (the package's fits and the peers), and one careful routine
for the mean, median, Gini coefficient and top share of any fitted distribution.

A method is a `Method`: a label, a function that turns a histogram into a `Fitted`,
and the peer packages it needs. A suite keeps a list of them; a method whose peer is
not installed (binsmooth, which needs Python 3.9) is left out of the run and named in
its report. Adding a method is one line in a suite's list, e.g.

    Method("zelvane, smoothing=1e-6", zelvane_fit(smoothing=1e-6)),
"""

from __future__ import annotations

import importlib.util
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

Curve = Callable[[np.ndarray], np.ndarray]
#: A check of the installed peers: None when the method can run, else why not.
Need = Callable[[], Optional[str]]


@dataclass
class Fitted:
    """A fitted distribution as the suites use it.

    cdf:    vectorised distribution function, 0 below the support and 1 above it.
    low, high: the support (high may be +inf, low -inf).
    breaks: finite points inside the support where the density may kink or jump
            (edges, knots); quadrature is exact between them for piecewise
            polynomials.
    median: the method's own way to answer "the median" (the timed query).
    pdf:    the density, where the method offers one that works (else the suites
            use cell averages of the cdf).
    own:    summaries the fitted object computes itself ("mean", "median", "gini",
            "top10"), used in place of the numerical routine and checked against it.
    info:   anything worth reporting (the smoothing the fit chose, its edf, ...).
    """

    cdf: Curve
    low: float
    high: float
    breaks: np.ndarray
    median: Callable[[], float]
    pdf: Optional[Curve] = None
    own: Dict[str, Callable[[], float]] = field(default_factory=dict)
    info: Dict[str, float] = field(default_factory=dict)


@dataclass(frozen=True)
class Method:
    """One row of a suite: `fit(counts, edges, mean=None)` returns a `Fitted` or raises.

    needs:     checks of the peers it needs (`has_binsmooth`).
    uses_mean: the suite passes the published mean as `mean=` (grouped data).
    peer:      a method from another package.
    colour:    for the plots."""

    label: str
    fit: Callable[..., Fitted]
    needs: Tuple[Need, ...] = ()
    uses_mean: bool = False
    peer: bool = False
    colour: Optional[str] = None

    def missing(self) -> Optional[str]:
        for need in self.needs:
            reason = need()
            if reason is not None:
                return reason
        return None


def installed(methods: Sequence[Method]) -> Tuple[List[Method], List[str]]:
    """The methods whose peers are installed, and Markdown lines naming the others."""
    usable, absent = [], []
    for m in methods:
        reason = m.missing()
        if reason is None:
            usable.append(m)
        else:
            absent.append(f"- {m.label}: {reason}")
    return usable, (["Not in this run:", "", *absent, ""] if absent else [])


def has_binsmooth() -> Optional[str]:
    """None when binsmooth can be used, else why not."""
    if importlib.util.find_spec("binsmooth") is None:
        return "binsmooth not installed"
    try:
        _binsmooth()
    except ImportError as error:
        return f"binsmooth cannot be imported ({error})"
    return None


# ---------------------------------------------------------------------------- the package

def _from_density(d: Any) -> Fitted:
    low, high = (float(v) for v in d.support())
    knots = np.asarray(d.knots, dtype=np.float64)
    own: Dict[str, Callable[[], float]] = {"mean": lambda: float(d.mean()),
                                           "median": lambda: float(d.median()),
                                           "gini": lambda: float(d.gini()),
                                           "top10": lambda: 1.0 - float(d.lorenz(0.9))}
    info = {}
    for name in ("smoothing", "edf"):
        value = getattr(d, name, None)
        if value is not None:
            info[name] = float(value)
    return Fitted(cdf=d.cdf, low=low, high=high, breaks=knots[np.isfinite(knots)],
                  median=d.median, pdf=d.pdf, own=own, info=info)


def zelvane_fit(**options: Any) -> Callable[..., Fitted]:
    """PiecewiseLinearDensity.from_histogram(counts, edges, **options), with mean= when the
    suite passes a mean."""

    def fit(counts: np.ndarray, edges: np.ndarray, mean: Optional[float] = None) -> Fitted:
        from zelvane import PiecewiseLinearDensity

        extra = dict(options)
        if mean is not None:
            extra["mean"] = mean
        # As the command line decides: whole numbers are counts; shares (exact masses)
        # are met exactly.
        if "smoothing" not in extra and not np.all(np.mod(counts, 1) == 0):
            extra["smoothing"] = 0
        return _from_density(PiecewiseLinearDensity.from_histogram(counts, edges, **extra))

    return fit


# ---------------------------------------------------------------------------------- peers

def step_fit(counts: np.ndarray, edges: np.ndarray, mean: Optional[float] = None) -> Fitted:
    """The step density of scipy.stats.rv_histogram."""
    from scipy import stats

    d = stats.rv_histogram((np.asarray(counts, dtype=np.float64), edges), density=False)
    return Fitted(cdf=d.cdf, low=float(edges[0]), high=float(edges[-1]), breaks=np.asarray(edges),
                  median=lambda: float(d.ppf(0.5)), pdf=d.pdf)


def pchip_fit(counts: np.ndarray, edges: np.ndarray, mean: Optional[float] = None) -> Fitted:
    """A monotone cubic (scipy's PchipInterpolator) through the cumulative counts at the
    edges; the density is its derivative."""
    from scipy.interpolate import PchipInterpolator

    counts = np.asarray(counts, dtype=np.float64)
    spline = PchipInterpolator(edges, np.concatenate([[0.0], np.cumsum(counts)]) / counts.sum())
    lo, hi = float(edges[0]), float(edges[-1])
    # The derivative is built on the density's first use: a median query does not need it.
    slope: Optional[Any] = None

    def cdf(x: np.ndarray) -> np.ndarray:
        # Monotone between 0 and 1 (the cumulative shares), up to rounding at the top.
        return np.asarray(spline(np.clip(np.asarray(x, dtype=np.float64), lo, hi)))

    def pdf(x: np.ndarray) -> np.ndarray:
        nonlocal slope
        if slope is None:
            slope = spline.derivative()
        x = np.asarray(x, dtype=np.float64)
        return np.where((x >= lo) & (x <= hi), slope(np.clip(x, lo, hi)), 0.0)

    def median() -> float:
        return float(spline.solve(0.5, extrapolate=False)[0])

    return Fitted(cdf=cdf, low=lo, high=hi, breaks=np.asarray(edges), median=median, pdf=pdf)


def _binsmooth() -> Any:
    # binsmooth 2023.10.0 imports scipy.integrate.cumtrapz, which SciPy 1.14 removed
    # after renaming it cumulative_trapezoid (same function): give it the old name.
    import scipy.integrate

    if not hasattr(scipy.integrate, "cumtrapz"):
        scipy.integrate.cumtrapz = scipy.integrate.cumulative_trapezoid
    import binsmooth

    return binsmooth


def _binsmooth_fitted(bs: Any, edges: np.ndarray) -> Fitted:
    # BinSmooth.pdf raises AttributeError in binsmooth 2023.10.0: no density from it; the
    # suites take cell averages of its cdf instead.
    low, high = float(bs.min_x_), float(bs.tail_)
    breaks = np.unique(np.concatenate([[low, high], edges[(edges > low) & (edges < high)]]))

    def cdf(x: np.ndarray) -> np.ndarray:
        x = np.asarray(x, dtype=np.float64)
        return np.clip(np.asarray(bs.cdf(np.clip(x, low, high)), dtype=np.float64), 0.0, 1.0)

    return Fitted(cdf=cdf, low=low, high=high, breaks=breaks,
                  median=lambda: float(bs.inv_cdf(0.5)),
                  info={"mean_est": float(bs.mean_est_), "tail": float(bs.tail_)})


def binsmooth_closed(spline: str) -> Callable[..., Fitted]:
    """binsmooth.BinSmooth on a closed histogram: edges as x, [0, *counts] as y (the 0 is
    the count below the first edge), includes_tail=True."""

    def fit(counts: np.ndarray, edges: np.ndarray, mean: Optional[float] = None) -> Fitted:
        bs = _binsmooth().BinSmooth()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # it warns when it drops empty bins at the top
            bs.fit(np.asarray(edges, dtype=np.float64),
                   np.concatenate([[0.0], np.asarray(counts, dtype=np.float64)]),
                   spline_type=spline, includes_tail=True)
        return _binsmooth_fitted(bs, np.asarray(edges, dtype=np.float64))

    return fit


def binsmooth_mean(spline: str) -> Callable[..., Fitted]:
    """binsmooth.BinSmooth with its own mean matching: the lower edges of the brackets as x
    (the top bracket is open), [0, *counts] as y, m=mean; binsmooth chooses where the top
    bracket ends so that the fitted mean is m."""

    def fit(counts: np.ndarray, edges: np.ndarray, mean: Optional[float] = None) -> Fitted:
        if mean is None:
            raise ValueError("binsmooth's mean matching needs the mean")
        lower = np.asarray(edges[:-1], dtype=np.float64)
        bs = _binsmooth().BinSmooth()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            bs.fit(lower, np.concatenate([[0.0], np.asarray(counts, dtype=np.float64)]),
                   spline_type=spline, m=float(mean))
        return _binsmooth_fitted(bs, lower)

    return fit


def closed_top(fit: Callable[..., Fitted], factor: float = 2.0) -> Callable[..., Fitted]:
    """`fit` on edges whose open top (+inf) is closed at `factor` times its lower edge."""

    def closed(counts: np.ndarray, edges: np.ndarray, mean: Optional[float] = None) -> Fitted:
        edges = np.array(edges, dtype=np.float64)
        if np.isinf(edges[-1]):
            edges[-1] = factor * edges[-2]
        return fit(counts, edges, mean)

    return closed


# ------------------------------------------------------------- summaries of a distribution

_GL_X, _GL_W = np.polynomial.legendre.leggauss(8)


def quantile(cdf: Curve, p: float, low: float, high: float) -> float:
    """A root of cdf(x) = p by brentq on [low, high] (low itself when cdf(low) >= p)
    (high may be +inf: the bracket doubles until it holds p)."""
    from scipy.optimize import brentq

    def g(x: float) -> float:
        return float(cdf(np.array([x]))[0]) - p

    a = low
    b = high
    if not np.isfinite(b):
        b = max(abs(a), 1.0) * 2.0 + a
        while g(b) < 0:
            b = a + 2.0 * (b - a)
    if not np.isfinite(a):
        a = b - max(abs(b), 1.0) * 2.0
        while g(a) > 0:
            a = b - 2.0 * (b - a)
    if g(a) >= 0:
        return float(a)
    return float(brentq(g, a, b, xtol=1e-13 * max(abs(a), abs(b), 1e-300), rtol=1e-15, maxiter=500))


def _pieces(points: np.ndarray, sub: int) -> Tuple[np.ndarray, np.ndarray]:
    """Every interval between neighbouring points cut into `sub` equal parts: (left, right)."""
    t = np.linspace(0.0, 1.0, sub + 1)
    left = points[:-1, None] + np.diff(points)[:, None] * t[None, :-1]
    right = points[:-1, None] + np.diff(points)[:, None] * t[None, 1:]
    return left.ravel(), right.ravel()


def _gauss(g: Curve, left: np.ndarray, right: np.ndarray) -> np.ndarray:
    """Gauss-Legendre (8 nodes) integral of g over each [left, right]."""
    half = (right - left) / 2
    nodes = (left + right)[:, None] / 2 + half[:, None] * _GL_X[None, :]
    return (g(nodes.ravel()).reshape(nodes.shape) * _GL_W[None, :]).sum(axis=1) * half


def summaries(f: Fitted, top: float = 0.9, sub: int = 8) -> Dict[str, float]:
    """Mean, median, Gini coefficient and the share of the top 1 - `top` of a distribution of
    a non-negative quantity, from its cdf alone:

        mean = ∫_0^∞ (1 - F),  Gini = 1 - ∫_0^∞ (1 - F)² / mean,
        top share = (q (1 - top) + ∫_q^∞ (1 - F)) / mean,  q = F⁻¹(top).

    On [low, last break] the integrals are Gauss-Legendre with 8 nodes on every interval
    between breaks cut into `sub` parts (exact for piecewise polynomials of degree up to
    15 between breaks); past the last break, when the support is unbounded, adaptive
    quadrature (scipy.integrate.quad) on [last break, ∞) in t = last break / x (which
    must then be positive)."""
    from scipy.integrate import IntegrationWarning, quad

    if f.low < 0:
        raise ValueError("summaries are for distributions of non-negative quantities")
    median = quantile(f.cdf, 0.5, f.low, f.high)
    q = quantile(f.cdf, top, f.low, f.high)
    points = np.concatenate([[f.low], f.breaks, [q]])
    if np.isfinite(f.high):
        points = np.append(points, f.high)
    points = np.unique(points[(points >= f.low) & np.isfinite(points)])
    left, right = _pieces(points, sub)

    def above(x: np.ndarray) -> np.ndarray:
        return 1.0 - f.cdf(x)

    def above2(x: np.ndarray) -> np.ndarray:
        return above(x) ** 2

    one = _gauss(above, left, right)
    two = _gauss(above2, left, right)
    i1, i2 = float(one.sum()), float(two.sum())
    beyond_q = float(one[left >= q].sum())
    if not np.isfinite(f.high):
        last = float(points[-1])

        def inverted(g: Curve) -> Callable[[float], float]:
            # x = last / t on (0, 1]: a power tail becomes a power of t, at worst an
            # integrable singularity at 0, which quad's extrapolation handles.
            return lambda t: float(g(np.array([last / t]))[0]) * last / (t * t)

        with warnings.catch_warnings():
            # quad warns when rounding stops it short of 1e-11; what it returns is kept.
            warnings.simplefilter("ignore", IntegrationWarning)
            t1 = quad(inverted(above), 0.0, 1.0, epsabs=0.0, epsrel=1e-11, limit=1000)[0]
            t2 = quad(inverted(above2), 0.0, 1.0, epsabs=0.0, epsrel=1e-11, limit=1000)[0]
        i1, i2, beyond_q = i1 + t1, i2 + t2, beyond_q + t1
    mean = f.low + i1
    return {"mean": mean, "median": median, "gini": 1.0 - (f.low + i2) / mean,
            "top10": (q * (1.0 - top) + beyond_q) / mean}


def check_summaries() -> List[str]:
    """The routine against closed forms: uniform(0, 1) and Pareto (x_m = 1) with tail
    indices 3 and 1.5. Returns Markdown lines; raises if an error exceeds 1e-8."""
    cases = []
    uniform = Fitted(cdf=lambda x: np.clip(np.asarray(x, dtype=np.float64), 0.0, 1.0), low=0.0,
                     high=1.0, breaks=np.array([0.0, 1.0]), median=lambda: 0.5)
    cases.append(("uniform(0, 1)", uniform, {"mean": 0.5, "median": 0.5, "gini": 1 / 3,
                                             "top10": (1 - 0.81) / 2 / 0.5}))
    for alpha in (3.0, 1.5):
        def pareto_cdf(x: np.ndarray, a: float = alpha) -> np.ndarray:
            x = np.asarray(x, dtype=np.float64)
            return np.where(x < 1.0, 0.0, 1.0 - np.maximum(x, 1.0) ** -a)

        fitted = Fitted(cdf=pareto_cdf, low=1.0, high=np.inf, breaks=np.array([1.0]),
                        median=lambda: 0.0)
        cases.append((f"Pareto(x_m = 1, α = {alpha:g})", fitted,
                      {"mean": alpha / (alpha - 1), "median": 2 ** (1 / alpha),
                       "gini": 1 / (2 * alpha - 1), "top10": 0.1 ** (1 - 1 / alpha)}))
    lines = []
    for name, fitted, truth in cases:
        got = summaries(fitted)
        errors = {k: abs(got[k] - v) / abs(v) for k, v in truth.items()}
        worst = max(errors.values())
        if not worst < 1e-8:
            raise RuntimeError(f"summaries() is off on {name}: {errors}")
        lines.append(f"{name}: largest relative error {worst:.1e} (mean {got['mean']:.6g}, "
                     f"Gini {got['gini']:.6g}, top 10 % share {got['top10']:.6g})")
    return lines


# ---------------------------------------------------------------------------------- grids

def cell_masses(f: Fitted, x: np.ndarray) -> np.ndarray:
    """The fitted mass of every cell [x[i], x[i+1]]."""
    return np.diff(f.cdf(x))


def prominent_modes(density: np.ndarray, threshold: float = 0.05) -> int:
    """Local maxima of a density given on equal cells whose topographic prominence is at
    least `threshold` times the largest value; the density is taken as zero outside the
    cells, so a density that falls from an end of the range has a mode there."""
    from scipy.signal import find_peaks

    top = float(np.max(density))
    if not top > 0:
        return 0
    padded = np.concatenate([[0.0], density, [0.0]])
    peaks, _ = find_peaks(padded, prominence=threshold * top)
    return int(len(peaks))
