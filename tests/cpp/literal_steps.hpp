// The two fitters written as their rules read, one element at a time through
// memory and with no early stop: the yardstick that the kernels' fast forms
// must match bit for bit.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "kernels/float32_vector.hpp"

namespace zelvane::testing::literal {

inline float estimate(float a, float p) { return static_cast<float>(2.0 * double{a} - double{p}); }

inline std::int64_t mean_densities(const float32_vector& center, const float32_vector& gap,
                                   const float32_vector& average) {
    for (std::int64_t i = 0; i < average.shape; ++i) {
        const float w = center.get(i + 1) - center.get(i);
        if (w == 0.0f) return i;
        average.set(i, gap.get(i) / w);
    }
    return -1;
}

// Returns the number of passes the rule runs: up to the first pass with no
// interior move, at most 128. With `settled_after`, also the first pass after
// which the next one left every bit of prob as it was (0 if none did before
// the rule stopped).
inline int relax(const float32_vector& average, const float32_vector& prob,
                 int* settled_after = nullptr) {
    const std::int64_t n = average.shape;
    prob.set(0, average.get(0));
    for (std::int64_t i = 1; i < n; ++i) prob.set(i, (average.get(i - 1) + average.get(i)) * 0.5f);
    prob.set(n, average.get(n - 1));
    bool change = false;
    auto step = [&](std::int64_t i) {
        const float est1 = estimate(average.get(i - 1), prob.get(i - 1));
        const float est2 = estimate(average.get(i), prob.get(i + 1));
        float low = est1 < est2 ? est1 : est2;
        const float high = est1 > est2 ? est1 : est2;
        if (low < 0.0f) low = 0.0f;
        if (prob.get(i) < low) {
            prob.set(i, low);
            change = true;
        }
        if (prob.get(i) > high) {
            prob.set(i, high);
            change = true;
        }
    };
    auto z = [](float v) { return v < 0.0f ? 0.0f : v; };
    auto bits = [&] {
        std::vector<std::uint32_t> b;
        for (std::int64_t i = 0; i <= n; ++i) b.push_back(std::bit_cast<std::uint32_t>(prob.get(i)));
        return b;
    };
    if (settled_after) *settled_after = 0;
    for (int pass = 1; pass <= 128; ++pass) {
        const std::vector<std::uint32_t> before = settled_after ? bits() : std::vector<std::uint32_t>{};
        change = false;
        for (std::int64_t i = 1; i < n; ++i) step(i);
        prob.set(n, z(estimate(average.get(n - 1), prob.get(n - 1))));
        for (std::int64_t i = n - 1; i >= 1; --i) step(i);
        prob.set(0, z(estimate(average.get(0), prob.get(1))));
        if (settled_after && *settled_after == 0 && pass > 1 && bits() == before) *settled_after = pass - 1;
        if (!change) return pass;
    }
    return 128;
}

inline std::int64_t pair_sums(const float32_vector& center, const float32_vector& gap,
                              const float32_vector& gsum) {
    for (std::int64_t i = 0; i < gap.shape; ++i) {
        const float w = center.get(i + 1) - center.get(i);
        if (w == 0.0f) return i;
        gsum.set(i, (gap.get(i) + gap.get(i)) / w);
    }
    return -1;
}

inline void solve(const float32_vector& gsum, const float32_vector& low, const float32_vector& high,
                  const float32_vector& prob) {
    const std::int64_t n = prob.shape, m = gsum.shape;
    for (std::int64_t i = 0; i < n; ++i) {
        low.set(i, 0.0f);
        if (n < 2) continue;
        if (i == 0) high.set(i, gsum.get(0));
        else if (i == n - 1) high.set(i, gsum.get(n - 2));
        else high.set(i, gsum.get(i - 1) < gsum.get(i) ? gsum.get(i - 1) : gsum.get(i));
    }
    for (std::int64_t i = 0; i < m; ++i) {
        if (gsum.get(i) - high.get(i) > low.get(i + 1)) low.set(i + 1, gsum.get(i) - high.get(i));
        if (gsum.get(i) - low.get(i) < high.get(i + 1)) high.set(i + 1, gsum.get(i) - low.get(i));
    }
    for (std::int64_t i = m - 1; i >= 0; --i) {
        if (gsum.get(i) - high.get(i + 1) > low.get(i)) low.set(i, gsum.get(i) - high.get(i + 1));
        if (gsum.get(i) - low.get(i + 1) < high.get(i)) high.set(i, gsum.get(i) - low.get(i + 1));
    }
    prob.set(0, low.get(0));
    for (std::int64_t i = 1; i < n; ++i) prob.set(i, gsum.get(i - 1) - prob.get(i - 1));
}

}  // namespace zelvane::testing::literal
