// Mean densities and relaxation passes, checked bit for bit against cases
// worked through by hand, on contiguous and strided storage.
#include "solvers/iterative_fit.hpp"

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
namespace fit = zelvane::iterative_fit;

using zelvane::testing::expect_bits;
using zelvane::testing::marker_value;
using zelvane::testing::nan;
using zelvane::testing::strided_floats;

struct fit_result {
    std::int64_t zero;
    int passes;
    std::vector<float> average, prob;
};

// Runs both phases the way a call does, with scratch and output starting as
// marker bytes; relax runs only when no width is zero.
fit_result run(const std::vector<float>& center, const std::vector<float>& gap, std::int64_t stride = 4) {
    const std::size_t n = gap.size();
    strided_floats c(center, stride), g(gap, stride);
    strided_floats average(std::vector<float>(n, marker_value), stride);
    strided_floats prob(std::vector<float>(n + 1, marker_value), stride);
    fit_result r{fit::mean_densities(c.view, g.view, average.view), 0, {}, {}};
    if (r.zero == no_zero_width) r.passes = fit::relax(average.view, prob.view);
    r.average = average.values();
    r.prob = prob.values();
    EXPECT_TRUE(c.bytes == c.initial && g.bytes == g.initial);  // read only
    EXPECT_TRUE(average.outside_untouched() && prob.outside_untouched());
    return r;
}

TEST(IterativeFit, ConsistentMassesSettleInOnePass) {
    struct example { std::vector<float> center, gap, prob; };
    const example examples[] = {
        {{0, 1}, {2}, {2, 2}},
        {{0, 1}, {-1}, {0, 0}},  // both ends clamped to +0.0
        {{0, 1, 2}, {0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}},
        {{0, 1, 2, 3}, {1, 0, 1}, {1.5f, 0.5f, 0.5f, 1.5f}},
        {{0, 1, 2, 3}, {1, 2, 1}, {0.5f, 1.5f, 1.5f, 0.5f}},
        {{0, 1}, {3e38f}, {3e38f, 3e38f}},  // 2 * 3e38 overflows float, not double
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "gap[0] = " << e.gap[0] << ", n = " << e.gap.size());
        const fit_result r = run(e.center, e.gap);
        EXPECT_EQ(r.passes, 1);
        expect_bits(e.prob, r.prob);
    }
}

TEST(IterativeFit, UnequalWidths) {
    expect_bits({0.5833333f, 0.4166667f, 0.4166667f, 0.5833333f},
                run({0, 0.5f, 2, 2.5f}, {0.25f, 0.5f, 0.25f}).prob);
}

// Starts at [0.1, 0.3, 0.3, 0.2, 0.3]; the first pass sets the last value to
// 0.40000004, lowers 0.2 to its upper bound in the backward sweep and clamps
// the first value to zero; the second pass moves nothing.
TEST(IterativeFit, TwoPassCase) {
    const fit_result r = run({0, 1, 2, 3, 4}, {0.1f, 0.5f, 0.1f, 0.3f});
    EXPECT_EQ(r.passes, 2);
    expect_bits({0, 0.3f, 0.3f, 0.19999999f, 0.40000004f}, r.prob);
}

// With both estimates negative the value ends at the negative upper bound and
// counts as moved, so every pass moves something.
TEST(IterativeFit, NegativeMassesRunEveryPass) {
    for (const auto& [center, gap] : {std::pair<std::vector<float>, std::vector<float>>{{0, 1, 2}, {-1, -1}},
                                      {{2, 1, 0}, {1, 1}}}) {
        const fit_result r = run(center, gap);
        EXPECT_EQ(r.passes, fit::max_passes);
        expect_bits({0, -2, 0}, r.prob);
    }
}

// The initial middle value overflows to infinity and is clamped to its upper
// bound 3.4e38; the end value 2 * 2.6e38 - 3.4e38 is finite through double.
TEST(IterativeFit, OverflowInInitialValues) {
    const fit_result r = run({0, 1, 2}, {3.4e38f, 2.6e38f});
    EXPECT_EQ(r.passes, 2);
    expect_bits({3.4e38f, 3.4e38f, 1.8000002e38f}, r.prob);
}

TEST(IterativeFit, NaNsNeverMoveAValue) {
    // A NaN on the right makes both bounds NaN: nothing moves.
    fit_result r = run({0, 1, 2}, {1, nan});
    EXPECT_EQ(r.passes, 1);
    expect_bits({nan, nan, nan}, r.prob);
    // A NaN on the left leaves both bounds at the right-hand estimate, which
    // pulls the initial 2 up to 3 at i = 2.
    r = run({0, 1, 2, 3}, {nan, 1, 3});
    EXPECT_EQ(r.passes, 2);
    expect_bits({nan, nan, 3, 3}, r.prob);
}

TEST(IterativeFit, ZeroWidthStopsAtItsPosition) {
    fit_result r = run({0, 1, 1, 2}, {1, 0, 1});
    EXPECT_EQ(r.zero, 1);
    expect_bits({1, marker_value, marker_value}, r.average);
    expect_bits({marker_value, marker_value, marker_value, marker_value}, r.prob);

    r = run({0.0f, -0.0f, 1}, {2, 2});  // a width of -0.0 at the lowest index
    EXPECT_EQ(r.zero, 0);
    expect_bits({marker_value, marker_value}, r.average);

    r = run({0, nan, 2}, {1, 1});  // a NaN width is divided by
    EXPECT_EQ(r.zero, no_zero_width);
    expect_bits({nan, nan}, r.average);

    r = run({0, 1, 2, 2}, {0.5f, 0.5f});  // centres beyond n are not read
    EXPECT_EQ(r.zero, no_zero_width);
    expect_bits({0.5f, 0.5f, 0.5f}, r.prob);
}

class IterativeFitStrides : public testing::TestWithParam<std::int64_t> {};

TEST_P(IterativeFitStrides, TwoPassCase) {
    const fit_result r = run({0, 1, 2, 3, 4}, {0.1f, 0.5f, 0.1f, 0.3f}, GetParam());
    EXPECT_EQ(r.passes, 2);
    expect_bits({0, 0.3f, 0.3f, 0.19999999f, 0.40000004f}, r.prob);
}

INSTANTIATE_TEST_SUITE_P(Strides, IterativeFitStrides, testing::Values(8, -4, -12, 7, -5));

TEST(IterativeFit, ZeroStrideGap) {
    const float half = 0.5f;
    const float32_vector gap{const_cast<char*>(reinterpret_cast<const char*>(&half)), 2, 0};
    strided_floats center({0, 1, 2}, 4), average({0, 0}, 4), prob({0, 0, 0}, 4);
    ASSERT_EQ(fit::mean_densities(center.view, gap, average.view), no_zero_width);
    EXPECT_EQ(fit::relax(average.view, prob.view), 1);
    expect_bits({0.5f, 0.5f, 0.5f}, prob.values());
}

}  // namespace
