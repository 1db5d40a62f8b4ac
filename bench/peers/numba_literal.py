"""The literal pass loop and the exact steps under numba: what a performance-minded
user would write. Same operations and precision as the rules; no early stop."""

from __future__ import annotations

from typing import Any, Callable, Tuple

import numpy as np


def compile_peers() -> Tuple[Callable[..., Any], Callable[..., Any]]:
    """(fitgapmass, fitgapmass_meh) compiled by numba; raises ImportError without it."""
    try:
        import numba
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError("the numba peer needs numba: pip install 'zelvane[bench]'") from exc

    f32 = np.float32
    f64 = np.float64

    @numba.njit(cache=False)
    def estimate(a: Any, p: Any) -> Any:
        return f32(f64(2.0) * f64(a) - f64(p))

    @numba.njit(cache=False)
    def step(average: Any, prob: Any, i: int) -> bool:
        est1 = estimate(average[i - 1], prob[i - 1])
        est2 = estimate(average[i], prob[i + 1])
        low = est1 if est1 < est2 else est2
        high = est1 if est1 > est2 else est2
        if low < f32(0.0):
            low = f32(0.0)
        moved = False
        if prob[i] < low:
            prob[i] = low
            moved = True
        if prob[i] > high:
            prob[i] = high
            moved = True
        return moved

    @numba.njit(cache=False)
    def fitgapmass(center: Any, gap: Any, prob: Any) -> int:
        n = gap.shape[0]
        average = np.empty(n, dtype=np.float32)
        for i in range(n):
            w = f32(center[i + 1] - center[i])
            if w == f32(0.0):
                raise ZeroDivisionError("float division")
            average[i] = f32(gap[i] / w)
        prob[0] = average[0]
        for i in range(1, n):
            prob[i] = f32(f32(average[i - 1] + average[i]) * f32(0.5))
        prob[n] = average[n - 1]
        passes = 0
        for _ in range(128):
            passes += 1
            change = False
            for i in range(1, n):
                if step(average, prob, i):
                    change = True
            v = estimate(average[n - 1], prob[n - 1])
            prob[n] = f32(0.0) if v < f32(0.0) else v
            for i in range(n - 1, 0, -1):
                if step(average, prob, i):
                    change = True
            v = estimate(average[0], prob[1])
            prob[0] = f32(0.0) if v < f32(0.0) else v
            if not change:
                break
        return passes

    @numba.njit(cache=False)
    def fitgapmass_meh(center: Any, gap: Any, prob: Any) -> None:
        n = prob.shape[0]
        m = n - 1
        gsum = np.empty(m, dtype=np.float32)
        low = np.empty(n, dtype=np.float32)
        high = np.empty(n, dtype=np.float32)
        for i in range(m):
            w = f32(center[i + 1] - center[i])
            if w == f32(0.0):
                raise ZeroDivisionError("float division")
            gsum[i] = f32(f32(gap[i] + gap[i]) / w)
        for i in range(n):
            low[i] = f32(0.0)
            if n < 2:
                continue
            if i == 0:
                high[i] = gsum[0]
            elif i == n - 1:
                high[i] = gsum[n - 2]
            else:
                high[i] = gsum[i - 1] if gsum[i - 1] < gsum[i] else gsum[i]
        for i in range(m):
            v = f32(gsum[i] - high[i])
            if v > low[i + 1]:
                low[i + 1] = v
            v = f32(gsum[i] - low[i])
            if v < high[i + 1]:
                high[i + 1] = v
        for i in range(m - 1, -1, -1):
            v = f32(gsum[i] - high[i + 1])
            if v > low[i]:
                low[i] = v
            v = f32(gsum[i] - low[i + 1])
            if v < high[i]:
                high[i] = v
        prob[0] = low[0]
        for i in range(1, n):
            prob[i] = f32(gsum[i - 1] - prob[i - 1])

    return fitgapmass, fitgapmass_meh
