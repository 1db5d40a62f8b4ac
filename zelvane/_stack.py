"""The stack: fitted densities on shared knots, every summary evaluated for all of them
at once in closed form.

The intervals of ``zelvane._confidence`` refit a histogram many times in one native
batch (moved shares, bootstrap replicates, the ends of a tail's or a smoothing's range);
a :class:`Stack` holds those fits as arrays, one row per fit, and evaluates the
summaries a ``Confidence`` asks for (``cdf``, ``ppf``, moments, Gini, Lorenz, bin
masses) for every row at once. ``_Rows`` presents fits of single rows as one batch.
"""

from __future__ import annotations

import math
from typing import Any, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from zelvane._density import PiecewiseLinearDensity
from zelvane._tails import Tail

__all__ = ["Stack", "quiet"]

Array = npt.NDArray[np.float64]

# Gauss-Legendre, three nodes on [0, 1]: exact for F (1 - F), a quartic on a piece.
_GL_X = np.array([0.5 - 0.5 * math.sqrt(0.6), 0.5, 0.5 + 0.5 * math.sqrt(0.6)])
_GL_W = np.array([5.0, 8.0, 5.0]) / 18.0


def quiet() -> Any:
    """The floating-point state the stack runs under: no warnings (infinities of a tail
    whose moments diverge, branches of `np.where` that are not taken)."""
    return np.errstate(all="ignore")


# ----------------------------------------------------------------------------- the stack

class Stack:
    """Densities on shared knots, one per row, each summary evaluated for all rows at once.

    Built from a fit's knots, values (rows, knots) and tails (mass and parameter per
    row), normalised to a total of 1 as `PiecewiseLinearDensity` is. Its methods run
    under :func:`quiet`.
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
        # The left tail's scale, the right tail's kind and parameter (None: no tail).
        self.beta_l: Any = None if left is None else \
            np.broadcast_to(left[1], (rows,)).astype(float)
        self.right_kind: Any = None if right is None else right[0]
        self.par_r: Any = None if right is None else \
            np.broadcast_to(right[2], (rows,)).astype(float)
        self.below = np.concatenate([self.tl[:, None],
                                     self.tl[:, None] + np.cumsum(self.areas, axis=1)], axis=1)
        self.slope = np.diff(self.y, axis=1) / w
        self.rows = rows

    @classmethod
    def of_fit(cls, fit: Any) -> Stack:
        """The stack of a smooth fit (one histogram or a batch on shared edges)."""
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

    @classmethod
    def joined(cls, a: Stack, b: Stack) -> Stack:
        """One stack of the rows of two on the same knots (a side's tail of no mass where
        one of them has none there)."""
        def side(first: Optional[Array], second: Optional[Array], mass_a: Array,
                 mass_b: Array, fill: float) -> Optional[Tuple[Array, Array]]:
            if first is None and second is None:
                return None
            one = first if first is not None else np.full(a.rows, fill)
            two = second if second is not None else np.full(b.rows, fill)
            return np.concatenate([mass_a, mass_b]), np.concatenate([one, two])

        left = side(a.beta_l, b.beta_l, a.tl, b.tl, 1.0)
        right_pair = side(a.par_r, b.par_r, a.tr, b.tr, 2.0)
        kind = a.right_kind or b.right_kind
        right: Any = None if right_pair is None else (kind, right_pair[0], right_pair[1])
        return cls(a.x, np.concatenate([a.y, b.y]), left, right)

    def density(self, row: int) -> PiecewiseLinearDensity:
        """Row `row` as a `PiecewiseLinearDensity`."""
        left = right = None
        if self.beta_l is not None and self.tl[row] > 0:
            left = Tail("exponential", float(self.x[0]), float(self.tl[row]),
                        float(self.beta_l[row]))
        if self.right_kind is not None and self.tr[row] > 0:
            right = Tail(self.right_kind, float(self.x[-1]), float(self.tr[row]),
                         float(self.par_r[row]))
        return PiecewiseLinearDensity._from_fit(self.x, self.y[row], left_tail=left,
                                                right_tail=right)

    def _right_beyond(self, x: Array) -> Any:
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
            tail = self.tl[:, None] * np.exp(-(x[0] - np.minimum(p, x[0]))
                                             / self.beta_l[:, None])
            F = np.where(p < x[0], tail, F)
        if self.right_kind is not None:
            F = np.where(p > x[-1], 1.0 - self.tr[:, None] * self._right_beyond(p), F)
        return np.asarray(F, dtype=np.float64)

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
        return np.asarray(f, dtype=np.float64)

    def ppf(self, levels: Any) -> Any:
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
            tail = x[0] + self.beta_l[:, None] * np.log(u[None, :] / self.tl[:, None])
            out = np.where(u[None, :] < self.tl[:, None], tail, out)
        if self.right_kind is not None:
            high = u[None, :] > 1.0 - self.tr[:, None]
            frac = (1.0 - u[None, :]) / self.tr[:, None]
            a = self.par_r[:, None]
            if self.right_kind == "pareto":
                tail = x[-1] * np.power(frac, -1.0 / a)
            else:
                tail = x[-1] - a * np.log(frac)
            out = np.where(high, tail, out)
        return out

    def median(self) -> Any:
        return self.ppf(0.5)[:, 0]

    def mean(self) -> Any:
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
        v = (self.w / 6.0 * (left ** 2 * y[:, :-1] + 2 * mid ** 2 * (y[:, :-1] + y[:, 1:])
                             + right ** 2 * y[:, 1:])).sum(axis=1)
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

    def moment_below(self, points: Array) -> Any:
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
            moment = np.where(points > x[-1], mu - self._right_moment_beyond(points), moment)
        return moment

    def lorenz(self, p: Any) -> Array:
        fractions = np.atleast_1d(np.asarray(p, dtype=np.float64))
        mu = self.mean()[:, None]
        points = self.ppf(np.clip(fractions, 1e-300, 1 - 1e-16))
        share = self.moment_below(points) / mu
        share = np.where(fractions <= 0, 0.0, np.where(fractions >= 1, 1.0, share))
        return np.where(np.isinf(mu), np.where(fractions < 1, 0.0, 1.0), share)

    def top_share(self, p: Any) -> Array:
        """The share of the total held by the top fraction `p`: 1 - lorenz(1 - p)."""
        return 1.0 - self.lorenz(1.0 - np.atleast_1d(np.asarray(p, dtype=np.float64)))

    def masses(self, edges: Any) -> Array:
        return np.diff(self.cdf(edges), axis=1)

    def bin_masses(self, refine: int, left: bool, right: bool) -> Array:
        """The fitted mass of every bin (open ones included) of every row."""
        body = self.areas.reshape(self.rows, -1, refine).sum(axis=2)
        parts = ([self.tl[:, None]] if left else []) + [body] + \
            ([self.tr[:, None]] if right else [])
        return np.concatenate(parts, axis=1)

    def bin_means(self, edges: Array, refine: int, left: bool, right: bool) -> Array:
        """The fitted mean within every bin of row 0 (open ones included; the overall
        mean where a bin has no mass or a Pareto tail none)."""
        inner = edges[1 if left else 0: len(edges) - (1 if right else 0)]
        below = self.moment_below(inner[None, :])[0]
        mu = float(self.mean()[0])
        moments = np.concatenate([[below[0]] if left else [], np.diff(below),
                                  [mu - below[-1]] if right else []])
        masses = self.bin_masses(refine, left, right)[0]
        means = np.where(masses > 0, moments / np.where(masses > 0, masses, 1.0), mu)
        return np.where(np.isfinite(means), means, mu)


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
        fields = [np.array([getattr(t, name) if t is not None else 0.0 for t in tails])
                  for name in ("joint", "mass", "parameter")]
        batch: Any = Tail  # fields of one entry per row
        return batch(kinds, *fields)
