// Pair sums, bound propagation and alternating subtraction, checked bit for
// bit against cases worked through by hand, on contiguous, strided and
// reversed storage.
#include "kernels/exact_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "strided_floats.hpp"

namespace {

using zelvane::no_zero_width;
using zelvane::testing::marker_value, zelvane::testing::nan, zelvane::testing::same_bits;
namespace fit = zelvane::exact_fit;

struct fit_result {
    std::int64_t zero;
    std::vector<float> gsum, low, high, prob;
};

// Runs both steps as a call does, n = len(gap) + 1, scratch and output
// starting as marker bytes; solve runs only when no width is zero.
fit_result run(const std::vector<float>& center, const std::vector<float>& gap, std::int64_t stride,
               std::int64_t gap_stride) {
    const std::vector<float> blank(gap.size() + 1, marker_value);
    zelvane::testing::strided_floats c(center, stride), g(gap, gap_stride),
        gsum(std::vector(gap.size(), marker_value), stride), low(blank, stride), high(blank, stride),
        prob(blank, stride);
    const std::int64_t zero = fit::pair_sums(c.view, g.view, gsum.view);
    if (zero == no_zero_width) fit::solve(gsum.view, low.view, high.view, prob.view);
    EXPECT_TRUE(c.bytes == c.initial && g.bytes == g.initial);  // read only
    for (const auto* s : {&gsum, &low, &high, &prob}) EXPECT_TRUE(s->outside_untouched());
    return {zero, gsum.values(), low.values(), high.values(), prob.values()};
}

class ExactFit : public testing::TestWithParam<std::int64_t> {};

TEST_P(ExactFit, WorkedExamples) {
    struct example { std::vector<float> center, gap, prob; };
    const example examples[] = {
        {{}, {}, {0}},  // one centre: the empty view has no storage, so no centre may be read
        {{0, 0.5f}, {3}, {0, 12}},
        {{1, 3}, {-1.5f}, {0, -1.5f}},
        {{0, 2}, {3e38f}, {0, INFINITY}},  // the doubled gap overflows before the division
        // Pair sums S0, S1: [S0 - S1, S1, 0] if S0 > S1, [0, S0, S1 - S0] if S0 < S1, else [0, S0, 0].
        {{0, 1, 2}, {1.5f, 0.5f}, {2, 1, 0}},
        {{0, 1, 2}, {0.5f, 1.5f}, {0, 1, 2}},
        {{0, 1, 2}, {1, 1}, {0, 2, 0}},
        {{0, 1, 2}, {-0.5f, -1.5f}, {2, -3, 0}},
        {{0, 1, 2}, {-1.5f, -0.5f}, {0, -3, 2}},
        {{0, 1, 2}, {0.0f, -0.0f}, {0.0f, 0.0f, -0.0f}},  // the last value is -0.0 - +0.0
        {{0, 1, 2, 2}, {0.5f, 0.5f}, {0, 1, 0}},          // centres beyond len(gap) are not read
        // Pair sums 1, 2, 0.4, 1.4 admit no non-negative solution; 0.4f - 1 rounds to -0.6f, and
        // 1.4f + 0.6f is exactly 2.
        {{0, 1, 2, 3, 4}, {0.5f, 1.0f, 0.2f, 0.7f}, {0, 1, 1, -0.6f, 2}},
        {{0, 1, 2, 3, 4}, {0.5f, nan, 0.2f, 0.7f}, {0, 1, nan, nan, nan}},  // bin 1's NaN reaches prob[2] on
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        const fit_result r = run(e.center, e.gap, GetParam(), GetParam());
        EXPECT_EQ(r.zero, no_zero_width);
        EXPECT_TRUE(same_bits(e.prob, r.prob));
        EXPECT_TRUE(std::ranges::none_of(r.low, [](float v) { return std::isnan(v); }));  // never a NaN
    }
}

// The first zero width (-0.0 included, whatever the gap) stops the pair sums: nothing written from there on.
TEST_P(ExactFit, ZeroWidth) {
    struct example { std::vector<float> center, gap; std::int64_t zero; std::vector<float> gsum; };
    const example examples[] = {
        {{0, 1, 1, 2}, {1, 0, 1}, 1, {2, marker_value, marker_value}},
        {{0.0f, -0.0f, 1}, {0, 0}, 0, {marker_value, marker_value}},
        {{0, nan, 2}, {1, 1}, no_zero_width, {nan, nan}},  // a NaN width is divided by
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        const fit_result r = run(e.center, e.gap, GetParam(), GetParam());
        EXPECT_EQ(r.zero, e.zero);
        EXPECT_TRUE(same_bits(e.gsum, r.gsum));
    }
}

INSTANTIATE_TEST_SUITE_P(Strides, ExactFit, testing::Values(4, 8, -4, -12, 7, -5));

TEST(ExactFitBounds, SetAsTheRulesSay) {
    EXPECT_TRUE(same_bits({marker_value}, run({}, {}, 4, 4).high));  // n = 1: high[0] is never set
    // Sums +0.0 and -0.0 compare equal: the middle takes the right-hand -0.0, and no equal value replaces it.
    EXPECT_TRUE(same_bits({0.0f, -0.0f, -0.0f}, run({0, 1, 2}, {0.0f, -0.0f}, 4, 4).high));
    // Infeasible sums: the backward pass raises low[1] to 2 - 0.4 above high[1] = 1; nothing checks.
    const fit_result r = run({0, 1, 2, 3, 4}, {0.5f, 1.0f, 0.2f, 0.7f}, 4, 4);
    EXPECT_GT(r.low[1], r.high[1]);
}

TEST(ExactFitZeroStride, GapReadsOneMassForEveryBin) {
    EXPECT_TRUE(same_bits({0, 2, 0}, run({0, 1, 2}, {1, 1}, 4, 0).prob));
}

}  // namespace
