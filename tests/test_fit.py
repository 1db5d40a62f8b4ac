"""zelvane.fit_density and zelvane.trapezoid_masses: conversions, refusals, and the
same bits as zelvane.bake row by row (where it loads: NumPy 1.x)."""

import re

import numpy as np
import pytest

import zelvane
from conftest import assert_bits_equal, load_bake, run_python
from zelvane._checks import check_histogram
from zelvane._fit import METHODS

SOLVERS = sorted(METHODS)
CENTER = [0.0, 0.5, 2.0, 2.25, 4.0]
GAP = [0.1, 0.4, 0.2, 0.3]


def by_bake(method, center, gap):
    prob = np.empty(len(gap) + 1, np.float32)
    getattr(load_bake(), METHODS[method])(np.array(center, np.float32),
                                          np.array(gap, np.float32), prob)
    return prob


def batch(rows, m, seed):
    """Random ascending centres, one row each, and positive masses."""
    rng = np.random.default_rng(seed)
    center = np.cumsum(rng.uniform(0.05, 2.0, (rows, m + 1)), axis=1).astype(np.float32)
    gap = rng.gamma(2.0, 1.0, (rows, m)).astype(np.float32)
    return center, gap


@pytest.fixture(params=SOLVERS)
def method(request):
    return request.param


def test_import_loads_neither_numpy_nor_an_extension():
    rc, out, err = run_python("""
        import sys, zelvane
        names = ('numpy', 'zelvane.bake', 'zelvane._rows', 'zelvane._fit')
        print([n for n in names if n in sys.modules])
        print(sorted(set(zelvane.__all__) - set(dir(zelvane))))
        zelvane.fit_density
        print('numpy' in sys.modules)
    """)
    assert rc == 0, err
    assert out.split("\n")[:3] == ["[]", "[]", "True"]


def test_python_layer_never_loads_bake():
    # zelvane.bake refuses NumPy 2, and NumPy prints a notice when it is tried: every
    # public entry, the command line and Dask must do without it.
    rc, out, err = run_python("""
        import contextlib, io, sys
        import numpy as np
        import zelvane
        from zelvane import *
        from zelvane.cli import main

        center, gap = [0, 1, 2, 4], [1, 2, 1]
        for method in ("iterative", "exact"):
            zelvane.fit_density(center, gap, method=method)
            zelvane.fit_density(center, [gap, gap], method=method, workers=2)
            zelvane.fit_density(center, gap, method=method, out=np.empty(4, np.float32))
            PiecewiseLinearDensity.from_masses(center, [1, 1, 2], method=method)
        knots, values = zelvane.fit_smooth(center, gap)
        zelvane.trapezoid_masses(knots, values)
        d = PiecewiseLinearDensity.from_histogram(gap, center)
        d.ppf(0.5), d.to_scipy().cdf(1.0), d.plot()
        try:
            zelvane.fit_density(center, [1, float("nan"), 1])
        except ValueError:
            pass
        dir(zelvane)
        with contextlib.redirect_stdout(io.StringIO()):
            assert main([]) == 0
        import dask.array as da
        zelvane.fit_density(center, da.from_array(np.ones((4, 3)), chunks=2)).compute()
        print(sorted(m for m in sys.modules if m.startswith("zelvane")))
    """)
    assert rc == 0, err
    assert err == ""
    loaded = eval(out)
    assert "zelvane._rows" in loaded and "zelvane.bake" not in loaded


@pytest.mark.parametrize("center, gap", [
    (CENTER, GAP),                                                   # lists of floats
    ([0, 1, 3, 4, 6], [1, 4, 2, 3]),                                 # lists of ints
    (np.array(CENTER), np.array(GAP)),                               # float64
    (np.arange(5, dtype=np.int64) * 3, np.array([2, 0, 1, 5], np.uint8)),
    (np.array(CENTER, np.float32)[::-1][::-1], np.array(GAP, ">f4")),  # big-endian
    (np.repeat(np.array(CENTER, np.float32), 2)[::2],                # strided
     np.repeat(np.array(GAP, np.float32), 3)[::-3][::-1]),
])
@pytest.mark.needs_bake
def test_array_likes_give_the_solvers_bits(method, center, gap):
    got = zelvane.fit_density(center, gap, method=method)
    assert got.dtype == np.float32 and got.flags.c_contiguous
    assert_bits_equal(got, by_bake(method, np.asarray(center, np.float32),
                                   np.asarray(gap, np.float32)))


def test_float32_input_is_used_as_it_is():
    center, gap = np.array(CENTER, np.float32), np.array(GAP, np.float32)
    c, g = check_histogram(center, gap)
    assert c is center and g is gap
    c, g = check_histogram(CENTER, GAP, gap_name="prob", per_center=False, dtype=np.float64)
    assert c.dtype == g.dtype == np.float64


@pytest.mark.parametrize("shared", [True, False])
@pytest.mark.needs_bake
def test_batches_give_the_solvers_bits_row_by_row(method, shared):
    center, gap = batch(37, 9, seed=4)
    if shared:
        center = center[0]
    got = zelvane.fit_density(center, gap, method=method)
    assert got.shape == (37, 10)
    for r in range(37):
        assert_bits_equal(got[r], by_bake(method, center if shared else center[r], gap[r]),
                          f"row {r}: ")


@pytest.mark.parametrize("shape", [(5,), (3, 5)])
def test_out_is_filled_and_returned(method, shape):
    center, gap = batch(3, 4, seed=1)
    gap = gap[0] if len(shape) == 1 else gap
    out = np.full(shape, np.nan, np.float32)
    assert zelvane.fit_density(center[0], gap, method=method, out=out) is out
    assert_bits_equal(out, zelvane.fit_density(center[0], gap, method=method))


def test_out_overlapping_the_input_gives_the_same_bits(method):
    center, gap = batch(6, 4, seed=2)
    want = zelvane.fit_density(center, gap, method=method)
    # out's rows are longer than gap's, so writing row r overwrites later rows of gap.
    storage = np.zeros(6 * 5, np.float32)
    storage[:24] = gap.ravel()
    zelvane.fit_density(center, storage[:24].reshape(6, 4), method=method,
                        out=storage.reshape(6, 5))
    assert_bits_equal(storage.reshape(6, 5), want)


@pytest.mark.parametrize("kwargs, message", [
    ({"method": "smooth"}, "method must be 'iterative' or 'exact', not 'smooth'"),
    ({"method": None}, "method must be 'iterative' or 'exact', not None"),
    ({"workers": -1}, "workers must be from 0 (one per core) to 1024, not -1"),
    ({"workers": 1025}, "workers must be from 0 (one per core) to 1024, not 1025"),
    ({"workers": 2 ** 63}, "workers must be from 0 (one per core) to 1024, not 9223372036854775808"),
    ({"workers": 1.5}, "workers must be of type int, not float"),
    ({"workers": 1.0}, "workers must be of type int, not float"),
    ({"workers": True}, "workers must be of type int, not bool"),
    ({"workers": np.bool_(True)}, "workers must be of type int, not bool"),
    ({"out": np.empty(5, np.float64)}, "out must hold float32 in native byte order, not <f8 values"),
    ({"out": np.empty(5, ">f4")}, "out must hold float32 in native byte order, not >f4 values"),
    ({"out": np.empty(6, np.float32)}, "out must have shape (5,), not (6,)"),
    ({"out": np.empty(10, np.float32)[::2]}, "out must be C-contiguous"),
    ({"out": [0.0] * 5}, "out must be of type numpy.ndarray, not list"),
])
def test_bad_options_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        zelvane.fit_density(CENTER, GAP, **kwargs)


def test_read_only_out_is_refused():
    out = np.empty(5, np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="out must be writable"):
        zelvane.fit_density(CENTER, GAP, out=out)


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("center, gap, message", [
    (CENTER, [], "gap must hold at least one mass, not 0"),
    (CENTER, np.zeros((2, 0)), "gap must hold at least one mass per row, not 0"),
    (CENTER, np.zeros((1, 1, 4)), "gap must be 1-D or 2-D, not 3-D"),
    (5.0, GAP, "center must be 1-D or 2-D, not 0-D"),
    (CENTER[:4], GAP, r"center must have len\(gap\) \+ 1 = 5 elements, not 4"),
    (CENTER, np.ones((3, 3)), r"center must have len\(gap\) \+ 1 = 4 elements per row of gap"),
    ([CENTER], GAP, "center must be 1-D for a 1-D gap, not 2-D"),
    (np.ones((2, 5)), np.ones((3, 4)),
     r"center must have shape \(5,\) or \(3, 5\) for gap of shape \(3, 4\), not \(2, 5\)"),
    (CENTER, ["a", "b", "c", "d"], "gap must hold real numbers, not <U1 values"),
    ([0, 1j, 2, 3, 4], GAP, "center must hold real numbers, not complex128 values"),
    (CENTER, [0.1, 0.2, NAN, INF], r"gap\[2\] is nan, not a finite number"),
    ([0, 1, 2, 3, -INF], GAP, r"center\[4\] is -inf, not a finite number"),
    (CENTER, [0.1, 1e39, 0, 0], r"gap\[1\] = 1e\+39 is too large for float32"),
    ([0, 1, 1, 3, 4], GAP,
     r"center must be strictly increasing: center\[2\] = 1.0 is not above center\[1\] = 1.0"),
    ([0, 1, 1 + 1e-9, 3, 4], GAP,  # distinct in float64, equal in float32
     r"center\[2\] = 1.0 is not above center\[1\] = 1.0"),
    ([[0, 1, 2, 3, 4], [0, 1, 2, 4, 3]], np.ones((2, 4)),
     r"center\[1, 4\] = 3.0 is not above center\[1, 3\] = 4.0"),
    (CENTER, [[1, 1, 1, 1], [1, 1, 1, NAN]], r"gap\[1, 3\] is nan"),
])
def test_bad_histograms_are_refused(method, center, gap, message):
    with pytest.raises(ValueError, match=message):
        zelvane.fit_density(center, gap, method=method)


def _refusal(center, gap, dtype):
    """(problem, index, value) of check_histogram's refusal with open ends, or None."""
    try:
        check_histogram(center, gap, open_ends=True, dtype=dtype)
    except zelvane.InputError as error:
        return error.problem, error.index, error.value
    return None


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("center, refused", [
    ([-INF, INF], None),                              # no finite edge between the ends
    ([-INF, 1.0, INF], None),
    ([-INF, NAN, 3.0, INF], ("not_finite", 1)),       # the neighbour of an open end
    ([-INF, 2.0, 1.0, INF], ("not_increasing", 2)),
    ([0.0, 1.0, INF, INF], ("not_finite", 2)),
    ([INF, 1.0, 2.0, 3.0], ("not_finite", 0)),        # +inf first is no open end
])
def test_open_ends_are_checked_alike_in_one_histogram_and_in_rows(dtype, center, refused):
    gap = np.ones(len(center) - 1)
    one = _refusal(center, gap, dtype)
    assert (one[:2] if one else None) == refused
    # Rows, with edges of their own or shared, are refused for the same edge (NaN as NaN).
    np.testing.assert_equal(_refusal([center] * 3, np.tile(gap, (3, 1)), dtype), one)
    np.testing.assert_equal(_refusal(center, np.tile(gap, (3, 1)), dtype), one)


def test_checks_name_rows_of_a_block_from_its_offset():
    # A block of a larger batch has its rows renumbered from the block's first.
    with pytest.raises(zelvane.InputError) as caught:
        check_histogram([0, 1, 2], [[1, 1], [1, -1]], nonnegative=True)
    assert re.fullmatch(r"gap\[12, 1\] = -1.0 is negative", str(caught.value.shifted(11)))
    with pytest.raises(ValueError, match=r"knots\[1\] is nan"):
        check_histogram([0, NAN, 2], [1, 1, 1], center_name="knots", gap_name="values",
                        per_center=True, dtype=np.float64)
    with pytest.raises(ValueError, match="gap must be 1-D, not 2-D"):
        check_histogram([0, 1], [[1]], max_ndim=1)


@pytest.mark.parametrize("shared", [True, False])
def test_trapezoid_masses_reproduce_exact_fits(shared):
    center, gap = batch(20, 7, seed=3)
    # Exact fits meet their masses up to float32 rounding where they are non-negative.
    prob = zelvane.fit_density(center[0] if shared else center, gap, method="exact")
    masses = zelvane.trapezoid_masses(center[0] if shared else center, prob)
    assert masses.dtype == np.float64 and masses.shape == (20, 7)
    ok = (prob >= 0).all(axis=1)
    assert ok.sum() >= 3
    np.testing.assert_allclose(masses[ok], gap[ok], rtol=1e-4)
    row = zelvane.trapezoid_masses((center[0] if shared else center[5]).tolist(),
                                   prob[5].tolist())
    assert row.tolist() == masses[5].tolist()


def test_trapezoid_masses_formula_and_refusals():
    assert zelvane.trapezoid_masses([0, 1, 3], [2, 0, 1]).tolist() == [1.0, 1.0]
    with pytest.raises(ValueError, match="prob must hold at least two values, not 1"):
        zelvane.trapezoid_masses([0], [1])
    with pytest.raises(ValueError, match=r"center must have len\(prob\) = 3 elements, not 2"):
        zelvane.trapezoid_masses([0, 1], [1, 2, 3])
    with pytest.raises(ValueError, match=r"center\[1\] = 0.0 is not above center\[0\] = 0.0"):
        zelvane.trapezoid_masses([0, 0, 1], [1, 2, 3])


def test_missing_export_is_a_clean_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'nothing_here'"):
        zelvane.nothing_here  # noqa: B018


# Masses whose mean densities (1e39) float32 cannot hold, though every mass can.
TINY = [0.0, 1e-6, 2e-6, 3e-6]
HUGE = [1e33, 2e33, 1e33]


def test_a_fit_beyond_float32_is_refused_naming_its_densest_interval(method):
    with pytest.raises(zelvane.InputError) as caught:
        zelvane.fit_density(TINY, HUGE, method=method)
    error = caught.value
    assert (error.problem, error.argument, error.row, error.index) == (
        "fit_overflow", "gap", None, 1)
    assert error.value == 2e33 and error.details["method"] == method
    assert np.float32(error.details["width"]) == np.float32(2e-6) - np.float32(1e-6)
    assert "fit_smooth" in str(error)
    # In a batch: the first row whose fit overflows, whatever rows follow it, with
    # shared centres and with centres of its own; `out` is the caller's, left writable.
    rows = [[1.0, 1.0, 1.0], [1e33, 1.0, 4e33], [1.0, 1.0, 1.0], HUGE]
    out = np.empty((4, 4), np.float32)
    for center in (TINY, [TINY] * 4):
        for given_out in (None, out):
            with pytest.raises(zelvane.InputError) as caught:
                zelvane.fit_density(center, rows, method=method, out=given_out, workers=2)
            assert (caught.value.row, caught.value.index, caught.value.value) == (1, 2, 4e33)
    assert out.flags.writeable
    # The same rows fitted alone are fine: nothing else in the batch is refused.
    fine = zelvane.fit_density(TINY, [rows[0], rows[2]], method=method)
    assert np.isfinite(fine).all() and not fine.flags.writeable
