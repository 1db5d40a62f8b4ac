"""The inequality measures: closed forms (uniform, Pareto, exponential), numerical
integration of the density's pdf, divergence where the tail is too heavy, and float64's
limits, where they stay finite or say they cannot."""

import math

import numpy as np
import pytest
from scipy import integrate

from zelvane import InputError, PiecewiseLinearDensity as Density, Tail
from zelvane import _measures, _tails

EULER = 0.5772156649015329
LEVELS = np.array([0.01, 0.1, 0.4, 0.5, 0.9, 0.99])


def pareto(alpha, joint=1.0):
    """A Pareto law from `joint`: its tail carries all but 1e-100 of the mass."""
    return Density([0.5 * joint, joint], [0.0, 1e-100],
                   right_tail=Tail("pareto", joint, 1.0, alpha))


# ---------------------------------------------------------------- closed forms

def test_uniform_laws():
    d = Density([0.0, 1.0], [1.0, 1.0])
    assert d.theil() == pytest.approx(math.log(2) - 0.5, rel=1e-14)
    assert d.mld() == pytest.approx(1 - math.log(2), rel=1e-14)
    assert d.atkinson(0.5) == pytest.approx(1 / 9, rel=1e-13)
    assert d.atkinson(1.0) == pytest.approx(1 - 2 / math.e, rel=1e-14)
    assert d.atkinson(0) == 0.0
    # E[1/X] diverges where the density is positive at 0.
    assert d.atkinson(2.0) == 1.0
    assert d.palma() == pytest.approx(0.19 / 0.16, rel=1e-14)
    assert d.quantile_ratio() == pytest.approx(9.0, rel=1e-14)
    assert d.quantile_ratio(0.9, 0.5) == pytest.approx(1.8, rel=1e-14)
    assert np.asarray(d.top_share(LEVELS)) == pytest.approx(1 - (1 - LEVELS) ** 2, rel=1e-13)
    # On [a, b] away from 0, through the quadrature of the pieces.
    a, b = 2.0, 5.0
    d = Density([a, b], [1.0, 1.0])
    mean = (a + b) / 2

    def xlogx(x):
        return x * x / 2 * math.log(x) - x * x / 4

    def logx(x):
        return x * math.log(x) - x

    assert d.theil() == pytest.approx((xlogx(b) - xlogx(a)) / (b - a) / mean - math.log(mean),
                                      rel=1e-13)
    assert d.mld() == pytest.approx(math.log(mean) - (logx(b) - logx(a)) / (b - a), rel=1e-13)
    assert d.atkinson(2.0) == pytest.approx(1 - (b - a) / math.log(b / a) / mean, rel=1e-13)


@pytest.mark.parametrize("alpha", [1.3, 2.0, 3.5, 12.0])
def test_pareto_laws(alpha):
    d = pareto(alpha, joint=3.0)
    assert d.theil() == pytest.approx(math.log((alpha - 1) / alpha) + 1 / (alpha - 1),
                                      rel=1e-12)
    assert d.mld() == pytest.approx(math.log(alpha / (alpha - 1)) - 1 / alpha, rel=1e-12)
    for e in (0.5, 1.5, 3.0):
        q = 1 - e
        want = 1 - (alpha / (alpha - q)) ** (1 / q) * (alpha - 1) / alpha
        assert d.atkinson(e) == pytest.approx(want, rel=1e-12), e
    assert d.atkinson(1.0) == pytest.approx(
        1 - math.exp(1 / alpha) * (alpha - 1) / alpha, rel=1e-12)
    assert d.gini() == pytest.approx(1 / (2 * alpha - 1), rel=1e-12)
    top = LEVELS ** (1 - 1 / alpha)
    assert np.asarray(d.top_share(LEVELS)) == pytest.approx(top, rel=1e-11)
    assert d.palma() == pytest.approx(0.1 ** (1 - 1 / alpha) / (1 - 0.6 ** (1 - 1 / alpha)),
                                      rel=1e-11)
    assert d.quantile_ratio(0.9, 0.5) == pytest.approx((0.1 / 0.5) ** (-1 / alpha), rel=1e-13)


@pytest.mark.parametrize("alpha", [0.5, 1.0])
def test_a_tail_without_a_mean_makes_the_measures_infinite(alpha):
    d = pareto(alpha)
    assert d.theil() == math.inf and d.mld() == math.inf and d.palma() == math.inf
    assert d.atkinson(0.5) == 1.0 and d.atkinson(2.0) == 1.0
    assert float(d.top_share(0.01)) == 1.0
    assert d.quantile_ratio() == pytest.approx(9.0 ** (1 / alpha), rel=1e-12)


@pytest.mark.parametrize("beta", [0.25, 1.0, 40.0])
def test_exponential_laws(beta):
    tail = Tail("exponential", 0.0, 1.0, beta)
    # Closed forms from a joint at 0.
    assert _tails.transformed_moment(tail, "log") == pytest.approx(math.log(beta) - EULER)
    assert _tails.transformed_moment(tail, "xlog") == pytest.approx(
        beta * (math.log(beta) + 1 - EULER), rel=1e-14)
    assert _tails.transformed_moment(tail, "power", 0.5) == pytest.approx(
        math.sqrt(beta) * math.gamma(1.5), rel=1e-14)
    assert _tails.transformed_moment(tail, "power", -1.0) == math.inf
    # The quadrature from a joint just above 0 meets them (x^-0.5 moves by ~sqrt(L)).
    near = tail._replace(joint=1e-13 * beta)
    for kind, q in (("log", 0.0), ("xlog", 0.0), ("power", 0.5)):
        assert _tails.transformed_moment(near, kind, q) == pytest.approx(
            _tails.transformed_moment(tail, kind, q), rel=1e-9, abs=1e-12), kind
    # From a joint away from 0, against adaptive quadrature.
    for ratio in (1e-6, 0.01, 1.0, 30.0):
        shifted = tail._replace(joint=ratio * beta)
        for kind, q, g in (("log", 0.0, math.log), ("xlog", 0.0, lambda x: x * math.log(x)),
                           ("power", 0.5, math.sqrt), ("power", -2.5, lambda x: x ** -2.5)):
            # Split at ratio * 10^k so that quad sees the peak near 0 of x^-2.5.
            cuts = [0.0] + [ratio * 10.0 ** k for k in range(8) if ratio * 10.0 ** k < 50]
            want = sum(integrate.quad(lambda t: g(shifted.joint + beta * t) * math.exp(-t),
                                      a, b, epsabs=0, epsrel=1e-13, limit=400)[0]
                       for a, b in zip(cuts, cuts[1:] + [np.inf]))
            assert _tails.transformed_moment(shifted, kind, q) == pytest.approx(
                want, rel=1e-11, abs=1e-14), (ratio, kind, q)
    # The density of an exponential law (all but 1e-100 of it in the tail).
    d = Density([0.0, 1e-13 * beta], [1e-100, 1e-100],
                right_tail=tail._replace(joint=1e-13 * beta))
    assert d.theil() == pytest.approx(1 - EULER, rel=1e-9)
    assert d.mld() == pytest.approx(EULER, rel=1e-9)
    assert d.atkinson(0.5) == pytest.approx(1 - math.pi / 4, rel=1e-9)
    assert d.gini() == pytest.approx(0.5, rel=1e-9)


# ---------------------------------------------------------------- numerical integration

def _quad(d, g):
    """E[g(X)] by adaptive quadrature of the pdf, piece by piece and over the tail."""
    knots = d.knots
    total = 0.0
    for a, b in zip(knots[:-1], knots[1:]):
        total += integrate.quad(lambda x: g(x) * float(d.pdf(x)), a, b, epsabs=0,
                                epsrel=1e-13, limit=200)[0]
    if d.right_tail is not None:
        end = knots[-1]
        total += integrate.quad(lambda x: g(x) * float(d.pdf(x)), end, np.inf, epsabs=0,
                                epsrel=1e-13, limit=400)[0]
    return total


def _random_densities():
    rng = np.random.default_rng(11)
    for k in range(8):
        n = int(rng.integers(2, 7))
        start = 0.0 if k % 2 == 0 else float(rng.uniform(0.01, 3))
        knots = start + np.cumsum(np.concatenate(([0.0], rng.uniform(0.05, 4, n))))
        values = rng.uniform(0, 2, n + 1)
        if k % 4 == 0:
            values[0] = 0.0  # a density that vanishes at 0
        right = None
        if k % 3 == 1:
            right = Tail.joined("pareto", knots[-1], values[-1], float(rng.uniform(1.5, 5)))
        elif k % 3 == 2:
            right = Tail.joined("exponential", knots[-1], values[-1], float(rng.uniform(0.2, 6)))
        yield Density(knots, values, right_tail=right)


@pytest.mark.parametrize("d", list(_random_densities()))
def test_measures_against_numerical_integration(d):
    mean = _quad(d, lambda x: x)
    assert d.mean() == pytest.approx(mean, rel=1e-10)
    xlogx = _quad(d, lambda x: x * math.log(x) if x > 0 else 0.0)
    logx = _quad(d, lambda x: math.log(x))
    assert d.theil() == pytest.approx(xlogx / mean - math.log(mean), rel=1e-8, abs=1e-12)
    assert d.mld() == pytest.approx(math.log(mean) - logx, rel=1e-8, abs=1e-12)
    for e in (0.5, 1.5):
        q = 1 - e
        moment = _quad(d, lambda x: x ** q)
        assert d.atkinson(e) == pytest.approx(1 - moment ** (1 / q) / mean, rel=1e-8,
                                              abs=1e-12), e
    assert d.atkinson(1.0) == pytest.approx(1 - math.exp(logx) / mean, rel=1e-8, abs=1e-12)
    # E[X^-1] and E[X^-2] are finite where the density vanishes at 0 like x, not beyond.
    if d.knots[0] == 0 and d.values[0] == 0:
        assert d.atkinson(2.0) < 1.0 and d.atkinson(3.0) == 1.0
    elif d.knots[0] == 0:
        assert d.atkinson(2.0) == 1.0


def test_mass_below_zero_leaves_the_log_measures_undefined():
    for d in (Density([-1.0, 2.0], [1.0, 1.0]),
              Density([0.0, 2.0], [1.0, 1.0], left_tail=Tail("exponential", 0.0, 0.2, 1.0))):
        assert all(math.isnan(v) for v in (d.theil(), d.mld(), d.atkinson(0.5)))
        assert not math.isnan(d.gini()) or d.mean() <= 0


# ---------------------------------------------------------------- float64's limits

def _exactly_scaled(d, exponent):
    factor = 2.0 ** exponent

    def tail(t):
        if t is None:
            return None
        return t._replace(joint=t.joint * factor,
                          parameter=t.parameter * (factor if t.kind == "exponential" else 1))

    return Density(d.knots * factor, d.values / factor, left_tail=tail(d.left_tail),
                   right_tail=tail(d.right_tail))


HUGE = [
    Density([0.0, 1e307, 1e308, 1.5e308], [1.0, 1.0, 1.0, 1.0]),
    Density([0.0, 1e307, 1e308, 1.5e308], [0.0, 3.0, 1.0, 0.0]),
    Density([0.0, 1.0], [1.0, 1.0], right_tail=Tail("exponential", 1.0, 0.5, 1e308)),
    Density([1e300, 1e308], [1.0, 1.0], right_tail=Tail("pareto", 1e308, 0.3, 2.5)),
]


@pytest.mark.parametrize("d", HUGE)
def test_measures_at_the_end_of_float64_are_those_of_the_scaled_law(d):
    small = _exactly_scaled(d, -100)
    got = np.asarray(d.lorenz(LEVELS))
    assert np.isfinite(got).all() and (got >= 0).all() and (got <= 1).all()
    assert got == pytest.approx(np.asarray(small.lorenz(LEVELS)), rel=1e-12)
    assert np.asarray(d.top_share(LEVELS)) == pytest.approx(
        np.asarray(small.top_share(LEVELS)), rel=1e-12)
    for name in ("gini", "theil", "mld"):
        value = getattr(d, name)()
        assert math.isfinite(value) and value == pytest.approx(getattr(small, name)(),
                                                               rel=1e-10), name
    try:
        palma = small.palma()
    except OverflowError:
        # The bottom 40 % of a tail of scale 1e308 hold a subnormal share.
        with pytest.raises(OverflowError, match="Palma ratio .* beyond float64's range"):
            d.palma()
    else:
        assert d.palma() == pytest.approx(palma, rel=1e-10)
    assert d.atkinson(0.5) == pytest.approx(small.atkinson(0.5), rel=1e-10)


def test_edges_at_the_end_of_float64_through_a_fit():
    edges = [0.0, 1e307, 1e308, 1.5e308]
    d = Density.from_histogram([1, 2, 1], edges, smoothing=0)
    shares = np.asarray(d.lorenz([0.1, 0.5, 0.9]))
    assert np.isfinite(shares).all() and ((shares > 0) & (shares < 1)).all()
    assert 0 < d.gini() < 1


def test_an_exponential_left_tail_of_scale_1e308_gives_no_infinity():
    d = Density([0.0, 1.0], [1.0, 1.0], left_tail=Tail("exponential", 0.0, 1e-300, 1e308))
    shares = np.asarray(d.lorenz(LEVELS))
    assert not np.isinf(shares).any()
    assert not math.isinf(d.gini())


def test_what_cannot_be_scaled_into_range_is_an_overflow_error():
    # Knots 2^-1074 apart near 0 and a reach of 1.5e308: scaled down, the first two meet.
    d = Density([0.0, 5e-324, 1.5e308], [1.0, 1.0, 1.0])
    with pytest.raises(OverflowError, match="float64"):
        d.gini()


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize("call, argument, problem", [
    (lambda d: d.atkinson(True), "epsilon", "type"),
    (lambda d: d.atkinson(-0.5), "epsilon", "out_of_range"),
    (lambda d: d.atkinson(float("nan")), "epsilon", "not_finite"),
    (lambda d: d.atkinson("1"), "epsilon", "type"),
    (lambda d: d.quantile_ratio(1.0), "high", "out_of_range"),
    (lambda d: d.quantile_ratio(0.9, np.bool_(True)), "low", "type"),
    (lambda d: d.top_share(True), "p", "type"),
    (lambda d: d.top_share(np.array([True, False])), "p", "type"),
    (lambda d: d.top_share([0.1j]), "p", "dtype"),
])
def test_bad_arguments_are_refused_by_name(call, argument, problem):
    with pytest.raises(InputError) as caught:
        call(Density([0.0, 1.0], [1.0, 1.0]))
    assert (caught.value.argument, caught.value.problem) == (argument, problem)


def test_top_share_is_one_less_the_lorenz_curve_and_keeps_its_shape():
    d = Density([0.0, 1.0, 4.0], [0.5, 1.0, 0.0], right_tail=Tail("pareto", 4.0, 0.1, 2.2))
    p = np.array([[0.0, 0.05], [0.5, 1.0]])
    got = d.top_share(p)
    assert got.shape == (2, 2)
    assert got.tolist() == (1.0 - np.asarray(d.lorenz(1.0 - p))).tolist()
    assert _measures.palma(d) == pytest.approx(float(d.top_share(0.1)) / float(d.lorenz(0.4)))
