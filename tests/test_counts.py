"""fit_smooth for counts, open ends and a known mean, as a Python caller sees it:
the penalised fit against a general-purpose optimiser, the free choice of units
and of the scale of the counts, batches row by row for any number of workers,
Dask, the open ends' tails and the mean, and every refusal with its fields."""

import json
import pickle
from pathlib import Path

import dask.array as da
import numpy as np
import pytest
from scipy.optimize import minimize

import zelvane

INF = np.inf
# Census-style income brackets (thousands), the top one open.
BRACKETS = [0, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 75, 100, 125, 150, 200, INF]
INCOMES = [60, 40, 45, 45, 45, 45, 45, 42, 40, 75, 100, 130, 90, 65, 70, 78]


def penalised_problem(knots, counts, lam):
    """The objective in x's own units, for the density f (total mass 1) at the knots,
    -sum q log p + (lambda / 2) W^5 C(f), and its gradient, from the definitions:
    the trapezoid masses p = A f of the bins and the curvature C(f) = f'Gf."""
    n, bins = len(knots), len(counts)
    refine = (n - 1) // bins
    h = np.diff(knots)
    a = np.zeros((bins, n))
    for j in range(n - 1):
        a[j // refine, j] += h[j] / 2
        a[j // refine, j + 1] += h[j] / 2
    g = np.zeros((n, n))
    for t in range(1, n - 1):
        d = np.zeros(n)
        d[t - 1], d[t], d[t + 1] = 1 / h[t - 1], -(1 / h[t - 1] + 1 / h[t]), 1 / h[t]
        g += 2 / (h[t - 1] + h[t]) * np.outer(d, d)
    q = counts / counts.sum()
    occupied = q > 0
    scale = lam * (knots[-1] - knots[0]) ** 5

    def objective(f):
        # The curvature from the slopes: f'Gf itself cancels away its accuracy.
        p = a @ f
        bends = np.diff(np.diff(f) / h)
        curvature = np.sum(2.0 / (h[:-1] + h[1:]) * bends ** 2)
        return -np.sum(q[occupied] * np.log(np.maximum(p[occupied], 1e-300))) + 0.5 * scale * curvature

    def gradient(f):
        p = a @ f
        return -(a[occupied].T @ (q[occupied] / np.maximum(p[occupied], 1e-300))) + scale * g @ f

    return objective, gradient, a.sum(axis=0)


@pytest.mark.parametrize("seed", range(6))
def test_penalised_fit_agrees_with_a_general_optimiser(seed):
    rng = np.random.default_rng(seed)
    bins, refine = int(rng.integers(3, 8)), int(rng.integers(2, 5))
    edges = np.sort(rng.uniform(0, 10, bins + 1))
    counts = rng.poisson(rng.uniform(1, 40, bins)).astype(float)
    counts[0] += 1
    lam = 10.0 ** rng.uniform(-7, -3)
    fit = zelvane.fit_smooth(edges, counts, refine=refine, smoothing=lam)
    assert fit.smoothing == lam
    objective, gradient, total_weight = penalised_problem(fit.knots, counts, lam)
    start = np.full(len(fit.knots), 1.0 / (edges[-1] - edges[0]))
    other = minimize(objective, start, jac=gradient, method="SLSQP",
                     bounds=[(0, None)] * len(start),
                     constraints=[{"type": "eq", "fun": lambda f: total_weight @ f - 1.0,
                                   "jac": lambda f: total_weight}],
                     options={"ftol": 1e-15, "maxiter": 5000})
    ours = fit.values / counts.sum()
    # The optimiser's answer, put back on the constraints it meets only to its
    # tolerance, does no better than the fit, and the two agree.
    theirs = np.maximum(other.x, 0.0)
    theirs /= total_weight @ theirs
    assert objective(ours) <= objective(theirs) + 1e-12
    assert np.max(np.abs(ours - theirs)) <= 1e-3 * np.max(ours)
    assert total_weight @ ours == pytest.approx(1.0, abs=1e-13)
    assert ours.min() >= 0


def test_the_choice_is_free_of_units_and_of_the_scale_of_the_counts():
    rng = np.random.default_rng(3)
    edges = np.sort(rng.uniform(-2, 5, 13))
    counts = np.histogram(rng.normal(1.5, 1.2, 800), edges)[0].astype(float)
    base = zelvane.fit_smooth(edges, counts, smoothing="auto")
    assert base.smoothing > 0
    moved = zelvane.fit_smooth(edges * 1000.0 + 250.0, counts, smoothing="auto")
    weighted = zelvane.fit_smooth(edges, counts * 0.25, smoothing="auto",
                                  sample_size=counts.sum())
    assert moved.smoothing == pytest.approx(base.smoothing, rel=1e-6)
    assert weighted.smoothing == pytest.approx(base.smoothing, rel=1e-6)
    np.testing.assert_allclose(moved.values * 1000.0, base.values, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(weighted.values * 4.0, base.values, rtol=1e-6, atol=1e-9)
    # More counts of the same shares: less smoothing; far more: the exact-mass fit.
    more = zelvane.fit_smooth(edges, counts * 100, smoothing="auto")
    assert more.smoothing < base.smoothing
    exact = zelvane.fit_smooth(edges, counts)
    huge = zelvane.fit_smooth(edges, counts * 1e12, smoothing="auto")
    assert huge.smoothing <= 1e-14
    np.testing.assert_allclose(huge.values / 1e12, exact.values, rtol=1e-8, atol=1e-12)


def pareto_mean(knots, values, joint, mass, alpha):
    """The mean of a fitted body with a Pareto tail (index alpha > 1) beyond its last
    knot, from the trapezoids' first moments and the tail's, over the total of both."""
    h = np.diff(knots)
    body_mass = np.sum(h * (values[:-1] + values[1:]) / 2)
    body = np.sum(h * (values[:-1] * (2 * knots[:-1] + knots[1:])
                       + values[1:] * (knots[:-1] + 2 * knots[1:])) / 6)
    return (body + mass * joint * alpha / (alpha - 1)) / (body_mass + mass)


@pytest.mark.parametrize("shared", [True, False])
def test_batches_are_fitted_row_by_row_for_any_workers(shared):
    rng = np.random.default_rng(11)
    rows, bins = 40, 10
    edges = np.sort(rng.uniform(0, 10, (rows, bins + 1)), axis=1)
    if shared:
        edges = edges[0]
    edges = np.concatenate([edges[..., :-1], np.full(edges.shape[:-1] + (1,), INF)], axis=-1)
    counts = rng.poisson(rng.uniform(0, 30, (rows, bins))).astype(float) + 1
    reference = zelvane.fit_smooth(edges, counts, smoothing="auto")

    def row_edges(r):
        return edges if shared else edges[r]

    # A mean 5 % above the row's own fit, which the tail can reach, where that is finite
    # (a Pareto index above 1); none (NaN) in every third row and where it is infinite.
    tail = reference.right_tail
    assert tail.kind == "pareto"
    means = np.full(rows, np.nan)
    for r in range(rows):
        if r % 3 and tail.parameter[r] > 1:
            knots = reference.knots if shared else reference.knots[r]
            means[r] = 1.05 * pareto_mean(knots, reference.values[r], tail.joint[r], tail.mass[r],
                                          tail.parameter[r])
    given = np.isfinite(means)
    assert 10 < given.sum() < rows - 10
    alone = [zelvane.fit_smooth(row_edges(r), counts[r], smoothing="auto",
                                mean=means[r] if given[r] else None) for r in range(rows)]
    for workers in (1, 2, 0):
        plain = zelvane.fit_smooth(edges, counts, smoothing="auto", workers=workers)
        np.testing.assert_array_equal(plain.values, reference.values)
        np.testing.assert_array_equal(plain.smoothing, reference.smoothing)
        np.testing.assert_array_equal(plain.right_tail.parameter, reference.right_tail.parameter)
        batch = zelvane.fit_smooth(edges, counts, smoothing="auto", workers=workers, mean=means)
        # A row without a mean is the plain fit's row; a row with one is not.
        np.testing.assert_array_equal(batch.values[~given], reference.values[~given])
        assert all(np.any(batch.values[r] != reference.values[r]) for r in np.flatnonzero(given))
        for r, one in enumerate(alone):
            np.testing.assert_array_equal(batch.values[r], one.values)
            assert (batch.smoothing[r], batch.edf[r]) == (one.smoothing, one.edf)
            assert (batch.right_tail.mass[r], batch.right_tail.parameter[r]) == \
                (one.right_tail.mass, one.right_tail.parameter)
    for r in (0, 17, rows - 1):
        alone = zelvane.fit_smooth(row_edges(r), counts[r], smoothing="auto")
        np.testing.assert_array_equal(alone.values, reference.values[r])
        assert alone.edf == reference.edf[r]
        assert alone.right_tail.mass == reference.right_tail.mass[r]


def test_open_top_tail_and_known_mean():
    fit = zelvane.fit_smooth(BRACKETS, INCOMES)
    tail = fit.right_tail
    assert fit.left_tail is None
    assert tail.kind == "pareto" and tail.joint == 200.0 and tail.mass == INCOMES[-1]
    # Continuity: the tail's density at the joint is the body's end value.
    assert tail.parameter * tail.mass / tail.joint == pytest.approx(fit.values[-1], rel=1e-12)
    assert fit.knots[-1] == 200.0 and len(fit.knots) == 15 * 4 + 1
    for mean in (85.0, 95.0, 120.0):
        met = zelvane.fit_smooth(BRACKETS, INCOMES, mean=mean)
        total = np.sum(INCOMES)
        h = np.diff(met.knots)
        v = met.values
        body = np.sum(h * (v[:-1] * (2 * met.knots[:-1] + met.knots[1:])
                           + v[1:] * (met.knots[:-1] + 2 * met.knots[1:])) / 6)
        a = met.right_tail.parameter
        tail_moment = met.right_tail.mass * 200.0 * a / (a - 1)
        assert (body + tail_moment) / total == pytest.approx(mean, rel=1e-9)
    # An open bottom: an exponential tail.
    low = zelvane.fit_smooth([-INF, 0, 1, 2, 3], [5, 20, 30, 10], smoothing="auto")
    assert low.left_tail.kind == "exponential" and low.right_tail is None


def test_dask_gives_the_numpy_fit_and_numbers_rows_in_the_whole_array():
    rng = np.random.default_rng(5)
    counts = rng.poisson(20, (9, len(INCOMES))).astype(float) + 1
    lazy = da.from_array(counts, chunks=(4, 5))
    got = zelvane.fit_smooth(BRACKETS, lazy, smoothing="auto", mean=90.0)
    want = zelvane.fit_smooth(BRACKETS, counts, smoothing="auto", mean=90.0)
    np.testing.assert_array_equal(got.values.compute(), want.values)
    np.testing.assert_array_equal(got.edf.compute(), want.edf)
    np.testing.assert_array_equal(got.right_tail.parameter.compute(), want.right_tail.parameter)
    # The kind of every row, from the fit's codes, as the NumPy path gives it.
    assert got.right_tail.kind.compute().tolist() == [want.right_tail.kind] * 9
    bad = counts.copy()
    bad[6, 2] = -1
    with pytest.raises(zelvane.InputError) as caught:
        zelvane.fit_smooth(BRACKETS, da.from_array(bad, chunks=(4, 16)),
                           smoothing="auto").values.compute()
    assert (caught.value.problem, caught.value.row, caught.value.index) == ("negative", 6, 2)


@pytest.mark.parametrize("arguments, problem, argument, row", [
    (dict(smoothing="often"), "choice", "smoothing", None),
    (dict(smoothing=-1.0), "out_of_range", "smoothing", None),
    (dict(smoothing=float("nan")), "out_of_range", "smoothing", None),
    (dict(smoothing=True), "type", "smoothing", None),
    (dict(smoothing="auto", sample_size=0), "out_of_range", "sample_size", None),
    (dict(smoothing="auto", sample_size=[10, 20]), "shape", "sample_size", None),
    (dict(mean=float("inf")), "not_finite", "mean", None),
    (dict(center=[0, 1, 2], gap=[1, 1], mean=3.0), "mean_needs_tail", "mean", None),
    (dict(center=[0, 1, INF], gap=[1, 0], mean=3.0), "mean_needs_tail", "mean", None),
    (dict(mean=20.0), "unreachable_mean", "mean", None),
    (dict(refine=1), "out_of_range", "refine", None),
    (dict(center=[0, INF], gap=[1]), "too_short", "gap", None),
    (dict(center=[0, 1, INF, 3], gap=[1, 1, 1]), "not_finite", "center", None),
    (dict(center=[-INF, 1, 2], gap=[1, 1]), None, None, None),
    (dict(center=[[0, 1, INF], [0, 1, 2]], gap=[[1, 1], [1, 1]]), "open_rows", "center", 1),
    (dict(gap=[[1] * 16, [-1] + [1] * 15], mean=[90.0, 90.0]), "negative", "gap", 1),
    (dict(gap=[[1] * 16, [1] * 15 + [0]], mean=[90.0, 85.0]), "mean_needs_tail", "mean", 1),
])
def test_refusals_carry_their_fields(arguments, problem, argument, row):
    call = dict(center=BRACKETS, gap=INCOMES)
    call.update(arguments)
    if problem is None:
        # An open bottom with exact masses: an exponential tail carrying the open bin.
        fit = zelvane.fit_smooth(call.pop("center"), call.pop("gap"), **call)
        assert fit.left_tail.kind == "exponential" and fit.right_tail is None
        assert fit.left_tail.joint == 1.0
        assert fit.left_tail.mass == pytest.approx(1.0, rel=1e-12)
        return
    with pytest.raises(zelvane.InputError) as caught:
        zelvane.fit_smooth(call.pop("center"), call.pop("gap"), **call)
    error = caught.value
    assert (error.problem, error.argument, error.row) == (problem, argument, row)
    if problem == "unreachable_mean":
        assert error.details["lowest"] > 20.0 and error.details["highest"] == INF
        assert "out of reach" in str(error)


def same_density(got, want):
    """The two densities to the bit: tables, tails and what their fits recorded (the
    mass error included, computed by pickling)."""
    return pickle.dumps(got) == pickle.dumps(want) and got.mass_error is not None


# One histogram, and as the last row of a batch (its other rows differ), each with the
# keyword arguments of fit_smooth and from_masses.
DENSITY_CASES = [
    ([0, 10, 20, 40], [3.0, 5.0, 2.0], {}),
    (BRACKETS, INCOMES, {"smoothing": "auto"}),
    (BRACKETS, INCOMES, {"smoothing": "auto", "mean": 90.0}),
    (BRACKETS, [0.01 * c for c in INCOMES], {"smoothing": 1e-6, "sample_size": 1200.0}),
    ([-INF, 0, 1, 2, INF], [5.0, 20.0, 30.0, 0.0], {"smoothing": "auto", "refine": 3}),
    ([-INF, 0, 1, 2, 3], [5.0, 20.0, 30.0, 10.0], {}),
]


@pytest.mark.parametrize("edges, masses, settings", DENSITY_CASES)
def test_a_fits_density_is_the_one_from_masses_fits(edges, masses, settings):
    want = zelvane.PiecewiseLinearDensity.from_masses(edges, masses, **settings)
    fit = zelvane.fit_smooth(edges, masses, **settings)
    assert same_density(fit.density(), want)
    # Its mass error compares the fit's masses of the bins with those given.
    given = np.asarray(masses, dtype=float)
    assert want.mass_error == np.max(np.abs(fit.bin_masses() - given)) / given.sum()
    # A row of a batch, fitted with other rows (the first with an empty open bin where
    # there is one), gives the same density as the histogram alone.
    other = np.array(masses, dtype=float)[::-1].copy()
    other[-1] = 0.0 if edges[-1] == INF else other[-1]
    rows = np.array([other, np.array(masses, dtype=float) * 2, masses])
    batch = {**settings, **({"mean": [np.nan, settings["mean"], settings["mean"]]}
                            if "mean" in settings else {})}
    fitted = zelvane.fit_smooth(edges, rows, **batch)
    assert same_density(fitted.density(2), want)
    for r in (0, 1):
        alone = {**settings, **({"mean": batch["mean"][r]} if "mean" in settings else {})}
        if "mean" in alone and np.isnan(alone["mean"]):
            del alone["mean"]
        assert same_density(fitted.density(r),
                            zelvane.PiecewiseLinearDensity.from_masses(edges, rows[r], **alone))


def test_bin_masses_give_every_bin_its_fitted_mass():
    counts = np.array([INCOMES, INCOMES[::-1]], dtype=float)
    counts[1, -1] = 0.0  # an empty open bin: no tail in that row, and no mass
    fit = zelvane.fit_smooth(BRACKETS, counts, smoothing="auto")
    masses = fit.bin_masses()
    assert masses.shape == (2, 16) and masses.dtype == np.float64
    body = zelvane.trapezoid_masses(fit.knots, fit.values).reshape(2, 15, 4).sum(axis=-1)
    np.testing.assert_array_equal(masses[:, :-1], body)
    assert masses[:, -1].tolist() == [fit.right_tail.mass[0], 0.0]
    assert fit.right_tail.kind.tolist() == ["pareto", "none"]
    # The fit keeps the total given, tails included.
    np.testing.assert_allclose(masses.sum(axis=1), counts.sum(axis=1), rtol=1e-12)
    # One histogram: 1-D, its row's masses; exact masses met to rounding, an open
    # bottom's tail first.
    alone = zelvane.fit_smooth(BRACKETS, counts[0], smoothing="auto").bin_masses()
    assert alone.shape == (16,)
    np.testing.assert_allclose(alone, masses[0], rtol=1e-13)
    exact = zelvane.fit_smooth([-INF, 0, 10, 20, INF], [4.0, 30.0, 50.0, 20.0]).bin_masses()
    np.testing.assert_allclose(exact, [4.0, 30.0, 50.0, 20.0], rtol=1e-12)
    empty_top = zelvane.fit_smooth([0, 10, 20, INF], [30.0, 50.0, 0.0])
    assert empty_top.right_tail is None and empty_top.bin_masses()[-1] == 0.0


OPTIMA = json.loads(Path(__file__).with_name("counts_optima.json").read_text())["cases"]


def stationarity(knots, values, counts, lam):
    """g_j + mu c_j at the knots for the density values / total: the gradient of the
    penalised objective with the total's multiplier mu = -f . g of a stationary point
    (c the knots' trapezoid weights), and the size of the terms it is made of."""
    n, bins = len(knots), len(counts)
    refine = (n - 1) // bins
    h = np.diff(knots)
    f = values / np.dot(values[:-1] + values[1:], h / 2)
    c = np.zeros(n)
    c[:-1] += h / 2
    c[1:] += h / 2
    q = np.asarray(counts) / np.sum(counts)
    p = np.add.reduceat((f[:-1] + f[1:]) * h / 2, np.arange(0, n - 1, refine))
    pull = np.zeros(n)
    share = np.divide(q, p, out=np.zeros_like(q), where=q > 0)
    per_piece = np.repeat(share, refine) * h / 2
    pull[:-1] += per_piece
    pull[1:] += per_piece
    slopes = np.diff(f) / h
    bends = np.diff(slopes) * 2.0 / (h[:-1] + h[1:])
    bend = np.zeros(n)
    # (d_t . f) d_t summed over the inner knots, d_t the change of slope at t.
    bend[:-2] += bends / h[:-1]
    bend[1:-1] -= bends * (1 / h[:-1] + 1 / h[1:])
    bend[2:] += bends / h[1:]
    curvature = lam * (knots[-1] - knots[0]) ** 5 * bend
    g = curvature - pull
    mu = -np.dot(f, g)
    return g + mu * c, np.abs(curvature) + pull + np.abs(mu * c)


@pytest.mark.parametrize("case", OPTIMA, ids=lambda c: f"{c['kind']}-r{c['refine']}-{c['smoothing']:g}")
def test_the_optimum_is_the_reference_one_and_satisfies_its_optimality_conditions(case):
    smoothing = "auto" if case["smoothing"] < 0 else case["smoothing"]
    fit = zelvane.fit_smooth(case["edges"], case["counts"], refine=case["refine"], smoothing=smoothing)
    want = np.array(case["values"])
    scale = np.max(np.abs(want))
    if smoothing == "auto" and (fit.smoothing != case["chosen"]):
        # Within the criterion's resolution another lambda of the same fit: the
        # nearly exact end, where the fits differ by far less than the counts' noise.
        assert min(fit.smoothing, case["chosen"]) < 1e-12 and max(fit.smoothing, case["chosen"]) < 1e-12
        np.testing.assert_allclose(fit.values, want, rtol=0, atol=1e-4 * scale)
        return
    np.testing.assert_allclose(fit.values, want, rtol=0, atol=1e-9 * scale)
    if fit.smoothing > 0:
        nu, size = stationarity(fit.knots, fit.values, case["counts"], fit.smoothing)
        positive = fit.values > 0
        assert np.all(np.abs(nu[positive]) <= 1e-7 * size[positive].max())
        assert np.all(nu[~positive] >= -1e-7 * size.max())


@pytest.mark.parametrize("counts, edges, smoothings", [
    ([1e9, 1], [0, 1, 3], ["auto", 1e-25, 1e-15, 1e-12]),
    ([1e9, 1, 5], [0, 1, 3, 4], [1e-25, 1e-12]),
    ([3, 5, 2, 7], [0, 1, 2, 3, 4], [1e-25, 1e-40]),
    ([1e9, 1, 3, 1], [0, 1, 2, 3, INF], ["auto", 1e-25, 1e-15, 1e-12]),
    ([2, 1e9, 1, 3], [-INF, 0, 1, 2, 3], ["auto", 1e-20, 1e-12]),
])
def test_a_lambda_below_float64s_resolution_answers_with_the_exact_mass_limit(counts, edges,
                                                                              smoothings):
    # The penalty is then below the rounding of the likelihood's curvature: the
    # answer is the exact-mass fit (tails as it chooses them), with the lambda asked
    # for and the data's own degrees of freedom, never "could not confirm".
    exact = zelvane.fit_smooth(edges, counts, smoothing=0)
    for smoothing in smoothings:
        fit = zelvane.fit_smooth(edges, counts, smoothing=smoothing)
        assert fit.smoothing == (0.0 if smoothing == "auto" else smoothing)
        assert fit.edf == len(counts) - 1
        np.testing.assert_array_equal(fit.values, exact.values)
        for mine, theirs in ((fit.left_tail, exact.left_tail), (fit.right_tail, exact.right_tail)):
            assert (mine is None) == (theirs is None)
            if mine is not None:
                assert (mine.kind, mine.mass, mine.parameter) == (theirs.kind, theirs.mass,
                                                                  theirs.parameter)
    density = zelvane.PiecewiseLinearDensity.from_histogram(counts, edges)
    assert density.masses().sum() == pytest.approx(1.0)


def test_a_lambda_that_float64_resolves_stays_penalised():
    # Beside shares nine decades apart, 1e-6 is still a penalty the fit can see.
    fit = zelvane.fit_smooth([0, 1, 3], [1e9, 1], smoothing=1e-6)
    assert fit.smoothing == 1e-6
    assert fit.edf < 1.0
    assert not np.array_equal(fit.values, zelvane.fit_smooth([0, 1, 3], [1e9, 1]).values)


def overdispersed(seed, bins=200, total=200):
    """About `total` counts, Poisson with gamma(0.3) means, on bins of exponential
    widths: widths down to 1e-8 of the range beside ones of a few hundredths."""
    rng = np.random.default_rng(seed)
    means = rng.gamma(0.3, 1.0, bins)
    counts = rng.poisson(means * total / means.sum()).astype(float)
    edges = np.concatenate(([0.0], np.cumsum(rng.exponential(1.0, bins))))
    return counts, edges


@pytest.mark.parametrize("seed, smoothing, refine", [
    (1006, "auto", 4), (1125, "auto", 4), (1125, "auto", 8),
    (1000, 1.0, 4), (1000, 100.0, 4), (1001, 100.0, 4), (1001, 1e4, 2),
    # Steps so narrow that their curvature at the start outweighs the likelihood
    # by twenty decades: from the histogram's steps Newton's method crawls, from a
    # start mixed with the flat density it converges.
    (1010, 1.0, 4), (1003, 100.0, 4), (1083, 100.0, 4),
    # On the envelope (refine 16 and above), which has no such fallback of its own:
    # the fit is taken again on the band, by rotations.
    (1000, 100.0, 16), (1005, 100.0, 16),
])
def test_widths_many_decades_apart_are_fitted(seed, smoothing, refine):
    # The narrowest pieces' curvature swamps the likelihood's in the Hessian's
    # entries: the fit answers all the same, with the lambda asked for, a density
    # that gives every bin with counts some mass, and degrees of freedom between a
    # line's and the data's own. (Its optimality, which float64 cannot check from
    # these knots here, is the kernel's tests'.)
    counts, edges = overdispersed(seed)
    fit = zelvane.fit_smooth(edges, counts, refine=refine, smoothing=smoothing)
    assert np.all(fit.values >= 0)
    masses = fit.bin_masses()
    assert masses.sum() == pytest.approx(counts.sum(), rel=1e-12)
    assert np.all(masses[counts > 0] > 0)
    assert 1.0 - 1e-4 <= fit.edf <= np.count_nonzero(counts) - 1 + 1e-9
    if smoothing != "auto":
        assert fit.smoothing == smoothing
        # Far smoother than any choice of the criterion: all but a line.
        assert smoothing < 100 or fit.edf < 1.01


@pytest.mark.parametrize("smoothing", ["auto", 1e-6])
def test_a_tail_tied_at_its_bound_beside_a_large_open_bin(smoothing):
    # Pareto interpolation asks for an index of 1e-4: held at its bound, the tail is
    # tied to the last knot, whose value must carry 10^4 counts beside bins of 1.
    with pytest.warns(zelvane.ExtrapolationWarning, match="held at a bound"):
        fit = zelvane.fit_smooth([0, 1, 2, INF], [1, 1, 1e4], smoothing=smoothing)
    tail = fit.right_tail
    assert tail.chosen == "bound" and 1.0 <= tail.parameter <= 100.0
    assert fit.smoothing > 0 and (smoothing == "auto" or fit.smoothing == smoothing)
    masses = fit.bin_masses()
    assert masses.sum() == pytest.approx(10002, rel=1e-12)
    # The tail carries most of the open bin's counts; the last bin takes the rest.
    assert masses[-1] == pytest.approx(tail.mass, rel=1e-12) and 0.5 * 1e4 < tail.mass < 1e4
    assert np.all(fit.values >= 0) and masses[1] > 1


def test_a_sharp_peak_in_an_end_bin_keeps_its_counts():
    # Draws of a lognormal in equal bins: the first bin holds most of them. Its fitted
    # mass stays within a binomial standard error of its count, in a batch as alone,
    # and at the right end of the mirrored histograms as at the left.
    rng = np.random.default_rng(7)
    edges = np.exp(0.2533) * np.arange(17)
    draws = [rng.lognormal(0.0, 1.0, 200) for _ in range(40)]
    counts = np.array([np.histogram(x[x < edges[-1]], bins=edges)[0] for x in draws], float)
    batch = zelvane.fit_smooth(edges, counts, smoothing="auto")
    n = counts.sum(axis=1)
    q = counts[:, 0] / n
    least = counts[:, 0] - n * np.sqrt(q * (1 - q) / n) * (1 + 1e-9)
    assert np.all(batch.bin_masses()[:, 0] >= least)
    mirror = zelvane.fit_smooth(edges[-1] - edges[::-1], counts[:, ::-1], smoothing="auto")
    assert np.all(mirror.bin_masses()[:, -1] >= least)
    for row in (0, 17):
        alone = zelvane.fit_smooth(edges, counts[row], smoothing="auto")
        assert alone.smoothing == batch.smoothing[row]
        np.testing.assert_array_equal(alone.values, batch.values[row])


def narrow_bin(delta):
    """30 unit bins of a smooth hump of counts, the 16th cut into a bin of width `delta`
    with one count and the rest."""
    hump = np.round(40 * np.exp(-0.5 * ((np.arange(30) - 12) / 6.0) ** 2)) + 1
    edges = np.concatenate((np.arange(16.0), [15 + delta], np.arange(16.0, 31.0)))
    counts = np.concatenate((hump[:15], [1.0, hump[15]], hump[16:]))
    return counts, edges


@pytest.mark.parametrize("delta, refine, smoothing", [
    # Just inside float64's resolution: pieces of 5e-8 of the range beside ones of 3e-4.
    (2e-4, 128, 1.0), (9e-4, 128, 100.0),
    # Further inside.
    (1e-3, 128, 1.0), (1e-5, 8, 1.0),
    # Refine 256, where the fits that the system with an unknown per bin cannot confirm
    # (on widths only one or two decades apart) are taken again by rotations.
    (1e-2, 256, 1e-4), (1e-1, 256, 1e-2),
])
def test_a_narrow_bin_at_a_fine_refine_is_fitted_up_to_float64s_limit(delta, refine, smoothing):
    # The knots that a coarser refine shares with the finer one carry the same values to
    # far better than the counts' noise; at lambda 1 or more the fit is nearly a line.
    counts, edges = narrow_bin(delta)
    fine = zelvane.fit_smooth(edges, counts, refine=refine, smoothing=smoothing)
    step = refine // 16 if refine >= 64 else refine // 4
    coarse = zelvane.fit_smooth(edges, counts, refine=refine // step, smoothing=smoothing)
    np.testing.assert_allclose(fine.values[::step], coarse.values,
                               rtol=0, atol=1e-5 * coarse.values.max())
    if smoothing >= 1:
        assert fine.edf == pytest.approx(1.0, abs=0.05)
    assert fine.bin_masses().sum() == pytest.approx(counts.sum(), rel=1e-12)


@pytest.mark.parametrize("delta, refine, smoothing", [
    # Just outside: the narrowest pieces' rounded curvature hides the likelihood's pull
    # (the fits Newton's method ended with were 1e-3 to 1e-1 off, or never ended).
    (1.6e-4, 128, 1.0), (7.5e-4, 128, 100.0), (1e-5, 64, 1.0), (1e-5, 32, 1.0),
])
def test_beyond_float64s_limit_a_fixed_smoothing_is_refused_in_the_callers_words(
        delta, refine, smoothing):
    counts, edges = narrow_bin(delta)
    with pytest.raises(zelvane.InputError) as caught:
        zelvane.PiecewiseLinearDensity.from_histogram(counts, edges, refine=refine,
                                                      smoothing=smoothing)
    error = caught.value
    assert (error.problem, error.argument) == ("unresolved_smoothing", "edges")
    assert f"smoothing={smoothing:g} at refine={refine}" in str(error)
    # The same histogram answers at a refine float64 resolves, and, smoothing chosen by
    # the criterion, at this refine too (its search leaves the unresolved lambdas out).
    zelvane.PiecewiseLinearDensity.from_histogram(counts, edges, refine=4, smoothing=smoothing)
    chosen = zelvane.fit_smooth(edges, counts, refine=refine, smoothing="auto")
    assert 0 <= chosen.smoothing < smoothing
