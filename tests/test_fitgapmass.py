"""fitgapmass as a caller sees it: worked examples and a slow reference fitter,
compared bit for bit; zero widths; strided views; other threads running during
the numeric work; and the refusal of calls whose vector lengths do not fit,
tried on memory that ends at an inaccessible page."""

import json
import signal
import threading
import time

import numpy as np
import pytest

from conftest import assert_bits_equal, f32, module_frames, run_python

import zelvane.bake as bake
F = np.float32
NAN, INF, NEG0 = float("nan"), float("inf"), -0.0
FIT_ENTRY, ZERO_WIDTH_ENTRY = (18, "zelvane.bake.fitgapmass"), (31, "zelvane.bake.fitgapmass")


def reference_fit(center, gap):
    """The fitter's rules written out on float32 scalars, one statement per step."""
    n, zero, half = len(gap), F(0.0), F(0.5)

    def estimate(a, p):  # 2a - p formed in double and rounded once to float32
        return F(2.0 * float(a) - float(p))

    def interior(i):
        est1, est2 = estimate(average[i - 1], p[i - 1]), estimate(average[i], p[i + 1])
        low = est1 if est1 < est2 else est2
        high = est1 if est1 > est2 else est2
        if low < 0:
            low = zero
        moved = False
        if p[i] < low:
            p[i], moved = low, True
        if p[i] > high:
            p[i], moved = high, True
        return moved

    with np.errstate(all="ignore"):
        average = []
        for i in range(n):
            width = F(center[i + 1]) - F(center[i])
            if width == 0:
                raise ZeroDivisionError("float division")
            average.append(F(gap[i]) / width)
        p = ([average[0]] + [(average[i - 1] + average[i]) * half for i in range(1, n)]
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


TWO_PASS = ([0, 1, 2, 3, 4], [0.1, 0.5, 0.1, 0.3], [0, 0.3, 0.3, 0.19999999, 0.40000004])
EXAMPLES = {
    "one interval": ([0, 1], [2], [2, 2]),
    "one negative interval": ([0, 1], [-1], [0, 0]),
    "equal masses": ([0, 1, 2], [0.5, 0.5], [0.5, 0.5, 0.5]),
    "zero mass between unit masses": ([0, 1, 2, 3], [1, 0, 1], [1.5, 0.5, 0.5, 1.5]),
    "heavy middle": ([0, 1, 2, 3], [1, 2, 1], [0.5, 1.5, 1.5, 0.5]),
    "unequal widths": ([0, 0.5, 2, 2.5], [0.25, 0.5, 0.25],
                       [0.5833333, 0.4166667, 0.4166667, 0.5833333]),
    "two passes": TWO_PASS,
    "negative masses": ([0, 1, 2], [-1, -1], [0, -2, 0]),
    "descending centres": ([2, 1, 0], [1, 1], [0, -2, 0]),
    "nan mass": ([0, 1, 2], [1, NAN], [NAN, NAN, NAN]),
    "overflowing initial value": ([0, 1, 2], [3.4e38, 2.6e38], [3.4e38, 3.4e38, 1.8000002e38]),
    "estimate formed in double": ([0, 1], [3e38], [3e38, 3e38]),
}


@pytest.mark.parametrize("center, gap, expected", EXAMPLES.values(), ids=EXAMPLES)
def test_worked_examples(center, gap, expected):
    c, g = f32(*center), f32(*gap)
    prob = np.full(len(c), 7, F)
    assert bake.fitgapmass(c, g, prob) is None
    assert_bits_equal(prob, expected)
    assert_bits_equal(reference_fit(c, g), expected)  # the reference itself is right


def random_cases(count=400, seed=20240611):
    rng = np.random.default_rng(seed)
    for k in range(count):
        n = int(rng.integers(1, 9))
        kind = k % 5
        if kind == 0:  # small integers on unit widths: bounds often tie exactly
            center, gap = np.arange(n + 1), rng.integers(-2, 4, n)
        elif kind == 1:  # ascending centres, uneven widths, mostly positive masses
            center, gap = np.cumsum(rng.uniform(0.05, 3, n + 1)), rng.normal(1, 1, n)
        elif kind == 2:  # unsorted centres (negative widths), masses of either sign
            center, gap = rng.uniform(-5, 5, n + 1), rng.normal(0, 2, n)
        elif kind == 3:  # masses near the float32 limit: overflow to infinity on the way
            center, gap = np.arange(n + 1) * 0.5, rng.uniform(-3.4e38, 3.4e38, n)
        else:  # shuffled unit steps, zero masses of both signs: -0.0 meets +0.0
            center, gap = rng.permutation(n + 1), rng.choice(np.array([-1, NEG0, 0.0, 1]), n)
        yield center.astype(F), gap.astype(F)


def test_matches_reference_on_random_inputs():
    for k, (center, gap) in enumerate(random_cases()):
        prob = np.full(len(center), NAN, F)
        bake.fitgapmass(center, gap, prob)
        try:
            assert_bits_equal(prob, reference_fit(center, gap))
        except AssertionError as err:
            raise AssertionError(f"case {k}: center={center.tolist()} "
                                 f"gap={gap.tolist()}: {err}") from None


@pytest.mark.parametrize("center, gap", [
    ([0, 1, 1, 2], [1, 2, 3]),
    ([0, 1, 2, 2], [NAN, -1, INF]),
    ([0.0, NEG0], [1]),
    ([NEG0, 0.0, 1], [1, 1]),
], ids=["middle", "last", "minus zero width", "plus zero width"])
def test_zero_width_is_a_zero_division(center, gap):
    prob = np.arange(len(center), dtype=F) + F(0.25)
    with pytest.raises(ZeroDivisionError) as caught:
        bake.fitgapmass(f32(*center), f32(*gap), prob)
    assert str(caught.value) == "float division"
    assert module_frames(caught.value) == [FIT_ENTRY, ZERO_WIDTH_ENTRY]
    assert_bits_equal(prob, np.arange(len(center)) + 0.25)


def test_extra_elements_are_neither_read_nor_written():
    # Read, the repeated centres past n would be zero widths.
    center, gap, expected = TWO_PASS
    prob = f32(5, 5, 5, 5, 5, NEG0, 7, -1e30)
    bake.fitgapmass(f32(*center, 4, 4), f32(*gap), prob)
    assert_bits_equal(prob, expected + [NEG0, 7, -1e30])


@pytest.mark.parametrize("fill", [0.0, NEG0, NAN, INF, -3e38, 0.3])
def test_result_does_not_depend_on_initial_prob(fill):
    center, gap, expected = TWO_PASS
    prob = np.full(5, fill, F)
    bake.fitgapmass(f32(*center), f32(*gap), prob)
    assert_bits_equal(prob, expected)


def test_prob_may_share_storage_with_center_or_gap():
    center, gap, expected = TWO_PASS
    shared = f32(*center)
    bake.fitgapmass(shared, f32(*gap), shared)
    assert_bits_equal(shared, expected)
    shared = f32(*gap, 9)
    bake.fitgapmass(f32(*center), shared[:4], shared)
    assert_bits_equal(shared, expected)


MARK = F(-123.5)


def laid_out(values, step):
    """`values` as a view with element step `step` into a buffer of markers."""
    base = np.full(len(values) * abs(step), MARK, F)
    view = base[::step]
    view[:] = values
    return base, view


@pytest.mark.parametrize("steps", [(2, 2, 2), (-1, -1, -1), (2, -1, -3), (-3, 1, 2)],
                         ids=str)
def test_strided_and_reversed_views(steps):
    center, gap = f32(0, 1, 2.5, 3, 4, 6, 7), f32(0.1, 0.5, 0.1, 0.3, 0.8, 1)
    expected = reference_fit(center, gap)
    (cbase, cview), (gbase, gview), (pbase, pview) = (
        laid_out(v, s) for v, s in zip((center, gap, np.zeros(7, F)), steps))
    before = cbase.copy(), gbase.copy()
    bake.fitgapmass(cview, gview, pview)
    assert_bits_equal(pview, expected)
    untouched = np.ones(len(pbase), bool)
    untouched[::steps[2]] = False
    assert (pbase[untouched] == MARK).all()
    assert_bits_equal(cbase, before[0])
    assert_bits_equal(gbase, before[1])


def test_other_threads_run_during_a_long_fit():
    # Negative masses keep every pass moving values, so all 128 passes over n points run.
    n = 500_000
    center, gap, prob = np.arange(n + 1, dtype=F), np.full(n, -1, F), np.empty(n + 1, F)
    count, stop = [0], threading.Event()

    def spin():
        # sleep(0) hands the lock to any thread that waits for it, so this loop
        # advances while the main thread runs Python only about once per switch
        # interval, and not at all while the main thread holds the lock in a call.
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        while count[0] < 10:
            time.sleep(0.001)
        before = count[0]
        bake.fitgapmass(center, gap, prob)
        during = count[0] - before
    finally:
        stop.set()
        spinner.join()
    assert during > 1000, f"another thread made only {during} steps during the call"


# Each vector of a child process is placed so that its last element is the last
# float before a page that any access faults on; reading or writing past the end
# crashes the child, which the parent sees as a negative return code.
GUARDED = r"""
import ctypes, json, mmap, sys
import numpy as np
import zelvane.bake as bake

PAGE = mmap.PAGESIZE
libc = ctypes.CDLL(None, use_errno=True)
libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
regions = []

def guarded(values):
    if values is None:
        return None
    region = mmap.mmap(-1, 2 * PAGE)
    raw = (ctypes.c_char * (2 * PAGE)).from_buffer(region)
    if libc.mprotect(ctypes.addressof(raw) + PAGE, PAGE, 0) != 0:  # PROT_NONE
        raise OSError(ctypes.get_errno(), "mprotect failed")
    regions.append((region, raw))
    vector = np.frombuffer(raw, np.float32, len(values), PAGE - 4 * len(values))
    vector[:] = values
    return vector

case = json.loads(sys.argv[1])
center, gap, prob = (guarded(case[name]) for name in ("center", "gap", "prob"))
if case.get("touch_guard"):
    print(ctypes.c_float.from_address(center.ctypes.data + 4 * len(center)).value)
before = None if prob is None else prob.tobytes()
try:
    bake.fitgapmass(center, gap, prob)
    outcome = None
except Exception as e:
    outcome = [type(e).__name__, str(e)]
print(json.dumps({"outcome": outcome, "prob": None if prob is None else prob.tolist(),
                  "untouched": prob is None or prob.tobytes() == before}))
"""


def run_guarded(**case):
    rc, out, err = run_python(GUARDED, json.dumps(case))
    return rc, (json.loads(out) if rc == 0 else None), err


def test_guard_page_faults():
    # Without this the refusal tests below could not catch an access past the end.
    rc, _, err = run_guarded(center=[0, 1], gap=[1], prob=[0, 0], touch_guard=True)
    assert rc == -signal.SIGSEGV, (rc, err)


@pytest.mark.parametrize("center, gap, expected", [
    ([0, 1, 2, 3], [1, 2, 1], [0.5, 1.5, 1.5, 0.5]),
    ([0, 1], [-1], [0, 0]),
], ids=["n=3", "n=1"])
def test_fit_at_the_end_of_accessible_memory(center, gap, expected):
    rc, result, err = run_guarded(center=center, gap=gap, prob=[9] * len(center))
    assert rc == 0, f"the call crashed (rc={rc}): {err}"
    assert result["outcome"] is None
    assert_bits_equal(result["prob"], expected)


LENGTH_REFUSALS = {
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


@pytest.mark.parametrize("center, gap, prob, message", LENGTH_REFUSALS.values(),
                         ids=LENGTH_REFUSALS)
def test_lengths_outside_the_rules_are_refused(center, gap, prob, message):
    rc, result, err = run_guarded(center=center, gap=gap, prob=prob)
    assert rc == 0, f"the call crashed (rc={rc}): {err}"
    assert result["outcome"] == ["ValueError", message]
    assert result["untouched"]
