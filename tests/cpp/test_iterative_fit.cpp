// Mean densities and relaxation passes, checked bit for bit against cases
// worked through by hand, on contiguous, strided and reversed storage.
#include "kernels/iterative_fit.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "literal_steps.hpp"
#include "strided_floats.hpp"

namespace {

using zelvane::no_zero_width;
using zelvane::testing::marker_value, zelvane::testing::nan, zelvane::testing::same_bits;
namespace fit = zelvane::iterative_fit;

struct fit_result {
    std::int64_t zero;
    int passes, rule;  // passes run; passes the rule alone runs (0 when relax did not run)
    std::vector<float> average, prob;
};

// Runs both phases as a call does, scratch and output starting as marker
// bytes; relax runs only when no width is zero.
fit_result run(const std::vector<float>& center, const std::vector<float>& gap, std::int64_t stride,
               std::int64_t gap_stride) {
    const std::size_t n = gap.size();
    zelvane::testing::strided_floats c(center, stride), g(gap, gap_stride),
        average(std::vector(n, marker_value), stride), prob(std::vector(n + 1, marker_value), stride);
    const std::int64_t zero = fit::mean_densities(c.view, g.view, average.view);
    zelvane::testing::strided_floats literal_prob(std::vector(n + 1, marker_value), stride);
    const int passes = zero == no_zero_width ? fit::relax(average.view, prob.view) : 0;
    const int rule = zero == no_zero_width ? zelvane::testing::literal::relax(average.view, literal_prob.view) : 0;
    EXPECT_TRUE(prob.bytes == literal_prob.bytes);
    EXPECT_TRUE(c.bytes == c.initial && g.bytes == g.initial);  // read only
    EXPECT_TRUE(average.outside_untouched() && prob.outside_untouched());
    return {zero, passes, rule, average.values(), prob.values()};
}

class IterativeFit : public testing::TestWithParam<std::int64_t> {};

TEST_P(IterativeFit, WorkedExamples) {
    // rule: the passes that the rule alone runs (stop after a pass with no interior move, or
    // after 128); passes: those run with the early stop, which ends as soon as the next pass
    // could change no bit.
    struct example { std::vector<float> center, gap, prob; int rule, passes; };
    const example examples[] = {
        {{0, 1}, {2}, {2, 2}, 1, 1},
        {{0, 1}, {-1}, {0, 0}, 1, 1},                        // both ends clamped to +0.0
        {{0, 1}, {-0.0f}, {-0.0f, 0.0f}, 1, 1},              // last -0.0 - -0.0 = +0.0; Z keeps -0.0 - +0.0
        {{0, 1}, {3e38f}, {3e38f, 3e38f}, 1, 1},             // 2 * 3e38 overflows float, not double
        {{0, 1, 2, 2}, {0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, 1, 1},  // centres beyond n are not read
        {{0, 1, 2, 3}, {1, 0, 1}, {1.5f, 0.5f, 0.5f, 1.5f}, 1, 1},
        {{0, 1, 2, 3}, {1, 2, 1}, {0.5f, 1.5f, 1.5f, 0.5f}, 1, 1},
        {{0, 0.5f, 2, 2.5f}, {0.25f, 0.5f, 0.25f}, {0.5833333f, 0.4166667f, 0.4166667f, 0.5833333f}, 1, 1},
        // From [0.1, 0.3, 0.3, 0.2, 0.3] the first pass sets the last value, lowers 0.2 to its
        // upper bound and clamps the first value; the second would move nothing, and the early
        // stop sees that without running it.
        {{0, 1, 2, 3, 4}, {0.1f, 0.5f, 0.1f, 0.3f}, {0, 0.3f, 0.3f, 0.19999999f, 0.40000004f}, 2, 1},
        // Both estimates negative: the value ends at the negative upper bound and counts as moved,
        // so the rule never ends the passes. The first pass leaves [0, -1, 0], where the middle
        // step would still give -2; after the second, every step puts back the bits in place.
        {{0, 1, 2}, {-1, -1}, {0, -2, 0}, 128, 2},
        {{2, 1, 0}, {1, 1}, {0, -2, 0}, 128, 2},
        // The initial middle value overflows to infinity and is clamped to 3.4e38.
        {{0, 1, 2}, {3.4e38f, 2.6e38f}, {3.4e38f, 3.4e38f, 1.8000002e38f}, 2, 1},
        {{0, 1, 2}, {1, nan}, {nan, nan, nan}, 1, 1},         // a NaN on the right makes both bounds NaN
        {{0, 1, 2, 3}, {nan, 1, 3}, {nan, nan, 3, 3}, 2, 1},  // on the left, both bounds are est2
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        const fit_result r = run(e.center, e.gap, GetParam(), GetParam());
        EXPECT_EQ(r.rule, e.rule);
        EXPECT_EQ(r.passes, e.passes);
        EXPECT_TRUE(same_bits(e.prob, r.prob));
    }
}

// The first zero width (-0.0 included) stops the phase: nothing is written from there on.
TEST_P(IterativeFit, ZeroWidth) {
    struct example { std::vector<float> center, gap; std::int64_t zero; std::vector<float> average; };
    const example examples[] = {
        {{0, 1, 1, 2}, {1, 0, 1}, 1, {1, marker_value, marker_value}},
        {{0.0f, -0.0f, 1}, {2, 2}, 0, {marker_value, marker_value}},
        {{0, nan, 2}, {1, 1}, no_zero_width, {nan, nan}},  // a NaN width is divided by
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        const fit_result r = run(e.center, e.gap, GetParam(), GetParam());
        EXPECT_EQ(r.zero, e.zero);
        EXPECT_TRUE(same_bits(e.average, r.average));
    }
}

// Hand-made states: whether one more pass could change a bit of prob.
TEST_P(IterativeFit, SettledStates) {
    struct example { std::vector<float> average, prob; bool settled; };
    const example examples[] = {
        {{0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, true},
        // The middle step moves (up to +0.0, then down to -2) but puts back the bits in place.
        {{-1, -1}, {0, -2, 0}, true},
        {{-1, -1}, {0, -1, 0}, false},   // the middle step would give -2
        {{-1, -1}, {0, -2, 5}, false},   // every interior step stays; the last value would be 0
        {{-1, -1}, {5, -2, 0}, false},   // every interior step stays; the first value would be 0
        {{-0.0f}, {-0.0f, 0.0f}, true},   // 2 * -0.0 - -0.0 is +0.0, 2 * -0.0 - +0.0 is -0.0
        {{-0.0f}, {-0.0f, -0.0f}, false}, // +0.0 where -0.0 stands is a change
        {{1, nan}, {nan, nan, nan}, true},
        // Long enough for blocks of four: one changing step among many settled ones.
        {std::vector<float>(23, 1.0f), std::vector<float>(24, 1.0f), true},
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        zelvane::testing::strided_floats average(e.average, GetParam()), prob(e.prob, GetParam());
        EXPECT_EQ(fit::settled(average.view, prob.view), e.settled);
        EXPECT_TRUE(prob.bytes == prob.initial);  // read only
    }
    for (std::size_t k : {1, 5, 11, 17, 22, 23}) {
        std::vector<float> prob(24, 1.0f);
        prob[k] = 1.5f;  // an interior one is pulled back to 1; an end one is set to 1
        zelvane::testing::strided_floats average(std::vector<float>(23, 1.0f), GetParam()),
            p(prob, GetParam());
        EXPECT_FALSE(fit::settled(average.view, p.view)) << "at " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Strides, IterativeFit, testing::Values(4, 8, -4, -12, 7, -5));

TEST(IterativeFitZeroStride, GapReadsOneMassForEveryInterval) {
    EXPECT_TRUE(same_bits({0.5f, 0.5f, 0.5f}, run({0, 1, 2}, {0.5f, 0.5f}, 4, 0).prob));
}

}  // namespace
