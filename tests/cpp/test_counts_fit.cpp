// The counts-aware fit: optimality of the penalised likelihood (stationarity,
// complementarity, total mass), the effective degrees of freedom against a
// dense computation, the automatic choice against the grid it searches, the
// limit of many counts (the exact-mass fit), invariance to the units of x and
// to the scale of the counts, the degenerate histograms and every status.
// Everything here is computed from the definitions in x's own units, not from
// the kernel's scaled ones.
#include "kernels/counts_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "kernels/counts_search.hpp"
#include "kernels/smooth_fit.hpp"

namespace {

namespace cf = zelvane::counts_fit;
namespace sf = zelvane::smooth_fit;
using cf::status;
using vec = std::vector<double>;
using dense = std::vector<vec>;
constexpr double untouched = -12345.0;

struct fitted {
    cf::outcome o;
    vec knots, values;
};

fitted run(const vec& edges, const vec& counts, std::int64_t refine, cf::settings setting = {}) {
    const auto bins = static_cast<std::int64_t>(counts.size());
    const std::int64_t knots = sf::knot_count(bins, refine);
    fitted f{{}, vec(static_cast<std::size_t>(std::max<std::int64_t>(knots, 0))), {}};
    f.values.assign(f.knots.size(), untouched);
    vec scratch(static_cast<std::size_t>(std::max<std::int64_t>(cf::scratch_size(bins, refine), 0)),
                std::numeric_limits<double>::quiet_NaN());
    if (knots > 0) sf::write_knots(edges.data(), bins, refine, f.knots.data());
    f.o = cf::fit(edges.data(), counts.data(), bins, refine, setting, f.values.data(), scratch.data());
    return f;
}

cf::settings with_smoothing(double lambda) { return {lambda, 0.0, 2.0}; }

// The pieces of the objective in x's units, for the density f = values / total:
//     J(f) = sum_i q_i log p_i - (lambda / 2) W^5 C(f)
// with trapezoid weights A (bins x knots), C's matrix G, and the total's
// weights c = column sums of A.
struct problem {
    vec q, c;
    dense a, g;
    double scale;  // W^5
    // G's terms: at each inner knot t, w (d . f[t - 1 ... t + 1])^2.
    vec bend_weight;
    std::vector<std::array<double, 3>> bend;
};

problem definitions(const fitted& f, const vec& counts, std::int64_t refine) {
    const std::size_t n = f.knots.size(), m = counts.size(), r = static_cast<std::size_t>(refine);
    problem p{vec(m), vec(n, 0.0), dense(m, vec(n, 0.0)), dense(n, vec(n, 0.0)), 0.0, {}, {}};
    const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
    for (std::size_t i = 0; i < m; ++i) p.q[i] = counts[i] / total;
    for (std::size_t j = 0; j + 1 < n; ++j) {
        const double h = f.knots[j + 1] - f.knots[j];
        p.a[j / r][j] += 0.5 * h;
        p.a[j / r][j + 1] += 0.5 * h;
    }
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) p.c[j] += p.a[i][j];
    }
    for (std::size_t t = 1; t + 1 < n; ++t) {
        const double h0 = f.knots[t] - f.knots[t - 1], h1 = f.knots[t + 1] - f.knots[t];
        const double w = 2.0 / (h0 + h1), d[3] = {1.0 / h0, -(1.0 / h0 + 1.0 / h1), 1.0 / h1};
        for (std::size_t x = 0; x < 3; ++x) {
            for (std::size_t y = 0; y < 3; ++y) p.g[t - 1 + x][t - 1 + y] += w * d[x] * d[y];
        }
        p.bend_weight.push_back(w);
        p.bend.push_back({d[0], d[1], d[2]});
    }
    p.scale = std::pow(f.knots.back() - f.knots.front(), 5.0);
    return p;
}

vec density(const fitted& f, const vec& counts) {
    const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
    vec u = f.values;
    for (double& x : u) x /= total;
    return u;
}

vec times(const dense& m, const vec& x) {
    vec y(m.size(), 0.0);
    for (std::size_t i = 0; i < m.size(); ++i) {
        for (std::size_t j = 0; j < x.size(); ++j) y[i] += m[i][j] * x[j];
    }
    return y;
}

// KKT of the maximisation at f: total mass 1; on every positive value
// grad J - mu c = 0; on every zero value grad J - mu c <= 0. mu follows from
// homogeneity: f . grad J = 1 - lambda W^5 f'Gf, and c . f = 1.
void expect_optimal(const fitted& f, const vec& counts, std::int64_t refine, double lambda, double tolerance = 1e-7) {
    ASSERT_EQ(f.o.code, status::ok);
    const problem p = definitions(f, counts, refine);
    const vec u = density(f, counts);
    const vec mass = times(p.a, u);
    // G u and u'Gu term by term (G's entries, of 1 / h^3 at the narrowest
    // pieces, would cancel in the products); the magnitudes of the terms of
    // G u: where the density is nearly linear they cancel, and their size is
    // the scale of the rounding.
    vec gu(u.size(), 0.0), gu_size(u.size(), 0.0);
    double total = 0.0, curvature = 0.0;
    for (std::size_t t = 1; t + 1 < u.size(); ++t) {
        const std::array<double, 3>& d = p.bend[t - 1];
        const double w = p.bend_weight[t - 1];
        const double bend = d[0] * u[t - 1] + d[1] * u[t] + d[2] * u[t + 1];
        const double size = std::fabs(d[0] * u[t - 1]) + std::fabs(d[1] * u[t]) + std::fabs(d[2] * u[t + 1]);
        curvature += w * bend * bend;
        for (std::size_t x = 0; x < 3; ++x) {
            gu[t - 1 + x] += w * d[x] * bend;
            gu_size[t - 1 + x] += w * std::fabs(d[x]) * size;
        }
    }
    for (std::size_t j = 0; j < u.size(); ++j) {
        total += p.c[j] * u[j];
        EXPECT_GE(u[j], 0.0);
    }
    EXPECT_NEAR(total, 1.0, 1e-13);
    const double mu = 1.0 - lambda * p.scale * curvature;
    for (std::size_t j = 0; j < u.size(); ++j) {
        double gradient = -lambda * p.scale * gu[j], size = lambda * p.scale * gu_size[j] + std::fabs(mu * p.c[j]);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (p.q[i] > 0.0 && p.a[i][j] != 0.0) {
                gradient += p.q[i] / mass[i] * p.a[i][j];
                size += p.q[i] / mass[i] * p.a[i][j];
            }
        }
        // c_j, the size of a data term where the density fits the shares, keeps
        // the yardstick honest where the total's multiplier is near zero.
        size += p.c[j];
        const double residual = gradient - mu * p.c[j];
        if (u[j] > 0.0) {
            EXPECT_LE(std::fabs(residual), tolerance * size) << "knot " << j << " of " << u.size();
        } else {
            EXPECT_LE(residual, tolerance * size) << "held knot " << j << " of " << u.size();
        }
    }
}

// The trace of the hat matrix from dense matrices: H on the positive values,
// K = H^-1 - H^-1 c c' H^-1 / (c' H^-1 c), edf = tr(K A'DA), all in x's units.
double dense_edf(const fitted& f, const vec& counts, std::int64_t refine, double lambda) {
    const problem p = definitions(f, counts, refine);
    const vec u = density(f, counts);
    const vec mass = times(p.a, u);
    std::vector<std::size_t> free;
    for (std::size_t j = 0; j < u.size(); ++j) {
        if (u[j] > 0.0) free.push_back(j);
    }
    const std::size_t k = free.size();
    dense h(k, vec(k, 0.0)), data(k, vec(k, 0.0));
    for (std::size_t x = 0; x < k; ++x) {
        for (std::size_t y = 0; y < k; ++y) {
            double s = 0.0;
            for (std::size_t i = 0; i < counts.size(); ++i) {
                if (p.q[i] > 0.0) s += p.q[i] / (mass[i] * mass[i]) * p.a[i][free[x]] * p.a[i][free[y]];
            }
            data[x][y] = s;
            h[x][y] = s + lambda * p.scale * p.g[free[x]][free[y]];
        }
    }
    // Gauss-Jordan on [H | I].
    dense inv(k, vec(k, 0.0));
    for (std::size_t i = 0; i < k; ++i) inv[i][i] = 1.0;
    for (std::size_t col = 0; col < k; ++col) {
        const double pivot = h[col][col];
        for (std::size_t j = 0; j < k; ++j) {
            h[col][j] /= pivot;
            inv[col][j] /= pivot;
        }
        for (std::size_t i = 0; i < k; ++i) {
            if (i == col) continue;
            const double l = h[i][col];
            for (std::size_t j = 0; j < k; ++j) {
                h[i][j] -= l * h[col][j];
                inv[i][j] -= l * inv[col][j];
            }
        }
    }
    vec c(k), hc(k, 0.0);
    for (std::size_t x = 0; x < k; ++x) c[x] = p.c[free[x]];
    double chc = 0.0;
    for (std::size_t x = 0; x < k; ++x) {
        for (std::size_t y = 0; y < k; ++y) hc[x] += inv[x][y] * c[y];
        chc += c[x] * hc[x];
    }
    double edf = 0.0;
    for (std::size_t x = 0; x < k; ++x) {
        for (std::size_t y = 0; y < k; ++y) {
            edf += (inv[x][y] - hc[x] * hc[y] / chc) * data[y][x];
        }
    }
    return edf;
}

struct random_histogram {
    vec edges, counts;
};

random_histogram draw(std::mt19937_64& rng, std::int64_t bins, double scale) {
    std::uniform_real_distribution<double> place(0.0, 10.0), rate(0.0, scale);
    random_histogram h{vec(static_cast<std::size_t>(bins + 1)), vec(static_cast<std::size_t>(bins))};
    for (double& e : h.edges) e = place(rng);
    std::sort(h.edges.begin(), h.edges.end());
    for (double& c : h.counts) c = std::floor(rate(rng));
    if (std::count_if(h.counts.begin(), h.counts.end(), [](double c) { return c > 0.0; }) < 2) {
        h.counts.front() += 3.0;
        h.counts.back() += 5.0;
    }
    return h;
}

// Random histograms of [2, most_bins] bins cut into [low, high] pieces, each
// fitted for a random lambda: optimal, with the edf of the dense computation
// (for fits of at most edf_knots knots and lambda at most edf_lambda).
void optimal_for_fixed_smoothing(std::uint64_t seed, int trials, std::int64_t most_bins, std::int64_t low,
                                 std::int64_t high, std::size_t edf_knots, double edf_lambda) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::int64_t> bins(2, most_bins), refine(low, high);
    std::uniform_real_distribution<double> decade(-10.0, -1.0);
    for (int trial = 0; trial < trials; ++trial) {
        const std::int64_t m = bins(rng), r = refine(rng);
        const random_histogram h = draw(rng, m, trial % 3 == 0 ? 4.0 : 60.0);
        const double lambda = std::pow(10.0, decade(rng));
        const fitted f = run(h.edges, h.counts, r, with_smoothing(lambda));
        SCOPED_TRACE(testing::Message() << "trial " << trial << ": " << m << " bins, refine " << r << ", lambda "
                                        << lambda);
        expect_optimal(f, h.counts, r, lambda);
        EXPECT_EQ(f.o.smoothing, lambda);
        // Beyond edf_lambda (far smoother than any choice of the criterion) H
        // grows too ill-conditioned for either computation to agree to 1e-6.
        if (f.knots.size() <= edf_knots && lambda <= edf_lambda) {
            const double expected = dense_edf(f, h.counts, r, lambda);
            EXPECT_NEAR(f.o.edf, expected, 1e-6 * expected);
        }
        EXPECT_GE(f.o.edf, 0.0);
        EXPECT_LE(f.o.edf, static_cast<double>(m) - 1.0 + 1e-9);
    }
}

TEST(CountsFit, OptimalForFixedSmoothing) { optimal_for_fixed_smoothing(1208, 120, 14, 1, 6, 60, 1e-3); }

// From refine 16 on, H is factorised through a system with an unknown per bin,
// and the edf come from its inverse: the same optimality and the same edf. H's
// condition grows with refine^4, so the dense computation, which the edf are
// compared with, is itself less accurate here: the tolerance is wider.
TEST(CountsFit, OptimalForFixedSmoothingFinelyCut) {
    optimal_for_fixed_smoothing(1209, 40, 8, 16, 21, 180, 1e-4);
}

// Started from a nearby problem's optimum (here another lambda's, knots at
// zero included), the fit reaches the same optimum, in fewer steps overall.
TEST(CountsFit, StartFromAnEarlierFit) {
    std::mt19937_64 rng(4711);
    std::uniform_int_distribution<std::int64_t> bins(2, 14), refine(2, 6);
    std::uniform_real_distribution<double> decade(-9.0, -3.0);
    std::int64_t cold_solves = 0, warm_solves = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const std::int64_t m = bins(rng), r = refine(rng);
        const random_histogram h = draw(rng, m, trial % 3 == 0 ? 4.0 : 60.0);
        const double lambda = std::pow(10.0, decade(rng));
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", lambda " << lambda);
        const fitted cold = run(h.edges, h.counts, r, with_smoothing(lambda));
        const fitted near = run(h.edges, h.counts, r, with_smoothing(lambda * 1.3));
        ASSERT_EQ(cold.o.code, status::ok);
        ASSERT_EQ(near.o.code, status::ok);
        cf::settings from_near = with_smoothing(lambda);
        from_near.start = near.values.data();
        const fitted warm = run(h.edges, h.counts, r, from_near);
        expect_optimal(warm, h.counts, r, lambda);
        const double top = *std::max_element(cold.values.begin(), cold.values.end());
        for (std::size_t j = 0; j < cold.values.size(); ++j) {
            EXPECT_NEAR(warm.values[j], cold.values[j], 1e-9 * top) << "knot " << j;
        }
        cold_solves += cold.o.solves;
        warm_solves += warm.o.solves;
    }
    EXPECT_LT(warm_solves, cold_solves);
}

// The automatic choice is the best of the decades searched: no decade of the
// grid, nor a half-decade beside the choice, has a criterion lower by more
// than the price of one degree of freedom (the edf jump where a value reaches
// or leaves zero, so the criterion is that rugged near its minimum); and the
// fit returned is optimal for the lambda it reports.
TEST(CountsFit, AutomaticChoiceMinimisesTheCriterion) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 40; ++trial) {
        const random_histogram h = draw(rng, 6 + trial % 11, trial % 2 == 0 ? 30.0 : 400.0);
        // Every fourth histogram cut finely enough for the system with an unknown per bin.
        const std::int64_t refine = trial % 4 == 3 ? 16 : 4;
        for (const double complexity : {2.0, 5.0}) {
            const fitted f = run(h.edges, h.counts, refine, {cf::automatic, 0.0, complexity});
            ASSERT_EQ(f.o.code, status::ok);
            SCOPED_TRACE(testing::Message() << "trial " << trial << ", complexity " << complexity);
            if (f.o.smoothing == 0.0) continue;  // the exact-mass fit won; see ManyCounts
            expect_optimal(f, h.counts, refine, f.o.smoothing);
            const double chosen = f.o.deviance + complexity * f.o.edf;
            const double at = std::log10(f.o.smoothing);
            vec decades{at - 0.5, at + 0.5};
            for (double d = -12.0; d <= 2.0; d += 1.0) decades.push_back(d);
            for (const double d : decades) {
                const fitted other = run(h.edges, h.counts, refine, {std::pow(10.0, d), 0.0, complexity});
                ASSERT_EQ(other.o.code, status::ok);
                EXPECT_GE(other.o.deviance + complexity * other.o.edf, chosen - complexity)
                    << "decade " << d << " against the chosen " << at;
            }
        }
    }
}

TEST(CountsFit, SmoothingZeroAndSingleOccupiedBinAreTheExactMassFit) {
    const vec edges{0.0, 1.0, 3.0, 3.5, 6.0};
    for (const vec& counts : {vec{3, 9, 4, 1}, vec{0, 7, 0, 0}, vec{0, 0, 0, 2.5}}) {
        const bool one = std::count(counts.begin(), counts.end(), 0.0) == 3;
        for (const double smoothing : one ? vec{cf::automatic, 1e-4, 0.0} : vec{0.0}) {
            const fitted f = run(edges, counts, 3, with_smoothing(smoothing));
            ASSERT_EQ(f.o.code, status::ok);
            EXPECT_EQ(f.o.smoothing, 0.0);
            vec values(f.values.size()), scratch(static_cast<std::size_t>(sf::scratch_size(4, 3)));
            ASSERT_EQ(sf::fit(edges.data(), counts.data(), 4, 3, values.data(), scratch.data()).code, status::ok);
            EXPECT_EQ(f.values, values);
        }
    }
    // One bin: the flat density, whatever the smoothing.
    const fitted flat = run({2.0, 6.0}, {12.0}, 4);
    ASSERT_EQ(flat.o.code, status::ok);
    for (const double v : flat.values) EXPECT_DOUBLE_EQ(v, 3.0);
}

// As the counts grow the chosen lambda falls and the fit approaches the
// exact-mass fit of the same shares, which wins outright in the end.
TEST(CountsFit, ManyCountsTendToTheExactMassFit) {
    const vec edges{0.0, 0.4, 1.0, 1.3, 2.5, 3.0, 4.2, 6.0};
    const vec shares{0.05, 0.17, 0.2, 0.28, 0.1, 0.15, 0.05};
    vec exact(sf::knot_count(7, 4)), scratch(static_cast<std::size_t>(sf::scratch_size(7, 4)));
    ASSERT_EQ(sf::fit(edges.data(), shares.data(), 7, 4, exact.data(), scratch.data()).code, status::ok);
    double previous_error = std::numeric_limits<double>::infinity(), previous_lambda = previous_error;
    for (const double n : {1e2, 1e3, 1e4, 1e5, 1e6, 1e7}) {
        vec counts = shares;
        for (double& c : counts) c = std::round(c * n);
        const fitted f = run(edges, counts, 4);
        ASSERT_EQ(f.o.code, status::ok);
        const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
        double error = 0.0;
        for (std::size_t j = 0; j < exact.size(); ++j) error = std::max(error, std::fabs(f.values[j] / total - exact[j]));
        EXPECT_LE(f.o.smoothing, previous_lambda) << n << " counts";
        EXPECT_TRUE(error < previous_error || error < 1e-12) << n << " counts: " << error;
        previous_error = error;
        previous_lambda = f.o.smoothing;
    }
    EXPECT_LT(previous_error, 1e-3);
    vec counts = shares;
    for (double& c : counts) c *= 1e15;
    const fitted f = run(edges, counts, 4);
    ASSERT_EQ(f.o.code, status::ok);
    EXPECT_EQ(f.o.smoothing, 0.0);
    EXPECT_EQ(f.o.edf, 6.0);
}

// The same data in other units of x, or with every count scaled as weights
// (with the sample size kept), gives the same choice of lambda and the same
// density up to the change of units.
TEST(CountsFit, FreeOfUnitsAndOfTheScaleOfTheCounts) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 20; ++trial) {
        const random_histogram h = draw(rng, 5 + trial % 9, 80.0);
        const double sample = std::accumulate(h.counts.begin(), h.counts.end(), 0.0);
        const fitted base = run(h.edges, h.counts, 4, {cf::automatic, sample, 2.0});
        ASSERT_EQ(base.o.code, status::ok);
        vec moved = h.edges, weights = h.counts;
        for (double& e : moved) e = 1000.0 * e - 25.0;
        for (double& c : weights) c *= 0.37;
        const fitted in_units = run(moved, h.counts, 4, {cf::automatic, sample, 2.0});
        const fitted weighted = run(h.edges, weights, 4, {cf::automatic, sample, 2.0});
        ASSERT_EQ(in_units.o.code, status::ok);
        ASSERT_EQ(weighted.o.code, status::ok);
        EXPECT_NEAR(in_units.o.smoothing, base.o.smoothing, 1e-6 * base.o.smoothing);
        EXPECT_NEAR(weighted.o.smoothing, base.o.smoothing, 1e-6 * base.o.smoothing);
        EXPECT_NEAR(in_units.o.edf, base.o.edf, 1e-4);
        EXPECT_NEAR(weighted.o.edf, base.o.edf, 1e-4);
        double top = 0.0;
        for (const double v : base.values) top = std::max(top, v);
        for (std::size_t j = 0; j < base.values.size(); ++j) {
            EXPECT_NEAR(in_units.values[j] * 1000.0, base.values[j], 1e-6 * top);
            EXPECT_NEAR(weighted.values[j] / 0.37, base.values[j], 1e-6 * top);
        }
    }
}

TEST(CountsFit, SmoothingSpreadsIntoEmptyBinsAndTendsToALine) {
    const vec edges{0, 1, 2, 3, 4, 5, 6, 7, 8};
    const vec counts{5, 20, 40, 0, 0, 35, 15, 5};
    // A little smoothing leaves the middle of the gap empty, more fills it.
    const fitted little = run(edges, counts, 4, with_smoothing(1e-6));
    const fitted more = run(edges, counts, 4, with_smoothing(1e-4));
    ASSERT_EQ(little.o.code, status::ok);
    ASSERT_EQ(more.o.code, status::ok);
    EXPECT_EQ(little.values[16], 0.0);
    for (std::size_t j = 12; j <= 20; ++j) EXPECT_GT(more.values[j], 0.0) << "knot " << j << " in an empty bin";
    double previous = std::numeric_limits<double>::infinity();
    for (const double lambda : {1e-8, 1e-6, 1e-4, 1e-2, 1.0, 1e2}) {
        const fitted f = run(edges, counts, 4, with_smoothing(lambda));
        ASSERT_EQ(f.o.code, status::ok);
        EXPECT_LT(f.o.edf, previous) << lambda;
        previous = f.o.edf;
    }
    // The last is linear, to a millionth.
    const fitted line = run(edges, counts, 4, with_smoothing(1e2));
    const double top = *std::max_element(line.values.begin(), line.values.end());
    for (std::size_t j = 1; j + 1 < line.values.size(); ++j) {
        EXPECT_NEAR(line.values[j - 1] - 2.0 * line.values[j] + line.values[j + 1], 0.0, 1e-6 * top);
    }
}

// A bin with a share far below the others' keeps Newton's decrement small
// while the full step would still empty it: the automatic choice fits these,
// every bin keeps some mass, and the fit it returns is optimal.
TEST(CountsFit, TinySharesBesideLargeOnes) {
    for (const vec& counts : {vec{1e5, 3}, vec{5, 1e6, 3}, vec{1e7, 3}, vec{3, 2e6, 1e6, 1}}) {
        for (const std::int64_t r : {1, 4}) {
            vec edges(counts.size() + 1);
            std::iota(edges.begin(), edges.end(), 0.0);
            const fitted f = run(edges, counts, r, {cf::automatic, 0.0, 3.0});
            SCOPED_TRACE(testing::Message() << counts.size() << " bins, first " << counts[0] << ", refine " << r);
            ASSERT_EQ(f.o.code, status::ok);
            if (f.o.smoothing > 0.0) expect_optimal(f, counts, r, f.o.smoothing);
            for (std::size_t i = 0; i < counts.size(); ++i) {
                double mass = 0.0;
                for (std::int64_t s = 0; s < r; ++s) {
                    const std::size_t j = i * static_cast<std::size_t>(r) + static_cast<std::size_t>(s);
                    mass += 0.5 * (f.values[j] + f.values[j + 1]) * (f.knots[j + 1] - f.knots[j]);
                }
                EXPECT_GT(mass, 0.0) << "bin " << i;
            }
        }
    }
}

// Counts heaped in the first of many bins and one far off: nearly every knot
// between them ends at zero, each blocked step holding one more, so the bound
// on Newton steps must grow with the knots for the fit to end.
TEST(CountsFit, CountsHeapedFarApart) {
    for (const std::int64_t bins : {64, 128}) {
        vec edges(static_cast<std::size_t>(bins) + 1), counts(static_cast<std::size_t>(bins), 0.0);
        std::iota(edges.begin(), edges.end(), 0.0);
        counts.front() = 1000.0;
        counts.back() = 1.0;
        for (const double lambda : {cf::automatic, 1e-6}) {
            SCOPED_TRACE(testing::Message() << bins << " bins, lambda " << lambda);
            const fitted f = run(edges, counts, 4, {lambda, 0.0, 3.0});
            ASSERT_EQ(f.o.code, status::ok);
            if (f.o.smoothing > 0.0) expect_optimal(f, counts, 4, f.o.smoothing);
            EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v >= 0.0; }));
        }
    }
}

// Widths spanning seven decades, as in overdispersed histograms on
// exponential widths: the curvature of the narrowest pieces (lambda / h^3)
// swamps in H's entries the likelihood's curvature along the linear
// functions, which the curvature measure does not see, and Cholesky of H
// formed fails. The band's factor by rotations of H's square root fits these,
// and Newton's method ends where rounding in the narrow pieces' curvature
// stops its decrement falling: every fit answers, and is optimal.
TEST(CountsFit, WidthsManyDecadesApart) {
    const vec edges{0.0, 1.0, 1.0 + 1e-7, 2.5, 2.5 + 3e-8, 4.0, 6.0, 6.5};
    const vec counts{7, 1, 12, 0, 5, 2, 9};
    for (const std::int64_t r : {2, 4, 8}) {
        // Pieces of 1e-9 of the range or less: at lambda 1 or more their rounded
        // curvature hides the likelihood (the fits that Newton's method could
        // still end differed by 1e-3 to 1 between refines), refused before any
        // factorisation; the criterion's search leaves such lambdas out.
        for (const double lambda : {1.0, 100.0}) {
            const fitted f = run(edges, counts, r, with_smoothing(lambda));
            EXPECT_EQ(f.o.code, status::ill_conditioned);
            EXPECT_EQ(f.o.solves, 0);
            EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v == untouched; }));
        }
        for (const double lambda : {cf::automatic, 1e-6}) {
            SCOPED_TRACE(testing::Message() << "refine " << r << ", lambda " << lambda);
            const fitted f = run(edges, counts, r, with_smoothing(lambda));
            ASSERT_EQ(f.o.code, status::ok);
            if (lambda > 0.0) {
                EXPECT_EQ(f.o.smoothing, lambda);
            }
            // Stationary to what the narrow pieces' rounding leaves of it.
            if (f.o.smoothing > 0.0) expect_optimal(f, counts, r, f.o.smoothing, 1e-6);
            EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v >= 0.0; }));
        }
    }
}

// Where lambda is below what float64 resolves against the likelihood's
// curvature (shares spanning nine decades, or a lambda of 1e-25), the
// penalised optimum is its limit: the answer is the exact-mass fit bit for
// bit, with the lambda asked for and the data's own edf. The automatic
// choice answers there too: the limit (lambda 0) or an optimal fit. Lambdas
// that float64 resolves stay penalised.
TEST(CountsFit, BelowResolutionIsTheExactMassLimit) {
    struct limit_case {
        vec edges, counts, lambdas;
    };
    const limit_case cases[] = {
        {{0, 1, 3}, {1e9, 1}, {cf::automatic, 1e-25, 1e-15, 1e-12}},
        {{0, 1, 3, 4}, {1e9, 1, 5}, {cf::automatic, 1e-25, 1e-12}},
        {{0, 1, 2, 3, 4}, {3, 5, 2, 7}, {1e-25, 1e-40}},
    };
    for (const limit_case& c : cases) {
        const auto bins = static_cast<std::int64_t>(c.counts.size());
        for (const std::int64_t r : {2, 8}) {
            vec exact(static_cast<std::size_t>(sf::knot_count(bins, r)));
            vec scratch(static_cast<std::size_t>(sf::scratch_size(bins, r)));
            ASSERT_EQ(sf::fit(c.edges.data(), c.counts.data(), bins, r, exact.data(), scratch.data()).code, status::ok);
            for (const double lambda : c.lambdas) {
                SCOPED_TRACE(testing::Message() << "first count " << c.counts[0] << ", refine " << r << ", lambda "
                                                << lambda);
                const fitted f = run(c.edges, c.counts, r, with_smoothing(lambda));
                ASSERT_EQ(f.o.code, status::ok);
                if (lambda < 0.0 && f.o.smoothing > 0.0) {
                    expect_optimal(f, c.counts, r, f.o.smoothing);
                    continue;
                }
                EXPECT_EQ(f.values, exact);
                EXPECT_EQ(f.o.smoothing, lambda < 0.0 ? 0.0 : lambda);
                EXPECT_EQ(f.o.edf, static_cast<double>(bins - 1));
                if (lambda > 0.0) {
                    EXPECT_TRUE(cf::limit_on_failure_at(c.edges.data(), c.counts.data(), bins, r, with_smoothing(lambda)));
                }
            }
        }
    }
    // Resolved: penalised, optimal, and not taken for the limit.
    const vec edges{0, 1, 3}, counts{1e9, 1};
    const fitted resolved = run(edges, counts, 4, with_smoothing(1e-6));
    ASSERT_EQ(resolved.o.code, status::ok);
    EXPECT_EQ(resolved.o.smoothing, 1e-6);
    EXPECT_LT(resolved.o.edf, 1.0);
    expect_optimal(resolved, counts, 4, 1e-6);
    EXPECT_FALSE(cf::limit_on_failure_at(edges.data(), counts.data(), 2, 4, with_smoothing(1e-3)));
    EXPECT_FALSE(cf::limit_on_failure_at(edges.data(), vec{3, 5}.data(), 2, 4, with_smoothing(1e-12)));
    // With open ends the limit is open_fit's: the counts fit itself never
    // answers with it, and a tail tied by a large weight counts against lambda.
    cf::open_ends heavy;
    heavy.right = {cf::tail::form::tied, 5.0, 1e6};
    EXPECT_TRUE(cf::limit_on_failure_at(edges.data(), vec{3, 5}.data(), 2, 4, with_smoothing(1e-6), heavy));
    EXPECT_FALSE(cf::limit_on_failure_at(edges.data(), vec{3, 5}.data(), 2, 4, with_smoothing(1e-6)));
}

TEST(CountsFit, Statuses) {
    const vec edges{0, 1, 2, 3};
    auto code = [](const vec& e, const vec& c, std::int64_t r, cf::settings s = {}) {
        const fitted f = run(e, c, r, s);
        for (const double v : f.values) EXPECT_EQ(v, untouched);
        return std::pair{f.o.code, f.o.index};
    };
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(code(edges, {1, 2, 3}, 0).first, status::bad_size);
    EXPECT_EQ(code(edges, {1, 2, 3}, sf::max_refine + 1).first, status::bad_size);
    EXPECT_EQ(code({0, 1, 1, 3}, {1, 2, 3}, 4), std::pair(status::bad_edge, std::int64_t{2}));
    EXPECT_EQ(code({0, 1, nan, 3}, {1, 2, 3}, 4), std::pair(status::bad_edge, std::int64_t{2}));
    EXPECT_EQ(code(edges, {1, -2, 3}, 4), std::pair(status::bad_mass, std::int64_t{1}));
    EXPECT_EQ(code(edges, {1, 2, nan}, 4), std::pair(status::bad_mass, std::int64_t{2}));
    EXPECT_EQ(code(edges, {0, 0, 0}, 4).first, status::zero_total);
    EXPECT_EQ(code({0, 1, std::nextafter(1.0, 2.0), 3}, {1, 2, 3}, 4), std::pair(status::bad_width, std::int64_t{1}));
    EXPECT_EQ(code(edges, {1, 2, 3}, 4, {nan, 0.0, 2.0}).first, status::bad_setting);
    EXPECT_EQ(code(edges, {1, 2, 3}, 4, {inf, 0.0, 2.0}).first, status::bad_setting);
    EXPECT_EQ(code(edges, {1, 2, 3}, 4, {cf::automatic, -1.0, 2.0}).first, status::bad_setting);
    EXPECT_EQ(code(edges, {1, 2, 3}, 4, {cf::automatic, inf, 2.0}).first, status::bad_setting);
    EXPECT_EQ(code(edges, {1, 2, 3}, 4, {cf::automatic, 0.0, 0.0}).first, status::bad_setting);
    EXPECT_EQ(code(edges, {1, 2, 3}, 4, {cf::automatic, 0.0, nan}).first, status::bad_setting);
}

}  // namespace

// A raised stop flag ends the fit, for a given smoothing and for the search
// of one, with nothing written.
TEST(CountsFit, StopFlag) {
    const vec edges{0, 1, 2, 3, 5}, counts{4, 9, 3, 6};
    // At 64 the search ranks the decades at a coarser refine first.
    for (const std::int64_t refine : {4, 16, 64}) {
        for (const double smoothing : {1e-3, cf::automatic}) {
            std::atomic<bool> stop{true};
            cf::settings setting = with_smoothing(smoothing);
            setting.stop = &stop;
            const fitted stopped = run(edges, counts, refine, setting);
            EXPECT_EQ(stopped.o.code, status::interrupted);
            EXPECT_TRUE(std::ranges::all_of(stopped.values, [](double v) { return v == untouched; }));
            stop = false;
            EXPECT_EQ(run(edges, counts, refine, setting).o.code, status::ok);
        }
    }
}

// A unit count in every seventh of 20 bins: long runs of empty bins whose
// knots end at zero, thousands of them at a fine refine. Holding or releasing
// one knot per step took thousands of steps at refine 256; steps that hold
// and release many at once take about as many at any refine where the zeros
// are most of the knots, and stay well within the bound where the edges of
// the runs must move far (a larger lambda).
TEST(CountsFit, NewtonStepsAreBoundedAndFewAtAnyRefine) {
    vec edges(21), counts(20);
    for (std::size_t i = 0; i < edges.size(); ++i) edges[i] = static_cast<double>(i);
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = i % 7 == 0 ? 1.0 : 0.0;
    std::int64_t coarse = 0, fine = 0;
    for (const std::int64_t refine : {16, 64, 256}) {
        for (const double lambda : {1e-10, 1e-5}) {
            SCOPED_TRACE(testing::Message() << "refine " << refine << ", lambda " << lambda);
            const fitted f = run(edges, counts, refine, with_smoothing(lambda));
            ASSERT_EQ(f.o.code, status::ok);
            if (refine == 64) expect_optimal(f, counts, refine, lambda);
            EXPECT_LT(f.o.solves, cf::newton_step_limit / 2);
            if (lambda > 1e-10) continue;
            // The runs of zeros the steps had to find.
            EXPECT_GT(std::count(f.values.begin(), f.values.end(), 0.0), 4 * refine);
            (refine == 16 ? coarse : fine) = f.o.solves;
        }
    }
    EXPECT_LE(fine, 2 * coarse);
    // The bound, reached twice (from the first start and the smoother one): the
    // fit says so and leaves the values as they were.
    cf::settings bounded = with_smoothing(1e-5);
    bounded.step_limit = 8;
    const fitted cut = run(edges, counts, 64, bounded);
    EXPECT_EQ(cut.o.code, status::iteration_limit);
    EXPECT_LE(cut.o.solves, 2 * 8);
    for (const double v : cut.values) ASSERT_EQ(v, untouched);
    // The criterion's search fits a lambda that hits the bound no more; the
    // choice comes from the others or is a failure, never a fit beyond the bound.
    cf::settings searched = with_smoothing(cf::automatic);
    searched.step_limit = 8;
    const fitted chosen = run(edges, counts, 64, searched);
    EXPECT_LE(chosen.o.solves, 8 * (chosen.o.candidates + 2));
    bounded.step_limit = 0;
    EXPECT_EQ(run(edges, counts, 4, bounded).o.code, status::bad_setting);
}

// At a fine refine the search ranks the decades at a coarse one and walks from
// its choice: sparse counts, whose criterion falls for ten decades below the
// first guess for their sample size. The choice is no worse by the criterion
// than any whole decade of the search's range (nor than the exact-mass fit it
// competes with), and the candidates of both searches stay within their bounds.
TEST(CountsFit, FineSearchFromTheCoarseChoiceMinimisesTheCriterion) {
    std::mt19937_64 rng(31);
    std::bernoulli_distribution occupied(0.1);
    for (const std::int64_t bins : {20, 60}) {
        vec edges(static_cast<std::size_t>(bins) + 1), counts(static_cast<std::size_t>(bins));
        for (std::size_t i = 0; i < edges.size(); ++i) edges[i] = static_cast<double>(i);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            counts[i] = bins == 20 ? (i % 7 == 0 ? 1.0 : 0.0) : (occupied(rng) || i == 0 ? 1.0 : 0.0);
        }
        const double sample = std::accumulate(counts.begin(), counts.end(), 0.0);
        const double top = static_cast<double>(std::count(counts.begin(), counts.end(), 1.0)) - 1.0;
        for (const double complexity : {2.0, std::log(sample)}) {
            SCOPED_TRACE(testing::Message() << bins << " bins, complexity " << complexity);
            const fitted f = run(edges, counts, 32, {cf::automatic, 0.0, complexity});
            ASSERT_EQ(f.o.code, status::ok);
            EXPECT_LE(f.o.candidates, 2 * zelvane::counts_search::max_candidates + 1);
            const double chosen = f.o.deviance + complexity * f.o.edf;
            EXPECT_LE(chosen, complexity * top + 1e-9);
            for (double d = zelvane::counts_search::lowest_decade; d <= zelvane::counts_search::highest_decade; d += 1.0) {
                const fitted other = run(edges, counts, 32, {std::pow(10.0, d), 0.0, complexity});
                if (other.o.code != status::ok) continue;
                EXPECT_LE(chosen, other.o.deviance + complexity * other.o.edf + 1e-6 * chosen)
                    << "decade " << d << " against the chosen " << std::log10(f.o.smoothing);
            }
        }
    }
}

// Above refine 64 the band that the rotations need (2 (refine + 1) doubles a
// knot) is kept where it costs at most the budget: 200 bins at refine 256,
// not 400.
TEST(CountsFit, ScratchKeepsTheRotationsBandWithinItsBudget) {
    namespace ch = zelvane::counts_hessian;
    for (const std::int64_t refine : {128, 256}) {
        for (const std::int64_t bins : {2, 200, 400}) {
            const std::int64_t knots = bins * refine + 1, band = 2 * (knots + ch::max_tails) * (refine + 1);
            const bool kept = band <= ch::rotations_budget;
            SCOPED_TRACE(testing::Message() << bins << " bins at refine " << refine);
            EXPECT_EQ(kept, bins < 400 || refine < 256);
            EXPECT_EQ(ch::keeps_band(refine, knots + ch::max_tails), kept);
            EXPECT_EQ(cf::scratch_size(bins, refine) > band, kept);
        }
    }
    EXPECT_TRUE(ch::keeps_band(64, std::int64_t{1} << 40));
}

// The search's candidates are bounded whatever the sample size pushes the
// first guess to, the walks at either end of the decades included.
TEST(CountsFit, CandidateLambdasAreBounded) {
    std::mt19937_64 rng(12);
    for (const double sample : {1.0, 1e3, 1e9, 1e15}) {
        const random_histogram h = draw(rng, 12, 200.0);
        cf::settings setting = with_smoothing(cf::automatic);
        setting.sample_size = sample;
        const fitted f = run(h.edges, h.counts, 4, setting);
        ASSERT_EQ(f.o.code, status::ok);
        EXPECT_GE(f.o.candidates, 1);
        // and the exact-mass fit, and the lower lambdas that keep an end bin's peak
        EXPECT_LE(f.o.candidates,
                  zelvane::counts_search::max_candidates + 1 + zelvane::counts_search::end_peak_steps);
    }
}

// A peak in an end bin keeps its mass within one binomial standard error of
// its count, at either end alike (the mirrored histogram gives the mirrored
// fit), and the fit is the optimum for the lambda it reports. A peak beside an
// open end is the tail's business: the rule leaves it to the criterion.
TEST(CountsFit, AnEndPeakKeepsItsMass) {
    const vec counts{120, 30, 15, 10, 8, 5, 4, 3, 2, 1, 1, 1};
    const auto bins = static_cast<std::int64_t>(counts.size());
    vec edges(counts.size() + 1);
    for (std::size_t i = 0; i < edges.size(); ++i) edges[i] = 0.5 * static_cast<double>(i);
    const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
    const double q = counts[0] / total, floor = counts[0] - total * std::sqrt(q * (1.0 - q) / total);
    const vec mirrored(counts.rbegin(), counts.rend());
    for (const std::int64_t refine : {1, 4, 16}) {
        SCOPED_TRACE(testing::Message() << "refine " << refine);
        const fitted left = run(edges, counts, refine, {cf::automatic, 0.0, 3.0});
        const fitted right = run(edges, mirrored, refine, {cf::automatic, 0.0, 3.0});
        ASSERT_EQ(left.o.code, status::ok);
        ASSERT_EQ(right.o.code, status::ok);
        double first = 0.0;
        for (std::int64_t j = 0; j < refine; ++j) {
            const auto k = static_cast<std::size_t>(j);
            first += 0.5 * (left.knots[k + 1] - left.knots[k]) * (left.values[k] + left.values[k + 1]);
        }
        EXPECT_GE(first, floor);
        EXPECT_LT(first, counts[0]);
        EXPECT_EQ(left.o.smoothing, right.o.smoothing);
        const std::size_t n = left.values.size();
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_NEAR(left.values[k], right.values[n - 1 - k], 1e-9 * left.values[0]) << "knot " << k;
        }
        if (left.o.smoothing > 0.0 && refine > 1) expect_optimal(left, counts, refine, left.o.smoothing);
    }
    // The same peak beside an open left end: the criterion's choice stands,
    // higher than the closed histogram's.
    cf::open_ends ends;
    ends.left = {cf::tail::form::free_mass, 40.0, 0.0};
    const std::int64_t refine = 4;
    vec values(static_cast<std::size_t>(sf::knot_count(bins, refine)));
    vec scratch(static_cast<std::size_t>(cf::scratch_size(bins, refine)));
    const cf::outcome open = cf::fit(edges.data(), counts.data(), bins, refine, {cf::automatic, 0.0, 3.0},
                                     values.data(), scratch.data(), ends);
    ASSERT_EQ(open.code, status::ok);
    EXPECT_GT(open.smoothing, run(edges, counts, refine, {cf::automatic, 0.0, 3.0}).o.smoothing);
}
