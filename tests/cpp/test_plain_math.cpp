// The elementary functions of the smooth fits against the C library's, over
// the ranges the fits use and their edges: a few units in the last place at
// most.
#include "kernels/plain_math.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

namespace pm = zelvane::plain_math;

double ulps(double got, double want) {
    if (got == want) return 0.0;
    return std::fabs(got - want) / std::fabs(std::nextafter(want, std::numeric_limits<double>::infinity()) - want);
}

TEST(PlainMath, LogAgainstTheLibrary) {
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> exponent(-320.0, 308.0), near_one(-1e-6, 1e-6);
    for (int k = 0; k < 200000; ++k) {
        const double x = std::pow(10.0, exponent(rng));
        EXPECT_LE(ulps(pm::log(x), std::log(x)), 2.0) << x;
        const double y = 1.0 + near_one(rng);
        EXPECT_LE(std::fabs(pm::log(y) - std::log(y)), 4e-16 * std::fabs(y - 1.0) + 1e-22) << y;
    }
    EXPECT_EQ(pm::log(1.0), 0.0);
    EXPECT_EQ(pm::log(0.0), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(pm::log(std::numeric_limits<double>::infinity()), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(pm::log(-1.0)));
    EXPECT_TRUE(std::isnan(pm::log(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_LE(ulps(pm::log(std::numeric_limits<double>::denorm_min()),
                   std::log(std::numeric_limits<double>::denorm_min())), 2.0);
}

TEST(PlainMath, ExpAndPowersOfTen) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> x(-740.0, 709.0), decade(-20.0, 8.0);
    for (int k = 0; k < 200000; ++k) {
        const double v = x(rng);
        const double want = std::exp(v);
        if (want >= std::numeric_limits<double>::min()) {
            EXPECT_LE(ulps(pm::exp(v), want), 2.0) << v;
        }
        // ln 10's own rounding, times up to 2.3, comes on top of exp's.
        const double d = decade(rng);
        EXPECT_LE(ulps(pm::power_of_ten(d), std::pow(10.0, d)), 8.0) << d;
    }
    for (int d = -22; d <= 22; ++d) EXPECT_EQ(pm::power_of_ten(d), std::pow(10.0, d)) << d;
    EXPECT_EQ(pm::exp(0.0), 1.0);
    EXPECT_EQ(pm::exp(800.0), std::numeric_limits<double>::infinity());
    EXPECT_EQ(pm::exp(-800.0), 0.0);
    EXPECT_LE(ulps(pm::log10(1e-7), -7.0), 2.0);
    EXPECT_EQ(pm::round(2.5), 3.0);
    EXPECT_EQ(pm::round(-2.5), -3.0);
    EXPECT_EQ(pm::round(-5.2), -5.0);
}

}  // namespace
