"""Both fitters against the slow references of slow_fitters.py, bit for bit, on inputs
that hypothesis draws: any length, element steps of either sign (and zero for center
and gap), every kind of float32 (NaN, infinities, signed zeros, subnormals, the largest
finite values), masses of either sign, and ascending, descending or unsorted centres."""

import numpy as np
import pytest
from hypothesis import given, strategies as st
from numpy.lib.stride_tricks import as_strided

from conftest import MARK, assert_bits_equal
from slow_fitters import fit_exact, fit_iterative

F = np.float32
F32_MAX = float(np.finfo(F).max)
SPECIAL = [float("nan"), float("inf"), float("-inf"), 0.0, -0.0, 1e-45, -1e-45, 1e-40,
           float(np.finfo(F).tiny), F32_MAX, -F32_MAX, 1.0, -1.0]

# Mostly ordinary magnitudes, so that many fits run through all their passes, with
# every special value, values whose double overflows float32, and the whole range.
huge = st.floats(float(F(1.5e38)), F32_MAX, width=32)
values = st.one_of(st.floats(-100, 100, width=32), st.sampled_from(SPECIAL), huge,
                   huge.map(lambda v: -v), st.floats(width=32), st.integers(-4, 4).map(float))
widths = st.one_of(st.floats(2 ** -10, 10, width=32), st.sampled_from([0.5, 1.0, 2.0]))
center_steps = st.sampled_from([1, 1, 2, -1, -3, 0])
prob_steps = st.sampled_from([1, 3, -1, -2])
# Short vectors often: there every value is an end value, and special values meet.
lengths = st.one_of(st.integers(1, 3), st.integers(1, 24))


@st.composite
def centres(draw, count, kinds=("ascending", "ascending", "descending", "any")):
    """`count` float32 centres: ascending from a start, the same descending, or any."""
    kind = draw(st.sampled_from(kinds))
    if kind == "any":
        return np.array(draw(st.lists(values, min_size=count, max_size=count)), F)
    start = draw(st.floats(-1e3, 1e3, width=32))
    steps = draw(st.lists(widths, min_size=count - 1, max_size=count - 1))
    ascending = np.cumsum(np.array([start, *steps], F), dtype=F)
    return ascending if kind == "ascending" else ascending[::-1].copy()


def laid_out(vector, step):
    """(base, view): `vector` as a view at element step `step` of a writable base filled
    with MARK around it. Step 0 makes every element the first value, stored once."""
    if step == 0:
        base = np.full(3, MARK, F)
        base[1] = vector[0] if len(vector) else MARK
        return base, as_strided(base[1:], shape=(len(vector),), strides=(0,))
    base = np.full(max(1, len(vector) * abs(step)), MARK, F)
    view = base[::step][:len(vector)]
    view[:] = vector
    return base, view


def check_fit(func, reference, center, gap, n_prob, steps):
    """Call func on center and gap laid out at steps[0] and steps[1] and a prob of n_prob
    elements at steps[2], filled with 7.25. prob's first len(gap) + 1 elements must equal
    the reference on the values the views hold, bit for bit; a zero width must raise
    ZeroDivisionError. Nothing else may change: prob's extras, the floats between its
    elements, center and gap."""
    (cbase, cview), (gbase, gview) = laid_out(center, steps[0]), laid_out(gap, steps[1])
    pbase, pview = laid_out(np.full(n_prob, 7.25, F), steps[2])
    inputs, before = np.concatenate([cbase, gbase]), pbase.copy()
    try:
        want = reference(np.array(cview), np.array(gview))
    except ZeroDivisionError:
        with pytest.raises(ZeroDivisionError):
            func(cview, gview, pview)
        assert_bits_equal(pbase, before)
    else:
        assert func(cview, gview, pview) is None
        n = len(want)
        assert_bits_equal(pview[:n], want)
        assert_bits_equal(pview[n:], np.full(n_prob - n, 7.25))
        written = np.zeros(len(pbase), bool)
        written[np.arange(len(pbase))[::steps[2]][:n]] = True
        assert_bits_equal(pbase[~written], before[~written])
    assert_bits_equal(np.concatenate([cbase, gbase]), inputs)


@pytest.mark.needs_bake
@given(data=st.data(), n=lengths, extra_center=st.integers(0, 2),
       extra_prob=st.integers(0, 2), steps=st.tuples(center_steps, center_steps, prob_steps))
def test_fitgapmass_matches_reference(data, n, extra_center, extra_prob, steps):
    from zelvane import bake

    center = data.draw(centres(n + 1 + extra_center), label="center")
    gap = np.array(data.draw(st.lists(values, min_size=n, max_size=n), label="gap"), F)
    check_fit(bake.fitgapmass, fit_iterative, center, gap, n + 1 + extra_prob, steps)


@pytest.mark.needs_bake
@given(data=st.data(), n=lengths, extra_center=st.integers(0, 2),
       steps=st.tuples(center_steps, center_steps, prob_steps))
def test_fitgapmass_meh_matches_reference(data, n, extra_center, steps):
    from zelvane import bake

    center = data.draw(centres(n + extra_center), label="center")
    gap = np.array(data.draw(st.lists(values, min_size=n - 1, max_size=n - 1), label="gap"), F)
    check_fit(bake.fitgapmass_meh, fit_exact, center, gap, n, steps)


finite = st.one_of(st.floats(-100, 100, width=32), huge, huge.map(lambda v: -v),
                   st.sampled_from([0.0, -0.0, 1e-45, -1e-45, 1e-40, F32_MAX, -F32_MAX]),
                   st.floats(width=32, allow_nan=False, allow_infinity=False))
SOLVERS = {"iterative": fit_iterative, "exact": fit_exact}


def strided(array, step, axis=-1):
    """`array` seen at element step `step` along `axis` of a larger buffer."""
    shape = list(array.shape)
    shape[axis] *= abs(step)
    base = np.full(shape, MARK, F)
    index = [slice(None)] * array.ndim
    index[axis] = slice(None, None, step)
    view = base[tuple(index)]
    view[...] = array
    return view


@given(data=st.data(), m=lengths, batch=st.sampled_from([None, 1, 3]),
       shared=st.booleans(), method=st.sampled_from(sorted(SOLVERS)),
       workers=st.sampled_from([1, 2, 0]),
       steps=st.tuples(st.sampled_from([1, 1, 1, 2, -1, 0]), center_steps),
       use_out=st.booleans())
def test_fit_density_matches_reference(data, m, batch, shared, method, workers, steps,
                                       use_out):
    from zelvane import fit_density

    rows = 1 if batch is None else batch
    kinds = ("ascending",) * 6 + ("descending", "any")  # fit_density refuses the others
    center = np.stack([data.draw(centres(m + 1, kinds), label="center") for _ in range(rows)])
    gap = np.array(data.draw(st.lists(finite, min_size=rows * m, max_size=rows * m),
                             label="gap"), F).reshape(rows, m)
    if data.draw(st.integers(0, 4), label="a value that is not finite") == 0:
        (center if data.draw(st.booleans()) else gap).flat[
            data.draw(st.integers(0, rows * m - 1))] = data.draw(
                st.sampled_from([np.nan, np.inf, -np.inf]))
    if batch is None or shared:
        center = center[0]
    if batch is None:
        gap = gap[0]
    given_center = strided(center, steps[0]) if steps[0] else as_strided(
        center, strides=center.strides[:-1] + (0,))
    given_gap = strided(gap, steps[1]) if steps[1] else as_strided(
        gap, strides=gap.strides[:-1] + (0,))
    c, g = np.array(given_center), np.array(given_gap)  # what the caller passed
    out = np.full(g.shape[:-1] + (m + 1,), MARK, F) if use_out else None
    kwargs = {"method": method, "workers": workers, "out": out}

    with np.errstate(all="ignore"):
        bad_center = not np.isfinite(c).all() or not (c[..., 1:] > c[..., :-1]).all()
    if bad_center or not np.isfinite(g).all():
        name = "center" if not np.isfinite(c).all() or np.isfinite(g).all() else "gap"
        with pytest.raises(ValueError, match=f"^{name}"):
            fit_density(given_center, given_gap, **kwargs)
        return
    rows_c = np.broadcast_to(c, g.shape[:-1] + (m + 1,)).reshape(-1, m + 1)
    want = np.array([SOLVERS[method](rc, rg) for rc, rg in zip(rows_c, g.reshape(-1, m))])
    overflowing = ~np.isfinite(want).all(axis=1)
    if overflowing.any():
        # A fit beyond float32's range is refused, naming its first such row.
        with pytest.raises(ValueError) as caught:
            fit_density(given_center, given_gap, **kwargs)
        assert caught.value.problem == "fit_overflow"
        assert caught.value.row == (int(np.argmax(overflowing)) if g.ndim == 2 else None)
        return
    got = fit_density(given_center, given_gap, **kwargs)
    assert got is out if use_out else got.dtype == F and got.shape == g.shape[:-1] + (m + 1,)
    assert_bits_equal(got.reshape(-1, m + 1), want)
    assert_bits_equal(given_center, c)
    assert_bits_equal(given_gap, g)
