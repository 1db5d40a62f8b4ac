"""Margins of error for every summary of a smooth fit: a prototype on the package's public
API (`zelvane.fit_smooth`, `zelvane.Tail`, `zelvane.PiecewiseLinearDensity` for checks),
used by bench/margins.py until the package has its own.

Inputs are the shares q of the bins (open ones included) and, where it is given, the
mean. Their uncertainty comes from the sources given:

- counts as a multinomial sample: Cov(q) = (diag(p) - p p') / N, p the fitted masses, N the
  sum of the counts or `sample_size`;
- standard errors of the counts (`standard_errors`; a 90 % margin m is m / 1.645),
  independent: Cov(q) = J diag(se^2) J', J = (I - q 1') / T, T the total;
- exact masses (`exact=True`): none;
- a published mean with its standard error (`mean_se`): for a multinomial sample the mean
  of the same draws, whose covariance with the shares is p_i (mu_i - mu) / N (mu_i the
  fitted mean within bin i).

Two ways to carry them to a summary theta (any method of the density), in one native
batch of fits with the chosen smoothing held:

- "linear": the input covariance factored as A A' (eigenvectors, scaled), the fit redone
  at q + h a_j for every column a_j (h = 1: one standard deviation), theta's gradient
  along a_j by the forward difference, Var(theta) = sum_j g_j^2, and theta +- z sd;
- "bootstrap": replicates drawn from the same sources (multinomial counts from the
  fitted masses, or normal shares), each refitted, and the percentile interval of the
  replicates;
- "auto" (the default): linear where the top is an open tail, the bootstrap where the
  last bin is closed, whose shape within (a bound active at its end or not) moves the
  mean, the Gini and the top shares by more than the first order sees.

Both take out the smoothing's bias (theta of the fit redone on its own fitted masses,
less theta: what smoothing once more moves), and widen each side in quadrature by model
terms, each theta at two ends of a range of something the data cannot pin down:

- without a mean, the tail's extrapolation: its Pareto index (or exponential scale) on a
  log scale from log(a) - down to log(a) + up (`tail_range`);
- the choice of smoothing: the least and the most smoothing whose criterion (deviance +
  3 edf) lies within `smoothing_range` (2.71, the chi-square(1) 0.9 quantile) of the
  chosen one's.

The fits of every perturbed or replicate input are kept as a `Stack`: densities on shared
knots, each summary evaluated for all of them at once in closed form.
"""

from __future__ import annotations

import math
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np

import zelvane

Array = np.ndarray

# Gauss-Legendre, three nodes on [0, 1]: exact for F (1 - F), a quartic on a piece.
_GL_X = np.array([0.5 - 0.5 * math.sqrt(0.6), 0.5, 0.5 + 0.5 * math.sqrt(0.6)])
_GL_W = np.array([5.0, 8.0, 5.0]) / 18.0

#: The spread of the log tail index, as a multiple of how far the local index moves
#: over the last three bin pairs, and its floor (tuned on the tuning truths and the
#: ACS tuning states, see bench/margins.py).
TAIL_SPREAD = 0.75
TAIL_FLOOR = 0.09
#: Lowest Pareto index an extrapolated tail range reaches (the mean diverges at 1).
LOWEST_ALPHA = 1.02


def z_of(level: float) -> float:
    """The two-sided normal quantile of a central interval at `level`."""
    from statistics import NormalDist

    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie in (0, 1), not {level}")
    return NormalDist().inv_cdf(0.5 + level / 2.0)


def quiet() -> Any:
    """The floating-point state the stack's methods run under: no warnings."""
    return np.errstate(all="ignore")


# ----------------------------------------------------------------------------- the stack

class Stack:
    """Densities on shared knots, one per row, each summary evaluated for all rows at once.

    Built from a fit's knots, values (rows, knots) and tails (mass and parameter per
    row): normalised to a total of 1, as `PiecewiseLinearDensity` does. Its methods are
    meant to run under ``np.errstate(all="ignore")`` (see `quiet`): infinities of a tail
    whose moments diverge, and the branches of `np.where` that are not taken, would
    otherwise warn.
    """

    def __init__(self, knots: Array, values: Array, left: Optional[Tuple[Array, Array]] = None,
                 right: Optional[Tuple[str, Array, Array]] = None) -> None:
        x = np.asarray(knots, dtype=np.float64)
        y = np.atleast_2d(np.asarray(values, dtype=np.float64))
        rows = y.shape[0]
        w = np.diff(x)
        areas = 0.5 * (y[:, :-1] + y[:, 1:]) * w
        body = areas.sum(axis=1)
        tl = np.zeros(rows) if left is None else np.broadcast_to(left[0], (rows,)).astype(float)
        tr = np.zeros(rows) if right is None else np.broadcast_to(right[1], (rows,)).astype(float)
        total = body + tl + tr
        self.x, self.w = x, w
        self.y = y / total[:, None]
        self.areas = areas / total[:, None]
        self.tl, self.tr = tl / total, tr / total
        self.beta_l = None if left is None else np.broadcast_to(left[1], (rows,)).astype(float)
        self.right_kind = None if right is None else right[0]
        self.par_r = None if right is None else np.broadcast_to(right[2], (rows,)).astype(float)
        self.below = np.concatenate([self.tl[:, None],
                                     self.tl[:, None] + np.cumsum(self.areas, axis=1)], axis=1)
        self.slope = np.diff(self.y, axis=1) / w
        self.rows = rows

    @classmethod
    def of_fit(cls, fit: Any) -> "Stack":
        """The stack of a `zelvane.fit_smooth` result (one histogram or a batch)."""
        left = right = None
        if fit.left_tail is not None:
            t = fit.left_tail
            mass = np.where(np.asarray(t.kind) == "none", 0.0, np.asarray(t.mass, float))
            left = (mass, np.where(mass > 0, np.asarray(t.parameter, float), 1.0))
        if fit.right_tail is not None:
            t = fit.right_tail
            kinds = np.atleast_1d(np.asarray(t.kind))
            named = [k for k in kinds if k != "none"]
            kind = str(named[0]) if named else "pareto"
            mass = np.where(kinds == "none", 0.0, np.asarray(t.mass, float))
            right = (kind, mass, np.where(mass > 0, np.asarray(t.parameter, float), 2.0))
        return cls(fit.knots, fit.values, left, right)

    def density(self, row: int) -> Any:
        """Row `row` as a `zelvane.PiecewiseLinearDensity` (for checks)."""
        left = right = None
        if self.beta_l is not None and self.tl[row] > 0:
            left = zelvane.Tail("exponential", float(self.x[0]), float(self.tl[row]),
                                float(self.beta_l[row]))
        if self.right_kind is not None and self.tr[row] > 0:
            right = zelvane.Tail(self.right_kind, float(self.x[-1]), float(self.tr[row]),
                                 float(self.par_r[row]))
        return zelvane.PiecewiseLinearDensity(self.x, self.y[row], left_tail=left,
                                              right_tail=right)

    # The tails' pieces, each (rows, points).
    def _right_beyond(self, x: Array) -> Array:
        """Fraction of the right tail's mass beyond each point (>= the last knot)."""
        L = self.x[-1]
        a = self.par_r[:, None]
        if self.right_kind == "pareto":
            return np.power(np.maximum(x, L) / L, -a)
        return np.exp(-(np.maximum(x, L) - L) / a)

    def _right_moment_beyond(self, x: Array) -> Array:
        """First moment about 0 of the right tail's mass beyond each point."""
        a = self.par_r[:, None]
        frac = self._right_beyond(x)
        if self.right_kind == "pareto":
            factor = np.where(a > 1, x * a / (a - 1.0), np.inf)
        else:
            factor = x + a
        return np.where(frac > 0, self.tr[:, None] * frac * factor, 0.0)

    def cdf(self, points: Any) -> Array:
        p = np.atleast_1d(np.asarray(points, dtype=np.float64))
        x, y = self.x, self.y
        xc = np.clip(p, x[0], x[-1])
        i = np.clip(np.searchsorted(x, xc, side="right") - 1, 0, len(x) - 2)
        t = xc - x[i]
        F = self.below[:, i] + t * (y[:, i] + 0.5 * self.slope[:, i] * t)
        F = np.where(p < x[0], 0.0, np.where(p > x[-1], 1.0, F))
        if self.beta_l is not None:
            low = p < x[0]
            tail = self.tl[:, None] * np.exp(-(x[0] - np.minimum(p, x[0]))
                                             / self.beta_l[:, None])
            F = np.where(low, tail, F)
        if self.right_kind is not None:
            high = p > x[-1]
            F = np.where(high, 1.0 - self.tr[:, None] * self._right_beyond(p), F)
        return F

    def pdf(self, points: Any) -> Array:
        p = np.atleast_1d(np.asarray(points, dtype=np.float64))
        x, y = self.x, self.y
        xc = np.clip(p, x[0], x[-1])
        i = np.clip(np.searchsorted(x, xc, side="right") - 1, 0, len(x) - 2)
        f = y[:, i] + self.slope[:, i] * (xc - x[i])
        f = np.where((p < x[0]) | (p > x[-1]), 0.0, f)
        if self.beta_l is not None:
            b = self.beta_l[:, None]
            f = np.where(p < x[0], self.tl[:, None] / b
                         * np.exp(-(x[0] - np.minimum(p, x[0])) / b), f)
        if self.right_kind is not None:
            a = self.par_r[:, None]
            L = x[-1]
            if self.right_kind == "pareto":
                tail = self.tr[:, None] * a / L * np.power(np.maximum(p, L) / L, -a - 1.0)
            else:
                tail = self.tr[:, None] / a * np.exp(-(np.maximum(p, L) - L) / a)
            f = np.where(p > x[-1], tail, f)
        return f

    def ppf(self, levels: Any) -> Array:
        u = np.atleast_1d(np.asarray(levels, dtype=np.float64))
        x, y, B = self.x, self.y, self.below
        # The piece of every row that holds each level.
        j = (B[:, :, None] <= u[None, None, :]).sum(axis=1) - 1
        j = np.clip(j, 0, len(x) - 2)
        rows = np.arange(self.rows)[:, None]
        y0, s = y[rows, j], self.slope[rows, j]
        c = u[None, :] - B[rows, j]
        root = np.sqrt(np.maximum(y0 * y0 + 2.0 * s * c, 0.0))
        denominator = y0 + root
        step = np.where(denominator > 0, 2.0 * np.maximum(c, 0.0) / denominator, 0.0)
        out = x[j] + np.minimum(step, self.w[j])
        if self.beta_l is not None:
            low = u[None, :] < self.tl[:, None]
            tail = x[0] + self.beta_l[:, None] * np.log(u[None, :] / self.tl[:, None])
            out = np.where(low, tail, out)
        if self.right_kind is not None:
            top = 1.0 - self.tr[:, None]
            high = u[None, :] > top
            frac = (1.0 - u[None, :]) / self.tr[:, None]
            a = self.par_r[:, None]
            if self.right_kind == "pareto":
                tail = x[-1] * np.power(frac, -1.0 / a)
            else:
                tail = x[-1] - a * np.log(frac)
            out = np.where(high, tail, out)
        return out

    def median(self) -> Array:
        return self.ppf(0.5)[:, 0]

    def mean(self) -> Array:
        x, y = self.x, self.y
        c = x[0] + 0.5 * (x[-1] - x[0])
        left, right = x[:-1] - c, x[1:] - c
        mid = 0.5 * (left + right)
        body = (self.w / 6.0 * (left * y[:, :-1] + 2 * mid * (y[:, :-1] + y[:, 1:])
                                + right * y[:, 1:])).sum(axis=1)
        m = c + body
        if self.beta_l is not None:
            m = m + self.tl * (x[0] - c - self.beta_l)
        if self.right_kind is not None:
            a = self.par_r
            if self.right_kind == "pareto":
                tail = np.where(a > 1, x[-1] * a / (a - 1.0), np.inf) - c
            else:
                tail = x[-1] + a - c
            m = m + np.where(self.tr > 0, self.tr * tail, 0.0)
        return m

    def var(self) -> Array:
        mu = self.mean()
        x, y = self.x, self.y
        left, right = x[None, :-1] - mu[:, None], x[None, 1:] - mu[:, None]
        mid = 0.5 * (left + right)
        body = (self.w / 6.0 * (left ** 2 * y[:, :-1] + 2 * mid ** 2 * (y[:, :-1] + y[:, 1:])
                                + right ** 2 * y[:, 1:])).sum(axis=1)
        v = body
        if self.beta_l is not None:
            b = self.beta_l
            v = v + self.tl * ((x[0] - b - mu) ** 2 + b * b)
        if self.right_kind is not None:
            a, L = self.par_r, x[-1]
            if self.right_kind == "pareto":
                tail_mean = L * a / (a - 1.0)
                tail_var = L * L * a / ((a - 1.0) ** 2 * (a - 2.0))
                tail = np.where(a > 2, tail_var + (tail_mean - mu) ** 2, np.inf)
            else:
                tail = (L + a - mu) ** 2 + a * a
            v = v + np.where(self.tr > 0, self.tr * tail, 0.0)
        return np.where(np.isfinite(mu), v, np.inf)

    def gini(self) -> Array:
        mu = self.mean()
        w = self.w[None, :, None]
        t = w * _GL_X
        y0 = self.y[:, :-1, None]
        s = self.slope[:, :, None]
        F = self.below[:, :-1, None] + t * (y0 + 0.5 * s * t)
        body = (w * _GL_W * (F * (1.0 - F))).sum(axis=(1, 2))
        if self.beta_l is not None:
            body = body + self.tl * self.beta_l * (1.0 - 0.5 * self.tl)
        if self.right_kind is not None:
            m, a, L = self.tr, self.par_r, self.x[-1]
            if self.right_kind == "pareto":
                spread = np.where(a > 1, m * L * ((a - 1) * (2 - m) + 1)
                                  / ((a - 1) * (2 * a - 1)), np.inf)
            else:
                spread = m * a * (1.0 - 0.5 * m)
            body = body + np.where(m > 0, spread, 0.0)
        return np.where(np.isinf(mu), 1.0, body / mu)

    def _moment_below(self, points: Array) -> Array:
        """First moment about 0 of the mass below each row's point (rows, points)."""
        x, y = self.x, self.y
        terms = self.w / 6.0 * (x[:-1] * y[:, :-1] + (x[:-1] + x[1:]) * (y[:, :-1] + y[:, 1:])
                                + x[1:] * y[:, 1:])
        start = np.zeros(self.rows)
        if self.beta_l is not None:
            start = self.tl * (x[0] - self.beta_l)
        cumulative = np.concatenate([start[:, None], start[:, None] + np.cumsum(terms, axis=1)],
                                    axis=1)
        xc = np.clip(points, x[0], x[-1])
        i = np.clip(np.searchsorted(x, xc.ravel(), side="right") - 1, 0, len(x) - 2)
        i = i.reshape(xc.shape)
        rows = np.arange(self.rows)[:, None]
        a = x[i]
        h = xc - a
        y0 = y[rows, i]
        yx = y0 + self.slope[rows, i] * h
        partial = h / 6.0 * (a * y0 + (a + xc) * (y0 + yx) + xc * yx)
        moment = cumulative[rows, i] + partial
        if self.beta_l is not None:
            b = self.beta_l[:, None]
            lower = self.tl[:, None] * np.exp(-(x[0] - np.minimum(points, x[0])) / b) \
                * (points - b)
            moment = np.where(points < x[0], lower, moment)
        if self.right_kind is not None:
            mu = self.mean()[:, None]
            moment = np.where(points > x[-1], mu - self._right_moment_beyond(points),
                              moment)
        return moment

    def lorenz(self, p: Any) -> Array:
        fractions = np.atleast_1d(np.asarray(p, dtype=np.float64))
        mu = self.mean()[:, None]
        inner = np.clip(fractions, 1e-300, 1 - 1e-16)
        points = self.ppf(inner)
        share = self._moment_below(points) / mu
        share = np.where(fractions <= 0, 0.0, np.where(fractions >= 1, 1.0, share))
        return np.where(np.isinf(mu), np.where(fractions < 1, 0.0, 1.0), share)

    def top_share(self, p: Any) -> Array:
        """The share of the total held by the top fraction `p`: 1 - lorenz(1 - p)."""
        return 1.0 - self.lorenz(1.0 - np.atleast_1d(np.asarray(p, dtype=np.float64)))

    def masses(self, edges: Any) -> Array:
        return np.diff(self.cdf(edges), axis=1)


# ------------------------------------------------------------------------------ the inputs

def margin_to_se(margins: Any, level: float = 0.9) -> Array:
    """Standard errors of published margins of error at `level` (0.9: se = moe / 1.645)."""
    return np.asarray(margins, dtype=np.float64) / z_of(level)


def _bin_masses(stack: Stack, refine: int, left: bool, right: bool) -> Array:
    """The fitted mass of every bin (open ones included) of every row."""
    body = stack.areas.reshape(stack.rows, -1, refine).sum(axis=2)
    parts = ([stack.tl[:, None]] if left else []) + [body] + ([stack.tr[:, None]] if right else [])
    return np.concatenate(parts, axis=1)


def _bin_means(stack: Stack, edges: Array, left: bool, right: bool) -> Array:
    """The fitted mean within every bin of row 0 (open ones included; inf where a Pareto
    tail has none), from the first moments below the edges."""
    inner = edges[1 if left else 0: len(edges) - (1 if right else 0)]
    below = stack._moment_below(inner[None, :])[0]
    mu = float(stack.mean()[0])
    first = [below[0]] if left else []
    moments = np.concatenate([first, np.diff(below), [mu - below[-1]] if right else []])
    masses = _bin_masses(stack, (len(stack.x) - 1) // (len(inner) - 1), left, right)[0]
    return np.where(masses > 0, moments / masses, 0.0)


def share_covariance(counts: Array, standard_errors: Array) -> Array:
    """Cov(q) of the shares of independent counts with these standard errors:
    J diag(se^2) J', J = (I - q 1') / T."""
    total = float(counts.sum())
    q = counts / total
    J = (np.eye(len(q)) - np.outer(q, np.ones(len(q)))) / total
    return (J * standard_errors ** 2) @ J.T


def effective_size(counts: Array, standard_errors: Array) -> float:
    """The size of the multinomial sample whose shares vary as much in all as these
    counts' do (sum q (1 - q) / trace Cov(q)): the smoothing criterion's N."""
    q = counts / float(counts.sum())
    spread = float(np.trace(share_covariance(counts, standard_errors)))
    return float(np.sum(q * (1 - q)) / spread) if spread > 0 else math.inf


def local_alphas(shares: Array, edges: Array) -> Array:
    """Pareto indices of the last three pairs of a bin and all mass above it:
    (m + T) / T = (hi / lo) ** alpha, the last pair's being the fit's own interpolation."""
    above = np.cumsum(shares[::-1])[::-1]
    out = []
    k = len(shares)
    for j in (k - 2, k - 3, k - 4):
        lo, hi = edges[j], edges[j + 1]
        top = above[j + 1]
        if not (lo > 0 and top > 0):
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


# ------------------------------------------------------------------------------ the object

class Confidence:
    """Intervals for the summaries of one fit: every method mirrors the density's and
    returns (low, high), floats for a scalar argument and arrays for array input.

    `stack` row 0 is the fit. The sampling part comes from `plus` (the rows of the inputs
    moved by h standard deviations along each direction: linear) or from `replicates`
    (a bootstrap, percentile intervals); `bias` is the row of the fit redone on its own
    fitted masses, whose difference from row 0 is taken out. Each pair in `ranges`
    holds the rows at the two ends of a model term, which widens each side in quadrature.
    """

    def __init__(self, stack: Stack, level: float, *, plus: Sequence[int] = (),
                 h: float = 1.0, replicates: Sequence[int] = (), bias: Optional[int] = None,
                 ranges: Sequence[Tuple[int, int]] = (),
                 info: Optional[Dict[str, Any]] = None) -> None:
        self.stack, self.level, self.z = stack, level, z_of(level)
        self.plus, self.h = np.asarray(plus, int), h
        self.replicates = np.asarray(replicates, int)
        self.bias = bias
        self.ranges = [tuple(pair) for pair in ranges]
        self.info = info or {}

    def _sampling(self, values: Array) -> Tuple[Array, Array]:
        """The interval of the sampling part alone, the smoothing's bias taken out (so it
        need not hold the estimate)."""
        theta = values[0]
        shift = np.zeros_like(theta)
        if self.bias is not None:
            moved = values[self.bias] - theta
            shift = np.where(np.isfinite(moved), moved, 0.0)
        if self.replicates.size:
            reps = values[self.replicates]
            tail = (1.0 - self.level) / 2.0
            low = np.nanquantile(reps, tail, axis=0)
            high = np.nanquantile(reps, 1.0 - tail, axis=0)
            return low - shift, high - shift
        half = np.zeros_like(theta)
        if self.plus.size:
            grad = (values[self.plus] - theta) / self.h
            grad = np.where(np.isfinite(grad), grad, 0.0)
            half = self.z * np.sqrt((grad ** 2).sum(axis=0))
        return theta - shift - half, theta - shift + half

    def _interval(self, values: Array, bounds: Tuple[float, float] = (-np.inf, np.inf)
                  ) -> Tuple[Array, Array]:
        """(low, high) of a summary whose value in every row of the stack is `values`
        (rows, ...); run under `quiet`."""
        values = np.asarray(values, dtype=np.float64)
        if values.ndim == 1:
            values = values[:, None]
        theta = values[0]
        low, high = self._sampling(values)
        if self.ranges:
            down2 = np.zeros_like(theta)
            up2 = np.zeros_like(theta)
            diverges = np.zeros(theta.shape, bool)
            for pair in self.ranges:
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
            # A diverging estimate (a mean at alpha <= 1): open above, and below it the
            # least of what the other rows found.
            finite = np.where(np.isfinite(values), values, np.nan)
            least = np.nanmin(np.vstack([finite, np.full_like(theta, np.inf)[None]]), axis=0)
            low = np.where(np.isfinite(theta), low, least)
            high = np.where(np.isfinite(theta), high, np.inf)
        return np.clip(low, *bounds), np.clip(high, *bounds)

    @staticmethod
    def _shaped(pair: Tuple[Array, Array], scalar: bool) -> Tuple[Any, Any]:
        if scalar:
            return float(pair[0][0]), float(pair[1][0])
        return pair

    def _run(self, name: str, args: Tuple[Any, ...], bounds: Tuple[float, float],
             scalar: bool) -> Tuple[Any, Any]:
        with quiet():
            return self._shaped(self._interval(getattr(self.stack, name)(*args), bounds),
                                scalar)

    def estimate(self, name: str, *args: Any) -> Any:
        """The point value of a summary (the fit's own)."""
        with quiet():
            return getattr(self.stack, name)(*args)[0]

    def median(self) -> Tuple[float, float]:
        return self._run("median", (), (-np.inf, np.inf), True)

    def mean(self) -> Tuple[float, float]:
        return self._run("mean", (), (-np.inf, np.inf), True)

    def var(self) -> Tuple[float, float]:
        return self._run("var", (), (0.0, np.inf), True)

    def gini(self) -> Tuple[float, float]:
        return self._run("gini", (), (0.0, 1.0), True)

    def ppf(self, q: Any) -> Tuple[Any, Any]:
        return self._run("ppf", (q,), (-np.inf, np.inf), np.ndim(q) == 0)

    def cdf(self, x: Any) -> Tuple[Any, Any]:
        return self._run("cdf", (x,), (0.0, 1.0), np.ndim(x) == 0)

    def pdf(self, x: Any) -> Tuple[Any, Any]:
        return self._run("pdf", (x,), (0.0, np.inf), np.ndim(x) == 0)

    def lorenz(self, p: Any) -> Tuple[Any, Any]:
        return self._run("lorenz", (p,), (0.0, 1.0), np.ndim(p) == 0)

    def top_share(self, p: Any) -> Tuple[Any, Any]:
        return self._run("top_share", (p,), (0.0, 1.0), np.ndim(p) == 0)

    def masses(self, edges: Any) -> Tuple[Array, Array]:
        return self._run("masses", (edges,), (0.0, 1.0), False)


# ------------------------------------------------------------------------------ the method

#: The price of an effective degree of freedom in the package's choice of smoothing
#: (deviance + 3 edf, as its documentation states).
CRITERION_PRICE = 3.0
#: The smoothings tried about the criterion's choice: a decade at a time down and up
#: from it, at most this many each way, while the criterion supports them (from a choice
#: of 0, the exact fit, upwards from 1e-9).
SMOOTHING_STEPS = 3
#: How far above the chosen smoothing's criterion a supported one may lie: the 0.9
#: quantile of chi-square with one degree of freedom (a profile interval for log lambda).
SMOOTHING_RANGE = 2.71


def _fit(edges: Array, masses: Array, smoothing: Any, sample_size: float, mean: Any,
         refine: int, workers: int) -> Any:
    return zelvane.fit_smooth(edges, masses, refine=refine, smoothing=smoothing,
                              sample_size=sample_size, mean=mean, workers=workers)


def _fit_rows(edges: Array, masses: Array, smoothing: Any, sample_size: float,
              means: Optional[Array], refine: int, workers: int) -> Tuple[Any, Array]:
    """Fit every row in one batch. Where the fit refuses a row's mean as out of its reach
    (a replicate of few counts), the rows are fitted one by one, each refused mean moved
    just inside its reach and flagged."""
    try:
        return _fit(edges, masses, smoothing, sample_size, means, refine, workers), \
            np.zeros(masses.shape[0], bool)
    except zelvane.InputError as error:
        if means is None or error.problem != "unreachable_mean" or error.row is None:
            raise
    flagged = np.zeros(masses.shape[0], bool)
    fits = []
    for row in range(masses.shape[0]):
        mean = None if np.isnan(means[row]) else float(means[row])
        try:
            fits.append(_fit(edges, masses[row], smoothing, sample_size, mean, refine, 1))
            continue
        except zelvane.InputError as error:
            if error.problem != "unreachable_mean":
                raise
            lowest = error.details.get("lowest", -np.inf)
            highest = error.details.get("highest", np.inf)
        flagged[row] = True
        span = highest - lowest if np.isfinite(highest - lowest) else abs(lowest)
        mean = float(np.clip(mean, lowest + 1e-6 * span, highest - 1e-6 * span))
        fits.append(_fit(edges, masses[row], smoothing, sample_size, mean, refine, 1))
    return _Rows(fits), flagged


class _Rows:
    """Fits of single rows seen as one batch (what `Stack.of_fit` reads)."""

    def __init__(self, fits: Sequence[Any]) -> None:
        self.knots = fits[0].knots
        self.values = np.stack([f.values for f in fits])
        self.left_tail = self._tails([f.left_tail for f in fits])
        self.right_tail = self._tails([f.right_tail for f in fits])

    @staticmethod
    def _tails(tails: Sequence[Any]) -> Any:
        if all(t is None for t in tails):
            return None
        kinds = np.array([t.kind if t is not None else "none" for t in tails])
        field = [np.array([getattr(t, name) if t is not None else 0.0 for t in tails])
                 for name in ("joint", "mass", "parameter")]
        return zelvane.Tail(kinds, *field)


def _factor(cov: Array, tolerance: float = 1e-12) -> Array:
    """A (n, r) with A A' = cov (the eigenvectors of the positive part, scaled)."""
    vals, vecs = np.linalg.eigh(0.5 * (cov + cov.T))
    top = float(vals.max()) if vals.size else 0.0
    keep = vals > tolerance * max(top, 0.0)
    if not top > 0:
        keep[:] = False
    return vecs[:, keep] * np.sqrt(vals[keep])


def _mean_for_parameter(stack: Stack, parameter: Array, L: float) -> Array:
    """The mean of row 0 with its right tail's parameter moved to `parameter`, its mass
    held: what to ask of the fit with a mean for a tail of that parameter."""
    below = float(stack._moment_below(np.array([[L]]))[0, 0])
    tr = float(stack.tr[0])
    if stack.right_kind == "pareto":
        return below + tr * L * parameter / (parameter - 1.0)
    return below + tr * (L + parameter)


def _joined(a: Stack, b: Stack) -> Stack:
    """One stack of the rows of two on the same knots (a side's tail of no mass where
    one of them has none there)."""
    def side(first: Optional[Array], second: Optional[Array], mass_a: Array, mass_b: Array,
             fill: float) -> Optional[Tuple[Array, Array]]:
        if first is None and second is None:
            return None
        one = first if first is not None else np.full(a.rows, fill)
        two = second if second is not None else np.full(b.rows, fill)
        return np.concatenate([mass_a, mass_b]), np.concatenate([one, two])

    left = side(a.beta_l, b.beta_l, a.tl, b.tl, 1.0)
    right_pair = side(a.par_r, b.par_r, a.tr, b.tr, 2.0)
    kind = a.right_kind or b.right_kind
    right = None if right_pair is None else (kind, right_pair[0], right_pair[1])
    return Stack(a.x, np.concatenate([a.y, b.y]), left, right)


def _smoothing_ends(edges: Array, q: Array, n: float, mean: Any, lam: float, point: Any,
                    refine: int, workers: int, threshold: float,
                    info: Dict[str, Any]) -> Optional[Stack]:
    """The fits at the least and the most smoothing whose criterion lies within
    `threshold` of the chosen one's, walking a decade at a time from the choice: the
    range of smoothing the data support. None when only the choice itself is."""
    def criterion(fit: Any) -> float:
        return float(fit.deviance) + CRITERION_PRICE * float(fit.edf)

    best = criterion(point)
    supported = [(lam, point)]
    walks = [(lam * 0.1, 0.1), (lam * 10.0, 10.0)] if lam > 0 else [(1e-9, 10.0)]
    for value, factor in walks:
        for _ in range(SMOOTHING_STEPS):
            try:
                fit = _fit(edges, q, value, n, mean, refine, workers)
            except zelvane.InputError:
                break
            if criterion(fit) > best + threshold:
                break
            supported.append((value, fit))
            value *= factor
    if len(supported) == 1:
        return None
    supported.sort(key=lambda pair: pair[0])
    info["smoothing_range"] = (supported[0][0], supported[-1][0])
    return _joined(Stack.of_fit(supported[0][1]), Stack.of_fit(supported[-1][1]))


def confidence(counts: Any, edges: Any, **options: Any) -> Confidence:
    """Intervals at `level` for the summaries of the smooth fit of `counts` over `edges`
    (see `_confidence` for the options)."""
    with quiet():
        return _confidence(counts, edges, **options)


def _confidence(counts: Any, edges: Any, *, standard_errors: Any = None,
               sample_size: Optional[float] = None, exact: bool = False,
               mean: Optional[float] = None, mean_se: Optional[float] = None,
               smoothing: Any = "auto", refine: int = 4, level: float = 0.9,
               method: str = "auto", h: float = 1.0, replicates: int = 200,
               seed: Any = 0, reselect: bool = False, bias: bool = True,
               tail: bool = True, tail_spread: float = TAIL_SPREAD,
               tail_floor: float = TAIL_FLOOR, smoothing_range: float = SMOOTHING_RANGE,
               mean_covariance: bool = True, workers: int = 1) -> Confidence:
    """Intervals at `level` for the summaries of the smooth fit of `counts` over `edges`.

    `method`: "linear", "bootstrap", or "auto" (linear with an open top, else the
    bootstrap). Sources: `standard_errors` of the counts (independent); else, unless `exact`, the
    counts are a multinomial sample of `sample_size` (by default their sum). `mean` and
    `mean_se`: a published mean and its standard error (None or 0: held exactly);
    `mean_covariance` gives a sample's mean its covariance with the shares (multinomial
    source only). `tail`: without a mean, widen by the tail's range; `smoothing_range`
    (0: off): widen by the smoothings the criterion supports. `reselect`: the
    bootstrap's replicates choose their own smoothing. Deterministic for a `seed`.
    """
    edges = np.asarray(edges, dtype=np.float64)
    counts = np.asarray(counts, dtype=np.float64)
    z = z_of(level)
    if method == "auto":
        # First order where the top is an open tail; the bootstrap where the last bin is
        # closed, whose shape within (a bound active at its end or not) moves the mean,
        # the Gini and the top shares by more than the first order sees.
        method = "linear" if edges.size and np.isposinf(edges[-1]) else "bootstrap"
    if counts.ndim != 1 or edges.shape != (counts.shape[0] + 1,):
        raise ValueError("counts must be 1-D with one edge more than counts")
    total = float(counts.sum())
    q = counts / total
    k = len(q)
    right = bool(np.isposinf(edges[-1]))
    left = bool(np.isneginf(edges[0]))
    multinomial = False
    if standard_errors is not None:
        se = np.asarray(standard_errors, dtype=np.float64)
        if se.shape != counts.shape:
            raise ValueError("standard_errors must match the counts in length")
        if not np.all(np.isfinite(se)) or np.any(se < 0):
            raise ValueError("standard errors must be finite and non-negative")
        cov_q = share_covariance(counts, se)
        fit_size = float(sample_size) if sample_size is not None else \
            effective_size(counts, se)
    elif exact:
        cov_q = np.zeros((k, k))
        fit_size = np.inf
    else:
        fit_size = float(sample_size) if sample_size is not None else total
        multinomial = True
    chosen_smoothing = smoothing if np.isfinite(fit_size) else 0
    size_arg = fit_size if np.isfinite(fit_size) else None
    point = _fit(edges, q, chosen_smoothing, size_arg, mean, refine, workers)
    lam = float(point.smoothing)
    base = Stack.of_fit(point)
    p = _bin_masses(base, refine, left, right)[0]
    if multinomial:
        cov_q = (np.diag(p) - np.outer(p, p)) / fit_size
    has_mean = mean is not None
    mean_var = float(mean_se) ** 2 if (has_mean and mean_se) else 0.0
    info: Dict[str, Any] = {"smoothing": lam, "edf": float(point.edf), "n": fit_size,
                            "method": method}

    # The joint covariance of the inputs: the shares, then the mean where it is uncertain.
    cov = cov_q
    if mean_var > 0:
        cov = np.zeros((k + 1, k + 1))
        cov[:k, :k] = cov_q
        cov[k, k] = mean_var
        if multinomial and mean_covariance:
            mu_bins = _bin_means(base, edges, left, right)
            mu = float(base.mean()[0])
            c = p * (np.where(np.isfinite(mu_bins), mu_bins, mu) - mu) / fit_size
            cov[:k, k] = cov[k, :k] = c
            # What the shares explain of the mean's variance cannot exceed it.
            cov[k, k] = max(mean_var, float(c @ np.linalg.pinv(cov_q) @ c) * 1.0001)
    A = _factor(cov)
    mean_value = float(mean) if has_mean else np.nan

    rows_q: list = [q[None, :]]
    rows_m: list = [np.array([mean_value])]
    layout: Dict[str, Any] = {}
    at = 1
    if method == "linear":
        r = A.shape[1]
        step = h * A
        rows_q.append(np.maximum(q + step[:k].T, 0.0))
        moved = np.full(r, mean_value)
        if mean_var > 0:
            moved = moved + step[k]
        rows_m.append(moved)
        layout.update(plus=np.arange(at, at + r), h=h)
        at += r
    elif method == "bootstrap":
        rng = np.random.default_rng(seed)
        reps_m = np.full(replicates, mean_value)
        if multinomial and fit_size == round(fit_size):
            draws = rng.multinomial(int(fit_size), p / p.sum(), size=replicates).astype(float)
            reps_q = draws / draws.sum(axis=1, keepdims=True)
            if mean_var > 0:
                # Each replicate sample's mean: its shares' within-bin means, and the
                # draws within the bins as the mean's variance the shares leave.
                mu_bins = _bin_means(base, edges, left, right)
                mu_bins = np.where(np.isfinite(mu_bins), mu_bins, float(base.mean()[0]))
                explained = reps_q @ mu_bins
                c = cov[:k, k]
                rest = max(mean_var - float(c @ np.linalg.pinv(cov_q) @ c), 0.0)
                reps_m = mean_value + (explained - float(p @ mu_bins)) + rng.normal(
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
    else:
        raise ValueError(f"method must be 'auto', 'linear' or 'bootstrap', not {method!r}")
    if bias and lam > 0:
        # The fit redone on its own fitted masses: what smoothing once more moves.
        rows_q.append(p[None, :] / p.sum())
        rows_m.append(np.array([mean_value]))
        layout["bias"] = at
        at += 1
    ranges = []
    if tail and right and not has_mean and base.tr[0] > 0:
        down, up = tail_range(p, edges, z, tail_spread, tail_floor)
        a0 = float(base.par_r[0])
        ends = a0 * np.exp(np.array([-down, up]))
        if base.right_kind == "pareto":
            ends = np.maximum(ends, LOWEST_ALPHA)
        rows_q.append(np.stack([q, q]))
        rows_m.append(_mean_for_parameter(base, ends, float(edges[-2])))
        ranges.append((at, at + 1))
        at += 2
        info["tail_range"] = ends
    masses = np.concatenate(rows_q)
    means = np.concatenate(rows_m)
    smooth_rows: Any = "auto" if (reselect and method == "bootstrap" and lam > 0) else lam
    if smooth_rows == "auto" and ranges:
        # The tail's ends keep the chosen smoothing: fitted apart.
        head, fl1 = _fit_rows(edges, masses[:-2], smooth_rows, size_arg,
                              None if np.isnan(means[:-2]).all() else means[:-2], refine,
                              workers)
        ends_fit, fl2 = _fit_rows(edges, masses[-2:], lam, size_arg, means[-2:], refine,
                                  workers)
        stack = _joined(Stack.of_fit(head), Stack.of_fit(ends_fit))
        flagged = np.concatenate([fl1, fl2])
    else:
        fit, flagged = _fit_rows(edges, masses, smooth_rows, size_arg,
                                 None if np.isnan(means).all() else means, refine, workers)
        stack = Stack.of_fit(fit)
    info["flagged"] = int(flagged.sum())
    if smoothing_range > 0 and smoothing == "auto" and np.isfinite(fit_size):
        extra = _smoothing_ends(edges, q, fit_size, mean, lam, point, refine, workers,
                                smoothing_range, info)
        if extra is not None:
            ranges.append((stack.rows, stack.rows + 1))
            stack = _joined(stack, extra)
    return Confidence(stack, level, ranges=ranges, info=info, **layout)
