// Histograms with open ends ("85+", "200,000 or more") and, optionally, a
// known mean: the smooth fits of the finite bins (exact masses or counts),
// with a tail beyond each open end joined continuously to the body.
//
// A tail beyond the last edge L carries the open bin's mass T (exact masses)
// or a fitted mass (counts). Beyond a positive L it is a Pareto tail,
// f(x) = f(L) (x / L)^-(alpha + 1), of mass f(L) L / alpha; otherwise, and
// always before the first edge, an exponential one, f(x) = f(L) e^-|x - L| / beta,
// of mass f(L) beta. Continuity ties the parameter to the body's value f(L)
// and the mass: alpha = f(L) L / T, beta = T / f(L). Without a mean the
// parameter is interpolated from the two outermost bins, as if the tail
// continued over the end bin (for a Pareto tail from L over [L0, L],
// (m + T) / T = (L / L0)^alpha), and the body's end value follows; where that
// does not apply (a Pareto end bin that does not start above zero) the end is
// free, the fit's own. Either way the parameter stays within the bounds below
// that keep a tail a tail; an end outside them is held at the bound, which by
// convexity is the fit's optimum under the bound.
//
// With a known mean M, the tail beyond the last edge (or, if that end is
// closed or empty, the one before the first) takes the parameter that makes
// the whole density's mean M, and its end value follows by continuity: the
// body is fitted with that end held, and the parameter found by a root
// search on the mean (to 1e-13 of the mean, or of the width where the mean is
// near zero). A mean that
// no parameter within the bounds reaches is unreachable_mean, with the range
// of those that are.
//
// Pure float64 C++ with caller-provided scratch, like the fits it drives.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernels/counts_fit.hpp"
#include "kernels/fit_outcome.hpp"
#include "kernels/smooth_fit.hpp"

namespace zelvane::open_fit {

using fits::outcome;
using fits::status;
using fits::tail_kind;
using fits::tail_shape;

// Bounds of the tails' parameters: a Pareto index of at least 1 keeps the
// tail from outweighing the body (at 1 the mean diverges) and at most 100
// makes the tail a drop; an exponential scale lies between a thousandth of
// the body's width and the whole width.
inline constexpr double lowest_index = 1.0;
inline constexpr double highest_index = 100.0;
inline constexpr double shortest_scale = 1e-3;  // as a share of the width
inline constexpr double longest_scale = 1.0;

struct settings {
    double smoothing = 0.0;    // 0: exact masses; else as counts_fit (negative: automatic)
    double sample_size = 0.0;  // as counts_fit
    double complexity = 2.0;   // as counts_fit
    double mean = 0.0;         // the known mean, when has_mean
    bool has_mean = false;
    // Per end (0 left, 1 right): the tail's parameter held as given (> 0), or
    // the fit's own choice (0 or NaN); a held parameter is not moved to its
    // bounds, and an end bin that cannot carry its end value is infeasible.
    double held[2] = {0.0, 0.0};
    // The law of the right tail: none for the usual choice (Pareto beyond a
    // positive last edge, else exponential); exponential anywhere, or Pareto
    // beyond a positive edge (elsewhere bad_setting).
    tail_kind right_kind = tail_kind::none;
    const std::atomic<bool>* stop = nullptr;  // checked before each factorisation; raised: status interrupted
};

// The finite edges of a histogram whose first edge may be -inf and last +inf:
// the index of the first finite edge and the number of finite bins (bins
// less the open ones).
struct body {
    std::int64_t first = 0, bins = 0;
    bool left_open = false, right_open = false;
};
body finite_part(const double* edges, std::int64_t bins) noexcept;

// Doubles of scratch for `bins` bins in all (open ones included), or -1.
std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept;

// Fits edges (bins + 1 values, the first possibly -inf, the last possibly
// +inf, every other finite and increasing) and masses or counts (bins, the
// open bins' included). values receives the body's knot_count(body bins,
// refine) values, carrying the total of every bin as the smooth fit's do;
// refine must be at least 2 where an end is open. Without an open end this
// is the smooth fit or the counts fit itself. On any status but ok, values is
// left as it was.
outcome fit(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
            const settings& setting, double* values, double* scratch) noexcept;

// The mean of the density of these body knots and values with these tails,
// over its total mass: the body in closed form, the tails' by their shape
// (infinite for a Pareto index at 1 or below).
double mean(const double* knots, const double* values, std::int64_t count, const tail_shape& left,
            const tail_shape& right) noexcept;

}  // namespace zelvane::open_fit
