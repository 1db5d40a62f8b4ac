"""Both fitters with NumPy and plain Python alone: what a user has without zelvane.bake.

The element-wise phases are NumPy float32 operations; the passes, which depend on
the values just written, are a Python loop over Python floats, each result rounded
to float32 as the rules say (a double result rounded once is the float32 result)."""

from __future__ import annotations

import numpy as np

_f32 = np.float32


def _round(x: float) -> float:
    return float(_f32(x))


def fitgapmass(center: np.ndarray, gap: np.ndarray, prob: np.ndarray) -> int:
    n = len(gap)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        width = center[1 : n + 1] - center[:n]
        if (width == 0).any():
            raise ZeroDivisionError("float division")
        average = gap[:n] / width
        start = np.empty(n + 1, dtype=np.float32)
        start[0], start[n] = average[0], average[n - 1]
        start[1:n] = (average[:-1] + average[1:]) * _f32(0.5)
    a = average.tolist()
    p = start.tolist()

    def step(i: int) -> bool:
        est1 = _round(2.0 * a[i - 1] - p[i - 1])
        est2 = _round(2.0 * a[i] - p[i + 1])
        low = est1 if est1 < est2 else est2
        high = est1 if est1 > est2 else est2
        if low < 0.0:
            low = 0.0
        moved = False
        if p[i] < low:
            p[i], moved = low, True
        if p[i] > high:
            p[i], moved = high, True
        return moved

    passes = 0
    for passes in range(1, 129):
        change = False
        for i in range(1, n):
            change = step(i) or change
        v = _round(2.0 * a[n - 1] - p[n - 1])
        p[n] = 0.0 if v < 0.0 else v
        for i in range(n - 1, 0, -1):
            change = step(i) or change
        v = _round(2.0 * a[0] - p[1])
        p[0] = 0.0 if v < 0.0 else v
        if not change:
            break
    prob[: n + 1] = p
    return passes


def fitgapmass_meh(center: np.ndarray, gap: np.ndarray, prob: np.ndarray) -> None:
    n = len(prob)
    m = n - 1
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        width = center[1 : m + 1] - center[:m]
        if (width == 0).any():
            raise ZeroDivisionError("float division")
        gsum = (gap + gap) / width
        high = np.empty(n, dtype=np.float32)
        if n >= 2:
            high[0], high[n - 1] = gsum[0], gsum[n - 2]
            high[1 : n - 1] = np.where(gsum[:-1] < gsum[1:], gsum[:-1], gsum[1:])
    s = gsum.tolist()
    lo = [0.0] * n
    hi = high.tolist()
    for i in range(m):
        v = _round(s[i] - hi[i])
        if v > lo[i + 1]:
            lo[i + 1] = v
        v = _round(s[i] - lo[i])
        if v < hi[i + 1]:
            hi[i + 1] = v
    for i in range(m - 1, -1, -1):
        v = _round(s[i] - hi[i + 1])
        if v > lo[i]:
            lo[i] = v
        v = _round(s[i] - lo[i + 1])
        if v < hi[i]:
            hi[i] = v
    out = [lo[0]]
    for i in range(1, n):
        out.append(_round(s[i - 1] - out[-1]))
    prob[:] = out
