// Bounded relaxation towards a piecewise linear density whose trapezoids carry
// the given interval masses.
//
// Each interval's mass is first turned into its mean density. A value at an
// interior centre i would make its left-hand trapezoid exact at
// 2 * average[i-1] - prob[i-1] and its right-hand one exact at
// 2 * average[i] - prob[i+1]; every pass pulls prob[i] into the range between
// those two estimates (lower end never below zero), sweeping forwards and then
// backwards, and makes the two end intervals exact. The passes stop once no
// interior value moves, or after max_passes.
//
// Results must be reproducible bit for bit, so the order of operations and the
// precision of each one are fixed: widths, mean densities and the initial
// values are single-precision operations; the estimates 2 * a - p are formed in
// double from float operands and rounded once to float, which keeps 2 * a from
// overflowing where the difference is finite. Every comparison is strict and
// made in float, so a NaN never satisfies one.
#include "kernels/iterative_fit.hpp"

namespace zelvane::iterative_fit {

namespace {

// 2 * a - p in double, rounded once to float. 2 * a is exact in double; only
// the difference is rounded before the final conversion.
float estimate(float a, float p) noexcept {
    return static_cast<float>(2.0 * static_cast<double>(a) - static_cast<double>(p));
}

// An end value: the estimate, raised to +0.0 when it is below zero. -0.0 and
// NaN do not compare below zero and pass through unchanged.
float clamped_estimate(float a, float p) noexcept {
    const float v = estimate(a, p);
    return v < 0.0f ? 0.0f : v;
}

// Pulls prob[i] into [low, high] and reports whether it moved.
bool interior_step(const float32_vector& average, const float32_vector& prob,
                   std::int64_t i) noexcept {
    const float est1 = estimate(average.get(i - 1), prob.get(i - 1));
    const float est2 = estimate(average.get(i), prob.get(i + 1));
    // When a comparison fails (equal estimates or a NaN), both bounds take
    // est2: a NaN est1 leaves the range [est2, est2], a NaN est2 makes both
    // bounds NaN and so moves nothing.
    float low = est1 < est2 ? est1 : est2;
    const float high = est1 > est2 ? est1 : est2;
    if (low < 0.0f) {
        low = 0.0f;
    }
    // The upper test sees the value the lower test may just have set, so with
    // both estimates negative (low = +0.0 above high) the value ends at high.
    float v = prob.get(i);
    bool moved = false;
    if (v < low) {
        v = low;
        moved = true;
    }
    if (v > high) {
        v = high;
        moved = true;
    }
    if (moved) {
        prob.set(i, v);
    }
    return moved;
}

}  // namespace

std::int64_t mean_densities(const float32_vector& center, const float32_vector& gap,
                            const float32_vector& average) noexcept {
    const std::int64_t n = average.shape;
    for (std::int64_t i = 0; i < n; ++i) {
        const float width = center.get(i + 1) - center.get(i);
        // Both +0.0 and -0.0 compare equal to zero; a NaN width does not and
        // is divided by like any other.
        if (width == 0.0f) {
            return i;
        }
        average.set(i, gap.get(i) / width);
    }
    return no_zero_width;
}

int relax(const float32_vector& average, const float32_vector& prob) noexcept {
    const std::int64_t n = average.shape;

    // Initial values: the ends take their interval's mean density, each
    // interior value the mean of its two neighbouring mean densities.
    prob.set(0, average.get(0));
    for (std::int64_t i = 1; i < n; ++i) {
        prob.set(i, (average.get(i - 1) + average.get(i)) * 0.5f);
    }
    prob.set(n, average.get(n - 1));

    // Updates are in place: each step sees every value written before it, in
    // this sweep, this pass and earlier passes. Only interior steps count as
    // movement; the end updates run in every pass, the last one included.
    for (int pass = 1;; ++pass) {
        bool change = false;
        for (std::int64_t i = 1; i < n; ++i) {
            if (interior_step(average, prob, i)) {
                change = true;
            }
        }
        prob.set(n, clamped_estimate(average.get(n - 1), prob.get(n - 1)));
        for (std::int64_t i = n - 1; i >= 1; --i) {
            if (interior_step(average, prob, i)) {
                change = true;
            }
        }
        prob.set(0, clamped_estimate(average.get(0), prob.get(1)));
        if (!change || pass == max_passes) {
            return pass;
        }
    }
}

}  // namespace zelvane::iterative_fit
