"""fitgapmass_meh, the exact gap-mass fitter, as a caller sees it: worked examples,
failures and their traceback entries, scratch vectors through the module's `numpy`,
random inputs against a float32 reference and exact rationals, and length rules on
memory that ends at an inaccessible page."""

from fractions import Fraction

import numpy as np
import pytest

from conftest import (assert_bits_equal, check_on_random_inputs, f32, load_bake, module_frames,
                      run_guarded)
from slow_fitters import fit_exact as reference

# zelvane.bake itself: NumPy 1.x alone.
pytestmark = pytest.mark.needs_bake
bake = load_bake()

NAME = "zelvane.bake.fitgapmass_meh"
F = np.float32
SENTINEL = 7.25
NAN = float("nan")


def fit(center, gap):
    prob = np.full(len(gap) + 1, SENTINEL, F)
    assert bake.fitgapmass_meh(center, gap, prob) is None
    return prob


DIP = F(0.4) - F(1)  # pair sum 0.4 minus the value 1 before it


@pytest.mark.parametrize("center, gap, want", [
    (None, (), [0.0]),  # one centre: +0.0, and center is not read
    ((1, 3.5), (-0.75,), [0, F(-1.5) / F(2.5)]),
    ((-1, 4), (-0.0,), [0, -0.0]),
    # pair sums s0, s1 from widths 0.5 and 2; equal sums leave the signed zero s1 - s0
    *[((0, 0.5, 2.5), (s0 / 4, s1), [s0 - s1, s1, 0] if s0 > s1 else [0, s0, s1 - s0])
      for s0, s1 in [(2, 0.5), (0.5, 2), (1, 1), (-1, -2), (-0.0, 0.0), (0.0, -0.0)]],
    # pair sums 1, 2, 0.4, 1.4 admit no non-negative solution; nothing raises
    ((0, 1, 2, 3, 4), (0.5, 1.0, 0.2, 0.7), [0, 1, 1, DIP, F(1.4) - DIP]),
    ((0, 1, 2, 3, 4), (0.5, NAN, 0.2, 0.7), [0, 1, NAN, NAN, NAN]),
    ((0, 1, NAN, 3, 4), (0.5, 1.0, 0.2, 0.7), [0, 1, NAN, NAN, NAN]),
    ((0, 1, 2, 3, 4), (0.5, 1.0, 0.2, NAN), [0, 1, 1, DIP, NAN]),
])
def test_worked_examples(center, gap, want):
    assert_bits_equal(fit(center and f32(*center), f32(*gap)), want)


@pytest.mark.parametrize("shared", ["center", "gap head", "gap tail"])
def test_prob_may_share_storage_with_an_input(shared):
    center, gap = f32(0, 1, 2.5, 3, 5), f32(0.5, 1.0, 0.2, 0.7)
    want, buf = fit(center, gap), np.empty(5, F)
    view = {"center": buf, "gap head": buf[:4], "gap tail": buf[1:]}[shared]
    view[:] = center if shared == "center" else gap
    bake.fitgapmass_meh(*((view, gap) if shared == "center" else (center, view)), buf)
    assert_bits_equal(buf, want)


def assert_fails(error, lines, center=(0, 1, 2), gap=(0.5, 0.25)):
    """The call raises `error`, adds entries at `lines` and leaves prob untouched."""
    prob = np.full(len(gap) + 1, SENTINEL, F)
    with pytest.raises(error) as caught:
        bake.fitgapmass_meh(f32(*center), f32(*gap), prob)
    assert module_frames(caught.value) == [(line, NAME) for line in lines]
    assert (prob == SENTINEL).all()
    return caught.value


@pytest.mark.parametrize("center, gap", [((0, 1, 1, 2), (0.5, 0.0, 0.2)),
                                         ((0, 1, 1, 2), (0.5, NAN, 0.2)),
                                         ((3, -0.0, 0.0, 2), (0.5, 0.3, 0.2))])
def test_zero_width_raises_and_leaves_prob(center, gap):
    assert str(assert_fails(ZeroDivisionError, [94, 107], center, gap)) == "float division"


class StandIn:
    """Takes the place of `numpy` in the module namespace and records every call of
    `empty`; call `fail_on` raises, or returns float64 if `how` says so."""

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
    monkeypatch.setattr(bake, "numpy", stand_in := StandIn())
    center, gap = f32(0, 1, 2, 4, 5), f32(0.5, 1.0, 0.2, 0.7)
    assert_bits_equal(fit(center, gap), reference(center, gap))
    assert stand_in.calls == [((k,), {"dtype": stand_in.float32}) for k in (4, 5, 5)]
    assert all(type(args[0]) is int for args, _ in stand_in.calls)


@pytest.mark.parametrize("fail_on, line", [(1, 100), (2, 101), (3, 102)])
@pytest.mark.parametrize("how", ["raise", "float64"])
def test_scratch_failure_leaves_prob(monkeypatch, fail_on, line, how):
    monkeypatch.setattr(bake, "numpy", stand_in := StandIn(fail_on, how))
    error = assert_fails((RuntimeError, ValueError), [94, line])
    assert (error is stand_in.error if how == "raise" else
            str(error) == "Buffer dtype mismatch, expected 'float' but got 'double'")
    assert len(stand_in.calls) == fail_on


def test_missing_numpy_is_a_name_error(monkeypatch):
    monkeypatch.delattr(bake, "numpy")
    assert str(assert_fails(NameError, [94, 100])) == "name 'numpy' is not defined"


def test_random_strided_cases_match_reference_and_meet_pair_sums():
    for center, gap, prob in check_on_random_inputs(bake.fitgapmass_meh, reference):
        if np.isfinite(prob).all():
            # each pair sum within float32 rounding of 2 * gap / width, taken in double
            p = prob.astype(float)
            target = 2 * gap / np.diff(center[:len(prob)].astype(float))
            err = np.abs(p[:-1] + p[1:] - target)
            assert (err <= 2 ** -22 * (np.abs(target) + np.abs(p[1:]))).all(), (center, gap)


def test_first_value_is_least_keeping_all_non_negative():
    # power-of-two widths and gaps in eighths keep every float32 step exact
    rng, seen = np.random.default_rng(5), {True: 0, False: 0}
    for case in range(300):
        n = int(rng.integers(1, 9))
        widths = rng.choice([-4, -2, -1, -0.5, 0.5, 1, 2, 4], n - 1)
        center = np.concatenate([[rng.integers(-8, 9) / 4], widths]).cumsum()
        if case % 2:  # masses of a non-negative density: always feasible
            dens = rng.integers(0, 17, n) / 8
            gap = (dens[:-1] + dens[1:]) / 2 * widths
        else:
            gap = rng.integers(-16, 17, n - 1) / 8
        got = [Fraction(float(v)) for v in fit(center.astype(F), gap.astype(F))]
        # prob[k] = (-1)**k * prob[0] + c[k]: even k bound prob[0] from below, odd k above
        c = [Fraction(0)]
        for g, w in zip(gap, widths):
            c.append(2 * Fraction(g) / Fraction(w) - c[-1])
        assert all(got[k] == (-1) ** k * got[0] + c[k] for k in range(n)), (center, gap)
        lower = max(-c[k] for k in range(0, n, 2))
        feasible = all(lower <= c[k] for k in range(1, n, 2))
        seen[feasible] += 1
        assert got[0] == lower or not feasible, (center, gap)
    assert min(seen.values()) > 30


@pytest.mark.parametrize("lengths, message", [
    *[(lengths, "prob has 0 elements, needs at least 1") for lengths in [(0, 0, 0),
                                                                        (None, None, None)]],
    *[((nc, ng, n), f"gap has {ng or 0} elements, needs exactly {n - 1} (len(prob) - 1)")
      for nc, ng, n in [(3, 3, 3), (3, None, 3), (3, 2, 1)]],
    *[((nc, ng, n), f"center has {nc or 0} elements, needs at least {ng + 1} (len(gap) + 1)")
      for nc, ng, n in [(2, 2, 3), (None, 2, 3)]],
    ((None, None, 1), None), ((None, 0, 1), None), ((2, 1, 2), None), ((6, 3, 4), None),
])
def test_length_rules_on_guarded_memory(lengths, message):
    nc, ng, n = lengths
    # centres past len(gap) + 1 repeat the last one: reading them would divide by zero
    center = None if nc is None else [float(min(i, ng or 0)) for i in range(nc)]
    gap = None if ng is None else [0.25 * (i + 1) for i in range(ng)]
    prob = None if n is None else [SENTINEL] * n
    rc, outcome, after, err = run_guarded("fitgapmass_meh", center, gap, prob)
    assert rc == 0, f"the call crashed (rc={rc}): {err}"
    assert outcome == (message and ["ValueError", message])
    want = (prob or []) if message else reference(f32(*center or ()), f32(*gap or ()))
    assert_bits_equal(after or [], want)
