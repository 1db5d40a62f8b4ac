"""Slow reference fitters for the tests: the rules of both solvers written out on
float32 scalars, one rounding per operation, so that the extension's results can be
compared with them bit for bit. Each takes float32 vectors (center, gap), reads the
first len(gap) + 1 centres, and returns the len(gap) + 1 values as a float32 array,
or raises ZeroDivisionError for a zero width as the extension does."""

import numpy as np

F = np.float32


def fit_iterative(center, gap):
    """fitgapmass: mean densities, then at most 128 forward-and-backward relaxation passes."""
    n, zero = len(gap), F(0.0)

    def estimate(a, p):  # 2a - p formed in double and rounded once to float32
        return F(2.0 * float(a) - float(p))

    def interior(i):
        est1, est2 = estimate(average[i - 1], p[i - 1]), estimate(average[i], p[i + 1])
        low, high = (est1 if est1 < est2 else est2), (est1 if est1 > est2 else est2)
        low, moved = (zero if low < 0 else low), False
        if p[i] < low:
            p[i], moved = low, True
        if p[i] > high:
            p[i], moved = high, True
        return moved

    with np.errstate(all="ignore"):
        widths = [F(center[i + 1]) - F(center[i]) for i in range(n)]
        if 0 in widths:
            raise ZeroDivisionError("float division")
        average = [F(gap[i]) / widths[i] for i in range(n)]
        p = ([average[0]] + [(average[i - 1] + average[i]) * F(0.5) for i in range(1, n)]
             + [average[n - 1]])
        for _ in range(128):
            change = False
            for i in range(1, n):
                change |= interior(i)
            last = estimate(average[n - 1], p[n - 1])
            p[n] = zero if last < 0 else last
            for i in range(n - 1, 0, -1):
                change |= interior(i)
            first = estimate(average[0], p[1])
            p[0] = zero if first < 0 else first
            if not change:
                break
    return np.array(p, dtype=F)


def fit_exact(center, gap):
    """fitgapmass_meh: pair sums, non-negativity bounds both ways, then alternating
    subtraction from the least first value."""
    n = len(gap) + 1
    with np.errstate(all="ignore"):
        gsum = []
        for i in range(len(gap)):
            width = F(center[i + 1]) - F(center[i])
            if width == 0:
                raise ZeroDivisionError("float division")
            gsum.append((F(gap[i]) + F(gap[i])) / width)
        low, high = [F(0)] * n, [None] * n
        if n > 1:
            high[0], high[n - 1] = gsum[0], gsum[n - 2]
        for i in range(1, n - 1):
            high[i] = gsum[i - 1] if gsum[i - 1] < gsum[i] else gsum[i]
        # a bound moves only on a strict improvement; any comparison with NaN is false
        for i in range(len(gap)):
            low[i + 1] = v if (v := gsum[i] - high[i]) > low[i + 1] else low[i + 1]
            high[i + 1] = v if (v := gsum[i] - low[i]) < high[i + 1] else high[i + 1]
        for i in reversed(range(len(gap))):
            low[i] = v if (v := gsum[i] - high[i + 1]) > low[i] else low[i]
            high[i] = v if (v := gsum[i] - low[i + 1]) < high[i] else high[i]
        prob = [low[0]]
        for i in range(1, n):
            prob.append(gsum[i - 1] - prob[i - 1])
    return np.array(prob, dtype=F)
