// The smooth fit: a continuous piecewise linear density on refined knots that
// reproduces every bin's mass exactly, is never negative, and has the least
// curvature. Pure float64 C++; nothing here allocates or calls the interpreter,
// so a front-end may run it on any thread with the interpreter lock released.
//
// Knots are the bin edges with each bin cut into `refine` equal sub-intervals
// (knot_count(bins, refine) of them); write_knots() gives them, and fit()
// works on exactly those bits, so that every front-end reports the same knots.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernels/fit_outcome.hpp"

namespace zelvane::smooth_fit {

using fits::outcome;
using fits::status;

inline constexpr std::int64_t max_refine = 256;

// Bounds on the active-set method, in factorisations: exchange_solves bounds
// the first phase (whole sets exchanged at once) before the interior-point
// phase takes over, total_solves every phase together. The defaults suit
// every front-end; tests lower them to reach the limits.
struct limits {
    std::int64_t exchange_solves = 16;  // the first phase (whole sets exchanged at once)
    std::int64_t total_solves = -1;     // both phases; -1 means 64 + 4 * knots, for each of the
                                        // attempt in double and the one in double-double (and a
                                        // bound given turns off the warm start of refine >= 64)
    const std::atomic<bool>* stop = nullptr;  // checked before each factorisation; raised: status interrupted
};

// Values held fixed at the ends, where a tail joins the density: negative
// means free; a value of 0 or more is the value there, in the units of the
// values fitted. Holding needs refine >= 2.
struct fixed_ends {
    double left = -1.0;
    double right = -1.0;
    bool any() const noexcept { return left >= 0.0 || right >= 0.0; }
};

// bins * refine + 1, or -1 when bins < 1, refine is outside [1, max_refine] or
// the count overflows.
std::int64_t knot_count(std::int64_t bins, std::int64_t refine) noexcept;

// Doubles of scratch memory that fit() needs for these sizes, or -1 where
// knot_count() is -1. One block serves any number of successive calls of the
// same or smaller sizes; its contents need not be initialised.
std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept;

// Writes the knot_count(bins, refine) knots: knot i * refine + s (0 <= s <
// refine) is edges[i] + width_i * (s / refine), width_i = edges[i + 1] -
// edges[i], and the last knot is edges[bins]. Requires knot_count() >= 1.
void write_knots(const double* edges, std::int64_t bins, std::int64_t refine, double* knots) noexcept;

// The checks that every fit on these knots makes of its input: edges finite
// and increasing, masses finite and not negative with a positive total, every
// bin cut into refine sub-intervals of positive width, and magnitudes that
// keep the scaled problem within float64's range. Writes the bins * refine
// sub-interval widths in units of the total width to h, and the total mass
// and the total width. Requires knot_count() >= 1.
outcome scale_histogram(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                        double* h, double& total, double& width) noexcept;

// On sub-intervals of widths h: the curvature measure's stencil at inner knot
// t, the change of slope w[0] f(t - 1) + w[1] f(t) + w[2] f(t + 1) and its
// weight w[3] = 2 / (h[t - 1] + h[t]); and the weight of knot s (0 to refine)
// of bin i in that bin's trapezoid mass.
inline void curvature_stencil(const double* h, std::int64_t t, double* w) noexcept {
    w[0] = 1.0 / h[t - 1];
    w[2] = 1.0 / h[t];
    w[1] = -(w[0] + w[2]);
    w[3] = 2.0 / (h[t - 1] + h[t]);
}
inline double trapezoid_weight(const double* h, std::int64_t bin, std::int64_t s, std::int64_t refine) noexcept {
    const std::int64_t j = bin * refine + s;
    return 0.5 * ((s > 0 ? h[j - 1] : 0.0) + (s < refine ? h[j] : 0.0));
}

// Fits the density: edges holds bins + 1 values, masses bins, values receives
// knot_count(bins, refine) values and scratch scratch_size(bins, refine)
// doubles. Inputs are checked here as well as in any front-end; on any status
// but ok `values` is left as it was. Requires knot_count() >= 1 for the sizes
// to be read at all; other sizes give bad_size without touching memory.
// With fixed ends the fit is the least-curvature one among those that also
// take those values there; infeasible when none does (a fixed value too large
// for its bin's mass, or positive beside an empty bin), bad_setting for
// fixed ends with refine = 1.
outcome fit(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
            double* values, double* scratch, const limits& bounds = {}, const fixed_ends& fixed = {}) noexcept;

}  // namespace zelvane::smooth_fit
