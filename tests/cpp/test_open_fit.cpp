// Open ends and a known mean: each tail carries its bin's mass and joins the
// body continuously (its parameter from the body's end value), the bounds on
// the parameters hold, a known mean is met, an unreachable one reports the
// range that is reachable, closed histograms give the plain fits' bits, the
// mean itself agrees with quadrature, and every status.
#include "kernels/open_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

namespace {

namespace of = zelvane::open_fit;
namespace sf = zelvane::smooth_fit;
namespace cf = zelvane::counts_fit;
using of::status;
using of::tail_kind;
using vec = std::vector<double>;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double untouched = -12345.0;

struct fitted {
    of::outcome o;
    vec knots, values;
};

fitted run(const vec& edges, const vec& masses, std::int64_t refine, of::settings setting) {
    EXPECT_EQ(edges.size(), masses.size() + 1) << "a histogram of this test is malformed";
    const auto bins = static_cast<std::int64_t>(std::min(masses.size(), edges.size() - 1));
    const of::body part = of::finite_part(edges.data(), bins);
    const std::int64_t knots = sf::knot_count(std::max<std::int64_t>(part.bins, 1), refine);
    fitted f{{}, vec(static_cast<std::size_t>(std::max<std::int64_t>(knots, 1))), {}};
    f.values.assign(f.knots.size(), untouched);
    vec scratch(static_cast<std::size_t>(std::max<std::int64_t>(of::scratch_size(bins, refine), 1)));
    if (part.bins >= 1 && knots > 0) sf::write_knots(edges.data() + part.first, part.bins, refine, f.knots.data());
    f.o = of::fit(edges.data(), masses.data(), bins, refine, setting, f.values.data(), scratch.data());
    return f;
}

of::settings exact(double mean = std::numeric_limits<double>::quiet_NaN()) {
    of::settings s;
    s.has_mean = !std::isnan(mean);
    s.mean = mean;
    return s;
}

of::settings counts(double mean = std::numeric_limits<double>::quiet_NaN()) {
    of::settings s = exact(mean);
    s.smoothing = cf::automatic;
    return s;
}

// Income-like brackets: a lognormal's masses, the top one open at 200.
struct brackets {
    vec edges, masses;
};

double lognormal_cdf(double x, double mu, double sigma) {
    return x <= 0.0 ? 0.0 : 0.5 * std::erfc(-(std::log(x) - mu) / (sigma * std::sqrt(2.0)));
}

brackets income(double mu, double sigma, bool open_left = false) {
    brackets b{{0, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 75, 100, 125, 150, 200, inf}, {}};
    if (open_left) b.edges.front() = -inf;
    for (std::size_t i = 0; i + 1 < b.edges.size(); ++i) {
        const double low = std::isinf(b.edges[i]) ? 0.0 : lognormal_cdf(b.edges[i], mu, sigma);
        const double high = std::isinf(b.edges[i + 1]) ? 1.0 : lognormal_cdf(b.edges[i + 1], mu, sigma);
        b.masses.push_back(high - low);
    }
    return b;
}

void expect_joined(const fitted& f, const of::tail_shape& t, double value) {
    ASSERT_NE(t.kind, tail_kind::none);
    // Continuity: the tail's density at the joint is the body's value there.
    const double at_joint = t.kind == tail_kind::pareto ? t.parameter * t.mass / t.joint : t.mass / t.parameter;
    EXPECT_NEAR(at_joint, value, 1e-12 * value);
    (void)f;
}

TEST(OpenFit, TailsCarryTheirMassAndJoinTheBody) {
    for (const double sigma : {0.5, 0.8, 1.1}) {
        const brackets b = income(4.1, sigma, true);
        const fitted f = run(b.edges, b.masses, 4, exact());
        ASSERT_EQ(f.o.code, status::ok) << sigma;
        EXPECT_EQ(f.o.right.kind, tail_kind::pareto);
        EXPECT_EQ(f.o.left.kind, tail_kind::exponential);
        EXPECT_EQ(f.o.right.mass, b.masses.back());
        EXPECT_EQ(f.o.left.mass, b.masses.front());
        EXPECT_EQ(f.o.right.joint, 200.0);
        EXPECT_EQ(f.o.left.joint, 10.0);
        expect_joined(f, f.o.right, f.values.back());
        expect_joined(f, f.o.left, f.values.front());
        EXPECT_GE(f.o.right.parameter, of::lowest_index);
        EXPECT_LE(f.o.right.parameter, of::highest_index);
        // The body still carries every finite bin's mass.
        for (std::size_t i = 1; i + 1 < b.masses.size(); ++i) {
            double mass = 0.0;
            for (std::size_t j = (i - 1) * 4; j < i * 4; ++j) {
                mass += 0.5 * (f.values[j] + f.values[j + 1]) * (f.knots[j + 1] - f.knots[j]);
            }
            EXPECT_NEAR(mass, b.masses[i], 1e-12) << "bin " << i;
        }
    }
    // Below zero a right tail is exponential.
    const fitted below = run({-10, -6, -3, -1, inf}, {0.2, 0.5, 0.2, 0.1}, 3, exact());
    ASSERT_EQ(below.o.code, status::ok);
    EXPECT_EQ(below.o.right.kind, tail_kind::exponential);
    expect_joined(below, below.o.right, below.values.back());
}

// Without a mean each tail's parameter is interpolated from the end bin's
// mass and the open bin's: a Pareto tail continued over [L0, L] would hold
// both in their ratio, as would an exponential one over the end bin. With
// counts the same, from the counts.
TEST(OpenFit, TailsInterpolatedFromTheEndBins) {
    const brackets b = income(4.1, 0.8, true);
    const std::size_t last = b.masses.size() - 1;
    const double alpha = std::log1p(b.masses[last - 1] / b.masses[last]) / std::log(200.0 / 150.0);
    const double beta = 5.0 / std::log1p(b.masses[1] / b.masses[0]);
    for (const of::settings& s : {exact(), counts()}) {
        vec c = b.masses;
        if (s.smoothing != 0.0) {
            for (double& x : c) x = x * 1000.0;
        }
        const fitted f = run(b.edges, c, 4, s);
        ASSERT_EQ(f.o.code, status::ok);
        EXPECT_NEAR(f.o.right.parameter, alpha, 1e-12 * alpha);
        EXPECT_NEAR(f.o.left.parameter, beta, 1e-12 * beta);
        expect_joined(f, f.o.right, f.values.back());
        expect_joined(f, f.o.left, f.values.front());
    }
    // Counts on a body of one bin are met exactly, whatever the smoothing.
    const vec edges{0, 200, inf}, c{728, 72};
    const fitted exactly = run(edges, c, 4, exact());
    for (const double lambda : {cf::automatic, 1e-7, 1e-3}) {
        of::settings s = counts();
        s.smoothing = lambda;
        const fitted f = run(edges, c, 4, s);
        ASSERT_EQ(f.o.code, status::ok) << lambda;
        EXPECT_EQ(f.values, exactly.values);
        EXPECT_EQ(f.o.right.mass, 72.0);
        EXPECT_EQ(f.o.edf, 1.0);
    }
}

// A held parameter is kept as given, the body joining its tail (exact
// masses and counts), and the right tail takes the law asked for; a mean
// still moves the end that meets it, the other keeping what it holds.
TEST(OpenFit, HeldParametersAndKinds) {
    const brackets b = income(4.1, 0.8, true);
    for (const bool with_counts : {false, true}) {
        of::settings s = with_counts ? counts() : exact();
        vec c = b.masses;
        if (with_counts) {
            for (double& x : c) x = std::round(x * 1000.0);
        }
        s.held[0] = 7.5;
        s.held[1] = 2.5;
        const fitted f = run(b.edges, c, 4, s);
        ASSERT_EQ(f.o.code, status::ok) << with_counts;
        EXPECT_EQ(f.o.right.parameter, 2.5);
        EXPECT_EQ(f.o.left.parameter, 7.5);
        expect_joined(f, f.o.right, f.values.back());
        expect_joined(f, f.o.left, f.values.front());
        if (!with_counts) EXPECT_EQ(f.o.right.mass, b.masses.back());
        of::settings e = s;
        e.held[1] = 0.0;
        e.right_kind = tail_kind::exponential;
        const fitted g = run(b.edges, c, 4, e);
        ASSERT_EQ(g.o.code, status::ok);
        EXPECT_EQ(g.o.right.kind, tail_kind::exponential);
        expect_joined(g, g.o.right, g.values.back());
        of::settings m = s;
        m.has_mean = true;
        m.mean = 1.02 * of::mean(f.knots.data(), f.values.data(), static_cast<std::int64_t>(f.knots.size()),
                                 f.o.left, f.o.right);
        const fitted h = run(b.edges, c, 4, m);
        ASSERT_EQ(h.o.code, status::ok);
        EXPECT_EQ(h.o.left.parameter, 7.5);
        EXPECT_NE(h.o.right.parameter, 2.5);
        EXPECT_NEAR(of::mean(h.knots.data(), h.values.data(), static_cast<std::int64_t>(h.knots.size()), h.o.left,
                             h.o.right),
                    m.mean, 1e-9 * m.mean);
    }
    // A Pareto tail beyond an edge that is not above zero, and a held
    // parameter that is not finite, are bad settings.
    of::settings p = exact();
    p.right_kind = tail_kind::pareto;
    EXPECT_EQ(run({-10, -6, -3, -1, inf}, {0.2, 0.5, 0.2, 0.1}, 3, p).o.code, status::bad_setting);
    of::settings q = exact();
    q.held[1] = inf;
    EXPECT_EQ(run({0, 1, 2, inf}, {1, 1, 1}, 3, q).o.code, status::bad_setting);
}

// An end value beyond what the bounds allow is held at the bound: a body that
// falls towards zero at the joint gets the heaviest tail allowed (index 1,
// infinite mean), or where the end bin cannot carry even that, the heaviest
// it can; an empty open bin ends the density at zero there.
TEST(OpenFit, EndsHeldAtTheBoundsOfTheirTails) {
    const fitted bound = run({0, 1, 2, 3, inf}, {0.5, 0.4, 0.05, 0.2}, 4, exact());
    ASSERT_EQ(bound.o.code, status::ok);
    EXPECT_DOUBLE_EQ(bound.o.right.parameter, of::lowest_index);
    expect_joined(bound, bound.o.right, bound.values.back());
    const fitted heavy = run({0, 1, 2, 3, inf}, {0.5, 0.4, 0.0001, 0.2}, 4, exact());
    ASSERT_EQ(heavy.o.code, status::ok);
    EXPECT_LT(heavy.o.right.parameter, of::lowest_index);
    EXPECT_NEAR(heavy.values.back(), 2.0 * 0.0001 / 0.25, 1e-8);
    expect_joined(heavy, heavy.o.right, heavy.values.back());
    EXPECT_EQ(of::mean(heavy.knots.data(), heavy.values.data(), static_cast<std::int64_t>(heavy.knots.size()),
                       heavy.o.left, heavy.o.right),
              inf);
    const fitted empty = run({0, 1, 2, 3, inf}, {0.5, 0.4, 0.1, 0.0}, 4, exact());
    ASSERT_EQ(empty.o.code, status::ok);
    EXPECT_EQ(empty.o.right.kind, tail_kind::none);
    EXPECT_EQ(empty.values.back(), 0.0);
    // On the left, likewise for the longest exponential scale.
    const fitted longest = run({-inf, 0, 1, 2}, {0.3, 0.05, 0.6}, 4, exact());
    ASSERT_EQ(longest.o.code, status::ok);
    EXPECT_DOUBLE_EQ(longest.o.left.parameter, of::longest_scale * 2.0);
    expect_joined(longest, longest.o.left, longest.values.front());
    const fitted wide = run({-inf, 0, 1, 2}, {0.3, 0.0001, 0.6}, 4, exact());
    ASSERT_EQ(wide.o.code, status::ok);
    EXPECT_GT(wide.o.left.parameter, of::longest_scale * 2.0);
    expect_joined(wide, wide.o.left, wide.values.front());
}

TEST(OpenFit, KnownMeanIsMet) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> mu(3.8, 4.4), sigma(0.5, 1.0);
    for (int trial = 0; trial < 40; ++trial) {
        const double m = mu(rng), s = sigma(rng);
        const brackets b = income(m, s, trial % 4 == 0);
        const fitted free_fit = run(b.edges, b.masses, 4, exact());
        ASSERT_EQ(free_fit.o.code, status::ok);
        const double natural = of::mean(free_fit.knots.data(), free_fit.values.data(),
                                        static_cast<std::int64_t>(free_fit.knots.size()), free_fit.o.left,
                                        free_fit.o.right);
        for (const double shift : {0.85, 0.97, 1.0, 1.1, 1.4}) {
            const double target = natural * shift;
            const fitted f = run(b.edges, b.masses, 4, exact(target));
            SCOPED_TRACE(testing::Message() << "trial " << trial << ", mean " << target);
            if (f.o.code == status::unreachable_mean) {
                EXPECT_TRUE(target < f.o.lowest_mean || target > f.o.highest_mean);
                continue;
            }
            ASSERT_EQ(f.o.code, status::ok);
            const double got = of::mean(f.knots.data(), f.values.data(), static_cast<std::int64_t>(f.knots.size()),
                                        f.o.left, f.o.right);
            EXPECT_NEAR(got, target, 1e-9 * target);
            expect_joined(f, f.o.right, f.values.back());
            EXPECT_EQ(f.o.right.mass, b.masses.back());
        }
        // Counts: the fitted tail's mass, the mean of the whole density; a
        // Pareto tail's mean grows without bound, so a mean above the fit's
        // own is always within reach.
        // Every fifth trial cut finely, where the counts fit solves through
        // a system with an unknown per bin.
        vec c = b.masses;
        for (double& x : c) x = std::round(x * 2000.0);
        const std::int64_t refine = trial % 5 == 4 ? 20 : 4;
        const fitted counted_free = run(b.edges, c, refine, counts());
        ASSERT_EQ(counted_free.o.code, status::ok) << "trial " << trial;
        const double above = 1.05 * of::mean(counted_free.knots.data(), counted_free.values.data(),
                                             static_cast<std::int64_t>(counted_free.knots.size()),
                                             counted_free.o.left, counted_free.o.right);
        const fitted counted = run(b.edges, c, refine, counts(above));
        ASSERT_EQ(counted.o.code, status::ok) << "trial " << trial;
        const double got = of::mean(counted.knots.data(), counted.values.data(),
                                    static_cast<std::int64_t>(counted.knots.size()), counted.o.left,
                                    counted.o.right);
        EXPECT_NEAR(got, above, 1e-9 * above);
        expect_joined(counted, counted.o.right, counted.values.back());
    }
}

// Counts with no smooth density behind them choose nearly exact fits, whose
// mean carries rounding well above the search's own tolerance: the mean is
// still met to 1e-9 and reported as met.
TEST(OpenFit, MeanOfNearlyExactCountsFits) {
    std::mt19937_64 rng(401);
    std::uniform_int_distribution<int> bins(6, 30);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int met = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const int m = bins(rng);
        vec edges(static_cast<std::size_t>(m) + 1), c(static_cast<std::size_t>(m));
        double x = 0.0;
        for (double& e : edges) {
            e = x;
            x += 0.1 + 3.0 * u(rng);
        }
        edges.back() = inf;
        for (double& v : c) v = std::floor(400.0 * u(rng)) + 1.0;
        const fitted plain = run(edges, c, 3, counts());
        ASSERT_EQ(plain.o.code, status::ok);
        const double target = 1.05 * of::mean(plain.knots.data(), plain.values.data(),
                                              static_cast<std::int64_t>(plain.knots.size()), plain.o.left,
                                              plain.o.right);
        if (!std::isfinite(target)) continue;  // an index at 1: no mean to start from
        const fitted f = run(edges, c, 3, counts(target));
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        ASSERT_EQ(f.o.code, status::ok);
        EXPECT_NEAR(of::mean(f.knots.data(), f.values.data(), static_cast<std::int64_t>(f.knots.size()), f.o.left,
                             f.o.right),
                    target, 1e-9 * target);
        met += f.o.smoothing < 1e-12 ? 1 : 0;
    }
    EXPECT_GT(met, 0);  // some chose a nearly exact fit
}

TEST(OpenFit, UnreachableMeanReportsTheRange) {
    const brackets b = income(4.1, 0.7);
    const fitted low = run(b.edges, b.masses, 4, exact(20.0));
    ASSERT_EQ(low.o.code, status::unreachable_mean);
    EXPECT_EQ(low.o.highest_mean, inf);
    EXPECT_GT(low.o.lowest_mean, 20.0);
    for (const double v : low.values) EXPECT_EQ(v, untouched);
    // Just inside the range it is met.
    const fitted edge = run(b.edges, b.masses, 4, exact(low.o.lowest_mean * 1.001));
    ASSERT_EQ(edge.o.code, status::ok);
    // A left exponential tail bounds the mean from above and below.
    const fitted left = run({-inf, 0, 1, 2, 3}, {0.1, 0.3, 0.4, 0.2}, 4, exact(-50.0));
    ASSERT_EQ(left.o.code, status::unreachable_mean);
    EXPECT_LT(left.o.lowest_mean, left.o.highest_mean);
    EXPECT_GT(left.o.lowest_mean, -50.0);
    // An end bin too light to carry even the heaviest tail allowed leaves one
    // end value, and one mean: here infinite (an index below 1).
    const fitted light = run({0, 1, 2, 3, inf}, {0.5, 0.4, 0.0001, 0.2}, 4, exact(2.0));
    ASSERT_EQ(light.o.code, status::unreachable_mean);
    EXPECT_EQ(light.o.lowest_mean, inf);
    EXPECT_EQ(light.o.highest_mean, inf);
}

// With two open ends and a mean, the end that does not meet it keeps the
// parameter it has without the mean.
TEST(OpenFit, TheOtherEndKeepsItsTail) {
    const brackets b = income(4.1, 0.8, true);
    const fitted plain = run(b.edges, b.masses, 4, exact());
    ASSERT_EQ(plain.o.code, status::ok);
    const double natural = of::mean(plain.knots.data(), plain.values.data(),
                                    static_cast<std::int64_t>(plain.knots.size()), plain.o.left, plain.o.right);
    const fitted meant = run(b.edges, b.masses, 4, exact(natural * 1.1));
    ASSERT_EQ(meant.o.code, status::ok);
    EXPECT_EQ(meant.o.left.parameter, plain.o.left.parameter);
    EXPECT_NE(meant.o.right.parameter, plain.o.right.parameter);
}

// In counts mode a free tail's mass sits where the likelihood puts it: its
// share over the total's multiplier, q_T / mu, mu = 1 - lambda W^5 C(f). A
// Pareto end is free where its end bin does not start above zero (nothing to
// interpolate from).
TEST(OpenFit, CountsTailMassIsOptimal) {
    const vec edges{-100, -50, 200, inf}, c{100, 628, 72};
    int inside = 0;
    const double all = std::accumulate(c.begin(), c.end(), 0.0);
    for (const auto& [lambda, refine] : {std::pair{1e-7, 8}, {1e-5, 8}, {1e-3, 8}, {1e-7, 24}, {1e-5, 24}, {1e-3, 24}}) {
        of::settings s = counts();
        s.smoothing = lambda;
        const fitted f = run(edges, c, refine, s);
        ASSERT_EQ(f.o.code, status::ok) << lambda << ", refine " << refine;
        EXPECT_GT(f.o.smoothing, 0.0);
        if (f.o.right.parameter >= of::highest_index || f.o.right.parameter <= of::lowest_index) continue;
        ++inside;
        double curvature = 0.0;
        for (std::size_t t = 1; t + 1 < f.knots.size(); ++t) {
            const double h0 = f.knots[t] - f.knots[t - 1], h1 = f.knots[t + 1] - f.knots[t];
            const double bend = (f.values[t + 1] - f.values[t]) / h1 - (f.values[t] - f.values[t - 1]) / h0;
            curvature += 2.0 / (h0 + h1) * bend * bend / (all * all);
        }
        const double mu = 1.0 - lambda * std::pow(300.0, 5.0) * curvature;
        EXPECT_NEAR(f.o.right.mass / all * mu, c.back() / all, 1e-7) << lambda << ", refine " << refine;
    }
    EXPECT_GE(inside, 4);
}

TEST(OpenFit, ClosedHistogramsAreThePlainFits) {
    const vec edges{0, 1, 2.5, 3, 5}, masses{2, 5, 1, 3};
    const fitted f = run(edges, masses, 4, exact());
    vec values(f.values.size()), scratch(static_cast<std::size_t>(sf::scratch_size(4, 4)));
    ASSERT_EQ(sf::fit(edges.data(), masses.data(), 4, 4, values.data(), scratch.data()).code, status::ok);
    EXPECT_EQ(f.values, values);
    const fitted g = run(edges, masses, 4, counts());
    vec scratch2(static_cast<std::size_t>(cf::scratch_size(4, 4)));
    ASSERT_EQ(cf::fit(edges.data(), masses.data(), 4, 4, {}, values.data(), scratch2.data()).code, status::ok);
    EXPECT_EQ(g.values, values);
}

// The mean of body and tails against quadrature: Simpson on the body, and on
// the tails a fine geometric grid far out, with the rest in closed form.
TEST(OpenFit, MeanAgreesWithQuadrature) {
    const vec knots{-1.0, 0.0, 0.5, 2.0, 4.0}, values{0.3, 0.5, 0.2, 0.4, 0.1};
    const of::tail_shape left{tail_kind::exponential, -1.0, 0.15, 0.3 * 0.0 + 0.15 / 0.3};
    const of::tail_shape right{tail_kind::pareto, 4.0, 0.2, 0.1 * 4.0 / 0.2};
    double moment = 0.0, mass = 0.0;
    for (std::size_t j = 0; j + 1 < knots.size(); ++j) {
        const double h = knots[j + 1] - knots[j], xm = 0.5 * (knots[j] + knots[j + 1]);
        const double fm = 0.5 * (values[j] + values[j + 1]);
        moment += h / 6.0 * (knots[j] * values[j] + 4.0 * xm * fm + knots[j + 1] * values[j + 1]);
        mass += h * fm;
    }
    // Left: f = f0 e^{(x + 1) / beta}; right: f = f0 (x / 4)^-(alpha + 1), alpha = 2.
    const double beta = left.parameter, alpha = right.parameter;
    for (int k = 0; k < 200000; ++k) {
        const double x0 = -1.0 - 60.0 * beta * k / 200000.0, x1 = -1.0 - 60.0 * beta * (k + 1) / 200000.0;
        auto f = [&](double x) { return 0.3 * std::exp((x + 1.0) / beta); };
        moment += (x0 - x1) / 6.0 * (x0 * f(x0) + 4.0 * 0.5 * (x0 + x1) * f(0.5 * (x0 + x1)) + x1 * f(x1));
        mass += (x0 - x1) / 6.0 * (f(x0) + 4.0 * f(0.5 * (x0 + x1)) + f(x1));
    }
    const double far = 4.0 * std::pow(10.0, 6);
    for (int k = 0; k < 200000; ++k) {
        const double x0 = 4.0 * std::pow(far / 4.0, k / 200000.0), x1 = 4.0 * std::pow(far / 4.0, (k + 1) / 200000.0);
        auto f = [&](double x) { return 0.1 * std::pow(x / 4.0, -(alpha + 1.0)); };
        const double xm = 0.5 * (x0 + x1);
        moment += (x1 - x0) / 6.0 * (x0 * f(x0) + 4.0 * xm * f(xm) + x1 * f(x1));
        mass += (x1 - x0) / 6.0 * (f(x0) + 4.0 * f(xm) + f(x1));
    }
    // Beyond `far`: the Pareto tail's remaining moment and mass in closed form.
    moment += 0.1 * 4.0 * 4.0 / (alpha - 1.0) * std::pow(far / 4.0, 1.0 - alpha);
    mass += 0.1 * 4.0 / alpha * std::pow(far / 4.0, -alpha);
    EXPECT_NEAR(of::mean(knots.data(), values.data(), 5, left, right), moment / mass, 1e-8);
}

TEST(OpenFit, Statuses) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(run({-inf, inf}, {1.0}, 4, exact()).o.code, status::bad_size);
    EXPECT_EQ(run({0, inf}, {1.0}, 4, exact()).o.code, status::bad_size);
    EXPECT_EQ(run({0, 1, inf}, {1.0, 1.0}, 1, exact()).o.code, status::bad_setting);
    EXPECT_EQ(run({0, 1, 2}, {1.0, 1.0}, 4, exact(1.0)).o.code, status::bad_setting);
    EXPECT_EQ(run({0, 1, inf}, {1.0, 0.0}, 4, exact(1.0)).o.code, status::bad_setting);
    EXPECT_EQ(run({0, 1, inf}, {1.0, 1.0}, 4, exact(nan)).o.code, status::ok);  // NaN: no mean
    EXPECT_EQ(run({0, 1, inf}, {1.0, 1.0}, 4, [] {
                  of::settings s = exact(1.0);
                  s.mean = inf;
                  return s;
              }())
                  .o.code,
              status::bad_setting);
    const fitted negative = run({0, 1, inf}, {1.0, -1.0}, 4, exact());
    EXPECT_EQ(negative.o.code, status::bad_mass);
    EXPECT_EQ(negative.o.index, 1);
    const fitted inner = run({0, 1, 2, 3, inf}, {1.0, -1.0, 1.0, 1.0}, 4, exact());
    EXPECT_EQ(inner.o.code, status::bad_mass);
    EXPECT_EQ(inner.o.index, 1);
    const fitted interior_infinity = run({-inf, 0, inf, 3, inf}, {1, 1, 1, 1}, 4, exact());
    EXPECT_EQ(interior_infinity.o.code, status::bad_edge);
    // Counts whose tails overflow the total with the bins.
    EXPECT_EQ(run({0, 1, 2, inf}, {8e307, 8e307, 1.7e308}, 4, counts()).o.code, status::out_of_range);
}

// Exact masses cannot put mass in a tail joined continuously to an empty bin
// (it would start at zero); counts can, the fit giving that bin some mass.
// Counts in fewer than two bins, tails included, are met exactly.
TEST(OpenFit, EmptyBinsBesideTails) {
    for (const auto& [edges, masses, empty] :
         {std::tuple{vec{0, 1, 2, inf}, vec{5, 0, 3}, std::int64_t{1}},
          std::tuple{vec{-inf, 0, 1, 2}, vec{3, 0, 5}, std::int64_t{1}},
          std::tuple{vec{-inf, 0, 1, 2, inf}, vec{2, 4, 0, 5}, std::int64_t{2}},
          std::tuple{vec{0, 1, 2, inf}, vec{0, 0, 5}, std::int64_t{1}}}) {
        const fitted f = run(edges, masses, 4, exact());
        EXPECT_EQ(f.o.code, status::empty_beside_tail);
        EXPECT_EQ(f.o.index, empty);
        for (const double v : f.values) EXPECT_EQ(v, untouched);
    }
    const fitted counted = run({0, 1, 2, inf}, {5, 0, 3}, 4, counts());
    ASSERT_EQ(counted.o.code, status::ok);
    EXPECT_GT(counted.values.back(), 0.0);  // the empty bin rises to the tail
    expect_joined(counted, counted.o.right, counted.values.back());
    for (const vec& few : {vec{5, 0, 0}, vec{0, 5, 0}}) {
        const fitted f = run({0, 1, 2, inf}, few, 4, counts());
        ASSERT_EQ(f.o.code, status::ok);
        EXPECT_EQ(f.values, run({0, 1, 2, inf}, few, 4, exact()).values);
        EXPECT_EQ(f.o.edf, 0.0);
    }
    EXPECT_EQ(run({0, 1, 2, inf}, {0, 0, 5}, 4, counts()).o.code, status::empty_beside_tail);
}

// With exact masses the fit reports the edf of the masses met exactly: the
// occupied bins, tails included, less one.
TEST(OpenFit, ExactMassesReportTheirDegreesOfFreedom) {
    EXPECT_EQ(run({0, 1, 2, 3, inf}, {1, 0, 2, 3}, 4, exact()).o.edf, 2.0);
    EXPECT_EQ(run({0, 1, 2, 3}, {1, 0, 2}, 4, exact()).o.edf, 1.0);
}

}  // namespace

// The caller's stop flag reaches every fit: raised, an open histogram (exact
// masses with a mean, counts with and without one) and a closed one stop as
// interrupted with nothing written; lowered, the fits are those without a flag.
TEST(OpenFit, StopFlag) {
    const vec edges{0, 1, 2, 4, inf}, masses{3, 5, 2, 1};
    for (of::settings setting : {exact(3.0), counts(), counts(3.0)}) {
        std::atomic<bool> stop{true};
        setting.stop = &stop;
        const fitted stopped = run(edges, masses, 4, setting);
        EXPECT_EQ(stopped.o.code, status::interrupted);
        EXPECT_TRUE(std::ranges::all_of(stopped.values, [](double v) { return v == untouched; }));
        of::settings plain_setting = setting;
        plain_setting.has_mean = false;  // a mean needs an open end
        EXPECT_EQ(run({0, 1, 2, 4}, {3, 5, 2}, 4, plain_setting).o.code, status::interrupted);
        stop = false;
        const fitted going = run(edges, masses, 4, setting);
        setting.stop = nullptr;
        const fitted plain = run(edges, masses, 4, setting);
        ASSERT_EQ(going.o.code, status::ok);
        EXPECT_EQ(going.values, plain.values);
    }
}
