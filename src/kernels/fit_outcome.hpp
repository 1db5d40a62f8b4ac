// What the smooth fits report (the exact-mass fit, the counts-aware fit and
// the fits with open ends share one outcome and one status), and the two
// readings of the smoothing setting that they all make: lambda = 0 asks for
// the exact masses themselves, a negative lambda for the criterion's choice.
#pragma once

#include <cstdint>

namespace zelvane::fits {

// The numeric values are part of the rows module's interface: it reports
// them as they are.
enum class status : std::int32_t {
    ok = 0,
    bad_size,         // bins < 1, refine outside [1, max_refine], or sizes that overflow
    bad_edge,         // edges[index] not finite, or not above edges[index - 1]
    bad_mass,         // masses[index] negative or not finite
    zero_total,       // every mass is zero
    bad_width,        // bin `index` cannot be cut into refine sub-intervals of positive finite width
    out_of_range,     // total width, total mass, mean density or width ratios beyond float64's range
    infeasible,       // refine = 1 and no non-negative density on the edges has these masses
    iteration_limit,  // the active-set method reached its bound on solves
    inaccurate,       // an answer was reached but failed its optimality check
    bad_setting,      // a setting of the fit (smoothing, sample size, criterion) is out of range
    unreachable_mean, // no fit within the bounds of its tails has the mean asked for
    empty_beside_tail, // exact masses: an open bin has mass, the bin beside it (index) none
    interrupted,      // the caller's stop flag was raised
    ill_conditioned,  // exact masses: no answer confirmed even in double-double (widths or masses too far apart);
                      // counts: a lambda whose curvature on the narrowest pieces float64 cannot resolve
};

// The smoothing setting that asks for the criterion's choice of lambda.
inline constexpr double automatic = -1.0;

// Whether a smoothing setting asks for the exact masses (lambda = 0) rather
// than for a penalised fit of counts, and whether it asks for the
// criterion's choice (automatic, or any negative value).
constexpr bool exact_masses(double smoothing) noexcept { return smoothing == 0.0; }
constexpr bool chosen_by_criterion(double smoothing) noexcept { return smoothing < 0.0; }

// A tail beyond an open end: f(x) = f(L) (x / L)^-(alpha + 1) (Pareto) or
// f(L) e^-|x - L| / beta (exponential) from the joint L, of the mass given.
enum class tail_kind : std::int32_t { none = 0, exponential = 1, pareto = 2 };

struct tail_shape {
    tail_kind kind = tail_kind::none;
    double joint = 0.0;      // the edge where the tail joins the body
    double mass = 0.0;       // in the units of the masses (or counts) given
    double parameter = 0.0;  // alpha (Pareto) or beta (exponential)
};

// Each fit fills what it knows and leaves the rest at these defaults: the
// exact-mass fit code, index and solves; the counts fit also the smoothing,
// edf, deviance, candidates and its tails' masses; the fit with open ends
// the tails' shapes and, for an unreachable mean, the range of means.
struct outcome {
    status code = status::ok;
    std::int64_t index = -1;     // offending edge, mass or bin where the status names one, else -1
    std::int64_t solves = 0;     // factorisations made
    double smoothing = 0.0;      // the lambda of the fit returned (0: exact masses)
    double edf = 0.0;            // its effective degrees of freedom
    double deviance = 0.0;       // 2 N sum q log(q / p) of the fit returned
    std::int64_t candidates = 0; // lambdas fitted
    tail_shape left{}, right{};
    // unreachable_mean: the means that the fit can meet, one end possibly infinite.
    double lowest_mean = 0.0, highest_mean = 0.0;
};

// An outcome of one status, naming an index where it has one.
constexpr outcome failure(status code, std::int64_t index = -1) noexcept {
    outcome o;
    o.code = code;
    o.index = index;
    return o;
}

}  // namespace zelvane::fits
