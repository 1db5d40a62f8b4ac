// The counts-aware smooth fit: a histogram's counts are a sample, not exact
// masses. On the knots of the smooth fit (the bin edges, every bin cut into
// `refine` equal pieces) it finds the non-negative piecewise linear density
// that maximises
//
//     sum_i q_i log p_i  -  (lambda / 2) * W^5 * C(f),
//
// where q_i is bin i's share of the counts, p_i the density's mass on bin i
// (total mass 1), W the width from the first edge to the last and C(f) the
// curvature measure of the smooth fit (a discrete integral of f''^2). W^5
// makes lambda free of the units of x, and the shares make it free of the
// scale of the counts. lambda = 0 is the limit of exact masses: the smooth
// fit itself.
//
// lambda is given, or chosen per histogram as the minimiser of an
// information criterion, deviance + complexity * edf, over log lambda: the
// deviance 2 N sum_i q_i log(q_i / p_i) with N the sample size, edf the
// effective degrees of freedom (the trace of the fit's hat matrix). With
// complexity 2 that is Akaike's criterion, with log N Schwarz's. As N grows
// the chosen lambda falls and the fit tends to the exact-mass one, which is
// itself a candidate (edf: the non-empty bins less one, deviance 0). Above
// refine 16 the search first ranks the decades at refine 16, where each fit
// costs a fraction as much, and then walks from that choice at the refine
// asked for.
//
// A lambda whose curvature on the narrowest pieces float64 cannot resolve
// against the likelihood (counts_newton's max_rounding_floor: a large lambda,
// a fine refine, bins many decades narrower than the range) is refused as
// ill_conditioned before any factorisation; the search leaves such lambdas
// out.
//
// Pure float64 C++ with caller-provided scratch; nothing allocates or calls
// the interpreter.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernels/counts_newton.hpp"
#include "kernels/fit_outcome.hpp"
#include "kernels/smooth_fit.hpp"

namespace zelvane::counts_fit {

using fits::automatic;
using fits::outcome;
using fits::status;

// A bin open beyond the first or the last edge, fitted as a tail joined to
// the density's value f(end) at that edge. With a free mass the tail's mass is
// a variable of the fit of its own (the tail's shape follows from it and
// f(end)); tied, the mass is weight * f(end), the weight being what the
// tail's fixed shape makes of it (for a Pareto tail beyond L with index alpha,
// L / alpha; for an exponential tail of scale beta, beta).
struct tail {
    enum class form : std::int32_t { none, free_mass, tied };
    form shape = form::none;
    double count = 0.0;   // the open bin's count, in the units of the counts
    double weight = 0.0;  // tied: the mass per unit of f(end), in the units of x
};

struct open_ends {
    tail left, right;
};

// The most Newton steps of the fit for one lambda, each one factorisation
// of the Hessian: a step holds and releases any number of knots, and the
// fits of sparse counts at refine 256 take tens to a few hundred. The fit
// delivered that reaches the bound (or cannot confirm its answer) starts once
// more from a smoother start with a bound of its own, and then reports
// iteration_limit (or inaccurate); a lambda of the search that reaches it is
// left out of the choice.
inline constexpr std::int64_t newton_step_limit = counts_newton::default_step_limit;

struct settings {
    double smoothing = automatic;  // lambda >= 0, or automatic (any negative value)
    double sample_size = 0.0;      // N of the criterion; 0 means the sum of the counts
    double complexity = 2.0;       // the criterion's price of one effective degree of freedom
    // For a given lambda: the values of an earlier fit of the same bins (as
    // fit() writes them) to start Newton's method from, or null. A fit from a
    // nearby problem's optimum (another tail weight, say) needs fewer steps.
    const double* start = nullptr;
    const std::atomic<bool>* stop = nullptr;  // checked before each factorisation; raised: status interrupted
    std::int64_t step_limit = newton_step_limit;  // Newton steps for one lambda, at least 1
};

// Doubles of scratch memory that fit() needs, or -1 where
// smooth_fit::knot_count() is -1. One block serves any number of successive
// calls of the same or smaller sizes.
std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept;

// Fits the density: edges holds bins + 1 values, counts bins (finite, not
// negative, not all zero: whole numbers or any weights), values receives
// smooth_fit::knot_count(bins, refine) values: the density at the knots
// scaled to carry the total of the counts, as the smooth fit's values carry
// the total of its masses. On any status but ok `values` is left as it was.
// With a single bin, or a single bin with a positive count, the counts say
// nothing about shape beyond that bin, and the fit is the exact-mass one.
//
// Open ends add their tails: their counts join the shares (and the sample
// size), their masses the total. The exact-mass fit is then neither a
// candidate of the search nor the fit for smoothing 0 (which is bad_setting
// with tails, as is a histogram with fewer than two occupied bins, tails
// included): fitting exact masses with tails is open_fit's. The outcome gives
// the smoothing, edf, deviance and candidates, and the tails' masses (in the
// units of the counts) in left.mass and right.mass.
//
// A lambda below what float64 resolves against the likelihood's curvature
// (shares many decades apart, or a lambda far below any the criterion would
// choose) leaves H singular within the bins as far as rounding can tell; the
// penalised optimum is then its limit, and a closed histogram gets the
// exact-mass fit with the lambda given (or, chosen, 0) and the edf of the
// exact fit, not status inaccurate.
outcome fit(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
            const settings& setting, double* values, double* scratch, const open_ends& ends = {}) noexcept;

// Whether a fit of these counts whose Newton's method reports inaccurate or
// iteration_limit is, to working precision, its lambda -> 0 limit: lambda
// (automatic: the lambdas the search starts from for this sample size) below
// what float64 resolves against the likelihood's curvature. fit() answers
// closed histograms so itself; with open ends the limit is open_fit's fit of
// exact masses.
bool limit_on_failure_at(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
                         const settings& setting, const open_ends& ends = {}) noexcept;

}  // namespace zelvane::counts_fit
