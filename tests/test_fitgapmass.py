"""fitgapmass as a caller sees it: worked examples and a slow reference fitter compared
bit for bit, zero widths, layouts of prob, other threads running during the numeric
work, and length refusals on memory that ends at an inaccessible page."""

import signal
import threading
import time

import numpy as np
import pytest

from conftest import (assert_bits_equal, check_on_random_inputs, f32, load_bake, module_frames,
                      run_guarded)
from slow_fitters import fit_iterative as reference_fit

# zelvane.bake itself: NumPy 1.x alone.
pytestmark = pytest.mark.needs_bake
bake = load_bake()

F = np.float32
NAN, INF, NEG0 = float("nan"), float("inf"), -0.0


TWO_PASS = ([0, 1, 2, 3, 4], [0.1, 0.5, 0.1, 0.3], [0, 0.3, 0.3, 0.19999999, 0.40000004])
EXAMPLES = {
    "unequal widths": ([0, 0.5, 2, 2.5], [0.25, 0.5, 0.25],
                       [0.5833333, 0.4166667, 0.4166667, 0.5833333]),
    "two passes": TWO_PASS,
    "negative masses": ([0, 1, 2], [-1, -1], [0, -2, 0]),
    "nan mass": ([0, 1, 2], [1, NAN], [NAN, NAN, NAN]),
    "overflowing initial value": ([0, 1, 2], [3.4e38, 2.6e38], [3.4e38, 3.4e38, 1.8000002e38]),
    "estimate formed in double": ([0, 1], [3e38], [3e38, 3e38]),
}


@pytest.mark.parametrize("center, gap, expected", EXAMPLES.values(), ids=EXAMPLES)
def test_worked_examples(center, gap, expected):
    c, g, prob = f32(*center), f32(*gap), np.full(len(center), 7, F)
    assert bake.fitgapmass(c, g, prob) is None
    assert_bits_equal(prob, expected)
    assert_bits_equal(reference_fit(c, g), expected)  # the reference itself is right


def test_matches_reference_on_random_strided_inputs():
    check_on_random_inputs(bake.fitgapmass, reference_fit)


@pytest.mark.parametrize("center, gap", [
    ([0, 1, 1, 2], [1, 2, 3]),
    ([0, 1, 2, 2], [NAN, -1, INF]),
    ([0.0, NEG0], [1]),
], ids=["middle", "last after nan and inf", "minus zero width"])
def test_zero_width_is_a_zero_division(center, gap):
    prob = np.arange(len(center), dtype=F) + F(0.25)
    with pytest.raises(ZeroDivisionError) as caught:
        bake.fitgapmass(f32(*center), f32(*gap), prob)
    assert str(caught.value) == "float division"
    assert module_frames(caught.value) == [(18, "zelvane.bake.fitgapmass"),
                                           (31, "zelvane.bake.fitgapmass")]
    assert_bits_equal(prob, np.arange(len(center)) + 0.25)


@pytest.mark.parametrize("fill", [NAN, -INF, NEG0])
def test_initial_prob_is_ignored_and_extras_are_kept(fill):
    # Read, the repeated centres past n would be zero widths.
    center, gap, expected = TWO_PASS
    prob = f32(*[fill] * 5, NEG0, 7, -1e30)
    bake.fitgapmass(f32(*center, 4, 4), f32(*gap), prob)
    assert_bits_equal(prob, expected + [NEG0, 7, -1e30])


def test_prob_may_share_storage_with_center_or_gap():
    center, gap, expected = TWO_PASS
    shared = f32(*center)
    bake.fitgapmass(shared, f32(*gap), shared)
    assert_bits_equal(shared, expected)
    shared = f32(*gap, 9)
    bake.fitgapmass(f32(*center), shared[:4], shared)
    assert_bits_equal(shared, expected)


def test_other_threads_run_during_a_long_fit():
    # Negative masses move values in every pass; the passes stop once they could change
    # nothing more, so the call is repeated until half a second of fitting has passed,
    # counting only the steps made while a call runs.
    n, count, stop = 500_000, [0], threading.Event()
    center, gap, prob = np.arange(n + 1, dtype=F), np.full(n, -1, F), np.empty(n + 1, F)

    def spin():  # sleep(0) yields the lock, so this advances only while the lock is free
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        while count[0] < 10:
            time.sleep(0.001)
        during, fitting = 0, 0.0
        while fitting < 0.5:
            before, start = count[0], time.perf_counter()
            bake.fitgapmass(center, gap, prob)
            during += count[0] - before
            fitting += time.perf_counter() - start
    finally:
        stop.set()
        spinner.join()
    assert during > 1000, f"another thread made only {during} steps during the call"


@pytest.mark.child_fault
def test_guard_page_faults():
    # Without this the guarded calls below could not catch an access past the end.
    rc, _, _, err = run_guarded("fitgapmass", [0, 1], [1], [0, 0], touch_guard=True)
    assert rc == -signal.SIGSEGV, (rc, err)


GUARDED = {
    "in rule": ([0, 1, 2, 3], [1, 2, 1], [9] * 4, None),
    "empty gap": ([0], [], [5], "gap has 0 elements, needs at least 1"),
    "gap None": ([0, 1], None, [5, 5], "gap has 0 elements, needs at least 1"),
    "short prob": ([0, 1, 2, 3], [1, 1, 1], [5, 5, 5],
                   "prob has 3 elements, needs at least 4 (len(gap) + 1)"),
    "prob None": ([0, 1, 2, 3], [1, 1, 1], None,
                  "prob has 0 elements, needs at least 4 (len(gap) + 1)"),
    "short center": ([0, 1], [1, 1, 1], [5, 5, 5, 5],
                     "center has 2 elements, needs at least 4 (len(gap) + 1)"),
    "center None": (None, [1, 1, 1], [5, 5, 5, 5],
                    "center has 0 elements, needs at least 4 (len(gap) + 1)"),
}


@pytest.mark.parametrize("center, gap, prob, message", GUARDED.values(), ids=GUARDED)
def test_calls_on_memory_ending_at_a_guard_page(center, gap, prob, message):
    rc, outcome, after, err = run_guarded("fitgapmass", center, gap, prob)
    assert rc == 0, f"the call crashed (rc={rc}): {err}"
    assert outcome == (message and ["ValueError", message])
    want = (prob or []) if message else reference_fit(f32(*center), f32(*gap))
    assert_bits_equal(after or [], want)
