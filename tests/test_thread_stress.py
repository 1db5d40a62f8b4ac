"""Eight threads calling the fitters at the same time, for a bounded time, on inputs of
their own and on inputs that all of them share and only read: both functions of
zelvane.bake (where it loads: NumPy 1.x), and zelvane._rows through zelvane._native with
two native workers per call, batches and single histograms. Every result must be the
serial result bit for bit, a zero width must raise in every thread and leave its output
as it was, and the shared inputs must not change.

ZELVANE_STRESS_SECONDS sets how long each test runs (default 1); CI's long form sets
more."""

import os
import threading
import time

import numpy as np
import pytest

from conftest import load_bake
from zelvane import _native

THREADS = 8
SECONDS = float(os.environ.get("ZELVANE_STRESS_SECONDS", "1"))
FILL = np.float32(7.25)


def bake_call(func):
    return lambda center, gap, out: func(center, gap, out)


def rows_call(method):
    return lambda center, gap, out: _native.fit_values(method, center, gap, out, 2)


def make_cases(with_bake, seed=7):
    """(call, center, gap) of several sizes, so that calls overlap in every phase, and
    with a zero width, which raises after the lock is released. One histogram goes to
    both functions of zelvane.bake `with_bake`, else to zelvane._rows as a batch of one."""
    rng, cases = np.random.default_rng(seed), []
    if with_bake:
        bake = load_bake()
        calls = [bake_call(bake.fitgapmass), bake_call(bake.fitgapmass_meh)]
    else:
        calls = [rows_call("iterative"), rows_call("exact")]
    for n in (1, 7, 300, 20_000):
        center = np.cumsum(rng.uniform(0.1, 2, n + 1)).astype(np.float32)
        gap = rng.normal(1, 1, n).astype(np.float32)
        cases += [(call, center, gap) for call in calls]
    center, gap = np.arange(5000, dtype=np.float32), np.ones(4999, np.float32)
    center[4000] = center[3999]
    cases += [(call, center, gap) for call in calls]
    for batch, m in ((3, 5), (400, 40)):  # shared centres, then one row of centres each
        center = np.cumsum(rng.uniform(0.1, 2, m + 1)).astype(np.float32)
        per_row = np.cumsum(rng.uniform(0.1, 2, (batch, m + 1)), axis=1).astype(np.float32)
        gap = rng.normal(1, 1, (batch, m)).astype(np.float32)
        cases += [(rows_call(method), c, gap) for method in ("iterative", "exact")
                  for c in (center, per_row)]
    return cases


def output_for(gap):
    return np.full(gap.shape[:-1] + (gap.shape[-1] + 1,), FILL, np.float32)


def call_once(call, center, gap):
    """The output of one call, or None when it raised ZeroDivisionError, in which case
    the output must have kept its fill."""
    out = output_for(gap)
    try:
        call(center, gap, out)
    except ZeroDivisionError:
        assert (out == FILL).all(), "a failed call wrote its output"
        return None
    return out


def same(got, want):
    if got is None or want is None:
        return got is want
    return np.array_equal(got.view(np.uint32), want.view(np.uint32))


def run_threads(cases, expected, shared):
    """THREADS threads call every case over and over, from different starting points,
    until SECONDS have passed. Returns (calls made, list of failures)."""
    start, failures, counts = threading.Barrier(THREADS), [], [0] * THREADS

    def worker(k):
        own = cases if shared else [(f, c.copy(), g.copy()) for f, c, g in cases]
        start.wait()
        deadline, i = time.monotonic() + SECONDS, k
        while time.monotonic() < deadline or i < k + len(cases):
            index = i % len(cases)
            try:
                if not same(call_once(*own[index]), expected[index]):
                    failures.append((k, index, "differs"))
            except AssertionError as error:
                failures.append((k, index, str(error)))
            i += 1
        counts[k] = i - k

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sum(counts), failures


@pytest.mark.parametrize("with_bake", [
    pytest.param(True, marks=pytest.mark.needs_bake, id="bake and rows"),
    pytest.param(False, id="rows alone")])
@pytest.mark.parametrize("shared", [False, True], ids=["own inputs", "shared inputs"])
def test_threads_get_the_serial_results(shared, with_bake):
    cases = make_cases(with_bake)
    before = [(c.copy(), g.copy()) for _, c, g in cases]
    expected = [call_once(*case) for case in cases]
    assert sum(e is None for e in expected) == 2
    calls, failures = run_threads(cases, expected, shared)
    assert failures == [], f"{len(failures)} of {calls} calls failed, first: {failures[:5]}"
    assert calls >= THREADS * len(cases)
    for (_, center, gap), (c, g) in zip(cases, before):
        assert np.array_equal(center, c) and np.array_equal(gap, g)
