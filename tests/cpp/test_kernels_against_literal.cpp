// Both kernels against the rules written out literally (literal_steps.hpp), on
// thousands of random inputs: every byte of every vector, and the bytes around
// them, must come out the same, NaN payloads included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kernels/exact_fit.hpp"
#include "kernels/iterative_fit.hpp"
#include "literal_steps.hpp"
#include "strided_floats.hpp"

namespace {

using zelvane::float32_vector;
using zelvane::testing::marker_value, zelvane::testing::strided_floats;
namespace literal = zelvane::testing::literal;

enum class masses { uniform, mixed_sign, negative, many_decades, subnormal, count };

struct random_case {
    std::vector<float> center, gap;
    std::int64_t stride;
};

// n intervals; centres ascending or descending, now and then a repeated
// centre (a zero width); masses of one kind with specials sprinkled in.
random_case make_case(std::mt19937_64& rng, std::int64_t n) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto kind = static_cast<masses>(rng() % static_cast<unsigned>(masses::count));
    const bool descending = rng() % 2 == 0, zero_width = rng() % 16 == 0;
    random_case c;
    c.stride = std::vector<std::int64_t>{4, 8, -4}[rng() % 3];
    float x = unit(rng) * 10.0f - 5.0f;
    for (std::int64_t i = 0; i <= n; ++i) {
        c.center.push_back(descending ? -x : x);
        x += rng() % 8 == 0 ? unit(rng) * 1e-3f : 0.1f + unit(rng) * 2.0f;
    }
    if (zero_width) {
        const std::size_t k = rng() % static_cast<std::size_t>(n);
        c.center[k + 1] = c.center[k];
    }
    const float specials[] = {NAN, -NAN, INFINITY, -INFINITY, -0.0f, 0.0f,
                              std::numeric_limits<float>::max()};
    const double sprinkle = std::vector<double>{0.0, 0.001, 0.05}[rng() % 3];
    for (std::int64_t i = 0; i < n; ++i) {
        float g = 0;
        switch (kind) {
            case masses::uniform: g = unit(rng); break;
            case masses::mixed_sign: g = unit(rng) * 2.0f - 1.0f; break;
            case masses::negative: g = -unit(rng); break;
            case masses::many_decades:  // up to 10^38.5, past half the float32 maximum
                g = static_cast<float>(std::pow(10.0, unit(rng) * 68.0 - 30.0)); break;
            case masses::subnormal: g = std::bit_cast<float>(static_cast<std::uint32_t>(rng() % 0x800000u)); break;
            case masses::count: break;
        }
        if (kind != masses::uniform && kind != masses::negative && rng() % 4 == 0) g = -g;
        if (std::uniform_real_distribution<double>(0, 1)(rng) < sprinkle) g = specials[rng() % 7];
        c.gap.push_back(g);
    }
    return c;
}

std::int64_t random_length(std::mt19937_64& rng) {
    return std::llround(std::exp(std::uniform_real_distribution<double>(0.0, std::log(5000.0))(rng)));
}

TEST(KernelsAgainstLiteral, IterativeFit) {
    std::mt19937_64 rng(20240607);
    int early = 0, wide = 0;
    for (int t = 0; t < 3000; ++t) {
        const random_case c = make_case(rng, random_length(rng));
        const std::size_t n = c.gap.size();
        SCOPED_TRACE(testing::Message() << "case " << t << " n " << n << " stride " << c.stride);
        strided_floats center(c.center, c.stride), gap(c.gap, c.stride);
        strided_floats average(std::vector(n, marker_value), rng() % 4 == 0 ? c.stride : 4), prob(std::vector(n + 1, marker_value), c.stride);
        strided_floats want_average = average, want_prob = prob;
        want_average.view.data = want_average.bytes.data() + (average.view.data - average.bytes.data());
        want_prob.view.data = want_prob.bytes.data() + (prob.view.data - prob.bytes.data());

        const std::int64_t zero = zelvane::iterative_fit::mean_densities(center.view, gap.view, average.view);
        ASSERT_EQ(zero, literal::mean_densities(center.view, gap.view, want_average.view));
        ASSERT_TRUE(average.bytes == want_average.bytes);
        if (zero != zelvane::no_zero_width) continue;
        bool narrow = true;  // every mean density within half the float maximum
        for (std::size_t i = 0; i < n; ++i) narrow = narrow && std::fabs(average.view.get(static_cast<std::int64_t>(i))) <= 1.70141173e38f;
        wide += !narrow;
        const int passes = zelvane::iterative_fit::relax(average.view, prob.view);
        int settled_after = 0;
        const int rule = literal::relax(want_average.view, want_prob.view, &settled_after);
        ASSERT_TRUE(prob.bytes == want_prob.bytes);
        // The kernel stops after the rule's last pass, or after the first one
        // that the next pass would leave as it is, whichever comes first.
        ASSERT_EQ(passes, settled_after != 0 ? settled_after : rule);
        early += passes < rule;
    }
    EXPECT_GT(early, 100);  // the early stop fired often enough to be tested
    EXPECT_GT(wide, 100);   // and so did fits whose estimates need double precision
}

// Long runs of negative masses with a positive spike now and then: stretches
// of the sweeps that go step by step, where a change late in the backward
// sweep still unsettles the values, so that the stop has to wait a pass.
TEST(KernelsAgainstLiteral, IterativeFitOnSpikedNegativeRuns) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    int later = 0;
    for (int t = 0; t < 200; ++t) {
        const std::int64_t n = 300 + static_cast<std::int64_t>(rng() % 1500);
        std::vector<float> center{0.0f}, gap;
        for (std::int64_t i = 0; i < n; ++i) {
            center.push_back(center.back() + (t % 2 == 0 ? 1.0f : 0.1f + unit(rng)));
            gap.push_back(rng() % 50 == 0 ? 10.0f * unit(rng) : -unit(rng));
        }
        std::vector<float> average(static_cast<std::size_t>(n)), prob(average.size() + 1);
        std::vector<float> want_average = average, want_prob = prob;
        auto view = [](std::vector<float>& v) {
            return float32_vector{reinterpret_cast<char*>(v.data()), static_cast<std::int64_t>(v.size()), 4};
        };
        SCOPED_TRACE(testing::Message() << "case " << t << " n " << n);
        zelvane::iterative_fit::mean_densities(view(center), view(gap), view(average));
        literal::mean_densities(view(center), view(gap), view(want_average));
        const int passes = zelvane::iterative_fit::relax(view(average), view(prob));
        int settled_after = 0;
        const int rule = literal::relax(view(want_average), view(want_prob), &settled_after);
        ASSERT_EQ(std::memcmp(prob.data(), want_prob.data(), 4 * prob.size()), 0);
        ASSERT_EQ(passes, settled_after != 0 ? settled_after : rule);
        later += passes > 1;
    }
    EXPECT_GT(later, 20);
}

TEST(KernelsAgainstLiteral, ExactFit) {
    std::mt19937_64 rng(7);
    for (int t = 0; t < 3000; ++t) {
        const random_case c = make_case(rng, random_length(rng));
        const std::size_t m = c.gap.size();
        SCOPED_TRACE(testing::Message() << "case " << t << " n " << m + 1 << " stride " << c.stride);
        strided_floats center(c.center, c.stride), gap(c.gap, c.stride);
        strided_floats scratch[] = {strided_floats(std::vector(m, marker_value), 4),
                                    strided_floats(std::vector(m + 1, marker_value), 4),
                                    strided_floats(std::vector(m + 1, marker_value), 4),
                                    strided_floats(std::vector(m + 1, marker_value), c.stride)};
        std::vector<strided_floats> want(std::begin(scratch), std::end(scratch));
        for (std::size_t k = 0; k < 4; ++k) {
            want[k].view.data = want[k].bytes.data() + (scratch[k].view.data - scratch[k].bytes.data());
        }
        const std::int64_t zero = zelvane::exact_fit::pair_sums(center.view, gap.view, scratch[0].view);
        ASSERT_EQ(zero, literal::pair_sums(center.view, gap.view, want[0].view));
        ASSERT_TRUE(scratch[0].bytes == want[0].bytes);
        if (zero != zelvane::no_zero_width) continue;
        zelvane::exact_fit::solve(scratch[0].view, scratch[1].view, scratch[2].view, scratch[3].view);
        literal::solve(want[0].view, want[1].view, want[2].view, want[3].view);
        for (std::size_t k = 0; k < 4; ++k) ASSERT_TRUE(scratch[k].bytes == want[k].bytes) << "vector " << k;
    }
}

// Vectors sharing storage (as a replaced numpy.empty could hand out) see every
// write before the reads that follow it, as the rules do.
TEST(KernelsAgainstLiteral, SharedStorage) {
    std::mt19937_64 rng(3);
    for (int t = 0; t < 400; ++t) {
        const std::int64_t n = 1 + static_cast<std::int64_t>(rng() % 40);
        const random_case c = make_case(rng, n);
        const std::int64_t offsets[] = {0, 1, 2, -1, n / 2};
        const std::int64_t shift = offsets[rng() % 5], stride = std::vector<std::int64_t>{4, 0, 8, 2}[rng() % 4];
        std::vector<float> fill(static_cast<std::size_t>(8 * n + 32));
        for (float& f : fill) f = std::uniform_real_distribution<float>(-1, 1)(rng);
        SCOPED_TRACE(testing::Message() << "case " << t << " shift " << shift << " stride " << stride);
        strided_floats got(fill, 4), want(fill, 4);
        auto views = [&](strided_floats& s) {
            char* base = s.view.data + 4 * (3 * n + 8);
            return std::vector<float32_vector>{{base, n, 4}, {base + 4 * shift, n + 1, stride},
                                               {base - 4 * shift, n + 1, 4}, {base + 8 * shift, n + 1, stride}};
        };
        const std::vector<float32_vector> g = views(got), w = views(want);
        strided_floats center(c.center, 4), gap(c.gap, 4);
        zelvane::iterative_fit::mean_densities(center.view, gap.view, g[0]);
        literal::mean_densities(center.view, gap.view, w[0]);
        zelvane::iterative_fit::relax(g[0], g[1]);
        literal::relax(w[0], w[1]);
        ASSERT_TRUE(got.bytes == want.bytes);
        const float32_vector gs{g[0].data, n, g[0].strides}, ws{w[0].data, n, w[0].strides};
        zelvane::exact_fit::solve(gs, g[1], g[2], g[3]);
        literal::solve(ws, w[1], w[2], w[3]);
        ASSERT_TRUE(got.bytes == want.bytes);
    }
}

}  // namespace
