// Pair sums, bound propagation and alternating subtraction, checked bit for
// bit against cases worked through by hand, on contiguous and strided storage.
#include "solvers/exact_fit.hpp"

#include <gtest/gtest.h>

#include "strided_floats.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

using zelvane::float32_vector;
using zelvane::no_zero_width;
namespace fit = zelvane::exact_fit;

using zelvane::testing::expect_bits;
using zelvane::testing::marker_value;
using zelvane::testing::nan;
using zelvane::testing::strided_floats;

struct fit_result {
    std::int64_t zero;
    std::vector<float> gsum, low, high, prob;
};

// Runs both steps the way a call does, n = len(gap) + 1, with scratch and
// output starting as marker bytes; solve runs only when no width is zero.
fit_result run(const std::vector<float>& center, const std::vector<float>& gap, std::int64_t stride = 4) {
    const std::size_t n = gap.size() + 1;
    strided_floats c(center, stride), g(gap, stride);
    strided_floats gsum(std::vector<float>(n - 1, marker_value), stride);
    strided_floats low(std::vector<float>(n, marker_value), stride);
    strided_floats high(std::vector<float>(n, marker_value), stride);
    strided_floats prob(std::vector<float>(n, marker_value), stride);
    const std::int64_t zero = fit::pair_sums(c.view, g.view, gsum.view);
    if (zero == no_zero_width) fit::solve(gsum.view, low.view, high.view, prob.view);
    EXPECT_TRUE(c.bytes == c.initial && g.bytes == g.initial);  // read only
    for (const strided_floats* s : {&gsum, &low, &high, &prob}) EXPECT_TRUE(s->outside_untouched());
    return {zero, gsum.values(), low.values(), high.values(), prob.values()};
}

// No centre is read (the empty view has no storage), high[0] is never set.
TEST(ExactFit, OneCentre) {
    const fit_result r = run({}, {});
    EXPECT_EQ(r.zero, no_zero_width);
    expect_bits({0}, r.prob);
    expect_bits({marker_value}, r.high);
}

TEST(ExactFit, TwoCentresStartAtZero) {
    expect_bits({0, 12}, run({0, 0.5f}, {3}).prob);
    expect_bits({0, -1.5f}, run({1, 3}, {-1.5f}).prob);
}

// Pair sums S0, S1: [S0 - S1, S1, 0] when S0 > S1, [0, S0, S1 - S0] when
// S0 < S1, [0, S0, 0] when they are equal, for either sign.
TEST(ExactFit, ThreeCentres) {
    struct example { std::vector<float> gap, prob; };
    const example examples[] = {
        {{1.5f, 0.5f}, {2, 1, 0}},
        {{0.5f, 1.5f}, {0, 1, 2}},
        {{1, 1}, {0, 2, 0}},
        {{-0.5f, -1.5f}, {2, -3, 0}},
        {{-1.5f, -0.5f}, {0, -3, 2}},
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "gap " << e.gap[0] << ", " << e.gap[1]);
        expect_bits(e.prob, run({0, 1, 2}, e.gap).prob);
    }
}

// Sums +0.0 and -0.0 compare equal, so the middle bound is the right-hand
// -0.0; the last value is -0.0 - +0.0.
TEST(ExactFit, EqualSumsTakeTheRightHandBound) {
    const fit_result r = run({0, 1, 2}, {0.0f, -0.0f});
    expect_bits({0.0f, -0.0f}, r.gsum);
    expect_bits({0.0f, -0.0f, -0.0f}, r.high);
    expect_bits({0.0f, 0.0f, -0.0f}, r.prob);
}

// Pair sums 1, 2, 0.4, 1.4 admit no non-negative solution. The forward pass
// sets high[3] = 0.4 - 1 and low[4] = 1.4 - high[3]; the backward pass raises
// low[1] to 2 - 0.4 = 1.6 above high[1] = 1, and low[0] = 1 - high[1] stays 0.
// In float 0.4f - 1 rounds to -0.6f and 1.4f + 0.6f is exactly 2.
TEST(ExactFit, InfeasibleFiveCentres) {
    const fit_result r = run({0, 1, 2, 3, 4}, {0.5f, 1.0f, 0.2f, 0.7f});
    expect_bits({1, 2, 0.4f, 1.4f}, r.gsum);
    EXPECT_GT(r.low[1], r.high[1]);
    expect_bits({0, 1, 1, -0.6f, 2}, r.prob);
}

// The first NaN pair sum is bin 1; no bound takes a NaN, so it reaches only
// the values from prob[2] on.
TEST(ExactFit, NaNGap) {
    const fit_result r = run({0, 1, 2, 3, 4}, {0.5f, nan, 0.2f, 0.7f});
    for (const float v : r.low) EXPECT_FALSE(std::isnan(v));
    expect_bits({0, 1, nan, nan, nan}, r.prob);
}

TEST(ExactFit, ZeroWidthStopsAtItsPosition) {
    fit_result r = run({0, 1, 1, 2}, {1, 0, 1});
    EXPECT_EQ(r.zero, 1);
    expect_bits({2, marker_value, marker_value}, r.gsum);

    r = run({0.0f, -0.0f, 1}, {0, 0});  // a width of -0.0 at the lowest index
    EXPECT_EQ(r.zero, 0);
    expect_bits({marker_value, marker_value}, r.gsum);

    r = run({0, nan, 2}, {1, 1});  // a NaN width is divided by
    EXPECT_EQ(r.zero, no_zero_width);
    expect_bits({nan, nan}, r.gsum);

    r = run({0, 1, 2, 2}, {0.5f, 0.5f});  // centres beyond len(gap) are not read
    EXPECT_EQ(r.zero, no_zero_width);
    expect_bits({0, 1, 0}, r.prob);
}

class ExactFitStrides : public testing::TestWithParam<std::int64_t> {};

TEST_P(ExactFitStrides, InfeasibleFiveCentres) {
    const fit_result r = run({0, 1, 2, 3, 4}, {0.5f, 1.0f, 0.2f, 0.7f}, GetParam());
    expect_bits({0, 1, 1, -0.6f, 2}, r.prob);
}

INSTANTIATE_TEST_SUITE_P(Strides, ExactFitStrides, testing::Values(8, -4, -12, 7, -5));

TEST(ExactFit, ZeroStrideGap) {
    const float one = 1;
    const float32_vector gap{const_cast<char*>(reinterpret_cast<const char*>(&one)), 2, 0};
    strided_floats center({0, 1, 2}, 4), gsum({0, 0}, 4), low({0, 0, 0}, 4), high({0, 0, 0}, 4),
        prob({0, 0, 0}, 4);
    ASSERT_EQ(fit::pair_sums(center.view, gap, gsum.view), no_zero_width);
    fit::solve(gsum.view, low.view, high.view, prob.view);
    expect_bits({0, 2, 0}, prob.values());
}

}  // namespace
