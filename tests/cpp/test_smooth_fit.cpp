// The smooth fit: knots, cases whose answer is known in closed form, zero
// bins, refine = 1, scale invariance bit for bit, every status, and on random
// histograms the invariants (masses, no negative value), first-order
// optimality along mass-preserving moves, and agreement of the two phases.
#include "kernels/smooth_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

namespace {

namespace sf = zelvane::smooth_fit;
using sf::status;
using vec = std::vector<double>;
constexpr double untouched = -12345.0;

struct fitted {
    sf::outcome o;
    vec knots, values;
};

fitted run(const vec& edges, const vec& masses, std::int64_t refine, const sf::limits& bounds = {},
           double scratch_fill = std::numeric_limits<double>::quiet_NaN()) {
    const auto bins = static_cast<std::int64_t>(masses.size());
    const std::int64_t knots = sf::knot_count(bins, refine);
    fitted f{{}, vec(static_cast<std::size_t>(std::max<std::int64_t>(knots, 0))), {}};
    f.values.assign(f.knots.size(), untouched);
    vec scratch(static_cast<std::size_t>(std::max<std::int64_t>(sf::scratch_size(bins, refine), 0)), scratch_fill);
    if (knots > 0) sf::write_knots(edges.data(), bins, refine, f.knots.data());
    f.o = sf::fit(edges.data(), masses.data(), bins, refine, f.values.data(), scratch.data(), bounds);
    return f;
}

vec trapezoid_masses(const fitted& f, std::int64_t refine) {
    vec m((f.knots.size() - 1) / static_cast<std::size_t>(refine), 0.0);
    for (std::size_t j = 0; j + 1 < f.knots.size(); ++j) {
        m[j / static_cast<std::size_t>(refine)] += 0.5 * (f.values[j] + f.values[j + 1]) * (f.knots[j + 1] - f.knots[j]);
    }
    return m;
}

void expect_masses_and_signs(const fitted& f, const vec& masses, std::int64_t refine) {
    ASSERT_EQ(f.o.code, status::ok);
    double total = 0.0;
    for (const double m : masses) total += m;
    const vec got = trapezoid_masses(f, refine);
    for (std::size_t i = 0; i < masses.size(); ++i) EXPECT_NEAR(got[i], masses[i], 1e-12 * total) << "bin " << i;
    EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v >= 0.0 && !std::signbit(v); }));
}

// Gradient of the curvature at the fit, from its definition, and the sum of
// the magnitudes of the terms that make up each component (its rounding scale).
std::pair<vec, vec> curvature_gradient(const fitted& f) {
    const std::size_t n = f.knots.size();
    vec g(n, 0.0), size(n, 0.0);
    for (std::size_t j = 1; j + 1 < n; ++j) {
        const double h0 = f.knots[j] - f.knots[j - 1], h1 = f.knots[j + 1] - f.knots[j];
        const double c = 4.0 / (h0 + h1), d[3] = {1.0 / h0, -(1.0 / h0 + 1.0 / h1), 1.0 / h1};
        double bend = 0.0, magnitude = 0.0;
        for (std::size_t a = 0; a < 3; ++a) {
            bend += d[a] * f.values[j - 1 + a];
            magnitude += std::fabs(d[a] * f.values[j - 1 + a]);
        }
        for (std::size_t a = 0; a < 3; ++a) {
            g[j - 1 + a] += c * d[a] * bend;
            size[j - 1 + a] += c * std::fabs(d[a]) * magnitude;
        }
    }
    return {g, size};
}

// First-order optimality along every move that shifts mass between two
// interior knots of one bin (an edge would change its other bin's mass too):
// the curvature must not decrease along any such move that keeps the values
// non-negative.
void expect_no_descent_within_bins(const fitted& f, const vec& masses, std::int64_t refine) {
    const auto [g, g_size] = curvature_gradient(f);
    const auto r = static_cast<std::size_t>(refine);
    for (std::size_t i = 0; i < masses.size(); ++i) {
        for (std::size_t a = 1; a < r; ++a) {
            for (std::size_t b = a + 1; b < r; ++b) {
                const std::size_t ja = i * r + a, jb = i * r + b;
                auto weight = [&](std::size_t j) { return 0.5 * (f.knots[j + 1] - f.knots[j - 1]); };
                // Raise a, lower b (mass kept); the reverse move is its negative.
                const double slope = g[ja] / weight(ja) - g[jb] / weight(jb);
                const double size = g_size[ja] / weight(ja) + g_size[jb] / weight(jb);
                if (f.values[jb] > 0.0) {
                    EXPECT_GE(slope, -1e-7 * size) << "bin " << i << " knots " << a << ", " << b;
                }
                if (f.values[ja] > 0.0) {
                    EXPECT_LE(slope, 1e-7 * size) << "bin " << i << " knots " << a << ", " << b;
                }
            }
        }
    }
}

vec cumulative(double start, const vec& widths) {
    vec e{start};
    for (const double w : widths) e.push_back(e.back() + w);
    return e;
}

TEST(SmoothFit, Knots) {
    const vec edges{-1.0, 0.5, 0.75, 4.0};
    for (const std::int64_t refine : {1, 2, 3, 4, 7}) {
        const fitted f = run(edges, {1, 1, 1}, refine);
        ASSERT_EQ(f.knots.size(), static_cast<std::size_t>(3 * refine + 1));
        for (std::size_t i = 0; i < edges.size(); ++i) EXPECT_EQ(f.knots[i * static_cast<std::size_t>(refine)], edges[i]);
        EXPECT_TRUE(std::ranges::is_sorted(f.knots, std::less_equal<>()));
        EXPECT_TRUE(std::adjacent_find(f.knots.begin(), f.knots.end()) == f.knots.end());
    }
    const fitted f = run(edges, {1, 1, 1}, 4);  // exact quarters of exactly representable widths
    EXPECT_EQ(f.knots[1], -0.625);
    EXPECT_EQ(f.knots[6], 0.625);
}

// A non-negative linear density has zero curvature, so it is the answer
// whenever its masses are given, for any refine; a single bin gives the flat
// density bit for bit, the tie-break among the linear ones.
TEST(SmoothFit, LinearAndFlatDensities) {
    const vec edges{0.0, 0.5, 1.5, 2.0, 4.0};
    vec masses;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
        const double a = edges[i], b = edges[i + 1];
        masses.push_back((b - a) * (1.0 + 0.5 * (a + b)));  // density 1 + x
    }
    for (const std::int64_t refine : {1, 2, 4, 5}) {
        const fitted f = run(edges, masses, refine);
        expect_masses_and_signs(f, masses, refine);
        for (std::size_t j = 0; j < f.knots.size(); ++j) EXPECT_NEAR(f.values[j], 1.0 + f.knots[j], 1e-12);
        const fitted flat = run({2.0, 3.5}, {6.0}, refine);
        ASSERT_EQ(flat.o.code, status::ok);
        EXPECT_TRUE(std::ranges::all_of(flat.values, [](double v) { return v == 4.0; }));
    }
}

// Every knot of a zero bin is +0.0 and its neighbours' masses are kept exactly.
TEST(SmoothFit, ZeroBinsAndRuns) {
    const vec masses_cases[] = {{1, 0, 0, 2, 0, 3}, {0, 0, 1, 1, 0}, {0, 5, 0}, {2, 0}};
    for (const vec& masses : masses_cases) {
        const vec edges = cumulative(0.0, vec(masses.size(), 1.0));
        for (const std::int64_t refine : {2, 4}) {
            const fitted f = run(edges, masses, refine);
            expect_masses_and_signs(f, masses, refine);
            for (std::size_t i = 0; i < masses.size(); ++i) {
                for (std::int64_t s = 0; s <= refine && masses[i] == 0.0; ++s) {
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(f.values[i * static_cast<std::size_t>(refine) + s]), 0u);
                }
            }
        }
    }
}

// Masses and widths over many orders of magnitude side by side; a bin below
// 1e-14 of the total counts as empty, its knots +0.0.
TEST(SmoothFit, WideRanges) {
    struct example { vec widths, masses; };
    const example examples[] = {
        {{1, 1, 1, 1, 1}, {1, 1e-30, 1, 1e-18, 2}},
        {{1, 1, 1, 1}, {1e20, 1e-20, 1e10, 1}},
        {{1e-4, 1, 1e4, 1}, {1, 1, 1, 1}},
        {{1e-3, 1e3, 1e-3, 1e3}, {1, 1e-6, 1e3, 1}},
    };
    for (const example& e : examples) {
        for (const std::int64_t refine : {2, 4}) {
            SCOPED_TRACE(testing::Message() << "example " << &e - examples << ", refine " << refine);
            const fitted f = run(cumulative(0.0, e.widths), e.masses, refine);
            expect_masses_and_signs(f, e.masses, refine);
            const double total = std::accumulate(e.masses.begin(), e.masses.end(), 0.0);
            for (std::size_t i = 0; i < e.masses.size(); ++i) {
                for (std::int64_t s = 0; s <= refine && e.masses[i] < 1e-14 * total; ++s) {
                    EXPECT_EQ(f.values[i * static_cast<std::size_t>(refine) + static_cast<std::size_t>(s)], 0.0);
                }
            }
        }
    }
}

TEST(SmoothFit, EdgesOnly) {
    struct example { vec masses; status code; vec values; };
    const example examples[] = {
        {{1, 1}, status::ok, {1, 1, 1}},
        {{1, 0}, status::ok, {2, 0, 0}},
        {{0, 1, 1, 0}, status::ok, {0, 0, 2, 0, 0}},
        {{0.5, 1.0, 0.2, 0.7}, status::infeasible, {}},  // pair sums 1, 2, 0.4, 1.4
        {{0, 1, 0}, status::infeasible, {}},
        {{0, 1, 2, 0}, status::infeasible, {}},
    };
    for (const example& e : examples) {
        const fitted f = run(cumulative(0.0, vec(e.masses.size(), 1.0)), e.masses, 1);
        EXPECT_EQ(f.o.code, e.code);
        if (e.code == status::ok) {
            for (std::size_t j = 0; j < e.values.size(); ++j) EXPECT_NEAR(f.values[j], e.values[j], 1e-15);
        } else {
            EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v == untouched; }));
        }
    }
}

// Masses times 2^40 and edges times 2^-20 give values times 2^60, bit for bit,
// whatever the scratch held before.
TEST(SmoothFit, ScaleFreeAndScratchIndependent) {
    const vec edges{0.0, 1.0, 1.25, 3.0, 2003.0, 2004.0}, masses{2.0, 0.1, 0.0, 7.0, 0.3};
    const fitted base = run(edges, masses, 4);
    ASSERT_EQ(base.o.code, status::ok);
    vec big_masses = masses, small_edges = edges;
    for (double& m : big_masses) m = std::ldexp(m, 40);
    for (double& e : small_edges) e = std::ldexp(e, -20);
    const fitted scaled = run(small_edges, big_masses, 4, {}, 0.0);
    ASSERT_EQ(scaled.o.code, status::ok);
    for (std::size_t j = 0; j < base.values.size(); ++j) EXPECT_EQ(scaled.values[j], std::ldexp(base.values[j], 60));
}

// A bin 1e10 times narrower than its neighbours, which carries a third of
// the mass: its values reach about 1e10 times theirs. The solves in double
// cannot confirm that fit; the ones in double-double do, and the answer meets
// the same checks as any other. Narrower still, and beside wider bins, it
// holds as long as the scaled widths stay in range.
TEST(SmoothFit, WidthsTenDecadesApart) {
    for (const double middle : {1e-4, 1e-5, 1e-6}) {
        for (const std::int64_t refine : {2, 3, 4, 16}) {
            SCOPED_TRACE(testing::Message() << "middle " << middle << ", refine " << refine);
            const vec edges{0, 1e6, 1e6 + middle, 2e6}, masses{3, 6, 9};
            const fitted f = run(edges, masses, refine);
            expect_masses_and_signs(f, masses, refine);
            expect_no_descent_within_bins(f, masses, refine);
        }
    }
}

// Where even double-double cannot confirm a fit, the status says that the
// input is ill-conditioned, and nothing is written: here a first bin 1e8
// times narrower than the next, whose only free knot its neighbour's mass
// row must share.
TEST(SmoothFit, IllConditioned) {
    const vec edges{0, 1.5593491512827684e-10, 0.021930835719783021, 0.022028625697899321,
                    0.036784360319445035, 0.03691750458267528, 0.03844033714300317};
    const fitted f = run(edges, {1, 1, 1, 1, 0, 0}, 2);
    EXPECT_EQ(f.o.code, status::ill_conditioned);
    EXPECT_GT(f.o.solves, 0);
    EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v == untouched; }));
    // So it is under a bound on solves that the attempts do not reach.
    const fitted bounded = run(edges, {1, 1, 1, 1, 0, 0}, 2, {16, 40});
    EXPECT_EQ(bounded.o.code, status::ill_conditioned);
}

TEST(SmoothFit, Statuses) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
    struct example { vec edges, masses; std::int64_t refine; status code; std::int64_t index; };
    const example examples[] = {
        {{0, 1}, {}, 4, status::bad_size, -1},
        {{0, 1}, {1}, 0, status::bad_size, -1},
        {{0, 1}, {1}, sf::max_refine + 1, status::bad_size, -1},
        {{0, 1, nan}, {1, 1}, 4, status::bad_edge, 2},
        {{0, 1, 1, 2}, {1, 1, 1}, 4, status::bad_edge, 2},
        {{0, 2, 1}, {1, 1}, 1, status::bad_edge, 2},
        {{-inf, 0}, {1}, 4, status::bad_edge, 0},
        {{0, 1, 2}, {1, -1}, 4, status::bad_mass, 1},
        {{0, 1, 2}, {nan, 1}, 4, status::bad_mass, 0},
        {{0, 1, 2}, {1, inf}, 4, status::bad_mass, 1},
        {{0, 1, 2}, {0, -0.0}, 4, status::zero_total, -1},
        {{0, 1, 1 + 0x1p-52}, {1, 1}, 4, status::bad_width, 1},
        {{-1e308, 1e308}, {1}, 2, status::bad_width, 0},
        {{0, 1, 1e70}, {1, 1}, 2, status::out_of_range, -1},
        {{0, 1, 2}, {1e308, 1e308}, 2, status::out_of_range, -1},
        {{0, 1e-300, 2e-300}, {1e300, 1e300}, 2, status::out_of_range, -1},  // the mean density overflows
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        const fitted f = run(e.edges, e.masses, e.refine);
        EXPECT_EQ(f.o.code, e.code);
        EXPECT_EQ(f.o.index, e.index);
        EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v == untouched; }));
    }
}

// A fit that needs bounds, stopped before it is done, reports the limit and
// writes nothing; given enough solves both phases reach the same answer.
TEST(SmoothFit, IterationLimit) {
    const vec edges{0, 1, 2, 3, 4, 5}, masses{5, 0.1, 5, 0.1, 3};
    for (const sf::limits bounds : {sf::limits{16, 1}, sf::limits{0, 2}}) {
        const fitted f = run(edges, masses, 4, bounds);
        EXPECT_EQ(f.o.code, status::iteration_limit);
        EXPECT_EQ(f.o.solves, bounds.total_solves);
        EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v == untouched; }));
    }
    const fitted exchanged = run(edges, masses, 4), primal = run(edges, masses, 4, {0, -1});
    expect_masses_and_signs(exchanged, masses, 4);
    EXPECT_GT(exchanged.o.solves, 1);
    for (std::size_t j = 0; j < exchanged.values.size(); ++j) EXPECT_NEAR(primal.values[j], exchanged.values[j], 1e-10);
}

// Random histograms: 1 to 300 bins, equal and uneven widths, one huge bin,
// zero bins and runs of them, masses over ten orders of magnitude.
TEST(SmoothFit, RandomHistograms) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        const std::int64_t bins = std::array<std::int64_t, 6>{1, 2, 3, 8, 40, 300}[trial % 6];
        const std::int64_t refine = std::array<std::int64_t, 4>{2, 3, 4, 6}[(trial / 6) % 4];
        vec widths(static_cast<std::size_t>(bins), 1.0), masses(static_cast<std::size_t>(bins));
        if (trial % 3 != 0) for (double& w : widths) w = 0.1 + 3.0 * unit(rng);
        if (trial % 5 == 0) widths[rng() % widths.size()] *= 1000.0;
        const double magnitude = std::pow(10.0, 10.0 * unit(rng) - 5.0);
        for (double& m : masses) m = magnitude * std::pow(unit(rng), 2.0);
        for (int run_count = trial % 4; run_count > 0 && bins > 2; --run_count) {
            const std::size_t first = rng() % masses.size();
            std::fill(masses.begin() + static_cast<long>(first),
                      masses.begin() + static_cast<long>(std::min(masses.size(), first + 1 + rng() % 3)), 0.0);
        }
        if (std::ranges::all_of(masses, [](double m) { return m == 0.0; })) masses[0] = 1.0;
        const vec edges = cumulative(10.0 * unit(rng) - 5.0, widths);
        const fitted f = run(edges, masses, refine);
        expect_masses_and_signs(f, masses, refine);
        expect_no_descent_within_bins(f, masses, refine);
        const fitted primal = run(edges, masses, refine, {0, -1});
        ASSERT_EQ(primal.o.code, status::ok);
        const double top = *std::ranges::max_element(f.values);
        for (std::size_t j = 0; j < f.values.size(); ++j) EXPECT_NEAR(primal.values[j], f.values[j], 1e-9 * top);
    }
}

}  // namespace

// Fixed ends, where a tail joins the density: the end takes the value given,
// the masses stay exact, and within bins the fit is still least-curvature.
// Holding an end at the value it has anyway changes nothing; a value beyond
// what the end bin's mass allows, or positive beside an empty bin, has no fit.
namespace {

fitted run_fixed(const vec& edges, const vec& masses, std::int64_t refine, sf::fixed_ends fixed) {
    const auto bins = static_cast<std::int64_t>(masses.size());
    fitted f{{}, vec(static_cast<std::size_t>(sf::knot_count(bins, refine))), {}};
    f.values.assign(f.knots.size(), untouched);
    vec scratch(static_cast<std::size_t>(sf::scratch_size(bins, refine)));
    sf::write_knots(edges.data(), bins, refine, f.knots.data());
    f.o = sf::fit(edges.data(), masses.data(), bins, refine, f.values.data(), scratch.data(), {}, fixed);
    return f;
}

}  // namespace

TEST(SmoothFit, FixedEnds) {
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> width(0.2, 3.0), mass(0.0, 5.0), share(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const std::int64_t bins = 1 + trial % 9, refine = 2 + trial % 5;
        vec widths(static_cast<std::size_t>(bins)), masses(widths.size());
        for (std::size_t i = 0; i < widths.size(); ++i) {
            widths[i] = width(rng);
            masses[i] = trial % 4 == 0 && i == widths.size() / 2 && bins > 2 ? 0.0 : mass(rng) + 0.1;
        }
        const vec edges = cumulative(-1.0, widths);
        // Up to what the end bins' masses allow, with every other value zero
        // (a single bin shares its mass between its two ends).
        const double h_first = widths.front() / static_cast<double>(refine), h_last = widths.back() / static_cast<double>(refine);
        const double room = bins == 1 ? 1.0 : 2.0;
        const sf::fixed_ends fixed{trial % 3 == 1 ? -1.0 : share(rng) * room * masses.front() / h_first,
                                   trial % 3 == 2 ? -1.0 : share(rng) * room * masses.back() / h_last};
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", " << bins << " bins, refine " << refine);
        const fitted f = run_fixed(edges, masses, refine, fixed);
        expect_masses_and_signs(f, masses, refine);
        if (fixed.left >= 0.0) {
            EXPECT_NEAR(f.values.front(), fixed.left, 1e-12 * (1.0 + fixed.left));
        }
        if (fixed.right >= 0.0) {
            EXPECT_NEAR(f.values.back(), fixed.right, 1e-12 * (1.0 + fixed.right));
        }
        expect_no_descent_within_bins(f, masses, refine);
        if (bins > 1) {
            // Held where the free fit ends anyway: the free fit.
            const fitted free_fit = run(edges, masses, refine);
            const fitted same = run_fixed(edges, masses, refine, {free_fit.values.front(), free_fit.values.back()});
            ASSERT_EQ(same.o.code, status::ok);
            for (std::size_t j = 0; j < same.values.size(); ++j) {
                EXPECT_NEAR(same.values[j], free_fit.values[j], 1e-9 * (1.0 + free_fit.values[j]));
            }
        }
    }
    const vec edges{0, 1, 2, 4};
    EXPECT_EQ(run_fixed(edges, {1, 1, 1}, 4, {-1.0, 2.0 * 1.0 / 0.5 * 1.01}).o.code, status::infeasible);
    EXPECT_EQ(run_fixed(edges, {1, 1, 0}, 4, {-1.0, 0.5}).o.code, status::infeasible);
    EXPECT_EQ(run_fixed(edges, {1, 1, 0}, 4, {-1.0, 0.0}).o.code, status::ok);
    EXPECT_EQ(run_fixed(edges, {1, 1, 1}, 1, {-1.0, 0.5}).o.code, status::bad_setting);
}

// Irregular, sparse and alternating masses on uneven bins, refine 1 to 256
// (the knots kept to a few thousand): exact masses, no negative value, no
// descent along any move within a bin, and a number of solves that does not
// grow with the knots at zero. refine = 1 may have no fit (infeasible), and
// then writes nothing.
namespace {

vec pattern_masses(int pattern, std::size_t bins, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    vec masses(bins);
    for (std::size_t i = 0; i < bins; ++i) {
        if (pattern == 0) masses[i] = 0.1 + 0.9 * unit(rng);
        if (pattern == 1) masses[i] = unit(rng) < 0.7 ? 0.0 : unit(rng);
        if (pattern == 2) masses[i] = i % 2 == 0 ? 1.0 : 0.01 * unit(rng);
    }
    if (std::ranges::all_of(masses, [](double m) { return m == 0.0; })) masses[0] = 1.0;
    return masses;
}

}  // namespace

TEST(SmoothFit, PatternsAcrossRefine) {
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> width(0.05, 2.0);
    for (const std::int64_t refine : {1, 2, 3, 4, 8, 16, 32, 64, 128, 256}) {
        const auto bins = static_cast<std::size_t>(std::clamp<std::int64_t>(1600 / refine, 6, 400));
        for (int pattern = 0; pattern < 3; ++pattern) {
            SCOPED_TRACE(testing::Message() << "refine " << refine << ", pattern " << pattern << ", " << bins << " bins");
            vec widths(bins);
            for (double& w : widths) w = width(rng);
            const vec edges = cumulative(-3.0, widths), masses = pattern_masses(pattern, bins, rng);
            const fitted f = run(edges, masses, refine);
            if (refine == 1 && f.o.code == status::infeasible) {
                EXPECT_TRUE(std::ranges::all_of(f.values, [](double v) { return v == untouched; }));
                continue;
            }
            expect_masses_and_signs(f, masses, refine);
            expect_no_descent_within_bins(f, masses, refine);
            EXPECT_LE(f.o.solves, 100);
        }
    }
}

// At refine 64 and more the fit starts from the held set of coarser levels;
// the answer is the fine level's own, bit for bit the one of the fit started
// cold (a bound on solves given turns the warm start off).
TEST(SmoothFit, WarmStartFromCoarserLevelsGivesTheSameBits) {
    std::mt19937_64 rng(78);
    std::uniform_real_distribution<double> width(0.05, 2.0);
    for (const std::int64_t refine : {64, 128, 256}) {
        const auto bins = static_cast<std::size_t>(std::clamp<std::int64_t>(6400 / refine, 6, 400));
        for (int pattern = 0; pattern < 3; ++pattern) {
            SCOPED_TRACE(testing::Message() << "refine " << refine << ", pattern " << pattern);
            vec widths(bins);
            for (double& w : widths) w = width(rng);
            const vec edges = cumulative(1.0, widths), masses = pattern_masses(pattern, bins, rng);
            const fitted warm = run(edges, masses, refine), cold = run(edges, masses, refine, {16, 100000});
            ASSERT_EQ(warm.o.code, status::ok);
            ASSERT_EQ(cold.o.code, status::ok);
            for (std::size_t j = 0; j < warm.values.size(); ++j) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(warm.values[j]), std::bit_cast<std::uint64_t>(cold.values[j]))
                    << "knot " << j;
            }
        }
    }
}

// Uneven bins whose fit has long runs of zeros (about a fifth of the knots
// at refine 256): whole-set exchanges alone would creep along them a knot or
// two per solve. The default bounds fit it in a few dozen solves; a bound on
// the solves below that stops the fit with iteration_limit after exactly that
// many and writes nothing; starting with the interior-point phase (no
// first phase) reaches the same answer; and more knots at zero (refine 128
// against 256, twice the bins) cost no more solves than the bound allows.
TEST(SmoothFit, SolveBoundOnLongRunsOfZeros) {
    const vec widths{0.222118, 0.932001, 0.552807, 0.259961, 0.405705, 0.738228};
    const vec masses{0.685498, 0.286299, 0.436829, 0.615322, 0.218539, 0.893382};
    const vec edges = cumulative(0.0, widths);
    const fitted f = run(edges, masses, 256);
    expect_masses_and_signs(f, masses, 256);
    const auto zeros = std::ranges::count(f.values, 0.0);
    EXPECT_GT(zeros, 100);
    EXPECT_GT(f.o.solves, 10);
    EXPECT_LE(f.o.solves, 64);
    for (const sf::limits bounds : {sf::limits{16, 10}, sf::limits{1000, 10}, sf::limits{0, 10}}) {
        const fitted stopped = run(edges, masses, 256, bounds);
        EXPECT_EQ(stopped.o.code, status::iteration_limit);
        EXPECT_EQ(stopped.o.solves, 10);
        EXPECT_TRUE(std::ranges::all_of(stopped.values, [](double v) { return v == untouched; }));
    }
    const fitted interior = run(edges, masses, 256, {0, -1});
    ASSERT_EQ(interior.o.code, status::ok);
    const double top = *std::ranges::max_element(f.values);
    for (std::size_t j = 0; j < f.values.size(); ++j) EXPECT_NEAR(interior.values[j], f.values[j], 1e-7 * top);

    vec twice_widths = widths, twice_masses = masses;
    twice_widths.insert(twice_widths.end(), widths.begin(), widths.end());
    twice_masses.insert(twice_masses.end(), masses.begin(), masses.end());
    for (const std::int64_t refine : {128, 256}) {
        const fitted more = run(cumulative(0.0, twice_widths), twice_masses, refine);
        expect_masses_and_signs(more, twice_masses, refine);
        EXPECT_LE(more.o.solves, 64) << "refine " << refine;
    }
}

// A raised stop flag ends the fit before its first factorisation, with
// nothing written; lowered, it changes nothing.
TEST(SmoothFit, StopFlag) {
    const vec edges{0, 1, 2, 3, 4, 5}, masses{5, 0.1, 5, 0.1, 3};
    std::atomic<bool> stop{true};
    sf::limits bounds;
    bounds.stop = &stop;
    const fitted stopped = run(edges, masses, 4, bounds);
    EXPECT_EQ(stopped.o.code, status::interrupted);
    EXPECT_EQ(stopped.o.solves, 0);
    EXPECT_TRUE(std::ranges::all_of(stopped.values, [](double v) { return v == untouched; }));
    stop = false;
    const fitted going = run(edges, masses, 4, bounds), plain = run(edges, masses, 4);
    ASSERT_EQ(going.o.code, status::ok);
    EXPECT_EQ(going.values, plain.values);
}
