"""zelvane.PiecewiseLinearDensity: closed forms against numerical integration and SciPy's
own triangular and trapezoidal laws, the inverse pairs, sampling, fitting and refusals."""

import copy
import pickle
import sys
import warnings

import numpy as np
import pytest
from scipy import integrate, stats

import zelvane
import zelvane._adapters
from zelvane import PiecewiseLinearDensity as Density

pytestmark = pytest.mark.filterwarnings("error")
EPS = np.finfo(np.float64).eps
RNG = np.random.default_rng(20240611)
CASES = {
    "zero stretches": ([0, 1, 2, 3, 4, 5, 6], [0, 0, 2, 0, 0, 1, 0]),
    "flat": ([0, 1, 3, 4], [1, 1, 1, 1]),
    "rising": ([-2, 5], [0, 3]),
    "falling": ([-2, 5], [3, 0]),
    "far from zero": ([1e6, 1e6 + 1, 1e6 + 3], [1, 5, 0]),
    "tiny widths": ([0, 1e-200, 3e-200], [0, 1, 2]),
    "random": (np.cumsum(RNG.uniform(0.01, 2, 30)), RNG.uniform(0, 3, 30) * (RNG.random(30) < .7)),
}
# SciPy laws whose densities are piecewise linear: the same distribution, computed apart.
LAWS = [(Density([0, 1, 3], [0, 1, 0]), stats.triang(1 / 3, 0, 3)),
        (Density([-1, 0, 3, 7], [0, 2, 2, 0]), stats.trapezoid(1 / 8, 4 / 8, -1, 8))]


@pytest.fixture(params=sorted(CASES))
def density(request):
    return Density(*CASES[request.param])


def inside(d, count=20001):
    """Points of the support where the density is well above zero."""
    x = np.linspace(*d.support(), count)
    return x[d.pdf(x) > 1e-3 * d.values.max()]


def test_closed_forms_match_numerical_integration(density):
    k = density.knots
    def quad(f, a, b):
        return integrate.quad(f, a, b, points=k[(k > a) & (k < b)], limit=200,
                              epsabs=0, epsrel=1e-13)[0]

    assert quad(density.pdf, k[0], k[-1]) == pytest.approx(1, abs=1e-12)
    for x in np.linspace(k[0], k[-1], 7):
        assert density.cdf(x) == pytest.approx(quad(density.pdf, k[0], x), abs=1e-12)
        assert density.sf(x) == pytest.approx(quad(density.pdf, x, k[-1]), abs=1e-12)
    mean = k[0] + quad(lambda x: (x - k[0]) * density.pdf(x), k[0], k[-1])
    assert density.mean() == pytest.approx(mean, rel=1e-12)
    var = quad(lambda x: (x - mean) ** 2 * density.pdf(x), k[0], k[-1])
    assert density.var() == pytest.approx(var, rel=1e-9)
    assert density.std() == pytest.approx(np.sqrt(var), rel=1e-9)
    assert density.masses() == pytest.approx([quad(density.pdf, a, b) for a, b in zip(k, k[1:])],
                                             abs=1e-12)


@pytest.mark.parametrize("d, law", LAWS)
def test_agrees_with_scipy_laws(d, law):
    x, q = np.linspace(-2, 9, 1001), np.linspace(0, 1, 1001)
    for name in ("pdf", "cdf", "sf"):
        np.testing.assert_allclose(getattr(d, name)(x), getattr(law, name)(x), rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(d.ppf(q), law.ppf(q), rtol=1e-12, atol=1e-13)
    assert (d.mean(), d.var(), d.median()) == pytest.approx((law.mean(), law.var(), law.median()))
    assert stats.kstest(d.rvs(size=4000, random_state=7), law.cdf).pvalue > 0.01


def test_cdf_of_ppf_is_the_identity(density):
    levels = density._below
    q = np.concatenate([np.linspace(0, 1, 100001), levels, np.nextafter(levels, 2),
                        np.nextafter(levels, -1), [5e-324, 1e-300]]).clip(0, 1)
    x = density.ppf(q)
    # The distance of x to its neighbouring floats moves cdf by pdf(x) times that step.
    allowed = 4 * EPS + 2 * density.pdf(x) * np.spacing(np.abs(x))
    assert (np.abs(density.cdf(x) - q) <= allowed).all()
    assert (np.diff(density.ppf(np.sort(q))) >= 0).all()


def test_ppf_of_cdf_is_the_identity_where_density_is_positive(density):
    x = inside(density)
    lo, hi = density.support()
    allowed = 8 * EPS * (np.abs(x) + (hi - lo) + 1 / density.pdf(x))
    assert (np.abs(density.ppf(density.cdf(x)) - x) <= allowed).all()


def test_isf_inverts_sf(density):
    q = np.concatenate([np.linspace(0, 1, 20001), density._above, [5e-324, 1e-300]])
    x = density.isf(q)
    allowed = 4 * EPS + 2 * density.pdf(x) * np.spacing(np.abs(x))
    assert (np.abs(density.sf(x) - q) <= allowed).all()
    assert (np.diff(density.isf(np.sort(q))) <= 0).all()
    # isf(q) is ppf(1 - q) but for the rounding of 1 - q.
    lo, hi = density.support()
    np.testing.assert_allclose(x[:20001], density.ppf(1 - q[:20001]), rtol=0, atol=1e-9 * (hi - lo))
    # A stretch without density maps to its left end, as in ppf.
    gap = Density(*CASES["zero stretches"])
    assert gap.isf([gap.sf(3.5), 1.0, 0.0]).tolist() == [3.0, 0.0, 6.0]


def test_ends_flat_stretches_and_outside():
    d = Density(*CASES["zero stretches"])
    lo, hi = d.support()
    assert (lo, hi) == (0, 6)
    # cdf is 0 over [0, 1] and 2/3 over [3, 4]: the smallest x of a level wins.
    assert d.ppf([0, 1e-300, 2 / 3, d.cdf(3.5), 1]) == pytest.approx([0, 1, 3, 3, 6], abs=1e-15)
    assert np.isnan(d.ppf([-1e-300, 1 + 1e-15, np.nan, np.inf])).all()
    assert d.pdf([-1, 6.5, np.inf]).tolist() == [0, 0, 0]
    assert d.cdf([-np.inf, -1, 0, 6, 7]).tolist() == [0, 0, 0, 1, 1]
    assert d.sf([-1, 6, np.inf]).tolist() == [1, 0, 0]
    assert np.isnan([d.pdf(np.nan), d.cdf(np.nan), d.sf(np.nan)]).all()
    assert d.sf(5.9) == pytest.approx(1 - d.cdf(5.9), rel=1e-12)


@pytest.mark.parametrize("method", ["pdf", "cdf", "sf", "ppf"])
@pytest.mark.parametrize("arg, shape", [(0.25, None), (np.float32(0.25), None),
                                        (np.array(0.25), None), ([0.25, 1], (2,)),
                                        (np.full((2, 3, 1), 0.5)[:, ::2], (2, 2, 1)), ([], (0,))])
def test_shapes_follow_the_input(method, arg, shape):
    got = getattr(Density([0, 1, 3], [0, 1, 0]), method)(arg)
    if shape is None:
        assert type(got) is np.float64
    else:
        assert isinstance(got, np.ndarray) and got.shape == shape and got.dtype == np.float64


def test_rvs():
    d = Density(*CASES["zero stretches"])
    assert type(d.rvs(random_state=1)) is np.float64
    assert d.rvs(size=(2, 3)).shape == (2, 3)
    draws = d.rvs(size=5000, random_state=3)
    assert stats.kstest(draws, d.cdf).pvalue > 0.01
    assert not ((draws > 3) & (draws < 4)).any()
    same = [d.rvs(8, random_state=s) for s in
            (3, np.random.default_rng(3), np.random.SeedSequence(3))]
    assert (same[0] == same[1]).all() and (same[0] == same[2]).all()
    legacy = d.rvs(8, random_state=np.random.RandomState(3))
    assert (legacy == d.ppf(np.random.RandomState(3).random_sample(8))).all()


def test_values_are_normalised_read_only_copies():
    knots, values = np.array([0.0, 1.0, 3.0]), np.array([1.0, 3.0, 0.0])
    d = Density(knots, values)
    knots[0] = values[0] = -1
    assert d.knots.tolist() == [0, 1, 3] and d.values == pytest.approx([0.2, 0.6, 0], rel=1e-15)
    for array in (d.knots, d.values):
        with pytest.raises(ValueError):
            array[0] = 1
        with pytest.raises(ValueError):
            array.flags.writeable = True
    masses = d.masses()
    masses[0] = 5
    assert d.masses() == pytest.approx([0.4, 0.6], rel=1e-15)
    for scale in (1e-300, 5e307):  # the areas of the latter overflow unless scaled first
        assert Density([0, 1, 3], [scale, 3 * scale, 0]).values == pytest.approx(d.values)
    for twin in (pickle.loads(pickle.dumps(d)), copy.deepcopy(d)):
        assert twin.cdf(np.linspace(0, 3, 7)).tolist() == d.cdf(np.linspace(0, 3, 7)).tolist()
        assert not twin.values.flags.writeable and not twin.knots.flags.writeable
        with pytest.raises(ValueError):
            twin.values.flags.writeable = True
    far = Density(knots=d.knots + 1e9, values=d.values)
    assert far.var() == pytest.approx(d.var(), rel=1e-9)


def test_exact_fit_keeps_the_masses():
    raw_negative = 0
    for seed in range(40):
        rng = np.random.default_rng(seed)
        n = int(rng.integers(2, 40))
        edges = np.cumsum(rng.uniform(0.1, 3, n + 1))
        y = rng.uniform(0, 2, n + 1) * (rng.random(n + 1) < 0.7)
        counts = (y[:-1] + y[1:]) / 2 * np.diff(edges)
        raw_negative += zelvane.fit_density(edges, counts, method="exact").min() < 0
        d = Density.from_histogram(counts, edges, method="exact")
        assert d.masses() == pytest.approx(counts / counts.sum(), abs=n * 1e-6)
        assert (d.values >= 0).all() and d.knots.tolist() == edges.tolist()
    # Most exact fits come back with values a rounding below zero: they must be taken.
    assert raw_negative > 10


@pytest.mark.parametrize("method", ["iterative", "exact"])
def test_fitted_values_are_those_of_fit_density(method):
    counts, edges = np.histogram(np.random.default_rng(2).normal(size=500), bins=9)
    values = zelvane.fit_density(edges, counts, method=method).astype(np.float64)
    d = Density.from_histogram(counts, edges, method=method)
    assert d.values.tolist() == Density(edges, np.maximum(values, 0)).values.tolist()
    assert Density.from_masses(edges, counts.tolist(), method).values.tolist() == d.values.tolist()


SHARES = [0.15, 0.25, 0.35, 0.25]  # of a density linear between the edges


@pytest.mark.parametrize("zero", [0, 0.0, np.int64(0), np.float32(0), np.float64(-0.0)])
def test_a_smoothing_of_zero_is_one_whatever_its_type(zero):
    exact = Density.from_masses(range(5), SHARES)
    got = Density.from_masses(range(5), SHARES, smoothing=zero)
    assert (got.values == exact.values).all() and got.smoothing == 0.0
    for method in ("iterative", "exact"):
        fitted = Density.from_masses(range(5), SHARES, method, smoothing=zero)
        assert fitted.values.tolist() == Density.from_masses(range(5), SHARES, method).values.tolist()


@pytest.mark.parametrize("smoothing", [np.float64(2.5), np.int64(3), 2.5, "auto"])
def test_a_smoothing_of_shares_needs_their_sample_size_whatever_its_type(smoothing):
    with pytest.raises(zelvane.InputError) as caught:
        Density.from_masses(range(5), SHARES, smoothing=smoothing)
    error = caught.value
    assert (error.problem, error.argument) == ("needs_sample_size", "gap")
    given = "'auto'" if smoothing == "auto" else repr(smoothing.item() if hasattr(smoothing, "item")
                                                      else smoothing)
    assert f"smoothing={given} needs the number of observations" in str(error)
    assert Density.from_masses(range(5), SHARES, smoothing=smoothing, sample_size=500).smoothing > 0
    if smoothing != "auto":
        with pytest.raises(zelvane.InputError) as caught:
            Density.from_masses(range(5), SHARES, "iterative", smoothing=smoothing)
        assert (caught.value.problem, caught.value.argument) == ("smooth_only", "smoothing")


@pytest.mark.parametrize("kind, parameter", [("pareto", 0.5), ("pareto", 1.0), ("pareto", 1.5),
                                             ("pareto", 3.0), ("exponential", 2.0)])
def test_tails_without_mass_add_nothing_to_any_closed_form(kind, parameter):
    from zelvane import _tails

    empty = zelvane.Tail(kind, 10.0, 0.0, parameter)
    x = np.array([10.0, 12.5, 1e6])
    assert _tails.moments(empty, True, 3.0) == (0.0, 0.0)
    assert _tails.moment_beyond(empty, True, x).tolist() == [0.0, 0.0, 0.0]
    assert _tails.spread(empty) == 0.0
    # With mass, a heavy Pareto tail's moments diverge beyond every point alike.
    heavy = empty._replace(mass=0.25)
    first = _tails.moments(heavy, True, 3.0)[0]
    beyond = _tails.moment_beyond(heavy, True, x)
    assert np.isfinite(beyond).all() == np.isfinite(first) == (kind == "exponential" or parameter > 1)


def test_to_scipy_agrees(density):
    frozen = density.to_scipy()
    x, q = inside(density, 2001), np.linspace(0, 1, 2001)
    for name, arg in (("pdf", x), ("cdf", x), ("sf", x), ("ppf", q)):
        np.testing.assert_array_equal(getattr(frozen, name)(arg), getattr(density, name)(arg))
    assert frozen.support() == density.support()
    assert (frozen.mean(), frozen.var(), frozen.std()) == (density.mean(), density.var(), density.std())
    assert frozen.interval(0.5) == pytest.approx((density.ppf(0.25), density.ppf(0.75)))


def test_plot_draws_the_density():
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    import matplotlib.pyplot as plt

    d, figures = Density([0, 1, 3], [0, 1, 0]), plt.get_fignums()
    canvas = FigureCanvasAgg(Figure())
    ax = canvas.figure.add_subplot()
    assert d.plot(ax, color="red", label="fit") is ax
    canvas.draw()
    (line,) = ax.lines
    assert line.get_xydata().tolist() == np.column_stack([d.knots, d.values]).tolist()
    assert (line.get_color(), line.get_label()) == ("red", "fit")
    fresh = d.plot()
    assert fresh is not ax and len(fresh.lines) == 1 and plt.get_fignums() == figures


@pytest.mark.parametrize("missing, call, extra", [
    ("scipy", lambda d: d.to_scipy(), "zelvane[scipy]"),
    ("matplotlib", lambda d: d.plot(), "zelvane[plot]")])
def test_missing_optional_dependency(monkeypatch, missing, call, extra):
    for name in [m for m in sys.modules if m == missing or m.startswith(missing + ".")]:
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.setitem(sys.modules, missing, None)
    monkeypatch.setattr(zelvane._adapters, "_scipy_type", None)
    with pytest.raises(ImportError, match=r"pip install '" + extra.replace("[", r"\[")):
        call(Density([0, 1], [1, 1]))


@pytest.mark.parametrize("call, message", [
    (lambda: Density([[0, 1]], [1, 1]), r"knots must be 1-D for a 1-D values"),
    (lambda: Density([0], [1]), r"values must hold at least two values"),
    (lambda: Density([0, 1, 2], [1, 1]), r"knots must have len\(values\) = 2 elements, not 3"),
    (lambda: Density([0, np.nan, 2], [1, 1, 1]), r"knots\[1\] is nan"),
    (lambda: Density([0, 2, 2], [1, 1, 1]), r"knots\[2\] = 2.0 is not above knots\[1\]"),
    (lambda: Density([0, 1, 2], [1, -1, 1]), r"values\[1\] = -1.0 is negative"),
    (lambda: Density([0, 1, 2], [1, np.inf, 1]), r"values\[1\] is inf"),
    (lambda: Density([0, 1, 2], [0, 0, 0]), r"total area of zero"),
    (lambda: Density([0, 1j], [1, 1]), r"knots must hold real numbers"),
    (lambda: Density([-1e308, 1e308], [1, 1]), r"wider than float64"),
    (lambda: Density([0, 1e-310], [1, 1]), r"too close together"),
    (lambda: Density([0, 1], [1, 1]).pdf([0, 1j]), r"x must hold real numbers"),
    (lambda: Density.from_histogram([1, -2], [0, 1, 2]), r"counts\[1\] = -2.0 is negative"),
    (lambda: Density.from_histogram([1, 2], [0, 2, 1]), r"edges must be strictly increasing"),
    (lambda: Density.from_masses([0, 1, 2], [0, 0]), r"gap are all zero"),
    (lambda: Density.from_masses([0, 1, 2], [1, 1], "smoothest"), r"method must be"),
    (lambda: Density.from_masses([0, 1, 2, 3, 4], [1, 0, 0, 1], "iterative"),
     r"'iterative' fit of these gap has negative values, first at index 2 \(-0.5\).*"
     r"try method='smooth' or method='exact'"),
    (lambda: Density.from_histogram([0.5, 1.0, 0.2, 0.7], range(5), method="exact"),
     r"'exact' fit of these counts has negative values, first at index 3.*"
     r"try method='smooth' or method='iterative'"),
])
def test_refusals(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def reachable_arrays(obj, where="result"):
    """(where, array) for every NumPy array reachable from `obj`: its attributes, public
    and private (the cached tables too), and what tuples and tails hold."""
    if isinstance(obj, np.ndarray):
        yield where, obj
    elif isinstance(obj, tuple):  # tails, and (knots, values) pairs
        for name, part in zip(getattr(obj, "_fields", range(len(obj))), obj):
            yield from reachable_arrays(part, f"{where}.{name}")
    elif isinstance(obj, (Density, zelvane.SmoothFit)):
        names = set(type(obj).__slots__) | {n for n in dir(obj) if not n.startswith("_")}
        for name in sorted(names):
            value = getattr(obj, name)
            if not callable(value):
                yield from reachable_arrays(value, f"{where}.{name}")


def assert_read_only_to_the_base(where, array):
    assert not array.flags.writeable, where
    with pytest.raises(ValueError):
        array[...] = 0
    base = array.base
    while isinstance(base, np.ndarray):
        assert not base.flags.writeable, where
        with pytest.raises(ValueError):
            base[...] = 0
        base = base.base
    if base is not None:  # the memory itself: an object whose buffer is read-only
        assert memoryview(base).readonly, where


def results():
    C, counts = [0, 1, 2, 3, 4], [3.0, 5, 4, 1]
    yield "density", Density([0, 1, 3], [1, 2, 0])
    for method in ("smooth", "iterative", "exact"):
        yield method, Density.from_masses(C, counts, method)
    tails = Density.from_histogram([5, 30, 20, 8], [-np.inf, 0, 10, 20, np.inf], mean=12.0)
    yield "tails", tails
    yield "pickled", pickle.loads(pickle.dumps(tails))
    yield "deep copy", copy.deepcopy(tails)
    yield "fit_density", zelvane.fit_density(C, counts)
    yield "fit_density rows", zelvane.fit_density(C, [counts] * 3, method="exact")
    yield "fit_smooth", zelvane.fit_smooth(C, counts)
    yield "fit_smooth one row", zelvane.fit_smooth(C, [counts])
    # Open ends in a batch: the tails' fields are arrays; kinds differ where a row's
    # open bin is empty.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", zelvane.ExtrapolationWarning)
        rows = zelvane.fit_smooth([-np.inf, 0, 10, 20, np.inf], [[5, 30, 20, 8], [5, 30, 20, 0]])
    yield "fit_smooth rows", rows


def test_every_array_handed_out_is_read_only_down_to_its_memory():
    found = set()
    for name, result in results():
        if isinstance(result, Density):
            # The tables made on first use too.
            result.sf([0.5]), result.isf([0.5]), result.mass_error
        for where, array in reachable_arrays(result, name):
            assert_read_only_to_the_base(where, array)
            found.add(where.split(".", 1)[-1])
        if isinstance(result, Density):
            # What a density hands out cannot be made writable again at any depth: the
            # tables made from it would disagree with it.
            for array in (result.knots, result.values):
                while isinstance(array, np.ndarray):
                    with pytest.raises(ValueError):
                        array.flags.writeable = True
                    array = array.base
    # The walk saw the cached tables, the batch fits' columns and the tails' arrays.
    assert {"_upper", "_below", "_rises", "_areas", "knots", "values", "edf",
            "right_tail.mass", "right_tail.kind", "left_tail.parameter"} <= found


@pytest.mark.parametrize("method", ["iterative", "exact"])
def test_fits_checked_once_give_what_the_constructor_gives(method):
    # The density of a fit, built without checking its input again, is the one that the
    # constructor makes of the fit's clipped values, to the bit, on knots as given.
    for seed in range(12):
        rng = np.random.default_rng(seed)
        n = int(rng.integers(1, 30))
        edges = np.cumsum(rng.uniform(0.01, 3, n + 1)) + 1e3 / 3
        y = rng.uniform(1, 1.3, n + 1)  # a positive density: no fit refused as negative
        masses = (y[:-1] + y[1:]) / 2 * np.diff(edges)
        d = Density.from_masses(edges, masses, method)
        values = zelvane.fit_density(edges, masses, method=method).astype(np.float64)
        want = Density(edges, np.maximum(values, 0))
        for name in Density.__slots__:
            if name.startswith("_") and isinstance(getattr(want, name), np.ndarray):
                assert getattr(d, name).tobytes() == getattr(want, name).tobytes(), name
        assert d.knots.tolist() == edges.tolist()
        assert d.sf([edges[1]]).tolist() == want.sf([edges[1]]).tolist()
        c32 = np.float32(edges).astype(np.float64)
        fitted = 0.5 * (values[:-1] + values[1:]) * np.diff(c32)
        m32 = np.float32(masses).astype(np.float64)
        assert d.mass_error == np.max(np.abs(fitted - m32)) / m32.sum()
        assert d.method == method and d.smoothing is None
