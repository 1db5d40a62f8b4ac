"""fitgapmass_meh, the exact gap-mass fitter, as a Python caller sees it: worked
examples, error paths and their traceback entries, length checks on guarded
memory, and random inputs against a float32 reference and exact rationals."""

import json
from fractions import Fraction

import numpy as np
import pytest

from conftest import assert_bits_equal, f32, module_frames, run_python
from zelvane import bake

NAME = "zelvane.bake.fitgapmass_meh"
F = np.float32
SENTINEL = 7.25
NAN = float("nan")


def fit(center, gap, n=None):
    prob = np.full(len(gap) + 1 if n is None else n, SENTINEL, F)
    assert bake.fitgapmass_meh(center, gap, prob) is None
    return prob


def frames(excinfo, *lines):
    """Module entries expected on a solver failure: the function's own line
    outermost, then the failing statement's line."""
    assert module_frames(excinfo.value) == [(line, NAME) for line in lines]


def reference(center, gap, n):
    """The fitter's steps in numpy.float32 scalar arithmetic, one rounding per operation."""
    k = len(gap)
    with np.errstate(all="ignore"):
        gsum = []
        for i in range(k):
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
        for i in range(k):
            low[i + 1] = v if (v := gsum[i] - high[i]) > low[i + 1] else low[i + 1]
            high[i + 1] = v if (v := gsum[i] - low[i]) < high[i + 1] else high[i + 1]
        for i in reversed(range(k)):
            low[i] = v if (v := gsum[i] - high[i + 1]) > low[i] else low[i]
            high[i] = v if (v := gsum[i] - low[i + 1]) < high[i] else high[i]
        prob = [low[0]]
        for i in range(1, n):
            prob.append(gsum[i - 1] - prob[i - 1])
    return np.array(prob, dtype=F)


# ---- Worked examples -------------------------------------------------------------

@pytest.mark.parametrize("center", [None, f32(), f32(NAN, 3)])
@pytest.mark.parametrize("gap", [None, f32()])
def test_single_centre_becomes_positive_zero(center, gap):
    prob = f32(-0.0)
    assert bake.fitgapmass_meh(center, gap, prob) is None
    assert prob.view(np.uint32).tolist() == [0]


@pytest.mark.parametrize("c0, c1, g", [
    (0, 1, 0.5), (1, 3.5, -0.75), (2, 1.5, 0.3), (-1, 4, 0.0), (-1, 4, -0.0), (0.1, 0.7, 1e-3)])
def test_two_centres_start_at_zero(c0, c1, g):
    assert_bits_equal(fit(f32(c0, c1), f32(g)), [0.0, (F(g) + F(g)) / (F(c1) - F(c0))])


@pytest.mark.parametrize("s0, s1", [
    (2, 0.5), (0.5, 2), (1, 1), (-1, -2), (-2, 1), (1, -0.5), (-1, -1), (0.75, 0),
    (-0.0, 0.0), (0.0, -0.0)])
def test_three_centres(s0, s1):
    # widths 0.5 and 2, so pair sums s0 and s1 come from the exact gaps s0 / 4 and s1;
    # for s0 == s1 the last value s1 - s0 is the zero of [0, s0, 0] with its float sign
    prob = fit(f32(0, 0.5, 2.5), f32(s0 / 4, s1))
    assert_bits_equal(prob, [s0 - s1, s1, 0] if s0 > s1 else [0, s0, s1 - s0])


def test_infeasible_sums_still_meet_every_pair():
    # pair sums 1, 2, 0.4, 1.4 admit no non-negative solution; nothing raises
    center, gap = f32(0, 1, 2, 3, 4), f32(0.5, 1.0, 0.2, 0.7)
    prob = fit(center, gap)
    np.testing.assert_allclose(prob, [0, 1, 1, -0.6, 2], rtol=1e-6, atol=1e-6)
    assert_bits_equal(prob, reference(center, gap, 5))


@pytest.mark.parametrize("center, gap, want", [
    ((0, 1, 2, 3, 4), (0.5, NAN, 0.2, 0.7), [0, 1, NAN, NAN, NAN]),
    ((0, 1, NAN, 3, 4), (0.5, 1.0, 0.2, 0.7), [0, 1, NAN, NAN, NAN]),
    ((0, 1, 2, 3, 4), (NAN, 1.0, 0.2, 0.7), [0, NAN, NAN, NAN, NAN]),
    ((0, 1, 2, 3, 4), (0.5, 1.0, 0.2, NAN), [0, 1, 1, F(0.4) - F(1), NAN]),
])
def test_nan_reaches_only_later_values(center, gap, want):
    assert_bits_equal(fit(f32(*center), f32(*gap)), want)


@pytest.mark.parametrize("shared", ["center", "gap head", "gap tail"])
def test_prob_may_share_storage_with_an_input(shared):
    center, gap = f32(0, 1, 2.5, 3, 5), f32(0.5, 1.0, 0.2, 0.7)
    want, buf = fit(center, gap), np.empty(5, F)
    view = {"center": buf, "gap head": buf[:4], "gap tail": buf[1:]}[shared]
    view[:] = center if shared == "center" else gap
    bake.fitgapmass_meh(*((view, gap) if shared == "center" else (center, view)), buf)
    assert_bits_equal(buf, want)


# ---- Failures inside the solver --------------------------------------------------

@pytest.mark.parametrize("center, gap", [
    ((0, 1, 1, 2), (0.5, 0.3, 0.2)), ((0, 1, 1, 2), (0.5, 0.0, 0.2)),
    ((0, 1, 1, 2), (0.5, NAN, 0.2)), ((3, -0.0, 0.0, 2), (0.5, 0.3, 0.2)),
    ((0, 0, 1, 1), (0.5, 0.3, 0.2)), ((2, 2), (0.0,)),
])
def test_zero_width_raises_and_leaves_prob(center, gap):
    prob = np.full(len(gap) + 1, SENTINEL, F)
    with pytest.raises(ZeroDivisionError, match="^float division$") as excinfo:
        bake.fitgapmass_meh(f32(*center), f32(*gap), prob)
    assert (prob == SENTINEL).all()
    frames(excinfo, 94, 107)


class StandIn:
    """Takes the place of `numpy` in the module namespace: records every call of
    `empty`; the chosen one raises or returns an array the module must refuse."""

    def __init__(self, fail_on=None, how=None):
        self.float32, self.calls, self.error = object(), [], RuntimeError("no scratch")
        self.fail_on, self.how = fail_on, how

    def empty(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if len(self.calls) == self.fail_on and self.how == "raise":
            raise self.error
        # NaN-filled, so a scratch value read before it is written would show
        return np.full(args[0], NAN, np.float64 if len(self.calls) == self.fail_on else F)


def test_scratch_vectors_come_from_module_numpy(monkeypatch):
    stand_in = StandIn()
    monkeypatch.setattr(bake, "numpy", stand_in)
    center, gap = f32(0, 1, 2, 4, 5), f32(0.5, 1.0, 0.2, 0.7)
    assert_bits_equal(fit(center, gap), reference(center, gap, 5))
    assert stand_in.calls == [((k,), {"dtype": stand_in.float32}) for k in (4, 5, 5)]
    assert all(type(args[0]) is int for args, _ in stand_in.calls)


@pytest.mark.parametrize("fail_on, line", [(1, 100), (2, 101), (3, 102)])
@pytest.mark.parametrize("how", ["raise", "float64 result"])
def test_scratch_failure_leaves_prob(monkeypatch, fail_on, line, how):
    stand_in = StandIn(fail_on, how)
    monkeypatch.setattr(bake, "numpy", stand_in)
    prob = np.full(3, SENTINEL, F)
    with pytest.raises((RuntimeError, ValueError)) as excinfo:
        bake.fitgapmass_meh(f32(0, 1, 2), f32(0.5, 0.25), prob)
    if how == "raise":
        assert excinfo.value is stand_in.error
    else:
        assert str(excinfo.value) == "Buffer dtype mismatch, expected 'float' but got 'double'"
    assert len(stand_in.calls) == fail_on and (prob == SENTINEL).all()
    frames(excinfo, 94, line)


def test_missing_numpy_is_a_name_error(monkeypatch):
    monkeypatch.delattr(bake, "numpy")
    prob = np.full(2, SENTINEL, F)
    with pytest.raises(NameError, match="^name 'numpy' is not defined$") as excinfo:
        bake.fitgapmass_meh(f32(0, 1), f32(0.5), prob)
    assert (prob == SENTINEL).all()
    frames(excinfo, 94, 100)


# ---- Random inputs ---------------------------------------------------------------

def random_cases(count=300, seed=20240611):
    """Small cases with unsorted and sorted centres, negative gaps, the odd
    special gap value (signed zero, NaN, infinity) and the odd zero-width bin."""
    rng = np.random.default_rng(seed)
    specials = [0.0, -0.0, NAN, np.inf, -np.inf]
    for _ in range(count):
        n = int(rng.integers(1, 9))
        center = (rng.normal(size=n + int(rng.integers(0, 3))) * 3).astype(F)
        if rng.random() < 0.5:
            center.sort()
        gap = rng.uniform(-1, 2, n - 1).astype(F)
        for i in range(n - 1):
            r = rng.random()
            if r < 0.05:
                gap[i] = specials[rng.integers(len(specials))]
            elif r < 0.07:
                center[i + 1] = center[i]
        yield center, gap, n


def relaid(values, step):
    """The same values at every `step`-th float of a larger buffer."""
    buf = np.full(len(values) * abs(step) + 2, -1.5, F)
    view = (buf[1::step] if step > 0 else buf[-2::step])[:len(values)]
    view[:] = values
    return view


def test_random_cases_match_float32_reference_and_meet_pair_sums():
    raised, u = 0, 2.0 ** -24
    for case, (center, gap, n) in enumerate(random_cases()):
        step = (1, -2, 3)[case % 3]
        c, g, prob = relaid(center, step), relaid(gap, -step), relaid([SENTINEL] * n, step)
        try:
            want = reference(center, gap, n)
        except ZeroDivisionError:
            raised += 1
            with pytest.raises(ZeroDivisionError):
                bake.fitgapmass_meh(c, g, prob)
            assert (prob == SENTINEL).all()
            continue
        assert bake.fitgapmass_meh(c, g, prob) is None
        assert_bits_equal(prob, want)
        assert_bits_equal(c, center)
        assert_bits_equal(g, gap)
        if np.isfinite(gap).all():
            # each pair sum within float32 rounding of 2 * gap / width, taken in double
            p, target = prob.astype(float), 2 * gap / np.diff(center[:n].astype(float))
            err = np.abs(p[:-1] + p[1:] - target)
            assert (err <= 4 * u * (np.abs(target) + np.abs(p[1:]))).all(), (center, gap)
    assert 0 < raised < 100


def dyadic_cases(count=300, seed=5):
    """Cases whose every float32 step is exact: power-of-two widths of either sign
    and gaps in eighths, or gaps of a non-negative density given in eighths."""
    rng = np.random.default_rng(seed)
    for case in range(count):
        n = int(rng.integers(1, 9))
        widths = rng.choice([-4, -2, -1, -0.5, 0.5, 1, 2, 4], n - 1)
        center = np.concatenate([[rng.integers(-8, 9) / 4], widths]).cumsum()
        if case % 2:
            dens = rng.integers(0, 17, n) / 8
            gap = (dens[:-1] + dens[1:]) / 2 * widths
        else:
            gap = rng.integers(-16, 17, n - 1) / 8
        yield center.astype(F), gap.astype(F), n


def test_first_value_is_least_keeping_all_non_negative():
    seen = {True: 0, False: 0}
    for center, gap, n in dyadic_cases():
        got = [Fraction(float(v)) for v in fit(center, gap, n)]
        fr = [Fraction(float(v)) for v in center]
        sums = [2 * Fraction(float(gap[i])) / (fr[i + 1] - fr[i]) for i in range(n - 1)]
        # prob[k] = (-1)**k * prob[0] + c[k]: even k bound prob[0] from below, odd k above
        c = [Fraction(0)]
        for s in sums:
            c.append(s - c[-1])
        assert all(got[k] == (-1) ** k * got[0] + c[k] for k in range(n)), (center, gap)
        lower = max(-c[k] for k in range(0, n, 2))
        upper = min((c[k] for k in range(1, n, 2)), default=None)
        feasible = upper is None or lower <= upper
        seen[feasible] += 1
        if feasible:
            assert got[0] == lower, (center, gap)
    assert min(seen.values()) > 30


# ---- Length rules ----------------------------------------------------------------

GUARDED_CALL = """
import ctypes, json, mmap, sys
import numpy as np
from zelvane import bake

PAGE, libc = mmap.PAGESIZE, ctypes.CDLL(None, use_errno=True)
libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)

def guarded(values):  # float32 vector whose last element lies right before a PROT_NONE page
    if values is None:
        return None
    mm = mmap.mmap(-1, 2 * PAGE)
    base = ctypes.addressof(ctypes.c_char.from_buffer(mm))
    assert libc.mprotect(base + PAGE, PAGE, 0) == 0, ctypes.get_errno()
    a = np.frombuffer(mm, np.float32, count=len(values), offset=PAGE - 4 * len(values))
    a[:] = values
    return a

center, gap, prob = (guarded(v) for v in json.loads(sys.argv[1]))
error = None
try:
    bake.fitgapmass_meh(center, gap, prob)
except ValueError as exc:
    error = str(exc)
print(json.dumps([error, None if prob is None else prob.tolist()]))
"""


@pytest.mark.parametrize("lengths, message", [
    *[(lengths, "prob has 0 elements, needs at least 1")
      for lengths in [(0, 0, 0), (None, None, None), (None, None, 0)]],
    *[((nc, ng, n), f"gap has {ng or 0} elements, needs exactly {n - 1} (len(prob) - 1)")
      for nc, ng, n in [(3, 3, 3), (3, 0, 3), (3, None, 3), (4, 2, 2), (3, 2, 1)]],
    *[((nc, ng, n), f"center has {nc or 0} elements, needs at least {ng + 1} (len(gap) + 1)")
      for nc, ng, n in [(2, 2, 3), (None, 2, 3), (0, 4, 5), (3, 3, 4)]],
    ((None, None, 1), None), ((0, 0, 1), None), ((None, 0, 1), None), ((3, None, 1), None),
    ((2, 1, 2), None), ((3, 2, 3), None), ((6, 3, 4), None),
])
def test_length_rules_on_guarded_memory(lengths, message):
    nc, ng, n = lengths
    # distinct centres up to len(gap) + 1; extra ones repeat the last, so reading
    # them would raise ZeroDivisionError and fail the child
    center = None if nc is None else [float(min(i, ng or 0)) for i in range(nc)]
    gap = None if ng is None else [0.25 * (i + 1) for i in range(ng)]
    prob = None if n is None else [SENTINEL] * n
    rc, out, err = run_python(GUARDED_CALL, json.dumps([center, gap, prob]))
    assert rc == 0, err
    error, after = json.loads(out)
    assert error == message
    if message is None:
        assert_bits_equal(after, reference(f32(*center or ()), f32(*gap or ()), n))
    else:
        assert after == prob
