"""zelvane.PiecewiseLinearDensity with open tails (zelvane.Tail): the conventions of the
tails' masses, closed forms against numerical integration and known laws, the inverse
pairs across the joints and deep in the tails, sampling, the Gini coefficient and the
Lorenz curve, masses over any edges, the fit's metadata, pickling, plotting and refusals."""

import copy
import math
import pickle
import warnings

import numpy as np
import pytest
from scipy import integrate, stats

from zelvane import InputError, Tail
from zelvane import PiecewiseLinearDensity as Density

pytestmark = pytest.mark.filterwarnings("error")
EPS = np.finfo(np.float64).eps
INF = math.inf
KNOTS = [1.0, 2.0, 4.0, 7.0, 10.0]
VALUES = [0.3, 1.0, 0.8, 0.4, 0.2]


def joined(kind, at, parameter, values=VALUES, knots=KNOTS):
    """The tail of `kind` continuing the body at its first (at=0) or last (at=-1) knot."""
    return Tail.joined(kind, knots[at], values[at], parameter)


# Densities whose tails continue the body, each with something of its own.
CASES = {
    "pareto right, exponential left": dict(left_tail=joined("exponential", 0, 0.7),
                                           right_tail=joined("pareto", -1, 3.5)),
    "exponential both": dict(left_tail=joined("exponential", 0, 2.0),
                             right_tail=joined("exponential", -1, 4.0)),
    "heavy pareto (alpha 2.5)": dict(right_tail=joined("pareto", -1, 2.5)),
    "heavy tails, light body": dict(left_tail=Tail("exponential", 1.0, 3.0, 5.0),
                                    right_tail=Tail("pareto", 10.0, 4.0, 2.2)),
}


@pytest.fixture(params=sorted(CASES))
def density(request):
    return Density(KNOTS, VALUES, **CASES[request.param])


def pieces(d):
    """Intervals of the support over which the density is smooth."""
    k = d.knots.tolist()
    return ([(-INF, k[0])] if d.left_tail else []) + list(zip(k, k[1:])) + \
        ([(k[-1], INF)] if d.right_tail else [])


def quad(d, f, upto=INF):
    """The integral of f over the support up to `upto`, piece by piece."""
    total = 0.0
    for a, b in pieces(d):
        if a < upto:
            total += integrate.quad(f, a, min(b, upto), limit=400, epsabs=0, epsrel=1e-13)[0]
    return total


# ---------------------------------------------------------------- conventions

def test_tail_masses_follow_the_continuity_convention_and_one_normalisation():
    pareto, exponential = Tail.joined("pareto", 10.0, 0.2, 2.5), Tail.joined("exponential", 1.0,
                                                                              0.3, 0.7)
    assert (pareto.mass, exponential.mass) == pytest.approx((0.2 * 10 / 2.5, 0.3 * 0.7), rel=1e-15)
    assert (pareto.height, exponential.height) == pytest.approx((0.2, 0.3), rel=1e-15)
    d = Density(KNOTS, VALUES, left_tail=exponential, right_tail=pareto)
    body = float(np.sum(np.diff(KNOTS) * (np.add(VALUES[:-1], VALUES[1:])) / 2))
    total = body + pareto.mass + exponential.mass
    # One factor for the body and both tails.
    assert d.values == pytest.approx(np.divide(VALUES, total), rel=1e-14)
    assert d.right_tail.mass == pytest.approx(pareto.mass / total, rel=1e-14)
    assert d.left_tail.mass == pytest.approx(exponential.mass / total, rel=1e-14)
    assert d.masses().sum() + d.left_tail.mass + d.right_tail.mass == pytest.approx(1, abs=1e-15)
    assert quad(d, d.pdf) == pytest.approx(1, abs=1e-12)
    # Continuous at both joints, and the tails' own mass there.
    assert d.pdf(np.nextafter([1.0, 10.0], [0, 20])) == pytest.approx(d.values[[0, -1]], rel=1e-12)
    assert d.cdf(1.0) == d.left_tail.mass and d.sf(10.0) == pytest.approx(d.right_tail.mass)
    # Fields are plain floats whatever they were given as.
    given = Tail("pareto", np.float32(10.0), np.int64(2), np.float32(2.5))
    fields = Density(KNOTS, VALUES, right_tail=given).right_tail
    assert [type(v) for v in fields] == [str, float, float, float, str]
    assert fields.parameter == 2.5 and fields.joint == 10.0


def test_a_tail_without_mass_is_no_tail_and_continuity_is_not_checked():
    plain = Density(KNOTS, VALUES)
    x = np.linspace(-5, 20, 101)
    for d in (Density(KNOTS, VALUES, left_tail=Tail("exponential", 1.0, 0.0, 2.0),
                      right_tail=Tail("pareto", 10.0, 0.0, 3.0)),
              Density._from_fit(np.array(KNOTS), np.array(VALUES),
                                right_tail=Tail("pareto", 10.0, 0.0, 3.0))):
        assert d.left_tail is None and d.right_tail is None and d.support() == (1.0, 10.0)
        assert d.cdf(x).tolist() == plain.cdf(x).tolist()
    # A tail that jumps from the body is taken as given: the density steps at the joint.
    jump = Density(KNOTS, VALUES, right_tail=Tail("exponential", 10.0, 1.0, 1.0))
    assert jump.pdf(np.nextafter(10.0, 11)) == pytest.approx(5 * jump.pdf(10.0), rel=1e-12)
    assert quad(jump, jump.pdf) == pytest.approx(1, abs=1e-12)


def test_scale_of_values_and_tail_masses_does_not_matter():
    tails = dict(left_tail=Tail("exponential", 1.0, 0.4, 2.0), right_tail=Tail("pareto", 10.0,
                                                                               0.5, 3.0))
    reference = Density(KNOTS, VALUES, **tails)
    for scale in (1e-300, 1e300):
        scaled = {side: t._replace(mass=t.mass * scale) for side, t in tails.items()}
        d = Density(KNOTS, np.multiply(VALUES, scale), **scaled)
        assert d.values == pytest.approx(reference.values, rel=1e-13)
        assert d.right_tail.mass == pytest.approx(reference.right_tail.mass, rel=1e-13)
    # A tail far heavier than the body: the largest tail mass sets the first scale.
    heavy = Density(KNOTS, np.multiply(VALUES, 1e-150), right_tail=Tail("pareto", 10.0, 1e150,
                                                                         3.0))
    assert heavy.right_tail.mass == 1.0 and heavy.values.max() > 0
    assert heavy.masses().sum() == pytest.approx(5.15e-300, rel=1e-12)
    assert heavy.values == pytest.approx(np.multiply(VALUES, 1e-300), rel=1e-12)


# ---------------------------------------------------------------- closed forms

def test_closed_forms_match_numerical_integration(density):
    for x in (-3.0, 1.0, 1.5, 5.0, 10.0, 12.0, 40.0):
        assert density.cdf(x) == pytest.approx(quad(density, density.pdf, x), rel=1e-11, abs=1e-15)
        assert density.sf(x) == pytest.approx(1 - quad(density, density.pdf, x), abs=1e-12)
    mean = quad(density, lambda x: x * density.pdf(x))
    assert density.mean() == pytest.approx(mean, rel=1e-11)
    var = quad(density, lambda x: (x - mean) ** 2 * density.pdf(x))
    assert density.var() == pytest.approx(var, rel=1e-10)
    assert density.std() == pytest.approx(math.sqrt(var), rel=1e-10)
    gini = quad(density, lambda x: density.cdf(x) * density.sf(x)) / mean
    assert density.gini() == pytest.approx(gini, rel=1e-11)
    for p in (0.001, 0.05, 0.3, 0.5, 0.7, 0.9, 0.999):
        below = quad(density, lambda x: x * density.pdf(x), float(density.ppf(p)))
        assert density.lorenz(p) == pytest.approx(below / mean, rel=1e-10, abs=1e-14)


def test_moments_diverge_where_the_pareto_tail_is_heavy():
    for alpha, finite_mean, finite_var in [(0.6, False, False), (1.0, False, False),
                                           (1.5, True, False), (2.0, True, False),
                                           (2.0 + 1e-9, True, True)]:
        d = Density(KNOTS, VALUES, right_tail=joined("pareto", -1, alpha))
        assert math.isfinite(d.mean()) == finite_mean, alpha
        assert math.isfinite(d.var()) == finite_var and math.isfinite(d.std()) == finite_var
    # Near alpha = 1 the mean is large but exact: mass times L alpha / (alpha - 1) and the body.
    alpha = 1 + 1e-9
    near = Density(KNOTS, VALUES, right_tail=joined("pareto", -1, alpha))
    body = quad(near, lambda x: x * near.pdf(x), 10.0)
    tail = near.right_tail.mass * 10.0 * alpha / (alpha - 1)
    assert near.mean() == pytest.approx(body + tail, rel=1e-12)


def test_gini_and_lorenz_of_known_laws():
    uniform = Density([0.0, 1.0], [1.0, 1.0])
    p = np.linspace(0, 1, 101)
    assert uniform.gini() == pytest.approx(1 / 3, rel=1e-15)
    np.testing.assert_allclose(uniform.lorenz(p), p ** 2, rtol=1e-14, atol=1e-16)
    # Pareto laws: a body one part in 1e12 of the whole, so that the tail is all of it.
    sliver = 1e-12
    for alpha in (1.2, 2.0, 3.5):
        d = Density([1.0 - sliver, 1.0], [alpha, alpha], right_tail=Tail("pareto", 1.0, 1.0,
                                                                         alpha))
        assert d.gini() == pytest.approx(1 / (2 * alpha - 1), rel=1e-9)
        inner = p[1:-1]
        np.testing.assert_allclose(d.lorenz(inner), 1 - (1 - inner) ** (1 - 1 / alpha), rtol=1e-9)
        assert 1 - d.lorenz(0.9) == pytest.approx(0.1 ** (1 - 1 / alpha), rel=1e-9)
        assert d.mean() == pytest.approx(alpha / (alpha - 1), rel=1e-9)
    # The exponential law from 0 and shifted to L > 0: Gini beta / (2 (L + beta)).
    for start, beta in ((0.0, 1.0), (3.0, 2.0)):
        d = Density([start - sliver, start], [1 / beta, 1 / beta],
                    right_tail=Tail("exponential", start, 1.0, beta))
        assert d.gini() == pytest.approx(beta / (2 * (start + beta)), rel=1e-9)
        if start == 0:
            inner = p[1:-1]
            exact = inner + (1 - inner) * np.log1p(-inner)
            np.testing.assert_allclose(d.lorenz(inner), exact, rtol=1e-9)
    # A left exponential tail, mirrored: the law of L - X for X exponential.
    d = Density([10.0, 10.0 + sliver], [0.5, 0.5], left_tail=Tail("exponential", 10.0, 1.0, 2.0))
    assert d.gini() == pytest.approx(2.0 / (2 * (10.0 - 2.0)), rel=1e-9)


def test_gini_and_lorenz_where_they_are_undefined_or_degenerate():
    negative = Density([-3.0, 1.0], [1.0, 1.0])
    assert math.isnan(negative.gini()) and np.isnan(negative.lorenz([0, 0.5, 1])).all()
    heavy = Density(KNOTS, VALUES, right_tail=joined("pareto", -1, 0.9))
    assert heavy.gini() == 1.0
    assert heavy.lorenz([0.0, 0.5, 0.999999, 1.0]).tolist() == [0, 0, 0, 1]
    # The limit the documented value stands for: the coefficient climbs towards 1.
    assert Density(KNOTS, VALUES, right_tail=joined("pareto", -1, 1.001)).gini() > 0.99
    d = Density(KNOTS, VALUES, right_tail=joined("pareto", -1, 3.0))
    lorenz = d.lorenz(np.linspace(0, 1, 1001))
    assert lorenz[0] == 0 and lorenz[-1] == 1 and (np.diff(lorenz) >= 0).all()
    assert (lorenz <= np.linspace(0, 1, 1001) + 1e-15).all()
    assert np.isnan(d.lorenz([-0.1, 1.1, np.nan])).all()
    assert type(d.lorenz(0.5)) is np.float64 and d.lorenz(np.ones((2, 3))).shape == (2, 3)


def test_masses_over_edges():
    d = Density(KNOTS, VALUES, left_tail=joined("exponential", 0, 0.7),
                right_tail=joined("pareto", -1, 2.5))
    edges = np.array([-INF, -2.0, 1.0, 1.5, 5.0, 10.0, 30.0, 1e6, INF])
    masses = d.masses(edges)
    assert masses.dtype == np.float64 and masses.shape == (8,) and (masses >= 0).all()
    assert masses.sum() == pytest.approx(1, abs=4 * EPS)
    np.testing.assert_allclose(masses, np.diff(d.cdf(edges)), rtol=1e-12, atol=1e-16)
    # Bins deep in the right tail keep their relative accuracy: sf's, not 1 - cdf's.
    far = d.masses([1e6, 1e7, INF])
    exact = d.right_tail.mass * np.array([1e5 ** -2.5 - 1e6 ** -2.5, 1e6 ** -2.5])
    np.testing.assert_allclose(far, exact, rtol=1e-12)
    # Without edges, the pieces of the body as before; the knots as edges give the same.
    assert d.masses(d.knots) == pytest.approx(d.masses(), rel=1e-13)
    assert d.masses([3.0]).shape == (0,)


# ---------------------------------------------------------------- inverse pairs

def test_cdf_of_ppf_is_the_identity_across_joints_and_deep_in_the_tails(density):
    levels = density._below[[0, -1]]
    deep = np.geomspace(1e-15, 0.5, 400)
    q = np.concatenate([deep, 1 - deep, np.linspace(0, 1, 20001), levels,
                        np.nextafter(levels, 2), np.nextafter(levels, -1), [5e-324, 1e-300]])
    q = q[(q > 0) & (q < 1)]
    x = density.ppf(q)
    # Within the rounding of x itself: the density there times the step to the next float.
    allowed = 4 * EPS * q + 2 * density.pdf(x) * np.spacing(np.abs(x))
    assert (np.abs(density.cdf(x) - q) <= allowed).all()
    assert (np.diff(density.ppf(np.sort(q))) >= 0).all()
    # The same of sf and isf, whose levels are the masses above.
    x = density.isf(q)
    allowed = 4 * EPS * q + 2 * density.pdf(x) * np.spacing(np.abs(x))
    assert (np.abs(density.sf(x) - q) <= allowed).all()
    assert (np.diff(density.isf(np.sort(q))) <= 0).all()
    # Across each joint the quantile passes through the knot.
    for tail, level, knot in zip((density.left_tail, density.right_tail), levels, (1.0, 10.0)):
        if tail is not None:
            assert density.ppf(level) == pytest.approx(knot, rel=1e-14)
            below, above = density.ppf(np.nextafter(level, [-1, 2]))
            assert below <= knot <= above and above - below < 1e-12


def test_ppf_of_cdf_is_the_identity_in_the_body_and_the_tails(density):
    left, right = density.left_tail, density.right_tail
    x = [np.linspace(1.0, 10.0, 2001)]
    if left:
        x.append(1.0 - left.parameter * np.geomspace(1e-12, 600, 400))
    if right:
        x.append(10.0 + np.geomspace(1e-12, 1e6, 400))
    x = np.concatenate(x)
    p = density.cdf(x)
    x = x[p < 1 - 1e-12]
    allowed = 8 * EPS * (np.abs(x) + 1 / density.pdf(x))
    assert (np.abs(density.ppf(density.cdf(x)) - x) <= allowed).all()


@pytest.mark.parametrize("alpha", [0.3, 1.0, 2.5, 7.0])
def test_sf_and_its_inverse_deep_in_a_pareto_tail(alpha):
    d = Density(KNOTS, VALUES, right_tail=joined("pareto", -1, alpha))
    x = np.geomspace(10.0, 1e12, 500)
    share = d.right_tail.mass
    # The closed form, (x / L) ** -alpha, within a few roundings (alpha of them from x).
    np.testing.assert_allclose(d.sf(x), share * (x / 10.0) ** -alpha, rtol=(4 + 2 * alpha) * EPS)
    # Inverted, a relative error of sf becomes 1 / alpha of it in x.
    np.testing.assert_allclose(d.isf(d.sf(x)), x, rtol=(4 + 8 / alpha) * EPS)
    q = np.geomspace(1e-300, share, 500)
    back = d.isf(q)
    finite = np.isfinite(back)
    assert finite[-100:].all()
    np.testing.assert_allclose(d.sf(back[finite]), q[finite], rtol=(4 + 2 * alpha) * EPS)
    # Where the cdf still tells points apart (alpha < 1 up to 1e12), ppf undoes it too.
    if alpha < 1:
        np.testing.assert_allclose(d.ppf(d.cdf(x)), x, rtol=1e-9)
    assert d.sf(np.inf) == 0 and d.cdf(np.inf) == 1 and d.isf(0.0) == np.inf


def test_ends_outside_and_the_scalar_path():
    d = Density(KNOTS, VALUES, left_tail=joined("exponential", 0, 0.7),
                right_tail=joined("pareto", -1, 3.5))
    assert d.support() == (-INF, INF)
    assert d.ppf([0.0, 1.0]).tolist() == [-INF, INF] and d.isf([0.0, 1.0]).tolist() == [INF, -INF]
    assert np.isnan(d.ppf([-1e-300, 1 + 1e-15, np.nan])).all()
    assert np.isnan(d.isf([-1e-300, 1 + 1e-15, np.nan])).all()
    assert d.cdf([-INF, INF]).tolist() == [0, 1] and d.sf([-INF, INF]).tolist() == [1, 0]
    assert d.pdf([-INF, INF]).tolist() == [0, 0]
    assert np.isnan([d.pdf(np.nan), d.cdf(np.nan), d.sf(np.nan)]).all()
    # A scalar level takes a path of its own: the same bits as an array's.
    deep = np.geomspace(1e-300, 0.01, 300)
    q = np.concatenate([np.linspace(0, 1, 3001), d._below, np.nextafter(d._below, 2), deep,
                        1 - deep])
    for heavy in (d, Density(KNOTS, VALUES, right_tail=joined("pareto", -1, 0.4)),
                  Density(KNOTS, VALUES, right_tail=joined("exponential", -1, 3.0))):
        assert [heavy.ppf(level) for level in q.tolist()] == heavy.ppf(q).tolist()
    plain = Density(KNOTS, VALUES)
    for level in np.concatenate([np.linspace(0, 1, 3001), plain._below]).tolist():
        assert plain.ppf(level) == plain.ppf(np.array([level]))[0], level
        assert type(plain.ppf(level)) is np.float64
    assert d.median() == float(d.ppf(np.array(0.5)))


# ---------------------------------------------------------------- sampling

def test_draws_follow_the_cdf_tails_included(density):
    draws = density.rvs(size=20000, random_state=11)
    assert np.isfinite(draws).all()
    assert stats.kstest(draws, density.cdf).pvalue > 0.01
    for tail, side in ((density.left_tail, draws < 1.0), (density.right_tail, draws > 10.0)):
        if tail is not None:
            sigma = math.sqrt(20000 * tail.mass * (1 - tail.mass))
            assert abs(side.sum() - 20000 * tail.mass) < 5 * sigma
    # Exactly 0 from the generator would be -inf: it is taken just above.
    class Zeros(np.random.Generator):
        def random(self, size=None):
            return np.zeros(size)
    d = Density(KNOTS, VALUES, left_tail=joined("exponential", 0, 0.7))
    assert np.isfinite(d.rvs(3, random_state=Zeros(np.random.PCG64(0)))).all()


# ---------------------------------------------------------------- fitting, state, plotting

def test_from_fit_metadata_pickling_and_repr():
    knots, values = np.array(KNOTS), np.array(VALUES)
    tails = dict(left_tail=joined("exponential", 0, 0.7), right_tail=joined("pareto", -1, 2.5))
    made = Density(knots, values, **tails)
    fit = Density._from_fit(knots, values, **tails, method="smooth", smoothing=np.float64(0.25),
                            edf=6.5, mass_error=1e-16)
    assert knots.tolist() == KNOTS and values.tolist() == VALUES and knots.flags.writeable
    x, q = np.linspace(-10, 100, 777), np.linspace(0, 1, 777)
    for name, arg in (("pdf", x), ("cdf", x), ("sf", x), ("ppf", q), ("isf", q)):
        assert getattr(fit, name)(arg).tolist() == getattr(made, name)(arg).tolist(), name
    assert (fit.method, fit.smoothing, fit.edf, fit.mass_error) == ("smooth", 0.25, 6.5, 1e-16)
    assert type(fit.smoothing) is float
    # A fit's tails of NumPy scalars come back with plain floats, as the constructor's do.
    numpy_tail = Tail("pareto", np.float64(10.0), np.float64(0.1), np.float64(2.5))
    kept = Density._from_fit(knots, values, right_tail=numpy_tail).right_tail
    assert [type(v) for v in kept] == [str, float, float, float, str]
    assert (made.method, made.smoothing, made.edf, made.mass_error) == (None,) * 4
    assert fit.left_tail == made.left_tail and fit.right_tail == made.right_tail
    with pytest.raises(AttributeError):
        fit.method = "exact"
    for twin in (pickle.loads(pickle.dumps(fit)), copy.deepcopy(fit)):
        assert twin.cdf(x).tolist() == fit.cdf(x).tolist()
        assert twin.sf(x).tolist() == fit.sf(x).tolist()
        assert (twin.left_tail, twin.right_tail) == (fit.left_tail, fit.right_tail)
        assert (twin.method, twin.smoothing, twin.edf, twin.mass_error) == \
            (fit.method, fit.smoothing, fit.edf, fit.mass_error)
        assert not twin.values.flags.writeable and not twin.knots.flags.writeable
    text = repr(fit)
    assert "left_tail=Tail(kind='exponential', joint=1.0" in text
    assert "right_tail=Tail(kind='pareto', joint=10.0" in text
    assert text.endswith("method='smooth', smoothing=0.25, edf=6.5)") and "np." not in text
    assert "tail" not in repr(Density(KNOTS, VALUES)) and "method" not in repr(made)
    # Without the fit's metadata, the repr builds the same density again.
    again = eval(repr(made), {"PiecewiseLinearDensity": Density, "Tail": Tail})
    np.testing.assert_allclose(again.cdf(x), made.cdf(x), rtol=1e-15)


def test_to_scipy_with_tails(density):
    frozen = density.to_scipy()
    assert frozen.support() == density.support()
    x, q = np.linspace(-20, 200, 501), np.linspace(0.001, 0.999, 501)
    for name, arg in (("pdf", x), ("cdf", x), ("sf", x), ("ppf", q), ("isf", q)):
        np.testing.assert_array_equal(getattr(frozen, name)(arg), getattr(density, name)(arg))
    assert (frozen.mean(), frozen.var()) == (density.mean(), density.var())


def test_plot_draws_each_tail_open_in_the_body_colour():
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    import matplotlib.pyplot as plt

    figures = plt.get_fignums()
    d = Density(KNOTS, VALUES, left_tail=joined("exponential", 0, 0.7),
                right_tail=joined("pareto", -1, 2.5))
    canvas = FigureCanvasAgg(Figure())
    ax = canvas.figure.add_subplot()
    assert d.plot(ax, color="purple", label="fit", linewidth=3) is ax
    canvas.draw()
    body, left, right = ax.lines
    assert body.get_xydata().tolist() == np.column_stack([d.knots, d.values]).tolist()
    for line, joint, end in ((left, 1.0, d.ppf(0.005)), (right, 10.0, d.ppf(0.995))):
        x, y = line.get_xdata(), line.get_ydata()
        assert x[0] == joint and x[-1] == pytest.approx(end, rel=1e-12)
        np.testing.assert_allclose(y, d.pdf(x), rtol=1e-12)
        assert line.get_linestyle() == "--" and line.get_color() == "purple"
        assert line.get_linewidth() == 3 and line.get_label().startswith("_")
        assert line.get_marker() in "<>" and list(line.get_markevery()) == [len(x) - 1]
    assert [line.get_label() for line in ax.get_legend_handles_labels()[0]] == ["fit"]
    # A tail lighter than 0.01 is drawn out to where half of its own mass lies beyond.
    light = Density(KNOTS, VALUES, right_tail=Tail.joined("exponential", 10.0, 1e-3, 1.0))
    (_, tail) = light.plot().lines
    assert tail.get_xdata()[-1] == pytest.approx(10.0 + math.log(2), rel=1e-12)
    assert plt.get_fignums() == figures


# ---------------------------------------------------------------- refusals

# (call, problem, argument, index, details that must be there)
REFUSALS = {
    "not a tail": (lambda: Density(KNOTS, VALUES, right_tail=("pareto", 10.0, 1.0, 2.0)),
                   "type", "right_tail", None, {"type_name": "tuple"}),
    "unknown kind": (lambda: Density(KNOTS, VALUES, right_tail=Tail("gamma", 10.0, 1.0, 2.0)),
                     "choice", "right_tail.kind", None, {"choices": ("pareto", "exponential")}),
    "pareto on the left": (lambda: Density(KNOTS, VALUES, left_tail=Tail("pareto", 1.0, 1, 2)),
                           "choice", "left_tail.kind", None, {"choices": ("exponential",)}),
    "pareto at a negative joint": (
        lambda: Density([-3, -1], [1, 1], right_tail=Tail("pareto", -1.0, 1, 2)),
        "pareto_joint", "right_tail.kind", None, {}),
    "joint not the last knot": (lambda: Density(KNOTS, VALUES,
                                                right_tail=Tail("pareto", 9.0, 1, 2)),
                                "tail_joint", "right_tail.joint", None,
                                {"end": "last", "knot": 10.0}),
    "joint not the first knot": (lambda: Density(KNOTS, VALUES,
                                                 left_tail=Tail("exponential", 10.0, 1, 2)),
                                 "tail_joint", "left_tail.joint", None,
                                 {"end": "first", "knot": 1.0}),
    "joint not a number": (lambda: Density(KNOTS, VALUES,
                                           left_tail=Tail("exponential", "1", 1, 2)),
                           "type", "left_tail.joint", None, {"type_name": "str"}),
    "negative mass": (lambda: Density(KNOTS, VALUES, right_tail=Tail("pareto", 10.0, -1.0, 2)),
                      "negative", "right_tail.mass", None, {}),
    "infinite mass": (lambda: Density(KNOTS, VALUES, right_tail=Tail("pareto", 10.0, INF, 2)),
                      "not_finite", "right_tail.mass", None, {}),
    "boolean mass": (lambda: Density(KNOTS, VALUES, right_tail=Tail("pareto", 10.0, True, 2)),
                     "type", "right_tail.mass", None, {"type_name": "bool"}),
    "zero parameter": (lambda: Density(KNOTS, VALUES,
                                       left_tail=Tail("exponential", 1.0, 1.0, 0.0)),
                       "not_positive", "left_tail.parameter", None, {}),
    "nan parameter": (lambda: Density(KNOTS, VALUES,
                                      right_tail=Tail("exponential", 10.0, 1.0, np.nan)),
                      "not_finite", "right_tail.parameter", None, {}),
    "edges of two dimensions": (lambda: Density(KNOTS, VALUES).masses([[0, 1]]),
                                "ndim", "edges", None, {"ndim": 2}),
    "nan edge": (lambda: Density(KNOTS, VALUES).masses([0, 1, np.nan]), "not_finite", "edges", 2,
                 {}),
    "edges not increasing": (lambda: Density(KNOTS, VALUES).masses([0, 2, 2, 3]),
                             "not_increasing", "edges", 2, {"previous": 2.0}),
    "complex edges": (lambda: Density(KNOTS, VALUES).masses([0, 1j]), "dtype", "edges", None, {}),
    "complex fractions": (lambda: Density(KNOTS, VALUES).lorenz([1j]), "dtype", "p", None, {}),
}


@pytest.mark.parametrize("name", sorted(REFUSALS))
def test_refusals(name):
    call, problem, argument, index, details = REFUSALS[name]
    with pytest.raises(InputError) as caught:
        call()
    error = caught.value
    assert (error.problem, error.argument, error.index) == (problem, argument, index)
    for key, expected in details.items():
        assert error.details[key] == expected, key
    assert "\n" not in str(error) and "np." not in str(error)


# ------------------------------------------------------------- the tails a fit chooses

from zelvane import ExtrapolationWarning, fit_smooth  # noqa: E402

AGES = [0.0, 15.0, 30.0, 45.0, 65.0, 85.0, INF]
PEOPLE = [3300.0, 3500.0, 3700.0, 4900.0, 2600.0, 400.0]


def joint_gap(d, x):
    """The density just below and just above a joint, relative to its value there."""
    below, above = d.pdf(np.nextafter(x, -INF)), d.pdf(np.nextafter(x, INF))
    return abs(float(below) - float(above)) / float(below)


@pytest.mark.parametrize("smoothing", [0, "auto"])
@pytest.mark.parametrize("tail, kind, parameter", [
    (None, "pareto", None), ("pareto", "pareto", None), ("exponential", "exponential", None),
    (3.0, "pareto", 3.0), ((None, 4.5), "pareto", 4.5)])
def test_tail_choices_keep_the_mass_and_join_the_body(smoothing, tail, kind, parameter):
    d = Density.from_histogram(PEOPLE, AGES, smoothing=smoothing, tail=tail)
    t = d.right_tail
    assert t.kind == kind and t.joint == 85.0
    if parameter is not None:
        assert t.parameter == parameter and t.chosen == "fixed"
    else:
        assert t.chosen in ("brackets", "interpolated")
    # Exact masses: the open bin keeps its share; counts: close to it.
    share = PEOPLE[-1] / sum(PEOPLE)
    assert t.mass == pytest.approx(share, rel=1e-9 if smoothing == 0 else 0.2)
    assert d.sf(85.0) == pytest.approx(t.mass, rel=1e-12)
    assert joint_gap(d, 85.0) < 1e-9
    assert quad(d, d.pdf) == pytest.approx(1, abs=1e-9)


def test_a_left_number_holds_the_left_scale_and_a_pair_keeps_the_right_default():
    edges, masses = [-INF, 0.0, 1.0, 2.0, 4.0, INF], [0.1, 0.3, 0.3, 0.2, 0.1]
    with pytest.warns(ExtrapolationWarning, match="prior"):
        d = Density.from_masses(edges, masses, tail=(0.25, None))
    assert (d.left_tail.kind, d.left_tail.parameter, d.left_tail.chosen) == (
        "exponential", 0.25, "fixed")
    assert d.left_tail.mass == pytest.approx(0.1, rel=1e-12)
    assert d.right_tail.chosen == "brackets" and d.right_tail.kind == "pareto"
    assert joint_gap(d, 0.0) < 1e-9 and joint_gap(d, 4.0) < 1e-9
    # An exponential tail on the right of a positive edge, on request.
    e = Density.from_masses(edges, masses, tail="exponential")  # no warning
    assert e.right_tail.kind == e.left_tail.kind == "exponential"


@pytest.mark.parametrize("smoothing", [0, "auto"])
def test_upper_and_lower_close_the_open_bins(smoothing):
    d = Density.from_histogram(PEOPLE, AGES, smoothing=smoothing, upper=110)
    assert d.right_tail is None and d.knots[-1] == 110.0
    assert float(d.ppf(1.0)) == 110.0 and float(d.sf(110.0)) == 0.0
    # The closed bracket carries the open bin's count.
    last = float(d.cdf(110.0) - d.cdf(85.0))
    assert last == pytest.approx(PEOPLE[-1] / sum(PEOPLE), rel=1e-9 if smoothing == 0 else 0.2)
    both = Density.from_masses([-INF, 0, 1, INF], [1, 2, 1], lower=-3, upper=5)
    assert both.left_tail is None and both.right_tail is None
    assert both.knots[[0, -1]].tolist() == [-3.0, 5.0]
    assert both.masses(np.array([-3.0, 0, 1, 5])).tolist() == pytest.approx([0.25, 0.5, 0.25])


def test_an_age_table_gets_no_centenarians_from_a_closed_or_exponential_end():
    pareto = Density.from_histogram(PEOPLE, AGES)
    exponential = Density.from_histogram(PEOPLE, AGES, tail="exponential")
    closed = Density.from_histogram(PEOPLE, AGES, upper=110)
    above = [float(d.sf(110.0)) for d in (pareto, exponential, closed)]
    assert above[0] > above[1] > above[2] == 0.0


# The reproducers of tails that left their bounds with exact masses: refused, naming the
# open bin and the way out.
@pytest.mark.parametrize("call, index", [
    (lambda: Density.from_histogram([1, 1, 100], [0, 1, 2, INF], smoothing=0), 2),
    (lambda: Density.from_histogram([1, 1, 10 ** 5], [0, 1, 2, INF], smoothing=0), 2),
    (lambda: Density.from_masses([0, 10, 20, 30, INF], [.01, .01, .01, .97]), 3),
    # A left exponential tail whose scale would be 12.5 on a body of width 2.
    (lambda: Density.from_masses([-INF, 0, 1, 2], [10, 0.1, 1]), 0),
])
def test_tails_beyond_their_bounds_are_refused(call, index):
    with pytest.raises(InputError) as caught:
        call()
    assert caught.value.problem == "tail_uncarried" and caught.value.index == index
    assert "within its bounds" in str(caught.value)


def test_counts_keep_the_index_in_range_and_warn_at_its_bound():
    with pytest.warns(ExtrapolationWarning, match="bound"):
        d = Density.from_histogram([1, 1, 100], [0, 1, 2, INF])
    t = d.right_tail
    assert t.chosen == "bound" and 1.5 <= t.parameter <= 20
    assert np.isfinite(d.mean()) and d.gini() < 1 and np.isfinite(d.median())


def test_a_caller_index_of_one_or_below_warns_of_the_infinite_mean():
    with pytest.warns(ExtrapolationWarning, match="infinite"):
        d = Density.from_histogram(PEOPLE, AGES, tail=0.9)
    assert d.right_tail.parameter == 0.9 and d.mean() == INF


def test_the_default_tail_is_never_absurd_on_small_samples():
    # 200 draws of heavy-tailed laws on income-like brackets: the Pareto index the
    # default takes keeps the mean, the Gini index and the top share finite and below
    # their limits; a fit whose index is held at a bound says so.
    rng = np.random.default_rng(7)
    edges = np.array([0, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 75, 100, 125, 150, 200,
                      INF]) * 1e3
    laws = [lambda n: rng.lognormal(10.8, 1.0, n), lambda n: 3e4 * (rng.pareto(1.2, n) + 1),
            lambda n: 5e4 * rng.pareto(1.6, n)]
    for k in range(60):
        counts = np.histogram(laws[k % 3](200), edges)[0]
        if counts[-1] == 0:
            continue
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            d = Density.from_histogram(counts, edges)
        t = d.right_tail
        assert 1.5 <= t.parameter <= 20 and t.chosen in ("brackets", "bound", "prior")
        assert np.isfinite(d.mean()) and d.gini() < 1 and 1 - d.lorenz(0.9) < 1
        warned = any(issubclass(w.category, ExtrapolationWarning) for w in caught)
        assert warned or t.chosen != "bound"


def test_the_chosen_field_says_how_each_tail_was_chosen_in_a_batch():
    edges = [0.0, 1.0, 2.0, 3.0, INF]
    fit = fit_smooth(edges, [[3, 2, 1, 1], [3, 2, 1, 1]], mean=[np.nan, 3.0])
    assert fit.right_tail.chosen.tolist() == ["brackets", "mean"]
    assert fit.density(1).right_tail.chosen == "mean"
    assert fit.density(1).mean() == pytest.approx(3.0, rel=1e-9)
    assert fit_smooth(edges, [3, 2, 1, 1], tail=2.0).right_tail.chosen == "fixed"


@pytest.mark.parametrize("kwargs, problem, argument", [
    (dict(mean=float("nan")), "not_finite", "mean"),
    (dict(mean=float("inf")), "not_finite", "mean"),
    (dict(tail=("pareto", None)), "choice", "tail[0]"),
    (dict(tail="weibull"), "choice", "tail"),
    (dict(tail=-2.0), "not_positive", "tail"),
    (dict(tail=True), "type", "tail"),
    (dict(tail=(1.0, 2.0, 3.0)), "type", "tail"),
    (dict(upper=float("inf")), "not_finite", "upper"),
    (dict(lower=0.5), "not_open", "lower"),
])
def test_tail_settings_refused(kwargs, problem, argument):
    with pytest.raises(InputError) as caught:
        Density.from_histogram([3, 2, 1], [0, 1, 2, INF], **kwargs)
    assert (caught.value.problem, caught.value.argument) == (problem, argument)


def test_the_warning_follows_how_far_the_prior_moves_the_mean():
    edges = [0.0, 10.0, 20.0, 50.0, 100.0, 150.0, 200.0, INF]
    # Brackets that fall as a Pareto law of index 1.1 would (the mean of such a tail is
    # 11 times its joint): the prior moves the mean far, and the fit says so.
    survival = (np.array(edges[1:-1]) / 10.0) ** -1.1
    heavy = -np.diff(np.concatenate(([1.0], survival, [0.0])))
    with pytest.warns(ExtrapolationWarning, match="prior"):
        d = Density.from_masses(edges, heavy)
    assert d.right_tail.chosen == "brackets" and d.right_tail.parameter > 1.5
    # Brackets of an index near the prior's: no warning.
    survival = (np.array(edges[1:-1]) / 10.0) ** -2.5
    light = -np.diff(np.concatenate(([1.0], survival, [0.0])))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        d = Density.from_masses(edges, light)
    assert d.right_tail.parameter == pytest.approx(2.5, rel=0.05)


def test_counts_reach_the_mean_their_own_sample_has():
    # 200 draws of a Dagum law on income brackets: the sample's own mean is met (the
    # shares tilt as far as the likelihood allows, and no further than needed);
    # a mean no density near the counts has is still refused, with the range.
    rng = np.random.default_rng(11)
    edges = np.array([0, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 75, 100, 125, 150, 200,
                      INF]) * 1e3
    reached = tried = 0
    for _ in range(60):
        x = 6e4 * (rng.uniform(size=200) ** (-1 / 0.7) - 1) ** (-1 / 3.0)
        counts = np.histogram(x, edges)[0]
        if counts[-1] == 0:
            continue
        tried += 1
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ExtrapolationWarning)
            d = Density.from_histogram(counts, edges, mean=x.mean())
        assert d.mean() == pytest.approx(x.mean(), rel=1e-7)
        assert d.right_tail.chosen == "mean" and 1 <= d.right_tail.parameter <= 100
        reached += 1
    # Without the move a fifth of these were out of reach.
    assert tried >= 40 and reached == tried
    with pytest.raises(InputError) as caught:
        Density.from_histogram(counts, edges, mean=0.5 * x.mean())
    assert caught.value.problem == "unreachable_mean"
    assert caught.value.details["lowest"] > 0.5 * x.mean()


def _reached_unmoved(edges, counts, mean):
    """Whether the counts-aware fit meets `mean` with the counts as they are."""
    from zelvane import _native, _smooth

    try:
        _smooth._fit_rows(np.asarray(edges, float), np.asarray(counts, float), 4,
                          _native.AUTO_SMOOTHING, None, mean, 1, False, True, (None, None),
                          "counts")
    except InputError as refusal:
        assert refusal.problem == "unreachable_mean"
        return False
    return True


def _dagum_rows(rng, edges, rows):
    """`rows` histograms of 200 Dagum draws on `edges` whose open top holds some, and
    each sample's own mean."""
    counts, means = [], []
    while len(counts) < rows:
        x = 6e4 * (rng.uniform(size=200) ** (-1 / 0.7) - 1) ** (-1 / 3.0)
        c = np.histogram(x, edges)[0]
        if c[-1]:
            counts.append(c)
            means.append(x.mean())
    return np.array(counts, dtype=float), np.array(means)


def test_a_batch_reaches_each_row_s_own_mean_as_the_row_alone_does():
    # Rows of a batch whose sample's own mean the tail alone does not reach are moved
    # as the same histogram alone is: every row of the batch is to the bit its own fit,
    # the others untouched; a row no move brings within reach is refused by its number.
    edges = np.array([0, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 75, 100, 125, 150, 200,
                      INF]) * 1e3
    counts, means = _dagum_rows(np.random.default_rng(11), edges, 24)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ExtrapolationWarning)
        fit = fit_smooth(edges, counts, smoothing="auto", mean=means)
        moved = 0
        for k in range(len(counts)):
            alone = Density.from_histogram(counts[k], edges, mean=means[k])
            row = fit.density(k)
            assert np.array_equal(row.values, alone.values) and row.right_tail == alone.right_tail
            assert row.mean() == pytest.approx(means[k], rel=1e-9)
            moved += not _reached_unmoved(edges, counts[k], means[k])
        # Without the move these rows were refused, and the whole batch with them.
        assert moved > 0
        with pytest.raises(InputError) as caught:
            fit_smooth(edges, counts, smoothing="auto",
                       mean=np.where(np.arange(len(counts)) == 5, 0.5 * means, means))
    assert caught.value.problem == "unreachable_mean" and caught.value.row == 5
    assert caught.value.details["lowest"] > 0.5 * means[5]


def test_a_dask_batch_moves_the_rows_of_its_chunks_as_numpy_does():
    da = pytest.importorskip("dask.array")
    edges = np.array([0, 10, 20, 30, 50, 75, 100, 150, 200, INF]) * 1e3
    counts, means = _dagum_rows(np.random.default_rng(3), edges, 12)
    assert not all(_reached_unmoved(edges, c, m) for c, m in zip(counts, means))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ExtrapolationWarning)
        eager = fit_smooth(edges, counts, smoothing="auto", mean=means)
        lazy = fit_smooth(edges, da.from_array(counts, chunks=5), smoothing="auto", mean=means)
        assert np.array_equal(np.asarray(lazy.values), eager.values)
        assert np.array_equal(np.asarray(lazy.right_tail.parameter), eager.right_tail.parameter)
        low = np.where(np.arange(12) == 7, 0.5 * means, means)
        with pytest.raises(InputError) as caught:
            fit_smooth(edges, da.from_array(counts, chunks=5), smoothing="auto",
                       mean=low).values.compute()
    assert caught.value.problem == "unreachable_mean" and caught.value.row == 7


def test_exact_masses_refuse_a_mean_out_of_reach_and_say_what_would_reach_it():
    # Exact masses keep every bin's mass: a sample's own mean below what the fit's shape
    # and a tail within its bounds reach is refused, with the range, and for counts the
    # message names the smoothing that lets the masses move; the same counts smoothed
    # reach it. Shares (not counts) get no such advice, which would not apply to them.
    rng = np.random.default_rng(5)
    edges = np.array([0, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 75, 100, 125, 150, 200,
                      INF]) * 1e3
    refused = 0
    for _ in range(40):
        x = 6e4 * (rng.uniform(size=200) ** (-1 / 0.7) - 1) ** (-1 / 3.0)
        counts = np.histogram(x, edges)[0]
        if counts[-1] == 0:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ExtrapolationWarning)
            try:
                Density.from_histogram(counts, edges, mean=x.mean(), smoothing=0)
            except InputError as error:
                refused += 1
                assert error.problem == "unreachable_mean" and error.argument == "mean"
                assert error.details["lowest"] > x.mean()
                assert "smoothing=0" in str(error) and "smoothing='auto'" in str(error)
                d = Density.from_histogram(counts, edges, mean=x.mean())
                assert d.mean() == pytest.approx(x.mean(), rel=1e-7)
                shares = counts / counts.sum()
                with pytest.raises(InputError) as caught:
                    Density.from_masses(edges, shares, mean=x.mean())
                assert "smoothing=0" in str(caught.value)
                assert "smoothing='auto'" not in str(caught.value)
    assert refused > 0
    # A mean within reach is met as before, and the note is only for exact masses.
    with pytest.raises(InputError) as caught:
        Density.from_histogram([30, 50, 15, 5], [0, 10, 20, 40, INF], mean=5.0,
                               smoothing="auto")
    assert "smoothing=0" not in str(caught.value)


def test_a_dask_batch_takes_the_tail_settings_as_numpy_does():
    da = pytest.importorskip("dask.array")
    edges = [0.0, 10.0, 20.0, 40.0, INF]
    masses = np.array([[30.0, 50.0, 15.0, 5.0], [20.0, 40.0, 30.0, 10.0]])
    for settings in (dict(tail="exponential"), dict(tail=3.0), dict(upper=80.0), {}):
        eager = fit_smooth(edges, masses, **settings)
        lazy = fit_smooth(edges, da.from_array(masses, chunks=1), **settings)
        assert np.array_equal(np.asarray(lazy.values), eager.values), settings
        if eager.right_tail is not None:
            assert np.array_equal(np.asarray(lazy.right_tail.parameter),
                                  eager.right_tail.parameter)
            assert lazy.right_tail.chosen == eager.right_tail.chosen
