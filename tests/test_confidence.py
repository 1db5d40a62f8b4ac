"""Confidence intervals of a fitted density's summaries: their coverage on simulated
counts (loose; bench/margins.py holds the real measurement), the first order against
the bootstrap, no width where nothing is uncertain, the square-root law, standard errors
against the equivalent multinomial, the stack of fits against the density's own closed
forms, batches, the band of a plot, and every refused input."""

import math

import numpy as np
import pytest

import zelvane
from zelvane import InputError, PiecewiseLinearDensity
from zelvane._batch_intervals import RowsConfidence
from zelvane._confidence import Stack, margin_to_se

OPEN = np.array([0, 10e3, 20e3, 30e3, 45e3, 60e3, 80e3, 110e3, 150e3, np.inf])
CLOSED = np.array([0, 10e3, 20e3, 30e3, 45e3, 60e3, 80e3, 110e3, 150e3, 400e3])
SIGMA, MEDIAN = 0.8, 50e3


def lognormal_counts(n, edges, rng):
    x = np.exp(rng.normal(math.log(MEDIAN), SIGMA, size=n))
    if np.isfinite(edges[-1]):
        x = x[x <= edges[-1]]
    return np.histogram(x, edges)[0].astype(float), x


def lognormal_cdf(x):
    return 0.5 * (1 + math.erf((math.log(x) - math.log(MEDIAN)) / (SIGMA * math.sqrt(2))))


def width(pair):
    return np.asarray(pair[1]) - np.asarray(pair[0])


# ------------------------------------------------------------------------- coverage

def test_coverage_of_the_median_cdf_and_gini_on_a_fixed_seed_is_near_the_level():
    rng = np.random.default_rng(2026)
    gini = 2 * 0.5 * (1 + math.erf(SIGMA / 2)) - 1
    point = 40e3
    hits = np.zeros(3)
    reps = 60
    for _ in range(reps):
        counts, _ = lognormal_counts(1000, OPEN, rng)
        c = PiecewiseLinearDensity.from_histogram(counts, OPEN).confidence(0.9)
        low, high = np.array([c.median(), c.cdf(point), c.gini()]).T
        truth = np.array([MEDIAN, lognormal_cdf(point), gini])
        hits += (low <= truth) & (truth <= high)
    coverage = hits / reps
    # 60 tables: a true 0.9 lands below 0.75 with a chance under 0.1 %.
    assert (coverage >= 0.75).all(), coverage


def test_an_interval_holds_its_estimate_and_narrows_with_a_lower_level():
    counts, _ = lognormal_counts(2000, CLOSED, np.random.default_rng(1))
    d = PiecewiseLinearDensity.from_histogram(counts, CLOSED)
    wide, narrow = d.confidence(0.95, method="linear"), d.confidence(0.5, method="linear")
    for name, args in (("median", ()), ("mean", ()), ("gini", ()), ("cdf", (40e3,))):
        value = float(getattr(d, name)(*args))
        lo, hi = getattr(wide, name)(*args)
        assert lo < value < hi, name
        assert width(getattr(narrow, name)(*args)) < 0.5 * width((lo, hi)), name


# ------------------------------------------------------------- first order, bootstrap

@pytest.mark.parametrize("edges, mean", [(CLOSED, None), (OPEN, None), (OPEN, "given")])
def test_first_order_and_bootstrap_agree_on_small_cases(edges, mean):
    counts, x = lognormal_counts(3000, edges, np.random.default_rng(7))
    options = {} if mean is None else {"mean": float(x.mean()),
                                       "mean_se": float(x.std() / math.sqrt(x.size))}
    d = PiecewiseLinearDensity.from_histogram(counts, edges, **options)
    linear = d.confidence(method="linear")
    boot = d.confidence(method="bootstrap", replicates=400, seed=3)
    for name, args in (("median", ()), ("ppf", (0.25,)), ("cdf", (30e3,)), ("mean", ()),
                       ("gini", ())):
        # The bootstrap's spread about its median runs wider than the first order where
        # a summary's distribution is skewed (the Gini below a closed top).
        ratio = width(getattr(boot, name)(*args)) / width(getattr(linear, name)(*args))
        assert 0.7 < ratio < 1.5, (name, ratio)


def test_the_bootstraps_interval_is_the_median_and_t_times_each_sides_spread():
    stats = pytest.importorskip("scipy.stats")
    from zelvane._spread import spread_interval, t_of

    # The t quantile's expansion against SciPy's, from 8 degrees of freedom on.
    for level in (0.5, 0.8, 0.9, 0.95):
        for freedom in (8, 12, 24, 49, 199):
            assert t_of(level, freedom) == pytest.approx(
                stats.t.ppf(0.5 + level / 2, freedom), abs=1e-4)
    rng = np.random.default_rng(5)
    # Skewed replicates: each side its own spread, about the median.
    reps = np.column_stack([rng.normal(10.0, 2.0, 51), rng.lognormal(0.0, 0.8, 51),
                            np.full(51, 3.0)])
    low, high = spread_interval(reps, 0.9)
    for j in range(2):
        column = reps[:, j]
        m = np.median(column)
        below, above = column[column < m] - m, column[column > m] - m
        assert low[j] == pytest.approx(m - stats.t.ppf(0.95, below.size - 1)
                                       * np.sqrt(np.mean(below ** 2)), rel=1e-5)
        assert high[j] == pytest.approx(m + stats.t.ppf(0.95, above.size - 1)
                                        * np.sqrt(np.mean(above ** 2)), rel=1e-5)
    assert high[1] - np.median(reps[:, 1]) > 1.5 * (np.median(reps[:, 1]) - low[1])
    assert low[2] == high[2] == 3.0
    # Replicates without a value are left out; an end is open only where more of the
    # replicates than the interval leaves out are infinite there.
    holed = reps[:, :1].copy()
    holed[::10] = np.nan
    np.testing.assert_array_equal(spread_interval(holed, 0.9),
                                  spread_interval(holed[~np.isnan(holed[:, 0])], 0.9))
    some = np.concatenate([reps[:, 0], [np.inf, np.inf]])[:, None]
    many = np.concatenate([reps[:, 0], [np.inf] * 4])[:, None]
    assert np.isfinite(spread_interval(some, 0.9)[1][0])
    assert spread_interval(many, 0.9)[1][0] == np.inf
    assert np.isfinite(spread_interval(many, 0.9)[0][0])


def test_fifty_replicates_by_default_and_more_when_asked_for():
    counts, _ = lognormal_counts(2000, CLOSED, np.random.default_rng(6))
    d = PiecewiseLinearDensity.from_histogram(counts, CLOSED)
    few = d.confidence(method="bootstrap", seed=2)
    many = d.confidence(method="bootstrap", replicates=400, seed=2)
    assert many.info["fits"] - few.info["fits"] == 350
    # Fifty replicates give about the interval that four hundred do.
    for name in ("median", "mean", "gini"):
        ratio = width(getattr(few, name)()) / width(getattr(many, name)())
        assert 0.75 < ratio < 1.33, (name, ratio)


def test_the_bootstrap_is_deterministic_for_a_seed():
    counts, _ = lognormal_counts(500, CLOSED, np.random.default_rng(4))
    d = PiecewiseLinearDensity.from_histogram(counts, CLOSED)
    one = d.confidence(method="bootstrap", seed=11).top_share(np.array([0.1, 0.01]))
    two = d.confidence(method="bootstrap", seed=11).top_share(np.array([0.1, 0.01]))
    other = d.confidence(method="bootstrap", seed=12).top_share(np.array([0.1, 0.01]))
    np.testing.assert_array_equal(one[0], two[0])
    np.testing.assert_array_equal(one[1], two[1])
    assert not np.array_equal(one[0], other[0])
    # Threads share the batch of refits and change nothing.
    threaded = d.confidence(method="bootstrap", seed=11, workers=2).top_share(
        np.array([0.1, 0.01]))
    np.testing.assert_array_equal(one[0], threaded[0])


# ------------------------------------------------------------------ no uncertainty

def test_exact_masses_without_standard_errors_give_intervals_of_no_width():
    d = PiecewiseLinearDensity.from_masses([0, 1, 2, 4, 8], [0.1, 0.4, 0.3, 0.2])
    c = d.confidence()
    lo, hi = c.median()
    assert lo == hi == pytest.approx(d.median(), rel=1e-14)
    for name, args in (("mean", ()), ("var", ()), ("gini", ()), ("lorenz", (0.5,))):
        lo, hi = getattr(c, name)(*args)
        value = float(getattr(d, name)(*args))
        assert lo == pytest.approx(value, rel=1e-12) and hi == pytest.approx(value, rel=1e-12)
    lo, hi = c.masses([0, 1, 3, 8])
    np.testing.assert_allclose(lo, d.masses([0, 1, 3, 8]), rtol=1e-12)
    np.testing.assert_array_equal(lo, hi)


def test_an_exact_open_top_is_uncertain_only_beyond_the_last_edge_without_a_mean():
    edges = [0, 10, 20, 40, np.inf]
    masses = [0.2, 0.4, 0.3, 0.1]
    held = PiecewiseLinearDensity.from_masses(edges, masses, mean=30.0).confidence()
    assert width(held.mean()) == pytest.approx(0.0, abs=1e-9)
    assert width(held.gini()) == pytest.approx(0.0, abs=1e-12)
    free = PiecewiseLinearDensity.from_masses(edges, masses).confidence()
    # The body moves only as much as its end's value follows the tail by continuity.
    assert width(free.median()) < 1e-3 * free.median()[0]
    assert width(free.cdf(5.0)) < 1e-3
    assert width(free.mean()) > 0.05 * free.mean()[0]
    assert width(free.gini()) > 0.02
    assert free.info["tail_range"][0] < free.info["tail_range"][1]


# ------------------------------------------------------------------ the sources

def test_a_sixteen_times_larger_sample_gives_four_times_narrower_intervals():
    # The same shares, exactly fitted, with the mean of the same sample: everything
    # moves with the square root of the sample's size.
    shares = np.array([0.05, 0.12, 0.18, 0.2, 0.16, 0.12, 0.09, 0.05, 0.03])
    widths = []
    for n in (1000, 16000):
        d = PiecewiseLinearDensity.from_histogram(shares * n, OPEN, smoothing=0, mean=70e3,
                                                  mean_se=60e3 / math.sqrt(n))
        c = d.confidence(method="linear")
        widths.append(np.array([width(c.median()), width(c.mean()), width(c.gini()),
                                width(c.top_share(0.1)), width(c.cdf(50e3))]))
    np.testing.assert_allclose(widths[0] / widths[1], 4.0, rtol=0.05)


@pytest.mark.parametrize("smoothing, rtol", [(0, 1e-6), ("auto", 0.02)])
def test_standard_errors_of_poisson_counts_match_the_multinomial_of_their_sum(smoothing, rtol):
    # Equal to rounding for the exact fit; smoothed, the multinomial's covariance is of
    # the fitted masses, the standard errors' of the counts given.
    counts = np.array([60, 150, 210, 240, 170, 90, 50, 20, 10], float)
    multinomial = PiecewiseLinearDensity.from_histogram(counts, OPEN, smoothing=smoothing)
    given = PiecewiseLinearDensity.from_histogram(counts, OPEN, smoothing=smoothing,
                                                  standard_errors=np.sqrt(counts))
    assert given.smoothing == pytest.approx(multinomial.smoothing, rel=1e-9)
    a = multinomial.confidence(method="linear")
    b = given.confidence(method="linear")
    for name, args in (("median", ()), ("mean", ()), ("gini", ()), ("cdf", ([20e3, 70e3],))):
        np.testing.assert_allclose(width(a.__getattribute__(name)(*args)),
                                   width(b.__getattribute__(name)(*args)), rtol=rtol)


def test_a_larger_sample_size_narrows_the_intervals_of_the_same_shares():
    counts = np.array([60, 150, 210, 240, 170, 90, 50, 20, 10], float)
    small = PiecewiseLinearDensity.from_histogram(counts, CLOSED, smoothing=0).confidence(
        method="linear")
    large = PiecewiseLinearDensity.from_histogram(counts, CLOSED, smoothing=0,
                                                  sample_size=4 * counts.sum()).confidence(
        method="linear")
    assert width(small.median()) / width(large.median()) == pytest.approx(2.0, rel=0.02)


def test_a_mean_standard_error_widens_the_mean_and_zero_holds_it():
    counts, x = lognormal_counts(2000, OPEN, np.random.default_rng(9))
    mean = float(x.mean())
    held = PiecewiseLinearDensity.from_histogram(counts, OPEN, mean=mean).confidence()
    loose = PiecewiseLinearDensity.from_histogram(counts, OPEN, mean=mean,
                                                  mean_se=0.05 * mean).confidence()
    assert width(loose.mean()) > 1.5 * width(held.mean())
    lo, hi = loose.mean()
    assert lo < mean < hi


def test_every_refit_makes_the_tail_the_fit_was_asked_for():
    counts, _ = lognormal_counts(2000, OPEN, np.random.default_rng(14))
    law = PiecewiseLinearDensity.from_histogram(counts, OPEN, tail="exponential")
    c = law.confidence(method="linear")
    assert law.right_tail.kind == "exponential" and c._stack.right_kind == "exponential"
    assert c.info["tail_range"][0] < law.right_tail.parameter < c.info["tail_range"][1]
    # A parameter held fixed leaves no range to extrapolate over: the mean is then as
    # sure as the brackets make it.
    held = PiecewiseLinearDensity.from_histogram(counts, OPEN, tail=2.5)
    fixed = held.confidence(method="linear")
    assert "tail_range" not in fixed.info
    np.testing.assert_allclose(fixed._stack.par_r, 2.5)
    assert width(fixed.mean()) < width(PiecewiseLinearDensity.from_histogram(
        counts, OPEN).confidence(method="linear").mean())


def test_margins_convert_to_standard_errors_at_their_level():
    assert margin_to_se(1.6448536269514722) == pytest.approx(1.0, rel=1e-12)
    assert zelvane.margin_to_se(1.959963984540054, level=0.95) == pytest.approx(1.0, rel=1e-12)
    np.testing.assert_allclose(margin_to_se(np.array([[3.29, 0.0]])), [[2.0002, 0.0]],
                               rtol=1e-4)


# -------------------------------------------------------- the stack and the density

def test_every_fit_behind_an_interval_evaluates_as_its_density_does():
    counts, x = lognormal_counts(800, OPEN, np.random.default_rng(5))
    c = PiecewiseLinearDensity.from_histogram(counts, OPEN).confidence(method="linear")
    stack = c._stack
    points = np.array([5e3, 25e3, 149e3, 151e3, 400e3])
    levels = np.array([0.1, 0.5, 0.95, 0.999])
    for row in range(0, stack.rows, 3):
        d = stack.density(row)
        np.testing.assert_allclose(stack.cdf(points)[row], d.cdf(points), rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(stack.pdf(points)[row], d.pdf(points), rtol=1e-12,
                                   atol=1e-20)
        np.testing.assert_allclose(stack.ppf(levels)[row], d.ppf(levels), rtol=1e-11)
        np.testing.assert_allclose(stack.lorenz(levels)[row], d.lorenz(levels), rtol=1e-11)
        np.testing.assert_allclose(stack.masses(points)[row], d.masses(points), rtol=1e-11,
                                   atol=1e-15)
        for name in ("mean", "var", "gini", "median"):
            assert getattr(stack, name)()[row] == pytest.approx(getattr(d, name)(), rel=1e-11)
    # A measure the intervals know only from the density: the same interval.
    np.testing.assert_allclose(c._generic("median", (), {}), c.median(), rtol=1e-11)
    np.testing.assert_allclose(c._generic("lorenz", ([0.2, 0.8],), {}), c.lorenz([0.2, 0.8]),
                               rtol=1e-11)


def test_the_densitys_other_measures_get_intervals_too():
    exact = PiecewiseLinearDensity.from_masses([1, 2, 4, 8, 16], [0.1, 0.4, 0.3, 0.2])
    counts, _ = lognormal_counts(3000, OPEN, np.random.default_rng(13))
    d = PiecewiseLinearDensity.from_histogram(counts, OPEN)
    c, none = d.confidence(), exact.confidence()
    for name, args in (("theil", ()), ("mld", ()), ("atkinson", (0.5,)), ("palma", ()),
                       ("quantile_ratio", (0.9, 0.1))):
        if not hasattr(PiecewiseLinearDensity, name):
            continue
        value = getattr(exact, name)(*args)
        low, high = getattr(none, name)(*args)
        assert low == pytest.approx(value, rel=1e-9) and high == pytest.approx(value, rel=1e-9)
        low, high = getattr(c, name)(*args)
        assert low < getattr(d, name)(*args) < high, name
    with pytest.raises(AttributeError):
        c.rvs
    with pytest.raises(AttributeError):
        c.no_such_measure


def test_intervals_keep_the_shape_of_their_argument():
    counts, _ = lognormal_counts(800, OPEN, np.random.default_rng(6))
    c = PiecewiseLinearDensity.from_histogram(counts, OPEN).confidence()
    low, high = c.cdf([[10e3, 20e3, 30e3], [40e3, 50e3, 60e3]])
    assert low.shape == high.shape == (2, 3) and (low <= high).all()
    assert isinstance(c.ppf(0.5)[0], float)
    np.testing.assert_array_equal(c.ppf(0.5), c.median())
    low, high = c.masses(OPEN)
    assert low.shape == (len(OPEN) - 1,) and (0 <= low).all() and (high <= 1).all()
    assert c.sf(50e3) == pytest.approx(tuple(1 - v for v in c.cdf(50e3)[::-1]))
    assert c.std()[1] == pytest.approx(math.sqrt(c.var()[1]))


# ------------------------------------------------------------------------- batches

def test_a_batch_gives_every_row_the_interval_of_its_own_density():
    rng = np.random.default_rng(8)
    drawn = [lognormal_counts(n, OPEN, rng) for n in (300, 3000, 30000)]
    counts = np.stack([c for c, _ in drawn])
    fit = zelvane.fit_smooth(OPEN, counts, smoothing="auto", refine=4)
    rows = fit.confidence(0.9, method="linear")
    assert isinstance(rows, RowsConfidence) and len(rows) == 3
    low, high = rows.median()
    lows, highs = rows.cdf([20e3, 60e3])
    assert low.shape == (3,) and lows.shape == (3, 2)
    for k in range(3):
        own = fit.density(k).confidence(0.9, method="linear")
        assert (low[k], high[k]) == pytest.approx(own.median(), rel=1e-12)
        np.testing.assert_allclose(lows[k], own.cdf([20e3, 60e3])[0], rtol=1e-12)
    assert np.all(np.diff(high - low) < 0)
    # Standard errors per row and a mean per row are taken too.
    se = np.sqrt(counts)
    means = np.array([x.mean() for _, x in drawn])
    fit = zelvane.fit_smooth(OPEN, counts, smoothing="auto", mean=means)
    held = fit.confidence(standard_errors=se, mean_se=[2e3, 1e3, 0.0], method="linear")
    lo, hi = held.mean()
    assert (lo <= means + 1e-6).all() and (means <= hi + 1e-6).all()
    assert hi[2] - lo[2] < hi[1] - lo[1] < hi[0] - lo[0]


def test_a_fit_of_a_dask_array_gives_the_intervals_of_the_same_fit_in_memory():
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(12)
    counts = np.stack([lognormal_counts(n, OPEN, rng)[0] for n in (400, 900, 2500, 6000)])
    sizes = np.array([500.0, 900.0, 2000.0, 7000.0])
    want = zelvane.fit_smooth(OPEN, counts, smoothing="auto", sample_size=sizes)
    lazy = zelvane.fit_smooth(OPEN, da.from_array(counts, chunks=(2, 9)), smoothing="auto",
                              sample_size=da.from_array(sizes, chunks=3))
    a = want.confidence(method="linear").gini()
    b = lazy.confidence(method="linear").gini()
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def test_a_lazy_fit_gives_lazy_intervals_chunk_by_chunk_equal_to_the_fit_in_memory():
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    from zelvane._batch_intervals import LazyRowsConfidence

    rng = np.random.default_rng(13)
    drawn = [lognormal_counts(n, CLOSED, rng) for n in (300, 800, 2500, 6000, 500)]
    counts = np.stack([c for c, _ in drawn])
    means = np.array([x.mean() for _, x in drawn])
    lazy_counts = da.from_array(counts, chunks=(2, 5))
    want = zelvane.fit_smooth(CLOSED, counts, smoothing="auto")
    lazy = zelvane.fit_smooth(CLOSED, lazy_counts, smoothing="auto")
    rows, lazy_rows = want.confidence(seed=4), lazy.confidence(seed=4)
    assert isinstance(lazy_rows, LazyRowsConfidence) and len(lazy_rows) == 5
    low, high = lazy_rows.top_share([0.1, 0.01])
    assert isinstance(low, da.Array) and low.shape == (5, 2) and low.chunks[0] == (2, 2, 1)
    # The same bootstrap, row by row, as in memory; the summaries asked for together share
    # each chunk's refits.
    (median_low, median_high), (gini_low, _), (share_low, share_high) = dask.compute(
        lazy_rows.median(), lazy_rows.gini(), (low, high))
    np.testing.assert_array_equal(median_low, rows.median()[0])
    np.testing.assert_array_equal(median_high, rows.median()[1])
    np.testing.assert_array_equal(gini_low, rows.gini()[0])
    np.testing.assert_array_equal(share_low, rows.top_share([0.1, 0.01])[0])
    np.testing.assert_array_equal(share_high, rows.top_share([0.1, 0.01])[1])
    kept = lazy_rows.persist()
    assert kept[3].mean() == rows[3].mean()
    np.testing.assert_array_equal(kept.masses([0, 20e3, 400e3])[1].compute(),
                                  rows.masses([0, 20e3, 400e3])[1])
    # Standard errors of the counts (a Dask array cut otherwise) and a mean's per row.
    open_fit = zelvane.fit_smooth(OPEN, np.stack([lognormal_counts(n, OPEN, rng)[0]
                                                  for n in (400, 900, 3000)]), mean=means[:3],
                                  smoothing="auto")
    lazy_open = zelvane.fit_smooth(OPEN, da.from_array(open_fit._masses, chunks=(1, 9)),
                                   mean=da.from_array(means[:3], chunks=2), smoothing="auto")
    se = np.sqrt(open_fit._masses) * 1.5
    a = open_fit.confidence(standard_errors=se, mean_se=[900.0, 500.0, 0.0]).mean()
    b = lazy_open.confidence(standard_errors=da.from_array(se, chunks=(2, 9)),
                             mean_se=[900.0, 500.0, 0.0]).mean()
    np.testing.assert_array_equal(a[0], b[0].compute())
    np.testing.assert_array_equal(a[1], b[1].compute())
    # Bad standard errors given as an array are refused at once; in a Dask array, when the
    # row's chunk is computed, with the row numbered in the whole batch.
    bad = se.copy()
    bad[2, 3] = -1.0
    with pytest.raises(InputError) as refused:
        lazy_open.confidence(standard_errors=bad)
    assert refused.value.problem == "negative" and refused.value.row == 2
    later = lazy_open.confidence(standard_errors=da.from_array(bad, chunks=(2, 9)))
    with pytest.raises(InputError) as refused:
        later.median()[0].compute()
    assert refused.value.problem == "negative" and refused.value.row == 2


def test_one_histogram_of_fit_smooth_gives_one_confidence():
    fit = zelvane.fit_smooth([0, 10, 20, 40], [30, 50, 20], smoothing="auto")
    c = fit.confidence()
    assert c.median() == fit.density().confidence().median()


# --------------------------------------------------------------------------- plots

def test_plot_shades_the_band_of_the_density_beneath_its_line():
    pytest.importorskip("matplotlib")
    counts, _ = lognormal_counts(800, OPEN, np.random.default_rng(10))
    d = PiecewiseLinearDensity.from_histogram(counts, OPEN)
    ax = d.plot(band=0.9, color="k")
    assert len(ax.collections) == 1
    path = ax.collections[0].get_paths()[0].vertices
    x = path[:, 0]
    assert x.min() == pytest.approx(0.0) and x.max() > OPEN[-2]
    low, high = d.confidence(0.9).pdf(d.knots)
    assert np.isclose(path[:, 1], high[:, None]).any() or (high >= low).all()
    assert len(d.plot().collections) == 0


# ----------------------------------------------------------------------- refusals

BAD = {
    "negative standard error": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, 3],
                                                      standard_errors=[1, -1, 1]),
        "negative", "standard_errors", 1),
    "infinite standard error": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, 3],
                                                      standard_errors=[1, 1, np.inf]),
        "not_finite", "standard_errors", 2),
    "standard errors of another length": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, 3],
                                                      standard_errors=[1, 1]),
        "length", "standard_errors", None),
    "level of 1": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, 3]).confidence(1.0),
        "level", "level", None),
    "level of 0": (lambda: zelvane.margin_to_se(1.0, level=0), "level", "level", None),
    "level of 90": (
        lambda: zelvane.fit_smooth([0, 1, 2, 3], [5, 8, 2]).confidence(90),
        "level", "level", None),
    "negative margin": (lambda: zelvane.margin_to_se([1.0, -2.0]), "negative", "margins", 1),
    "mean_se without a mean": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, np.inf],
                                                      mean_se=1.0),
        "needs_mean", "mean_se", None),
    "negative mean_se": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, np.inf], mean=2.0,
                                                      mean_se=-1.0),
        "negative", "mean_se", None),
    "density without data": (
        lambda: PiecewiseLinearDensity([0, 1, 2], [0, 1, 0]).confidence(),
        "no_source", "confidence", None),
    "density of another method": (
        lambda: PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1],
                                                   method="exact").confidence(),
        "no_source", "confidence", None),
    "standard errors with another method": (
        lambda: PiecewiseLinearDensity.from_masses([0, 1, 2, 3], [1, 2, 1], method="exact",
                                                   standard_errors=[1, 1, 1]),
        "smooth_only", "standard_errors", None),
    "unknown method": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, 3]).confidence(
            method="delta"),
        "choice", "method", None),
    "too few replicates": (
        lambda: PiecewiseLinearDensity.from_histogram([5, 8, 2], [0, 1, 2, 3]).confidence(
            replicates=5),
        "out_of_range", "replicates", None),
    "batch standard errors of another shape": (
        lambda: zelvane.fit_smooth([0, 1, 2, 3], [[5, 8, 2], [1, 1, 1]]).confidence(
            standard_errors=[1, 1, 1]),
        "shape", "standard_errors", None),
}


@pytest.mark.parametrize("name", sorted(BAD))
def test_every_bad_input_is_a_clear_error(name):
    call, problem, argument, index = BAD[name]
    with pytest.raises(InputError) as caught:
        call()
    error = caught.value
    assert (error.problem, error.argument, error.index) == (problem, argument, index)
    assert argument in str(error)


# ------------------------------------------------------------------- command line

CENSUS = ("lower,upper,households\n0,10000,8412\n10000,15000,5967\n15000,25000,11234\n"
          "25000,35000,11020\n35000,50000,15301\n50000,75000,21054\n75000,100000,16298\n"
          "100000,150000,20145\n150000,200000,10987\n200000,,12873\n")


def summary(tmp_path, capsys, *options):
    from zelvane.cli import main

    path = tmp_path / "census.csv"
    path.write_text(CENSUS)
    status = main(["summary", str(path), *options])
    out, err = capsys.readouterr()
    return status, dict(line.split(": ", 1) for line in out.splitlines()), err


def test_the_summary_prints_every_figure_with_its_margin(tmp_path, capsys):
    edges = [0, 10e3, 15e3, 25e3, 35e3, 50e3, 75e3, 100e3, 150e3, 200e3, np.inf]
    counts = [8412, 5967, 11234, 11020, 15301, 21054, 16298, 20145, 10987, 12873]
    d = PiecewiseLinearDensity.from_histogram(counts, edges)
    status, lines, err = summary(tmp_path, capsys)
    assert (status, err) == (0, "")
    for name, pair, value in (("median", d.confidence().median(), d.median()),
                              ("gini", d.confidence().gini(), d.gini()),
                              ("top 10% share", d.confidence().top_share(0.1),
                               1 - d.lorenz(0.9))):
        shown, rest = lines[name].split(" ± ")
        margin, level = rest.split(" ")[0], rest.split(" ", 1)[1]
        assert level == "(90 %)"
        # Both rounded to the margin's second significant digit.
        m = float(margin.replace(",", ""))
        assert float(shown.replace(",", "")) == pytest.approx(value, abs=0.1 * m)
        assert m == pytest.approx(width(pair) / 2, rel=0.06)
    # The median's margin to the margin's second digit: "59,437 ± 570", say.
    assert "," in lines["median"] and lines["median"].endswith("(90 %)")
    # A lower level, narrower margins; none at all on request, the figures alone.
    _, half, _ = summary(tmp_path, capsys, "--level", "0.5")
    assert half["median"].endswith("(50 %)")
    assert float(half["median"].split(" ± ")[1].split()[0].replace(",", "")) < \
        float(lines["median"].split(" ± ")[1].split()[0].replace(",", ""))
    _, bare, _ = summary(tmp_path, capsys, "--no-margins")
    assert float(bare["median"]) == pytest.approx(d.median(), rel=1e-5)
    # A published mean is held exactly: no margin but rounding's.
    _, held, _ = summary(tmp_path, capsys, "--mean", "90000")
    assert held["mean"] == "90,000 ± 0 (90 %)"


def test_the_summary_refuses_a_level_outside_0_and_1(tmp_path, capsys):
    from zelvane.cli import main

    path = tmp_path / "census.csv"
    path.write_text(CENSUS)
    assert main(["summary", str(path), "--level", "90"]) == 2
    assert "expected a level between 0 and 1, not '90'" in capsys.readouterr().err


def test_the_summary_of_a_published_table_takes_its_margin_column(capsys):
    import os

    from zelvane.cli import main

    path = os.path.join(os.path.dirname(__file__), "tables", "acs-published.csv")
    t = zelvane.read_table(path)
    assert main(["summary", path]) == 0
    lines = dict(line.split(": ", 1) for line in capsys.readouterr().out.splitlines())
    d = PiecewiseLinearDensity.from_histogram(t.counts, t.edges,
                                              standard_errors=zelvane.margin_to_se(t.margins))
    margin = float(lines["median"].split(" ± ")[1].split()[0].replace(",", ""))
    assert margin == pytest.approx(width(d.confidence().median()) / 2, rel=0.02)
    # As a sample of 5 million households the median would be known to some tens of
    # dollars; the survey's margins say a few hundred.
    sample = PiecewiseLinearDensity.from_histogram(t.counts, t.edges).confidence().median()
    assert margin > 4 * width(sample) / 2
