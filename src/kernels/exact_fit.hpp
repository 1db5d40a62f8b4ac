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

}  // namespace zelvane::exact_fit
