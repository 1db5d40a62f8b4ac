// Exact fit of a piecewise linear density to interval masses.
//
// The trapezoid over interval i carries gap[i] exactly when
// prob[i] + prob[i+1] = gsum[i] = 2 * gap[i] / width, so once prob[0] is fixed
// every other value follows by alternating subtraction. prob[0] is chosen as
// the smallest value that keeps all values non-negative: each value starts in
// [0, smallest pair sum it takes part in] (its partner is not negative either),
// and one forward and one backward pass tighten every interval through
//   prob[i+1] = gsum[i] - prob[i]  and  prob[i] = gsum[i] - prob[i+1].
// When no non-negative solution exists some low ends above its high; nothing
// checks for that, and the values then include negative ones.
//
// Everything is float, each operation rounded on its own, every comparison
// strict, so a NaN candidate never replaces a bound.
#include "kernels/exact_fit.hpp"

namespace zelvane::exact_fit {

std::int64_t pair_sums(const float32_vector& center, const float32_vector& gap,
                       const float32_vector& gsum) noexcept {
    for (std::int64_t i = 0; i < gap.shape; ++i) {
        const float width = center.get(i + 1) - center.get(i);
        // +0.0 and -0.0 both count as zero, whatever the gap; NaN does not.
        if (width == 0.0f) {
            return i;
        }
        const float g = gap.get(i);
        gsum.set(i, (g + g) / width);
    }
    return no_zero_width;
}

void solve(const float32_vector& gsum, const float32_vector& low, const float32_vector& high,
           const float32_vector& prob) noexcept {
    const std::int64_t n = prob.shape;
    const std::int64_t m = gsum.shape;  // n - 1 pair sums

    // Initial bounds. With a single value there is no pair sum and high[0]
    // stays unset; nothing reads it. Where the two sums compare equal (or one
    // is NaN) the right-hand one is taken.
    for (std::int64_t i = 0; i < n; ++i) {
        low.set(i, 0.0f);
        if (n < 2) {
            continue;
        }
        if (i == 0) {
            high.set(i, gsum.get(0));
        } else if (i == n - 1) {
            high.set(i, gsum.get(n - 2));
        } else {
            const float left = gsum.get(i - 1);
            const float right = gsum.get(i);
            high.set(i, left < right ? left : right);
        }
    }

    // Forward pass: the bounds at i, as the previous step left them, bound
    // the value at i + 1 from the other side.
    for (std::int64_t i = 0; i < m; ++i) {
        float v = gsum.get(i) - high.get(i);
        if (v > low.get(i + 1)) {
            low.set(i + 1, v);
        }
        v = gsum.get(i) - low.get(i);
        if (v < high.get(i + 1)) {
            high.set(i + 1, v);
        }
    }

    // Backward pass: the same, from i + 1 to i.
    for (std::int64_t i = m - 1; i >= 0; --i) {
        float v = gsum.get(i) - high.get(i + 1);
        if (v > low.get(i)) {
            low.set(i, v);
        }
        v = gsum.get(i) - low.get(i + 1);
        if (v < high.get(i)) {
            high.set(i, v);
        }
    }

    // Only low[0] enters the result; the rest is alternating subtraction of
    // the stored values.
    prob.set(0, low.get(0));
    for (std::int64_t i = 1; i < n; ++i) {
        prob.set(i, gsum.get(i - 1) - prob.get(i - 1));
    }
}

}  // namespace zelvane::exact_fit
