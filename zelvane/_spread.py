"""The quantiles behind the confidence intervals: the normal law's, Student's t by its
expansion in the degrees of freedom, and the bootstrap's interval about the replicates'
median from the spread on each side."""

from __future__ import annotations

import functools
from typing import Tuple

import numpy as np
import numpy.typing as npt

__all__ = ["spread_interval", "t_of", "z_of"]

Array = npt.NDArray[np.float64]


def z_of(level: float) -> float:
    """The two-sided normal quantile of a central interval at `level` (in (0, 1))."""
    from statistics import NormalDist

    return NormalDist().inv_cdf(0.5 + level / 2.0)


def t_of(level: float, freedom: int) -> float:
    """The two-sided Student t quantile of a central interval at `level` with `freedom`
    degrees of freedom (1 or more): the normal quantile's Cornish-Fisher expansion in
    1 / freedom, to four terms (within 1e-4 of the exact quantile from 8 degrees of
    freedom on, at levels up to 0.95)."""
    return _t_of(float(level), max(int(freedom), 1))


@functools.lru_cache(maxsize=256)
def _t_of(level: float, nu: int) -> float:
    z = z_of(level)
    z2 = z * z
    return z + z * (z2 + 1) / (4 * nu) + z * (5 * z2 ** 2 + 16 * z2 + 3) / (96 * nu ** 2) + \
        z * (3 * z2 ** 3 + 19 * z2 ** 2 + 17 * z2 - 15) / (384 * nu ** 3) + \
        z * (79 * z2 ** 4 + 776 * z2 ** 3 + 1482 * z2 ** 2 - 1920 * z2 - 945) / (92160 * nu ** 4)


def spread_interval(replicates: Array, level: float) -> Tuple[Array, Array]:
    """(low, high) of each column of `replicates` (one row per replicate; NaN where a
    replicate has no value): the column's median less and plus the t quantile times the
    root mean square distance of the finite replicates below it, and above it. An end
    where more than the interval leaves out of the replicates are infinite is infinite."""
    reps = np.asarray(replicates, dtype=np.float64)
    finite = np.isfinite(reps)
    every = bool(finite.all())
    if every:
        ordered = np.sort(reps, axis=0)
        n = ordered.shape[0]
        centre = 0.5 * (ordered[(n - 1) // 2] + ordered[n // 2]) if n else np.full(
            reps.shape[1:], np.nan)
    else:
        valid = ~np.isnan(reps)
        centre = np.nanmedian(np.where(valid.any(axis=0), reps, 0.0), axis=0)
    distance = np.where(finite, reps - centre, 0.0) if not every else reps - centre
    squares = distance * distance
    ends = []
    for below in (True, False):
        side = distance < 0 if below else distance > 0
        count = side.sum(axis=0)
        spread = np.sqrt((squares * side).sum(axis=0) / np.maximum(count, 1))
        t = np.array([t_of(level, c - 1) for c in count.tolist()])
        end = centre - t * spread if below else centre + t * spread
        if not every:
            infinite = (reps == (-np.inf if below else np.inf)).sum(axis=0)
            beyond = infinite > 0.5 * (1.0 - level) * np.maximum(valid.sum(axis=0), 1)
            end = np.where(beyond, -np.inf if below else np.inf, end)
        ends.append(end)
    return ends[0], ends[1]
