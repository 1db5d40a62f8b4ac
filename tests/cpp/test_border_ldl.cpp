// Symmetric LDL' on the envelope of the fits' systems: the stop flag read
// part-way through a factorisation, and the inverse on the envelope against
// the dense inverse of matrices of the layout's pattern.
#include "kernels/border_ldl.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "dense_inverse.hpp"
#include "kernels/smooth_wide.hpp"

namespace {

using vec = std::vector<double>;

}  // namespace

// A factorisation of many bins looks at the stop flag as it goes, so that one
// very large fit stops within a factorisation, not after it.
TEST(BorderLdl, StopFlagPartWay) {
    namespace bl = zelvane::border_ldl;
    const std::int64_t bins = 3 * bl::stop_interval, refine = 2, n = bl::order(bins, refine);
    // Twice the identity: every pivot 2, whose reciprocal the factorisation writes.
    std::vector<double> near, border, diagonal;
    auto identity = [&] {
        near.assign(3 * n, 0.0);
        border.assign(bins * (refine + 2), 0.0);
        diagonal.assign(n, 2.0);
    };
    std::atomic<bool> stop{false};
    identity();
    bl::system m{bins, refine, near.data(), border.data(), diagonal.data(), &stop};
    EXPECT_EQ(bl::factor(m), -1);
    EXPECT_EQ(diagonal[n - 3], 0.5);
    identity();
    stop = true;
    EXPECT_EQ(bl::factor(m), bl::stopped);
    // It began, and gave up before the later pivots.
    EXPECT_EQ(diagonal[0], 0.5);
    EXPECT_EQ(diagonal[n - 3], 2.0);
}

namespace envelope_inverse {

namespace bl = zelvane::border_ldl;

// A matrix of the layout's pattern, dense: a positive definite band on the
// knots (as a curvature measure plus a little of the identity), each bin row
// coupled to its knots with a negative diagonal (a data term's), some rows
// held (zero but for 1 on the diagonal).
std::vector<vec> pattern_matrix(std::int64_t bins, std::int64_t refine, std::mt19937_64& random, bool hold) {
    std::uniform_real_distribution<double> unit(0.1, 1.0);
    const std::int64_t n = bl::order(bins, refine), knots = bins * refine + 1;
    std::vector<vec> a(static_cast<std::size_t>(n), vec(static_cast<std::size_t>(n), 0.0));
    auto add = [&](std::int64_t p, std::int64_t q, double v) {
        a[static_cast<std::size_t>(p)][static_cast<std::size_t>(q)] += v;
        if (p != q) a[static_cast<std::size_t>(q)][static_cast<std::size_t>(p)] += v;
    };
    for (std::int64_t t = 1; t + 1 < knots; ++t) {  // (f(t-1) - 2 f(t) + f(t+1))^2 terms
        const std::int64_t p[3] = {bl::knot_position(t - 1, refine), bl::knot_position(t, refine),
                                   bl::knot_position(t + 1, refine)};
        const double w[3] = {1.0, -2.0, 1.0}, c = unit(random);
        for (int x = 0; x < 3; ++x) {
            for (int y = 0; y <= x; ++y) add(p[x], p[y], c * w[x] * w[y]);
        }
    }
    for (std::int64_t j = 0; j < knots; ++j) add(bl::knot_position(j, refine), bl::knot_position(j, refine), 1e-3);
    for (std::int64_t i = 0; i < bins; ++i) {
        const std::int64_t q = bl::bin_position(i, refine);
        for (std::int64_t s = 0; s <= refine; ++s) add(q, bl::knot_position(i, s, refine), unit(random));
        add(q, q, -unit(random));
    }
    if (hold) {
        std::bernoulli_distribution held(0.2);
        for (std::int64_t p = 0; p < n; ++p) {
            if (!held(random)) continue;
            for (std::int64_t k = 0; k < n; ++k) a[static_cast<std::size_t>(p)][static_cast<std::size_t>(k)] = a[static_cast<std::size_t>(k)][static_cast<std::size_t>(p)] = 0.0;
            a[static_cast<std::size_t>(p)][static_cast<std::size_t>(p)] = 1.0;
        }
    }
    return a;
}

// The layout's storage of a dense matrix of its pattern.
struct stored {
    vec near, border, diagonal;
    bl::system view(std::int64_t bins, std::int64_t refine) {
        return {bins, refine, near.data(), border.data(), diagonal.data()};
    }
};

stored store(const std::vector<vec>& a, std::int64_t bins, std::int64_t refine) {
    const std::int64_t n = bl::order(bins, refine), width = refine + 2;
    stored s{vec(static_cast<std::size_t>(3 * n), 0.0), vec(static_cast<std::size_t>(bins * width), 0.0),
             vec(static_cast<std::size_t>(n), 0.0)};
    for (std::int64_t p = 0; p < n; ++p) {
        const auto& row = a[static_cast<std::size_t>(p)];
        s.diagonal[static_cast<std::size_t>(p)] = row[static_cast<std::size_t>(p)];
        if (p > 0 && p % (refine + 1) == 0) {
            const std::int64_t bin = p / (refine + 1) - 1;
            for (std::int64_t c = std::max<std::int64_t>(0, p - width); c < p; ++c) {
                s.border[static_cast<std::size_t>(bin * width + c - (p - width))] = row[static_cast<std::size_t>(c)];
            }
        } else {
            for (std::int64_t c = std::max<std::int64_t>(0, p - 3); c < p; ++c) {
                s.near[static_cast<std::size_t>(3 * p + c - p + 3)] = row[static_cast<std::size_t>(c)];
            }
        }
    }
    return s;
}

using zelvane::testing::dense_inverse;

TEST(BorderLdl, InverseOnTheEnvelopeAgainstTheDenseInverse) {
    std::mt19937_64 random(11);
    for (const std::int64_t refine : {2, 3, 4, 7}) {
        for (const std::int64_t bins : {1, 2, 3, 6}) {
            for (const bool hold : {false, true}) {
                SCOPED_TRACE(testing::Message() << "refine " << refine << ", bins " << bins << ", held " << hold);
                const auto a = pattern_matrix(bins, refine, random, hold);
                const auto expected = dense_inverse(a);
                stored factors = store(a, bins, refine);
                ASSERT_EQ(bl::factor(factors.view(bins, refine)), -1);
                stored z = store(a, bins, refine);  // storage of the right sizes; overwritten
                bl::inverse(factors.view(bins, refine), z.view(bins, refine));
                // Every place of the envelope, read back through the layout.
                const stored want = store(expected, bins, refine);
                double scale = 0.0;
                for (const auto& row : expected) {
                    for (const double v : row) scale = std::max(scale, std::fabs(v));
                }
                for (std::size_t p = 0; p < want.diagonal.size(); ++p) {
                    EXPECT_NEAR(z.diagonal[p], want.diagonal[p], 1e-10 * scale) << "diagonal " << p;
                }
                for (std::size_t k = 0; k < want.border.size(); ++k) {
                    if (k == 0) continue;  // bin 0's first place lies outside the matrix
                    EXPECT_NEAR(z.border[k], want.border[k], 1e-10 * scale) << "border " << k;
                }
                for (std::size_t p = 0; p < want.diagonal.size(); ++p) {
                    if (p > 0 && p % static_cast<std::size_t>(refine + 1) == 0) continue;  // bin rows: border
                    for (std::size_t e = 0; e < 3; ++e) {
                        EXPECT_NEAR(z.near[3 * p + e], want.near[3 * p + e], 1e-10 * scale) << "near " << p << "," << e;
                    }
                }
            }
        }
    }
}

// The factors in double-double: the same solution as the dense inverse gives,
// and a residual, computed in double-double from the matrix's own doubles,
// some ten orders of magnitude below the rounding of a solve in double.
TEST(BorderLdl, WideFactorsSolveToDoubleDoublePrecision) {
    using zelvane::smooth_wide::wide;
    std::mt19937_64 random(12);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (const std::int64_t refine : {2, 3, 5}) {
        for (const std::int64_t bins : {1, 2, 4}) {
            for (const bool hold : {false, true}) {
                SCOPED_TRACE(testing::Message() << "refine " << refine << ", bins " << bins << ", held " << hold);
                const auto a = pattern_matrix(bins, refine, random, hold);
                const auto n = static_cast<std::size_t>(bl::order(bins, refine));
                const auto inverse = dense_inverse(a);
                vec b(n);
                for (double& x : b) x = unit(random);
                const stored doubles = store(a, bins, refine);
                std::vector<wide> near(doubles.near.begin(), doubles.near.end());
                std::vector<wide> border(doubles.border.begin(), doubles.border.end());
                std::vector<wide> diagonal(doubles.diagonal.begin(), doubles.diagonal.end());
                const bl::basic_system<wide> m{bins, refine, near.data(), border.data(), diagonal.data()};
                ASSERT_EQ(bl::factor(m), -1);
                std::vector<wide> x(b.begin(), b.end());
                bl::solve(m, x.data());
                double scale = 0.0, worst = 0.0;
                for (std::size_t p = 0; p < n; ++p) {
                    double want = 0.0;
                    for (std::size_t q = 0; q < n; ++q) want += inverse[p][q] * b[q];
                    scale = std::max(scale, std::fabs(want));
                    EXPECT_NEAR(static_cast<double>(x[p]), want, 1e-10 * std::max(1.0, std::fabs(want))) << p;
                }
                for (std::size_t p = 0; p < n; ++p) {
                    wide r = b[p];
                    double size = std::fabs(b[p]);
                    for (std::size_t q = 0; q < n; ++q) {
                        r -= wide(a[p][q]) * x[q];
                        size += std::fabs(a[p][q] * static_cast<double>(x[q]));
                    }
                    worst = std::max(worst, std::fabs(static_cast<double>(r)) / size);
                }
                EXPECT_LT(worst, 1e-26);
            }
        }
    }
}

}  // namespace envelope_inverse

// The arithmetic of double-double numbers: exact where the true result has
// 106 bits, and within a few units of 2^-104 where it does not.
TEST(SmoothWide, ArithmeticCarriesTwiceTheBits) {
    using zelvane::smooth_wide::wide;
    const double tiny = 0x1p-60;
    // (1 + 2^-60)^2 = 1 + 2^-59 + 2^-120: the last term is below 106 bits.
    const wide square = wide(1.0, tiny) * wide(1.0, tiny);
    EXPECT_EQ(square.hi, 1.0);
    EXPECT_EQ(square.lo, 0x1p-59);
    // A sum whose double would lose the small term keeps it.
    const wide sum = wide(1.0) + wide(tiny) - wide(1.0);
    EXPECT_EQ(sum.hi, tiny);
    EXPECT_EQ(sum.lo, 0.0);
    // 1 / 3, times 3, is 1 within 2^-104; in double the error is 2^-54.
    const wide third = wide(1.0) / wide(3.0);
    const wide back = third * wide(3.0) - wide(1.0);
    EXPECT_LE(std::fabs(back.hi), 0x1p-104);
    EXPECT_EQ(third.hi, 1.0 / 3.0);
    EXPECT_NE(third.lo, 0.0);
    // Dekker's product is exact: (2^27 + 1)^2 = 2^54 + 2^28 + 1 needs 55 bits.
    const wide p = wide(134217729.0) * wide(134217729.0);
    EXPECT_EQ(p.hi + 0.0, 18014398777917440.0);
    EXPECT_EQ(p.lo, 1.0);
    EXPECT_TRUE(zelvane::smooth_wide::usable(third));
    EXPECT_FALSE(zelvane::smooth_wide::usable(wide(0.0)));
    EXPECT_FALSE(zelvane::smooth_wide::usable(wide(HUGE_VAL)));
}
