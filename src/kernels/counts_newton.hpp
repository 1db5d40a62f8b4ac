// Newton's method for the counts-aware fit at one lambda, over the Hessian's
// interface (counts_hessian), in the scaled units of counts_fit.cpp.
//
// The bounds are held by an active set. Every step solves the quadratic
// model on the free knots under c . d = 0 (H z1 = g and H z2 = c with one
// factor, then the total's multiplier mu that keeps the total), is cut where
// a free value would reach zero (that knot is then held there) and otherwise
// backtracks until the objective falls enough. Once a fit has taken a few
// such steps, a step that would take several values below zero instead cuts
// them all to zero at once and holds them, and a knot released frees the
// run of held knots beside it as far as earlier releases proved right. A held knot is released when
// its multiplier g_j + mu c_j is negative: during the steps with the
// multiplier mu = -u'g that a stationary point would have (which saves whole
// rounds of steps when a new lambda moves the bounds), and, should that
// estimate prove wrong by driving a released knot straight back, only at
// convergence. Newton converges quadratically, so the full step from a small
// enough decrement d'Hd is the last.
//
// The hat matrix of the fit, the derivative of the fitted masses by the
// observed shares, has the trace (the effective degrees of freedom)
//     sum_i (q_i / p_i^2) a_i' K a_i,
// K the inverse of H on the directions that keep the total mass: H^-1 less
// the rank-one term of the constraint, z2 z2' / (c . z2). Each a_i' H^-1 a_i
// needs H^-1 only within bin i's block, which the Hessian's back end gives
// without forming the dense inverse.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernels/counts_hessian.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::counts_newton {

using counts_hessian::max_tails;
using fits::status;

// The most Newton steps of one solve() unless limit_steps() says otherwise.
inline constexpr std::int64_t default_step_limit = 1000;
// The largest floor of rounding in the decrement (flat_rounding_floor()) at
// which solve() starts: above it the narrowest pieces' curvature, rounded,
// hides the likelihood's pull so far that Newton's method stops where it
// starts, or short of the optimum by about a tenth of the floor in the
// values. Refine 128 on bins whose narrowest is 1e-4 of the range at lambda
// 1 is near it; each tenfold narrower bin multiplies the floor by a thousand.
inline constexpr double max_rounding_floor = 1e-6;

class penalised_fit {
public:
    // Takes its arrays from w (with a counting workspace: counts them).
    penalised_fit(std::int64_t bins, std::int64_t refine, workspace& w) noexcept;
    penalised_fit(const penalised_fit&) = delete;
    penalised_fit& operator=(const penalised_fit&) = delete;

    // The most Newton steps of one solve() (each one factorisation) before it
    // reports iteration_limit.
    void limit_steps(std::int64_t steps) noexcept { step_limit_ = steps; }
    // The caller's stop flag, read before each factorisation, and whether it stopped a fit.
    void watch(const std::atomic<bool>* stop) noexcept { terms_.stop = stop; }
    bool interrupted() const noexcept { return interrupted_; }
    // Below this lambda a factorisation of H that fails is a failure (where
    // the caller has the lambda -> 0 limit to answer with); from it on, the
    // Hessian's back end tries a slower, more accurate one first.
    void accurate_from(double lambda) noexcept { hessian_.rotations_from(lambda); }
    // Every factorisation from now on the slowest and most accurate one, where
    // the refine allows; returns whether it does.
    bool most_accurate() noexcept { return hessian_.by_rotations(); }

    // Where the caller writes the sub-interval widths (scaled) and the body's shares.
    double* widths() const noexcept { return h_; }
    double* shares() const noexcept { return q_; }

    // Adds a tail (side 0 left, 1 right) with its share of the counts: of
    // free mass (a variable of its own), or tied to the end knot by `weight`
    // (scaled units). Before set_up().
    void add_tail(int side, bool free_mass, double share, double weight) noexcept;
    // A tail's mass at the best point, in scaled units.
    double best_tail_mass(int side) const noexcept;

    // Curvature stencils and band, trapezoid weights and the total's weights;
    // then the start.
    void set_up() noexcept;
    // Starts instead from an earlier fit's values at the knots (in units of
    // `unit`): knots at zero held there, the rest free. A free tail's own
    // variable keeps its start.
    void start_from(const double* values, double unit) noexcept;
    // Starts again from set_up()'s start, mixed with the flat density as far
    // as it takes to bring its penalty at lambda down to start_penalty: where
    // the histogram's steps are narrow, their curvature at a large lambda
    // leaves Newton's method thousands of short steps from the optimum.
    void start_smooth(double lambda) noexcept;

    // Newton's method for lambda from the current point. A search's fit ends
    // with the step taken from a decrement below search_decrement, and keeps
    // the factor of the point before it; the fit delivered (final) goes on
    // until the decrement reaches the floor of rounding, and keeps the factor
    // of the point itself. Either factor serves effective_df() and predict().
    status solve(double lambda, double search_decrement, bool final) noexcept;
    // Moves the optimum just found for lambda along its tangent in log lambda
    // by log_ratio, as the start for lambda * exp(log_ratio).
    void predict(double lambda, double log_ratio) noexcept;
    // The trace of the hat matrix at the optimum that solve() has just found
    // (NaN, and interrupted(), where the stop flag cut the inverse short).
    double effective_df() noexcept;
    // The floor of rounding in the decrement d'Hd at the flat density (every
    // value 1, in the scaled units) for lambda: from the widths alone, after
    // set_up(). solve() reports ill_conditioned above max_rounding_floor.
    double flat_rounding_floor(double lambda) const noexcept { return lambda * flat_floor_; }
    // 2 N sum q log(q / p) at the current point.
    double deviance(double sample_size) const noexcept;
    // Bin i's mass at the current point (a share of the total).
    double bin_share(std::int64_t i) const noexcept;

    // The best point so far, and a second point that a search walks away
    // from and comes back to.
    void save() noexcept { keep(best_, best_state_); }
    void restore() noexcept { take(best_, best_state_); }
    void anchor() noexcept { keep(anchor_, anchor_state_); }
    void return_to_anchor() noexcept { take(anchor_, anchor_state_); }

    // The best point: the density at the knots in scaled units.
    const double* best() const noexcept { return best_; }
    std::int64_t solves() const noexcept { return solves_; }
    // Steps that held several knots at once.
    std::int64_t projections() const noexcept { return projections_; }

private:
    void step_density(double* u) const noexcept;
    void start(double flat) noexcept;
    void keep(double* u, unsigned char* state) const noexcept;
    void take(const double* u, const unsigned char* state) noexcept;
    void bin_masses(const double* u, double* p) const noexcept;
    double objective(const double* u, const double* p, double lambda) const noexcept;
    void gradient(double lambda) noexcept;
    void gradient_size(double lambda) noexcept;
    double rounding_floor(double lambda) const noexcept;
    bool factor(double lambda) noexcept;
    double newton_direction(double lambda) noexcept;
    bool carries_tail(std::int64_t j) const noexcept;
    bool release_negative_multipliers(double lambda, std::int64_t reach = 0) noexcept;
    void adapt_reach(bool moved) noexcept;
    void pin_released() noexcept;
    bool project(double lambda, double decrement, double longest) noexcept;
    double longest_step(std::int64_t& blocking) const noexcept;
    bool line_search(double lambda, double decrement, double longest, std::int64_t blocking, double& t,
                     int& stalls) noexcept;
    void move(double t) noexcept;
    void normalise() noexcept;

    std::int64_t m_, r_, n_, v_;  // bins, refine, knots, variables
    counts_hessian::tail_bin tails_[max_tails];
    double *h_, *q_, *stencil_, *curvature_, *weight_, *c_, *u_, *trial_, *d_, *g_, *size_, *z1_, *z2_, *best_,
        *anchor_, *p_, *p_trial_, *bin_weight_;
    double tail_weight_[max_tails] = {0.0, 0.0};  // the tails' terms of H at the last factorisation
    unsigned char *state_, *best_state_, *anchor_state_;
    unsigned char* released_;  // how each knot was last released
    std::int64_t reach_ = 0;
    double flat_floor_ = 0.0;  // flat_rounding_floor(1)
    bool warm_ = false;  // started from an earlier fit's values
    std::int64_t step_limit_ = default_step_limit;
    counts_hessian::terms terms_;
    counts_hessian::hessian hessian_;
    std::int64_t solves_ = 0, projections_ = 0;
    bool interrupted_ = false;
};

}  // namespace zelvane::counts_newton
