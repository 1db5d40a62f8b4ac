"""Eight threads calling the fitters at the same time, for a bounded time, on inputs of
their own and on inputs that all of them share and only read: every result must be the
serial result bit for bit, a zero width must raise in every thread and leave its prob
as it was, and the shared inputs must not change.

ZELVANE_STRESS_SECONDS sets how long each test runs (default 1); CI's long form sets
more."""

import os
import threading
import time

import numpy as np
import pytest

from zelvane import bake

THREADS = 8
SECONDS = float(os.environ.get("ZELVANE_STRESS_SECONDS", "1"))
FUNCTIONS = (bake.fitgapmass, bake.fitgapmass_meh)


def make_cases(seed=7):
    """(function, center, gap) of several sizes, so that calls overlap in every phase,
    and one with a zero width, which raises after the lock is released."""
    rng, cases = np.random.default_rng(seed), []
    for n in (1, 7, 300, 20_000):
        center = np.cumsum(rng.uniform(0.1, 2, n + 1)).astype(np.float32)
        gap = rng.normal(1, 1, n).astype(np.float32)
        cases += [(func, center, gap) for func in FUNCTIONS]
    center, gap = np.arange(5000, dtype=np.float32), np.ones(4999, np.float32)
    center[4000] = center[3999]
    return cases + [(func, center, gap) for func in FUNCTIONS]


def serial(cases):
    """The result of each case called alone: prob, or None for ZeroDivisionError."""
    results = []
    for func, center, gap in cases:
        prob = np.full(len(gap) + 1, 7.25, np.float32)
        try:
            func(center, gap, prob)
        except ZeroDivisionError:
            prob = None
        results.append(prob)
    return results


def run_threads(cases, expected, shared):
    """THREADS threads call every case over and over, from different starting points,
    until SECONDS have passed. Returns (calls made, list of failures)."""
    start, failures, calls = threading.Barrier(THREADS), [], [0] * THREADS

    def worker(k):
        own = cases if shared else [(f, c.copy(), g.copy()) for f, c, g in cases]
        start.wait()
        deadline, i = time.monotonic() + SECONDS, k
        while time.monotonic() < deadline or i < k + len(cases):
            index = i % len(cases)
            func, center, gap = own[index]
            prob = np.full(len(gap) + 1, 7.25, np.float32)
            try:
                func(center, gap, prob)
                got = prob
            except ZeroDivisionError:
                got = None
                if not (prob == 7.25).all():
                    failures.append((k, index, func.__name__, "prob changed"))
            want = expected[index]
            if (got is None) != (want is None) or (
                    got is not None and not np.array_equal(got.view(np.uint32),
                                                           want.view(np.uint32))):
                failures.append((k, index, func.__name__, "differs"))
            i += 1
        calls[k] = i - k

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sum(calls), failures


@pytest.mark.parametrize("shared", [False, True], ids=["own inputs", "shared inputs"])
def test_threads_get_the_serial_results(shared):
    cases = make_cases()
    before = [(c.copy(), g.copy()) for _, c, g in cases]
    expected = serial(cases)
    assert sum(e is None for e in expected) == 2
    calls, failures = run_threads(cases, expected, shared)
    assert failures == [], f"{len(failures)} of {calls} calls differ, first: {failures[:5]}"
    assert calls >= THREADS * len(cases)
    for (_, center, gap), (c, g) in zip(cases, before):
        assert np.array_equal(center, c) and np.array_equal(gap, g)
