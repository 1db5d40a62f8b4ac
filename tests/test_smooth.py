"""zelvane.fit_smooth: masses and signs, optimality through the KKT conditions, a general
QP solve on small cases, the same bits for any number of workers, and every refusal."""

import json
import warnings
from pathlib import Path

import numpy as np
import pytest
import scipy.sparse as sparse

import zelvane
import zelvane._fit
import zelvane._rows as rows


def problem(knots, bins, refine):
    """(G, A): curvature v'Gv and trapezoid masses A v of the values at `knots`."""
    h = np.diff(knots)
    n = len(knots)
    j = np.arange(1, n - 1)
    weight = np.sqrt(2.0 / (h[:-1] + h[1:]))
    coefficients = np.column_stack([1 / h[:-1], -(1 / h[:-1] + 1 / h[1:]), 1 / h[1:]]) * weight[:, None]
    d = sparse.csr_matrix((coefficients.ravel(), (np.repeat(j - 1, 3), (j[:, None] + [-1, 0, 1]).ravel())),
                          shape=(n - 2, n))
    bin_of = np.arange(n - 1) // refine
    a = sparse.csr_matrix((np.concatenate([h / 2, h / 2]),
                           (np.concatenate([bin_of, bin_of]), np.concatenate([np.arange(n - 1), np.arange(1, n)]))),
                          shape=(bins, n))
    return (d.T @ d).tocsr(), a


def kkt(knots, values, masses, refine):
    """(largest relative stationarity residual of a free value, smallest relative multiplier
    of a value held at zero, largest mass error relative to the total). Each bin's multiplier
    is the weighted least-squares solution of its free interior knots' stationarity rows (a
    bin with none takes it from a free edge and its neighbour's); knots of zero-mass bins are
    pinned by the masses and have no sign condition."""
    bins = len(masses)
    g_matrix, a = problem(knots, bins, refine)
    g = 2 * (g_matrix @ values)
    free = values > 0
    pinned = np.zeros(len(values), bool)
    for i in np.flatnonzero(masses == 0):
        pinned[i * refine:(i + 1) * refine + 1] = True
    weight = 1 / g_matrix.diagonal()
    lam = np.full(bins, np.nan)
    lam[masses == 0] = 0
    for i in range(bins):
        inner = [i * refine + s for s in range(1, refine) if free[i * refine + s]]
        if inner:
            w = a[i, inner].toarray().ravel()
            lam[i] = -np.sum(weight[inner] * w * g[inner]) / np.sum(weight[inner] * w * w)
    for _ in range(bins):
        for i in np.flatnonzero(np.isnan(lam)):
            for j, other in ((i * refine, i - 1), ((i + 1) * refine, i + 1)):
                if free[j] and (not 0 <= other < bins or not np.isnan(lam[other])):
                    pull = a[other, j] * lam[other] if 0 <= other < bins else 0.0
                    lam[i] = -(g[j] + pull) / a[i, j]
                    break
    assert not np.isnan(lam).any()
    residual = g + a.T @ lam
    scale = 2 * (abs(g_matrix) @ np.abs(values)) + abs(a).T @ np.abs(lam)
    held = ~free & ~pinned
    stationarity = np.max(np.abs(residual[free]) / scale[free], initial=0.0)
    multiplier = np.min(residual[held] / scale[held], initial=0.0)
    return stationarity, multiplier, np.max(np.abs(a @ values - masses)) / masses.sum()


def random_case(seed):
    """Edges and masses: 1 to 500 bins, equal or uneven widths, sometimes one bin a thousand
    times wider, zero-mass bins and runs of them, masses over ten orders of magnitude."""
    rng = np.random.default_rng(seed)
    bins = int(rng.choice([1, 2, 3, 7, 20, 60, 200, 500]))
    widths = np.ones(bins) if seed % 3 == 0 else rng.uniform(0.1, 3, bins)
    if seed % 4 == 1:
        widths[rng.integers(bins)] *= 1000
    masses = rng.exponential(size=bins) ** 2 * 10.0 ** rng.uniform(-5, 5)
    for _ in range(seed % 4 if bins > 2 else 0):
        first = rng.integers(bins)
        masses[first:first + rng.integers(1, 4)] = 0
    if not masses.any():
        masses[0] = 1
    edges = rng.normal() * 5 + np.concatenate([[0], np.cumsum(widths)])
    return edges, masses, int(rng.choice([2, 3, 4, 4, 6, 8]))


@pytest.mark.parametrize("seed", range(48))
def test_optimal_exact_and_non_negative(seed):
    edges, masses, refine = random_case(seed)
    knots, values = zelvane.fit_smooth(edges, masses, refine=refine)
    assert knots.dtype == values.dtype == np.float64 and values.shape == knots.shape
    assert (values >= 0).all() and not np.signbit(values).any()
    got = zelvane.trapezoid_masses(knots, values).reshape(-1, refine).sum(axis=1)
    np.testing.assert_allclose(got, masses, rtol=0, atol=1e-12 * masses.sum())
    if len(masses) > 1:
        stationarity, multiplier, mass_error = kkt(knots, values, masses, refine)
        assert stationarity < 1e-8 and multiplier > -1e-8 and mass_error < 1e-12


def reference_qp(knots, masses, refine):
    """A general QP solve (SciPy's trust-constr on the scaled problem) to find which values
    are held at zero, then the exact solve of the equality-constrained problem on the rest."""
    from scipy.optimize import Bounds, LinearConstraint, minimize

    n, width, total = len(knots), knots[-1] - knots[0], masses.sum()
    g_matrix, a = problem((knots - knots[0]) / width, len(masses), refine)
    g, a, m = g_matrix.toarray(), a.toarray(), masses / total
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rough = minimize(lambda v: v @ g @ v, np.ones(n), jac=lambda v: 2 * g @ v, hess=lambda v: 2 * g,
                         method="trust-constr", constraints=[LinearConstraint(a, m, m)],
                         bounds=Bounds(np.zeros(n), np.full(n, np.inf)),
                         options={"gtol": 1e-12, "xtol": 1e-14, "maxiter": 3000}).x
    free, rows_used = rough > 1e-6 * rough.max(), m > 0
    kkt_matrix = np.block([[g[np.ix_(free, free)], a[np.ix_(rows_used, free)].T],
                           [a[np.ix_(rows_used, free)], np.zeros((rows_used.sum(), rows_used.sum()))]])
    scale = np.concatenate([1 / np.sqrt(np.diag(g)[free]),
                            1 / np.abs(a[np.ix_(rows_used, free)] / np.sqrt(np.diag(g)[free])).max(axis=1)])
    rhs = np.concatenate([np.zeros(free.sum()), m[rows_used]])
    solution = scale * np.linalg.solve(scale[:, None] * kkt_matrix * scale, scale * rhs)
    values = np.zeros(n)
    values[free] = solution[:free.sum()]
    return values * total / width


@pytest.mark.parametrize("seed", range(10))
def test_agrees_with_a_general_qp_solve(seed):
    rng = np.random.default_rng(100 + seed)
    bins, refine = int(rng.integers(2, 7)), int(rng.choice([2, 3, 4]))
    widths = rng.uniform(0.2, 3, bins)
    widths[rng.integers(bins)] *= 1 + 30 * (seed % 2)
    edges = np.concatenate([[0], np.cumsum(widths)])
    masses = rng.exponential(size=bins) ** 2
    masses[rng.integers(bins)] *= seed % 3 != 0
    knots, values = zelvane.fit_smooth(edges, masses, refine=refine)
    np.testing.assert_allclose(values, reference_qp(knots, masses, refine), rtol=0, atol=1e-9 * values.max())


def pattern_masses(pattern, bins, rng):
    if pattern == "irregular":
        return rng.uniform(0.1, 1, bins)
    if pattern == "sparse":
        masses = np.where(rng.random(bins) < 0.7, 0.0, rng.random(bins))
        masses[rng.integers(bins)] = 1.0
        return masses
    return np.where(np.arange(bins) % 2 == 0, 1.0, 0.01 * rng.random(bins))


PATTERNS = [(pattern, refine) for pattern in ("irregular", "sparse", "alternating")
            for refine in (5, 8)]
# The general QP solve of every pattern case, made by `python tests/test_smooth.py` and
# kept with the case it solved: SciPy's trust-constr takes seconds to minutes on the
# sparse ones, which a test need not repeat on every run to compare against.
QP_REFERENCES = Path(__file__).with_name("qp_references.json")


def pattern_case(pattern, refine):
    """(edges, masses) of six uneven bins whose masses follow `pattern`."""
    rng = np.random.default_rng(refine)
    edges = np.concatenate([[0], np.cumsum(rng.uniform(0.1, 2, 6))])
    return edges, pattern_masses(pattern, 6, rng)


def write_qp_references():
    cases = {}
    for pattern, refine in PATTERNS:
        edges, masses = pattern_case(pattern, refine)
        knots, _ = zelvane.fit_smooth(edges, masses, refine=refine)
        cases[f"{pattern}-{refine}"] = {
            "edges": edges.tolist(), "masses": masses.tolist(), "knots": knots.tolist(),
            "values": reference_qp(knots, masses, refine).tolist()}
    lines = ",\n".join(f" {json.dumps(name)}: {json.dumps(case)}" for name, case in cases.items())
    QP_REFERENCES.write_text("{\n" + lines + "\n}\n")


@pytest.mark.parametrize("pattern, refine", PATTERNS)
def test_patterns_no_worse_than_a_general_qp_solve(pattern, refine):
    """The KKT conditions, and where the general QP solve's answer is feasible (its guess
    of the held set can be off on knots that barely touch zero, which leaves negative
    values), a curvature no higher than its and the same values."""
    edges, masses = pattern_case(pattern, refine)
    knots, values = zelvane.fit_smooth(edges, masses, refine=refine)
    stationarity, multiplier, mass_error = kkt(knots, values, masses, refine)
    assert stationarity < 1e-8 and multiplier > -1e-8 and mass_error < 1e-12
    stored = json.loads(QP_REFERENCES.read_text())[f"{pattern}-{refine}"]
    # The reference solved this very case (floats kept to the bit by JSON).
    assert [stored["edges"], stored["masses"], stored["knots"]] == [
        edges.tolist(), masses.tolist(), knots.tolist()]
    other = np.array(stored["values"])
    g_matrix, a = problem(knots, 6, refine)
    if (other >= 0).all() and np.abs(a @ other - masses).max() < 1e-12 * masses.sum():
        assert values @ (g_matrix @ values) <= (other @ (g_matrix @ other)) * (1 + 1e-9)
        np.testing.assert_allclose(values, other, rtol=0, atol=1e-9 * values.max())


@pytest.mark.parametrize("pattern", ["irregular", "sparse", "alternating"])
def test_patterns_at_the_largest_refine_meet_the_kkt_conditions(pattern):
    rng = np.random.default_rng(256)
    edges = np.concatenate([[0], np.cumsum(rng.uniform(0.1, 2, 12))])
    masses = pattern_masses(pattern, 12, rng)
    knots, values = zelvane.fit_smooth(edges, masses, refine=256)
    assert (values >= 0).all()
    stationarity, multiplier, mass_error = kkt(knots, values, masses, 256)
    assert stationarity < 1e-8 and multiplier > -1e-8 and mass_error < 1e-12


@pytest.mark.parametrize("shared", [True, False], ids=["shared", "per-row"])
def test_rows_same_bits_for_any_workers_and_alone(shared):
    rng = np.random.default_rng(5)
    center = np.cumsum(rng.uniform(0.1, 2, (150, 13)), axis=1)
    gap = rng.gamma(0.8, 1, (150, 12)) * (rng.random((150, 12)) < 0.8)
    gap[:, 0] += 0.1
    center = center[0] if shared else center
    knots, want = zelvane.fit_smooth(center, gap, workers=1)
    for workers in (2, 0):
        again_knots, again = zelvane.fit_smooth(center, gap, workers=workers)
        assert again.tobytes() == want.tobytes() and again_knots.tobytes() == knots.tobytes()
    for r in (0, 77, 149):
        row_knots, row = zelvane.fit_smooth(center if shared else center[r], gap[r])
        assert row.tobytes() == want[r].tobytes()
        assert row_knots.tobytes() == (knots if shared else knots[r]).tobytes()


@pytest.mark.parametrize("open_top", [False, True])
def test_arrays_at_odd_addresses_fit_as_aligned_ones(open_top):
    # A float64 view into bytes at an odd offset is C-contiguous but misaligned;
    # the package copies it rather than refuse it (the rows module itself refuses).
    def odd(values):
        raw = np.zeros(8 * len(values) + 1, np.uint8)
        view = raw[1:].view(np.float64)
        view[:] = values
        assert not view.flags.aligned
        return view

    center = np.array([0.0, 1.0, 2.5, 3.0, 5.0, np.inf if open_top else 7.0])
    gap = np.array([2.0, 5.0, 1.0, 3.0, 1.0])
    want = zelvane.fit_smooth(center, gap, smoothing="auto")
    got = zelvane.fit_smooth(odd(center), odd(gap), smoothing="auto")
    assert got.values.tobytes() == want.values.tobytes()
    assert got.right_tail == want.right_tail


def test_knots_follow_the_documented_formula():
    edges = np.cumsum(np.random.default_rng(1).uniform(0.01, 5, (3, 8)), axis=1) - 7.3
    for refine in (1, 3, 4, 7):
        knots = np.empty((3, 7 * refine + 1))
        rows.smooth_knots(edges, knots, refine)
        fractions = np.arange(refine) / refine
        inner = edges[:, :-1, None] + np.diff(edges)[:, :, None] * fractions
        want = np.concatenate([inner.reshape(3, -1), edges[:, -1:]], axis=1)
        assert knots.tobytes() == want.tobytes()


def test_one_bin_is_flat_and_linear_masses_give_the_line():
    for refine in (1, 2, 5):
        knots, values = zelvane.fit_smooth([2.0, 3.5], [6.0], refine=refine)
        assert values.tolist() == [4.0] * (refine + 1)
        edges = np.array([0.0, 0.5, 1.5, 2.0, 4.0])
        masses = np.diff(edges) * (1 + (edges[:-1] + edges[1:]) / 2)  # density 1 + x
        knots, values = zelvane.fit_smooth(edges, masses, refine=refine)
        np.testing.assert_allclose(values, 1 + knots, rtol=1e-12)


def test_refine_one():
    knots, values = zelvane.fit_smooth(range(5), [0, 1, 1, 0], refine=1)
    assert knots.tolist() == [0, 1, 2, 3, 4] and values.tolist() == [0, 0, 2, 0, 0]
    knots, values = zelvane.fit_smooth([0, 1, 3], [1, 1], refine=1)
    np.testing.assert_allclose(zelvane.trapezoid_masses(knots, values), [1, 1], rtol=1e-14)
    assert (values >= 0).all()


GOOD = dict(center=[0.0, 1.0, 2.0, 3.0, 4.0], gap=[0.5, 1.0, 0.2, 0.7])


@pytest.mark.parametrize("change, message", [
    (dict(refine=0), r"refine must be from 1 to 256, not 0"),
    (dict(refine=257), r"refine must be from 1 to 256, not 257"),
    (dict(refine=2.5), r"refine must be of type int, not float"),
    (dict(refine=True), r"refine must be of type int, not bool"),
    (dict(refine=np.True_), r"refine must be of type int, not bool"),
    (dict(workers=-1), r"workers must be from 0 \(one per core\) to 1024, not -1"),
    (dict(workers=10 ** 9), r"workers must be from 0 \(one per core\) to 1024, not 1000000000"),
    (dict(workers=False), r"workers must be of type int, not bool"),
    (dict(gap=[0.5, -1.0, 0.2, 0.7]), r"gap\[1\] = -1.0 is negative"),
    (dict(gap=[0.5, np.nan, 0.2, 0.7]), r"gap\[1\] is nan"),
    (dict(center=[0, 1, 1, 3, 4]), r"center must be strictly increasing"),
    (dict(center=[0, 1, 2]), r"center must have len\(gap\) \+ 1 = 5 elements, not 3"),
    (dict(gap=[0.0, 0.0, -0.0, 0.0]), r"^gap are all zero"),
    (dict(gap=[[1, 1, 1, 1], [0, 0, 0, 0]]), r"^gap\[1\] are all zero"),
    (dict(refine=1),
     r"^gap: no non-negative density that is linear between the centres has these masses"),
    (dict(refine=1, gap=[[1, 1, 1, 1], [0.5, 1.0, 0.2, 0.7]]), r"^gap\[1\]: no non-negative density"),
    (dict(center=[0, 1, 1 + 2.0 ** -52, 3, 4]),
     r"^the interval from center\[1\] to center\[2\] cannot be cut into 4 sub-intervals"),
    (dict(center=[0, 1, 2, 3, 1e70]), r"^gap: the smooth fit is beyond float64's range"),
])
def test_refusals(change, message):
    arguments = {**GOOD, **change}
    with pytest.raises(ValueError, match=message):
        zelvane.fit_smooth(arguments.pop("center"), arguments.pop("gap"), **arguments)


C64, G64 = np.array(GOOD["center"]), np.array(GOOD["gap"])


# The rows module's own guards, short and plain; a row it cannot fit comes back as data
# (tests/test_errors.py).
@pytest.mark.parametrize("call, error, message", [
    (lambda: rows.smooth(C64, G64, np.empty(17), 4), TypeError, r"^expected 5 arguments, got 4$"),
    (lambda: rows.smooth(C64.astype(np.float32), G64, np.empty(17), 4, 1), TypeError,
     r"center must hold float64, not items of format 'f'"),
    (lambda: rows.smooth(C64, G64, np.empty(16), 4, 1), ValueError,
     r"^out does not have the shape of the result$"),
    (lambda: rows.smooth(C64, np.frombuffer(b"x" + G64.tobytes(), offset=1), np.empty(17), 4, 1),
     ValueError, r"^gap must be aligned to its 8-byte elements$"),
    (lambda: rows.smooth(C64, G64, np.empty(17), 300, 1), ValueError,
     r"^refine must be from 1 to 256$"),
    (lambda: rows.smooth_knots(C64, np.empty(16), 4), ValueError,
     r"^out does not have the shape of the knots$"),
    (lambda: rows.smooth_knots(C64[:1], np.empty(1), 4), ValueError,
     r"^center must hold at least two edges per row$"),
])
def test_rows_module_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_density_defaults_to_the_smooth_fit():
    # Masses are met exactly; counts are read as a sample, the smoothing the criterion's.
    edges, counts = [0.0, 1.0, 3.0, 4.0], [1.0, 0.0, 3.0]
    d = zelvane.PiecewiseLinearDensity.from_masses(edges, counts)
    knots, values = zelvane.fit_smooth(edges, counts)
    assert d.knots.tolist() == knots.tolist()
    np.testing.assert_allclose(d.values, values / 4, rtol=1e-15)
    np.testing.assert_allclose(d.masses().reshape(3, 4).sum(axis=1), [0.25, 0, 0.75], atol=1e-15)
    assert (d.method, d.smoothing, d.edf) == ("smooth", 0.0, 1.0)
    assert d.mass_error < 1e-15
    sample = [40.0, 0.0, 120.0]
    h = zelvane.PiecewiseLinearDensity.from_histogram(sample, edges)
    counted = zelvane.fit_smooth(edges, sample, smoothing="auto")
    np.testing.assert_allclose(h.values, counted.values / 160, rtol=1e-15)
    assert (h.method, h.smoothing, h.edf) == ("smooth", counted.smoothing, counted.edf)
    assert h.smoothing > 0 and 0 < h.mass_error < 0.1
    assert "smoothing=" in repr(h) and "edf=" in repr(h)
    exact = zelvane.PiecewiseLinearDensity.from_histogram(sample, edges, smoothing=0)
    np.testing.assert_allclose(exact.values, d.values, rtol=1e-12)
    coarse = zelvane.PiecewiseLinearDensity.from_masses(edges, counts, "smooth", refine=2)
    assert len(coarse.knots) == 7
    with pytest.raises(ValueError, match="method must be one of 'smooth', 'iterative', 'exact'"):
        zelvane.PiecewiseLinearDensity.from_masses(edges, counts, "smoothest")
    with pytest.raises(ValueError, match="counts are all zero"):
        zelvane.PiecewiseLinearDensity.from_histogram([0, 0, 0], edges)


if __name__ == "__main__":
    write_qp_references()


def overdispersed_histograms(seed, count, bins=200):
    """`count` histograms of `bins` counts on exponential widths, each count Poisson with a
    gamma(0.3) mean: many empty bins, a few large ones, widths over several decades."""
    rng = np.random.default_rng(seed)
    edges = np.concatenate([np.zeros((count, 1)), np.cumsum(rng.exponential(size=(count, bins)), axis=1)],
                           axis=1)
    counts = rng.poisson(rng.gamma(0.3, 10, size=(count, bins))).astype(float)
    counts[counts.sum(axis=1) == 0, 0] = 1
    return edges, counts


@pytest.mark.parametrize("middle", [1e-4, 1e-6])
@pytest.mark.parametrize("refine", [2, 3, 4, 16])
def test_widths_ten_decades_apart_meet_the_kkt_conditions(middle, refine):
    # The solves in double cannot confirm this fit; the fallback in double-double does.
    edges, masses = np.array([0, 1e6, 1e6 + middle, 2e6]), np.array([3.0, 6, 9])
    knots, values = zelvane.fit_smooth(edges, masses, refine=refine)
    assert (values >= 0).all() and values.max() > 1e9 * values[0]
    stationarity, multiplier, mass_error = kkt(knots, values, masses, refine)
    assert stationarity < 1e-8 and multiplier > -1e-8 and mass_error < 1e-12


def test_masses_nine_decades_apart():
    density = zelvane.PiecewiseLinearDensity.from_masses([0, 1, 3], [1e9, 1])
    np.testing.assert_allclose(density.masses([0, 1, 3]), np.array([1e9, 1]) / (1e9 + 1), rtol=0,
                               atol=1e-13)


def test_a_fit_that_cannot_be_confirmed_is_refused_with_its_scales():
    edges = np.array([0, 1.5593491512827684e-10, 0.021930835719783021, 0.022028625697899321,
                      0.036784360319445035, 0.03691750458267528, 0.03844033714300317])
    masses = np.array([1.0, 1, 1, 1, 0, 0])
    with pytest.raises(zelvane.InputError) as caught:
        zelvane.fit_smooth(edges, masses, refine=2)
    error = caught.value
    assert error.problem == "ill_conditioned"
    decades = np.log10(np.diff(edges).max() / np.diff(edges).min())
    assert error.details["width_decades"] == pytest.approx(decades)
    assert error.details["mass_decades"] == 0.0
    assert f"span {decades:.3g} decades" in str(error)
    with pytest.raises(zelvane.InputError, match=r"gap\[1\]: the smooth fit cannot meet"):
        zelvane.fit_smooth([np.arange(7.0), edges], [masses, masses], refine=2)


def test_a_thousand_overdispersed_histograms_fit_their_masses():
    # `python bench/solver_robust.py --count 10000` runs ten times as many (and the
    # counts-aware fit beside the exact one).
    edges, counts = overdispersed_histograms(23, 1000)
    knots, values = zelvane.fit_smooth(edges, counts, refine=4)
    assert (values >= 0).all()
    got = zelvane.trapezoid_masses(knots, values).reshape(len(counts), -1, 4).sum(axis=2)
    np.testing.assert_allclose(got, counts, rtol=0, atol=1e-12 * counts.sum(axis=1).max())
    for row in range(0, 1000, 125):
        stationarity, multiplier, mass_error = kkt(knots[row], values[row], counts[row], 4)
        assert stationarity < 1e-8 and multiplier > -1e-8 and mass_error < 1e-12
