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

// Whether one more pass over prob as it is now would leave every bit of
// prob[0..n] as it is, n = average.shape >= 1: each interior step and both end
// updates, evaluated on the present values, give the bits already in place.
// Reads only; requires prob.shape >= n + 1.
bool settled(const float32_vector& average, const float32_vector& prob) noexcept;

// Initial values and relaxation passes over n = average.shape intervals.
// Writes prob[0..n] (every one before any is read). Requires n >= 1 and
// prob.shape >= n + 1.
//
// The passes stop after the first pass in which no interior value moved, after
// max_passes, or as soon as the next pass could change no bit of prob
// (`settled`); the last stop leaves exactly what the first two rules alone
// would have left.
// Returns the number of passes actually run, 1 to max_passes: with the early
// stop this can be fewer than the first two rules would run.
int relax(const float32_vector& average, const float32_vector& prob) noexcept;

// Floats of scratch that fit() needs for `masses` intervals: the mean density
// of every interval.
inline constexpr std::int64_t scratch_floats(std::int64_t masses) noexcept { return masses; }

// The whole fit as zelvane.bake.fitgapmass and zelvane._rows.iterative make it:
// the mean densities of the n = gap.shape intervals into `average` (n floats
// of scratch), then, unless a width is zero, the relaxation into prob[0..n].
// Returns the position of the first zero width (prob untouched), or
// no_zero_width. Requires n >= 1, center.shape >= n + 1, prob.shape >= n + 1.
std::int64_t fit(const float32_vector& center, const float32_vector& gap,
                 const float32_vector& average, const float32_vector& prob) noexcept;

}  // namespace zelvane::iterative_fit
