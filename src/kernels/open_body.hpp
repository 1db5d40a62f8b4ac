// One fit of the body of a histogram with open ends, with each end free or
// held by its tail's parameter, and what the fits around it need of the
// result: the tails, the bounds on their parameters, the mean. See
// open_fit.cpp for the method.
#pragma once

#include <cstdint>

#include "kernels/fit_outcome.hpp"
#include "kernels/open_fit.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::open_body {

using fits::outcome;
using fits::status;
using fits::tail_kind;
using fits::tail_shape;
using open_fit::settings;

// An open end: where it joins, its kind, its mass (fixed for exact masses,
// fitted for counts) and the body knot at the joint.
struct end {
    bool open = false;
    int side = 0;                        // 0 left, 1 right
    tail_kind kind = tail_kind::none;
    double joint = 0.0;
    double mass = 0.0;                   // exact masses: the open bin's; counts: its count
    std::int64_t knot = 0;               // the body knot at the joint
};

// The scratch of the fits with open ends, for `bins` bins in all (open ones
// included): the body's knots and values, then the block that the smooth
// fit or the counts fit takes.
struct scratch_arrays {
    double *knot_x, *values, *fits;
    scratch_arrays(std::int64_t bins, std::int64_t refine, workspace& w) noexcept;
};

// The parameters end k may take.
struct range {
    double low, high;
};

// Everything one fit of the body needs, and what it leaves.
class open_problem {
public:
    // Takes its scratch_arrays from w.
    open_problem(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                 const settings& setting, workspace& w) noexcept;

    const end& side(int k) const noexcept { return ends_[k]; }
    double width() const noexcept { return width_; }
    bool counts() const noexcept { return counts_; }
    std::int64_t knots() const noexcept { return knots_; }
    const double* values() const noexcept { return values_; }
    const outcome& last() const noexcept { return last_; }
    // After counts whose fit with these parameters ended in `code`: where that is a fit Newton's
    // method could not confirm at a lambda below float64's resolution, turns
    // this problem into its limit, the fit of exact masses (reporting the
    // lambda given and the exact fit's edf), and returns true.
    bool take_limit(status code, const double parameter[2]) noexcept;

    // The outcome of the last fit with this code and these solves in all;
    // its values copied to `values` when the code is ok.
    outcome finish(status code, std::int64_t solves, double* values) const noexcept;

    void write_knots() noexcept { smooth_fit::write_knots(edges_ + first_, bins_, refine_, knot_x_); }

    // Fits the body with each end free (negative parameter) or held by its
    // parameter, at the given smoothing; fills last() and the tails.
    status fit_body(const double parameter[2], double smoothing) noexcept;
    // Which free ends of the last fit lie outside their bounds, with the bound
    // each should be held at.
    bool out_of_bounds(double parameter[2]) const noexcept;
    // The tail's parameter by interpolation from the end bin's mass and the
    // open bin's; negative where it does not apply.
    double interpolated(int k) const noexcept;
    // A parameter for end k within its bounds and, for exact masses, no
    // further than the end bin can carry.
    double within_bounds(int k, double parameter) const noexcept;
    // The parameters end k may take: its bounds and, for exact masses, what
    // the end bin can carry. Empty (low above high) where that limit lies
    // beyond a bound.
    range allowed(int k) const noexcept;
    // The mean of the last fit.
    double fitted_mean() const noexcept { return open_fit::mean(knot_x_, values_, knots_, tails_[0], tails_[1]); }
    // The t at which the last fit's mean would be `target` if only the tail
    // of end k moved, body and tail mass held.
    double tail_step(int k, double t, double target) const noexcept;

private:
    status fit_exact(const double parameter[2]) noexcept;
    status fit_counts(const double parameter[2], double smoothing) noexcept;
    double carried(int k) const noexcept;
    double fitted_total() const noexcept;
    tail_shape tail_from(const end& e, double mass, double held) const noexcept;

    const double* edges_;
    const double* masses_;
    std::int64_t refine_, first_ = 0, bins_ = 0, knots_ = 0, occupied_ = 0;
    settings setting_;
    double *knot_x_, *values_, *work_;
    double width_ = 0.0, limit_smoothing_ = 0.0;
    bool counts_ = false, warm_ = false;
    end ends_[2];
    tail_shape tails_[2];
    outcome last_;
};

// Fits with the ends free, then holds at its bound every end that left it
// (at most twice: holding one end can move the other).
status fit_within_bounds(open_problem& p, double parameter[2], double smoothing) noexcept;

// From the fit without the mean (its parameters, `solves` factorisations so
// far), the fit that meets the mean of `setting` (open_mean.cpp).
outcome meet_mean(open_problem& p, const settings& setting, const double parameter[2], std::int64_t solves,
                  double* values) noexcept;

}  // namespace zelvane::open_body
