"""The shape of the smooth fit's first bin (bottom=): the bin keeps its mass and the
rest of the fit its bits, the shapes are what they say (one level; the bin's mean at its
midpoint), nothing goes below zero, a known mean is met with the shaped bin (exact
masses, counts, counts moved for a mean, batches as rows alone, Dask), the default's
rule (a first edge of 0 below an open top), refusals, the intervals' refits and the
command line's --bottom."""

import math
import warnings

import numpy as np
import pytest

import zelvane
from zelvane import ExtrapolationWarning, InputError, fit_smooth
from zelvane import PiecewiseLinearDensity as Density
from conftest import run_python

INF = math.inf
#: Income brackets as published (thousands of dollars): "less than 10" to "200 or more".
EDGES = np.array([0, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 75, 100, 125, 150, 200, INF])
COUNTS = np.array([712, 498, 470, 462, 451, 430, 398, 371, 329, 598, 780, 891, 540, 318,
                   301, 270], dtype=float)
#: Five-year age groups to "85 and over".
AGE_EDGES = np.array([*range(0, 90, 5), INF], dtype=float)
AGES = np.array([5890, 6100, 6320, 6480, 6710, 7250, 7020, 6630, 6240, 6120, 6480, 6510,
                 6010, 5170, 4020, 2660, 1790, 1920], dtype=float)
SHAPES = ("midpoint", "flat")
CLI = "import sys\nfrom zelvane.cli import main\nsys.exit(main(sys.argv[1:]))"


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ExtrapolationWarning)
        return call(*args, **kwargs)


def bottom_bin(d, r=4):
    """The knots and values of a density's first bin (r pieces)."""
    return d.knots[:r + 1], d.values[:r + 1]


def moment(x, v):
    """The mass and first moment of the pieces through (x, v)."""
    h = np.diff(x)
    mass = np.sum(h * (v[:-1] + v[1:])) / 2
    return mass, np.sum(h * (v[:-1] * (2 * x[:-1] + x[1:]) + v[1:] * (x[:-1] + 2 * x[1:]))) / 6


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("smoothing", [0, "auto"])
def test_the_bin_keeps_its_mass_and_the_rest_of_the_fit_its_bits(shape, smoothing):
    smooth = quiet(Density.from_histogram, COUNTS, EDGES, smoothing=smoothing,
                   bottom="smooth")
    shaped = quiet(Density.from_histogram, COUNTS, EDGES, smoothing=smoothing, bottom=shape)
    np.testing.assert_array_equal(shaped.knots, smooth.knots)
    # Only the values below the first bin's upper edge move; the tail is the same.
    np.testing.assert_array_equal(shaped.values[4:], smooth.values[4:])
    assert shaped.right_tail == smooth.right_tail
    assert not np.array_equal(shaped.values[:4], smooth.values[:4])
    masses = shaped.masses().reshape(-1)
    np.testing.assert_allclose(masses[4:], smooth.masses().reshape(-1)[4:], rtol=0, atol=0)
    np.testing.assert_allclose(masses[:4].sum(), smooth.masses()[:4].sum(), rtol=1e-13)
    if smoothing == 0:
        np.testing.assert_allclose(quiet(fit_smooth, EDGES, COUNTS, bottom=shape).bin_masses(),
                                   COUNTS, rtol=1e-12)
    assert shaped.mass_error == pytest.approx(smooth.mass_error, abs=1e-13)


def test_each_shape_is_what_it_says():
    x, smooth = bottom_bin(quiet(Density.from_histogram, COUNTS, EDGES, bottom="smooth"))
    _, flat = bottom_bin(quiet(Density.from_histogram, COUNTS, EDGES, bottom="flat"))
    _, midpoint = bottom_bin(quiet(Density.from_histogram, COUNTS, EDGES, bottom="midpoint"))
    # The smooth fit rises from 0 through the bin: the reason for the shapes.
    assert (np.diff(smooth) > 0).all()
    # Flat: one level up to the last inner knot; all three meet the body at the edge.
    assert flat[0] == flat[1] == flat[2] == flat[3] > 0
    assert smooth[4] == flat[4] == midpoint[4]
    # Midpoint: a line up to the last inner knot, and the bin's mean at w / 2.
    assert np.diff(midpoint[:4]) == pytest.approx(np.full(3, midpoint[1] - midpoint[0]),
                                                  abs=1e-15)
    mass, first = moment(x, midpoint)
    assert first / mass == pytest.approx(5.0, rel=1e-12)
    for values in (smooth, flat):
        mass, first = moment(x, values)
        assert first / mass > 5.0


@pytest.mark.parametrize("masses, expected", [
    # A first bin much lighter than its neighbour's value at the edge: no level is
    # non-negative, so the fitted shape stays.
    ([0.2, 30, 20, 10, 5, 3], "smooth"),
    # Light enough that the midpoint's line would go below zero, not so light that the
    # flat level does.
    ([2, 10, 8, 6, 4, 2], "flat"),
    # A first bin heavier than its upper neighbour's edge value: the fit already falls
    # through it, and either shape would raise its mean.
    ([40, 10, 8, 6, 4, 2], "smooth"),
])
def test_a_shape_that_would_negate_or_raise_falls_back(masses, expected):
    edges = [0, 10, 20, 30, 40, 50, INF]
    got = quiet(Density.from_masses, edges, masses)
    want = quiet(Density.from_masses, edges, masses, bottom=expected)
    np.testing.assert_array_equal(got.values, want.values)
    assert (got.values >= 0).all()
    if expected == "smooth":
        flat = quiet(Density.from_masses, edges, masses, bottom="flat")
        np.testing.assert_array_equal(flat.values, want.values)


@pytest.mark.parametrize("bottom", ["auto", "flat", "smooth"])
@pytest.mark.parametrize("smoothing", [0, "auto"])
def test_a_known_mean_is_met_with_the_shaped_bin(bottom, smoothing):
    for mean in (62.0, 75.0, 90.0):
        d = quiet(Density.from_histogram, COUNTS, EDGES, smoothing=smoothing, mean=mean,
                  bottom=bottom)
        assert d.mean() == pytest.approx(mean, rel=1e-9)
        assert d.right_tail.chosen == "mean"
        assert (d.values >= 0).all()


def test_counts_moved_for_their_own_mean_meet_it_with_the_shaped_bin():
    # 200 draws of a Dagum law: some samples' own means lie below what a tail reaches on
    # the counts as they are, and the counts move for them; every mean is met, and the
    # first bin's mean sits at its midpoint (5,000) after the move too.
    from zelvane import _native, _smooth

    rng = np.random.default_rng(5)
    edges = EDGES * 1e3
    moved = tried = 0
    for _ in range(40):
        x = 6e4 * (rng.uniform(size=200) ** (-1 / 0.7) - 1) ** (-1 / 3.0)
        counts = np.histogram(x, edges)[0].astype(float)
        if not counts[-1] or not counts[0]:
            continue
        tried += 1
        d = quiet(Density.from_histogram, counts, edges, mean=x.mean())
        assert d.mean() == pytest.approx(x.mean(), rel=1e-9)
        mass, first = moment(*bottom_bin(d))
        assert first / mass == pytest.approx(5e3, rel=1e-9)
        try:
            _smooth._fit_rows(edges, counts, 4, _native.AUTO_SMOOTHING, None, x.mean(), 1,
                              False, True, (None, None), "counts")
        except InputError as refusal:
            assert refusal.problem == "unreachable_mean"
            moved += 1
    assert tried >= 25 and moved > 0


def test_the_rule_of_the_default():
    closed_top = EDGES[:-1].copy()
    not_zero = np.concatenate(([1.0], EDGES[1:]))
    masses = COUNTS[:-1]
    cases = [
        (closed_top, masses, {}),                        # a closed top
        (not_zero, COUNTS, {}),                          # a first edge other than 0
        (EDGES, COUNTS, {"upper": 400.0}),               # the top closed by upper=
        (np.concatenate(([-INF], EDGES[1:])), COUNTS, {}),  # an open first bin
        # A population's age groups: the fit barely rises through the youngest.
        (AGE_EDGES, AGES, {"smoothing": 0}),
    ]
    for edges, counts, options in cases:
        auto = quiet(Density.from_histogram, counts, edges, **options)
        smooth = quiet(Density.from_histogram, counts, edges, bottom="smooth", **options)
        np.testing.assert_array_equal(auto.values, smooth.values)
    # (There the midpoint's line would bend the youngest ages down and up again.)
    asked = quiet(Density.from_histogram, AGES, AGE_EDGES, smoothing=0, bottom="midpoint")
    ages = quiet(Density.from_histogram, AGES, AGE_EDGES, smoothing=0)
    assert asked.values[0] > asked.values[3] < asked.values[4]
    assert np.all(np.diff(ages.values[:5]) > 0)
    # Where it applies the default is the midpoint shape, not the smooth one.
    auto = quiet(Density.from_histogram, COUNTS, EDGES)
    np.testing.assert_array_equal(auto.values,
                                  quiet(Density.from_histogram, COUNTS, EDGES,
                                        bottom="midpoint").values)
    # Asked for, a shape applies on any closed first bin; refine=1 keeps the fit.
    flat = quiet(Density.from_histogram, masses, closed_top, bottom="flat")
    assert flat.values[0] == flat.values[3]
    one = Density.from_histogram(masses, closed_top, refine=1, bottom="flat")
    np.testing.assert_array_equal(
        one.values, Density.from_histogram(masses, closed_top, refine=1, bottom="smooth").values)


@pytest.mark.parametrize("mean", [None, 70.0])
def test_smooth_is_the_fit_as_the_native_fit_makes_it(mean):
    from zelvane import _native, _smooth

    edges, masses = EDGES.astype(float), COUNTS / COUNTS.sum()
    out, _ = _smooth._fit_rows(edges, masses, 4, 0.0, None, mean, 1, False, True,
                               (None, None), "gap")
    fit = quiet(fit_smooth, edges, masses, refine=4, mean=mean, bottom="smooth")
    np.testing.assert_array_equal(fit.values, out[:fit.values.shape[0]])
    np.testing.assert_array_equal(fit.right_tail.parameter,
                                  out[-_native.INFO_LENGTH + _native.INFO["right_parameter"]])
    shaped = quiet(fit_smooth, edges, masses, refine=4, mean=mean)
    assert not np.array_equal(shaped.values, fit.values)


def test_a_batch_is_every_row_fitted_alone():
    # Rows of edges of their own: one starting at 0 (shaped), one at 1 (not); means for
    # some rows (NaN: none), each met as the row alone meets it, to the bit.
    edges = np.stack([EDGES, np.concatenate(([1.0], EDGES[1:])), EDGES])
    counts = np.stack([COUNTS, COUNTS[::-1], COUNTS * 2])
    means = np.array([70.0, 80.0, np.nan])
    fit = quiet(fit_smooth, edges, counts, smoothing="auto", mean=means)
    for k in range(3):
        alone = quiet(Density.from_histogram, counts[k], edges[k],
                      mean=None if np.isnan(means[k]) else means[k])
        row = fit.density(k)
        np.testing.assert_array_equal(row.values, alone.values)
        assert row.right_tail == alone.right_tail
    assert fit.density(0).mean() == pytest.approx(70.0, rel=1e-9)
    smooth = quiet(fit_smooth, edges, counts, smoothing="auto", mean=means, bottom="smooth")
    assert not np.array_equal(fit.values[0], smooth.values[0])
    np.testing.assert_array_equal(fit.values[1], smooth.values[1])


def test_a_dask_batch_shapes_its_rows_as_numpy_does():
    da = pytest.importorskip("dask.array")
    counts = np.stack([COUNTS * (1 + 0.1 * k) + 7 * k for k in range(6)])
    means = np.linspace(65.0, 80.0, 6)
    for bottom in ("auto", "flat", "smooth"):
        eager = quiet(fit_smooth, EDGES, counts, smoothing="auto", mean=means, bottom=bottom)
        lazy = quiet(fit_smooth, EDGES, da.from_array(counts, chunks=4), smoothing="auto",
                     mean=means, bottom=bottom)
        np.testing.assert_array_equal(quiet(np.asarray, lazy.values), eager.values)


def test_bad_shapes_and_shapes_where_none_applies_are_refused():
    with pytest.raises(InputError) as caught:
        Density.from_histogram(COUNTS, EDGES, bottom="uniform")
    assert (caught.value.problem, caught.value.argument) == ("choice", "bottom")
    for bottom in SHAPES:
        with pytest.raises(InputError, match="first edge is open") as caught:
            fit_smooth(np.concatenate(([-INF], EDGES[1:])), COUNTS, bottom=bottom)
        assert caught.value.problem == "bottom_open"
    with pytest.raises(InputError) as caught:
        Density.from_histogram(COUNTS[:-1], EDGES[:-1], method="exact", bottom="flat")
    assert (caught.value.problem, caught.value.argument) == ("smooth_only", "bottom")


def test_a_mean_out_of_reach_is_refused_as_given():
    masses = COUNTS / COUNTS.sum()
    with pytest.raises(InputError) as caught:
        quiet(fit_smooth, EDGES, masses, mean=30.0)
    error = caught.value
    assert error.problem == "unreachable_mean" and error.value == 30.0
    assert 30.0 < error.details["lowest"] < error.details["highest"]
    # Just inside the range given, the mean is met.
    inside = error.details["lowest"] * 1.001
    assert quiet(fit_smooth, EDGES, masses, mean=inside).density().mean() == \
        pytest.approx(inside, rel=1e-9)


def test_the_intervals_refit_with_the_same_shape():
    # Exact masses: the intervals' width is the tail's extrapolation alone, and inside
    # the first bin far narrower than the difference the shapes make there.
    masses = COUNTS / COUNTS.sum()
    densities = {b: quiet(Density.from_masses, EDGES, masses, bottom=b)
                 for b in ("midpoint", "flat", "smooth")}
    for bottom, d in densities.items():
        assert d._source["bottom"] == bottom
        low, high = quiet(d.confidence, 0.9).cdf(2.5)
        for other, e in densities.items():
            assert (low <= e.cdf(2.5) <= high) == (other == bottom)


def test_the_command_line_takes_the_shape(tmp_path):
    table = tmp_path / "income.csv"
    rows = [f"{lo},{'' if hi == INF else hi},{int(c)}"
            for lo, hi, c in zip(EDGES[:-1], EDGES[1:], COUNTS)]
    table.write_text("lower,upper,count\n" + "\n".join(rows) + "\n")
    ginis = {}
    for bottom in ("auto", "smooth", "flat"):
        code, out, err = run_python(CLI, "summary", str(table), "--mean", "70", "--bottom",
                                    bottom)
        assert code == 0, err
        line = next(line for line in out.splitlines() if line.startswith("gini:"))
        ginis[bottom] = float(line.split()[1])
        want = quiet(Density.from_histogram, COUNTS, EDGES, mean=70.0, bottom=bottom).gini()
        assert ginis[bottom] == pytest.approx(want, abs=5e-4)
    assert ginis["auto"] > ginis["smooth"]
    code, out, err = run_python(CLI, "summary", str(table), "--bottom", "even")
    assert code == 2 and "invalid choice: 'even'" in err
    code, out, err = run_python(CLI, "fit", str(table), "--method", "exact", "--bottom",
                                "flat")
    assert code == 2 and "--bottom" in err
