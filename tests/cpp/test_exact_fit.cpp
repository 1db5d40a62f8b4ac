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

// The whole fit in one block of scratch, as the rows module runs it: the same
// bits as the steps on vectors of their own, the pair sums, lower and upper
// bounds laid end to end within scratch_floats(m) floats and nothing written
// past them; a zero width leaves prob as it was.
TEST(ExactFitWhole, OneScratchBlockGivesTheStepsBits) {
    struct example { std::vector<float> center, gap; };
    const example examples[] = {
        {{0, 0.5f}, {3}},
        {{0, 1, 2, 3, 4}, {0.5f, 1.0f, 0.2f, 0.7f}},
        {{-3, -1, 0.25f, 7, 7.5f, 9}, {2, 0, 1.25f, 4, 0.5f}},
        {{0, 1, 1, 2}, {1, 0, 1}},  // a zero width
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        const std::int64_t m = std::ssize(e.gap);
        const fit_result steps = run(e.center, e.gap, 4, 4);
        const std::int64_t floats = fit::scratch_floats(m);
        ASSERT_EQ(floats, 3 * m + 2);
        std::vector<char> block(static_cast<std::size_t>(floats * 4 + 64), zelvane::testing::marker);
        zelvane::testing::strided_floats c(e.center, 4), g(e.gap, 4),
            prob(std::vector(static_cast<std::size_t>(m + 1), marker_value), 4);
        const std::int64_t zero = fit::fit(c.view, g.view, fit::scratch_in(block.data(), m), prob.view);
        EXPECT_EQ(zero, steps.zero);
        EXPECT_TRUE(same_bits(zero == no_zero_width ? steps.prob
                                                    : std::vector(static_cast<std::size_t>(m + 1), marker_value),
                              prob.values()));
        EXPECT_TRUE(std::all_of(block.begin() + floats * 4, block.end(),
                                [](char b) { return b == zelvane::testing::marker; }));
        if (zero != no_zero_width) continue;
        std::vector<float> laid(static_cast<std::size_t>(floats));
        std::memcpy(laid.data(), block.data(), laid.size() * 4);
        std::vector<float> want = steps.gsum;
        want.insert(want.end(), steps.low.begin(), steps.low.end());
        want.insert(want.end(), steps.high.begin(), steps.high.end());
        EXPECT_TRUE(same_bits(want, laid));
    }
}
