// Numeric phases of fitgapmass: the bounded relaxation that pulls each value
// at a bin centre towards the values that would make its neighbouring
// trapezoids carry their masses.
#pragma once

#include "kernels/float32_vector.hpp"

namespace zelvane::iterative_fit {

inline constexpr int max_passes = 128;

// Mean density of every interval: average[i] = gap[i] / (center[i+1] - center[i])
// for i in [0, average.shape). Stops at the first width that compares equal to
// zero and returns its position; otherwise returns no_zero_width.
// Reads center[0..n] and gap[0..n-1], writes only average.
std::int64_t mean_densities(const float32_vector& center, const float32_vector& gap,
                            const float32_vector& average) noexcept;

// Initial values and relaxation passes over n = average.shape intervals.
// Writes prob[0..n] (every one before any is read); returns the number of
// passes run, 1 to max_passes. Requires n >= 1 and prob.shape >= n + 1.
int relax(const float32_vector& average, const float32_vector& prob) noexcept;

}  // namespace zelvane::iterative_fit
