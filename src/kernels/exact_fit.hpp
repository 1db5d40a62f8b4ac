// Numeric phases of fitgapmass_meh: every trapezoid condition fixes the sum
// of two neighbouring values, so all values follow from the first one; the
// first is the smallest that a propagation of non-negativity bounds allows.
// Everything is computed in float32, each operation rounded on its own.
#pragma once

#include "kernels/float32_vector.hpp"

namespace zelvane::exact_fit {

// Pair sums: gsum[i] = (gap[i] + gap[i]) / (center[i+1] - center[i]) for i in
// [0, gap.shape). Stops at the first width that compares equal to zero and
// returns its position; otherwise returns no_zero_width. Writes only gsum.
std::int64_t pair_sums(const float32_vector& center, const float32_vector& gap,
                       const float32_vector& gsum) noexcept;

// Bounds, forward and backward passes, then the values: n = prob.shape >= 1,
// gsum.shape == n - 1, low.shape == high.shape == n. Writes low, high, prob.
void solve(const float32_vector& gsum, const float32_vector& low, const float32_vector& high,
           const float32_vector& prob) noexcept;

// The scratch of fit(): the pair sums (one per interval), then the lower and
// the upper bound of every value.
struct scratch {
    float32_vector gsum, low, high;
};

// Floats of scratch that fit() needs for `masses` intervals.
std::int64_t scratch_floats(std::int64_t masses) noexcept;

// The scratch for `masses` intervals laid out in one contiguous block of
// scratch_floats(masses) floats at `block`, in the order above, end to end
// (the kernels read and write floats through unaligned accesses).
scratch scratch_in(char* block, std::int64_t masses) noexcept;

// The whole fit as zelvane.bake.fitgapmass_meh and zelvane._rows.exact make it:
// the pair sums of the n - 1 = gap.shape intervals, then, unless a width is
// zero, the bounds and the values prob[0..n). Returns the position of the first
// zero width (prob untouched), or no_zero_width. Requires prob.shape = n >= 1,
// gsum.shape = n - 1, low.shape = high.shape = n and, when n > 1,
// center.shape >= n.
std::int64_t fit(const float32_vector& center, const float32_vector& gap, const scratch& work,
                 const float32_vector& prob) noexcept;

}  // namespace zelvane::exact_fit
