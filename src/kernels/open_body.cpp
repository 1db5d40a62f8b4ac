// One fit of the body of a histogram with open ends: see open_body.hpp.
#include "kernels/open_body.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/counts_fit.hpp"
#include "kernels/plain_math.hpp"
#include "kernels/smooth_fit.hpp"

namespace zelvane::open_body {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
using open_fit::highest_index;
using open_fit::longest_scale;
using open_fit::lowest_index;
using open_fit::shortest_scale;

double parameter_from(const end& e, double value, double mass) noexcept {
    if (e.kind == tail_kind::pareto) return mass > 0.0 ? value * e.joint / mass : infinity;
    return value > 0.0 ? mass / value : infinity;
}

// The body's value at the joint for a parameter, with this tail mass.
double value_from(const end& e, double parameter, double mass) noexcept {
    return e.kind == tail_kind::pareto ? parameter * mass / e.joint : mass / parameter;
}

// The tail's mass per unit of the body's value at the joint, for a parameter.
double weight_from(const end& e, double parameter) noexcept {
    return e.kind == tail_kind::pareto ? e.joint / parameter : parameter;
}

double lowest_parameter(const end& e, double width) noexcept {
    return e.kind == tail_kind::pareto ? lowest_index : shortest_scale * width;
}
double highest_parameter(const end& e, double width) noexcept {
    return e.kind == tail_kind::pareto ? highest_index : longest_scale * width;
}

}  // namespace

scratch_arrays::scratch_arrays(std::int64_t bins, std::int64_t refine, workspace& w) noexcept {
    const std::int64_t some = std::max<std::int64_t>(bins, 1);
    const std::int64_t knots = smooth_fit::knot_count(some, refine);
    const std::int64_t exact = smooth_fit::scratch_size(some, refine);
    const std::int64_t counts = counts_fit::scratch_size(some, refine);
    knot_x = w.take(knots);
    values = w.take(knots);
    fits = w.take(exact < 0 || counts < 0 ? -1 : std::max(exact, counts));
}

open_problem::open_problem(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                           const settings& setting, workspace& w) noexcept
    : edges_(edges), masses_(masses), refine_(refine), setting_(setting) {
    const scratch_arrays arrays(bins, refine, w);
    knot_x_ = arrays.knot_x;
    values_ = arrays.values;
    work_ = arrays.fits;
    const open_fit::body part = open_fit::finite_part(edges, bins);
    first_ = part.first;
    bins_ = part.bins;
    knots_ = smooth_fit::knot_count(bins_, refine);
    width_ = edges[first_ + bins_] - edges[first_];
    ends_[0] = {part.left_open, 0, tail_kind::exponential, edges[first_], part.left_open ? masses[0] : 0.0, 0};
    const bool pareto = setting.right_kind == tail_kind::none ? edges[first_ + bins_] > 0.0
                                                              : setting.right_kind == tail_kind::pareto;
    ends_[1] = {part.right_open, 1, pareto ? tail_kind::pareto : tail_kind::exponential, edges[first_ + bins_],
                part.right_open ? masses[bins - 1] : 0.0, knots_ - 1};
    // Counts on a body of one bin are met exactly: no curvature is
    // needed to carry both shares, so the exact fit is the penalised
    // optimum (with a free tail the penalised problem has no unique one).
    for (std::int64_t i = 0; i < bins; ++i) occupied_ += masses[i] > 0.0 ? 1 : 0;
    // So are counts in fewer than two bins (tails included): they say
    // nothing about shape, as for the counts fit of a closed histogram.
    counts_ = !fits::exact_masses(setting.smoothing) && bins_ > 1 && occupied_ >= 2;
}

outcome open_problem::finish(status code, std::int64_t solves, double* values) const noexcept {
    outcome o = last_;
    o.code = code;
    o.solves = solves;
    if (code == status::ok) std::copy(values_, values_ + knots_, values);
    return o;
}

status open_problem::fit_body(const double parameter[2], double smoothing) noexcept {
    last_ = {};
    if (setting_.stop != nullptr && setting_.stop->load(std::memory_order_relaxed)) {
        last_.code = status::interrupted;
        return status::interrupted;
    }
    const status s = counts_ ? fit_counts(parameter, smoothing) : fit_exact(parameter);
    if (s != status::ok) return s;
    last_.left = tails_[0];
    last_.right = tails_[1];
    return status::ok;
}

// Exact masses: each end held at the value its parameter gives with the open bin's mass.
status open_problem::fit_exact(const double parameter[2]) noexcept {
    smooth_fit::limits bounds;
    bounds.stop = setting_.stop;
    smooth_fit::fixed_ends held;
    double* const slot[2] = {&held.left, &held.right};
    for (int k = 0; k < 2; ++k) {
        if (ends_[k].open && parameter[k] > 0.0) {
            *slot[k] = ends_[k].mass > 0.0 ? value_from(ends_[k], parameter[k], ends_[k].mass) : 0.0;
        }
    }
    const outcome o =
        smooth_fit::fit(edges_ + first_, masses_ + first_, bins_, refine_, values_, work_, bounds, held);
    last_.code = o.code;
    last_.index = o.index < 0 ? -1 : o.index + first_;
    last_.solves = o.solves;
    last_.edf = static_cast<double>(occupied_ - 1);
    last_.smoothing = limit_smoothing_;
    if (o.code != status::ok) return o.code;
    for (int k = 0; k < 2; ++k) {
        tails_[k] = tail_from(ends_[k], ends_[k].mass, parameter[k]);
    }
    return status::ok;
}

bool open_problem::take_limit(status code, const double parameter[2]) noexcept {
    if (!counts_ || (code != status::inaccurate && code != status::iteration_limit)) return false;
    counts_fit::open_ends open;
    counts_fit::tail* const slot[2] = {&open.left, &open.right};
    for (int k = 0; k < 2; ++k) {
        if (!ends_[k].open) continue;
        slot[k]->count = ends_[k].mass;
        slot[k]->shape = counts_fit::tail::form::free_mass;
        if (parameter[k] > 0.0) {
            slot[k]->shape = counts_fit::tail::form::tied;
            slot[k]->weight = weight_from(ends_[k], parameter[k]);
        }
    }
    const counts_fit::settings asked{setting_.smoothing, setting_.sample_size, setting_.complexity};
    if (!counts_fit::limit_on_failure_at(edges_ + first_, masses_ + first_, bins_, refine_, asked, open)) return false;
    counts_ = false;
    limit_smoothing_ = fits::chosen_by_criterion(setting_.smoothing) ? 0.0 : setting_.smoothing;
    return true;
}

// Counts: each end's tail tied to the end value by its parameter, or free.
status open_problem::fit_counts(const double parameter[2], double smoothing) noexcept {
    counts_fit::open_ends open;
    counts_fit::tail* const slot[2] = {&open.left, &open.right};
    for (int k = 0; k < 2; ++k) {
        if (!ends_[k].open) continue;
        slot[k]->count = ends_[k].mass;
        if (parameter[k] > 0.0) {
            slot[k]->shape = counts_fit::tail::form::tied;
            slot[k]->weight = weight_from(ends_[k], parameter[k]);
        } else {
            slot[k]->shape = counts_fit::tail::form::free_mass;
        }
    }
    // After a first fit, each starts from the last one's optimum.
    const outcome o = counts_fit::fit(
        edges_ + first_, masses_ + first_, bins_, refine_,
        {smoothing, setting_.sample_size, setting_.complexity, warm_ ? values_ : nullptr, setting_.stop}, values_,
        work_, open);
    warm_ = warm_ || o.code == status::ok;
    last_.code = o.code;
    last_.index = o.index < 0 ? -1 : o.index + first_;
    last_.smoothing = o.smoothing;
    last_.edf = o.edf;
    last_.deviance = o.deviance;
    last_.solves = o.solves;
    if (o.code != status::ok) return o.code;
    for (int k = 0; k < 2; ++k) {
        tails_[k] = tail_from(ends_[k], (k == 0 ? o.left : o.right).mass, parameter[k]);
    }
    return status::ok;
}

bool open_problem::out_of_bounds(double parameter[2]) const noexcept {
    bool any = false;
    for (int k = 0; k < 2; ++k) {
        if (!ends_[k].open || parameter[k] > 0.0) continue;
        const double p = tails_[k].parameter;
        if (p >= lowest_parameter(ends_[k], width_) && p <= highest_parameter(ends_[k], width_)) continue;
        // Exact masses: an end value that the end bin cannot carry gives
        // way to the largest it can, and the tail goes beyond its bound.
        parameter[k] = within_bounds(k, std::isnan(p) ? 0.0 : p);
        any = true;
    }
    return any;
}

// The tail's parameter by Pareto (or exponential) interpolation: the one
// whose tail, continued over the end bin, would hold that bin's mass and the
// open bin's in their ratio. For a Pareto tail from L over [L0, L],
// (m + T) / T = (L / L0)^alpha; for an exponential one over a bin of width
// h, (m + T) / T = e^(h / beta). This uses the masses (or counts) as given,
// two numbers that a sample pins down far better than the body's end value,
// which a smooth fit extrapolates. Negative where it does not apply: a
// Pareto end bin that starts at zero or below, or an empty tail.
double open_problem::interpolated(int k) const noexcept {
    const end& e = ends_[k];
    const std::int64_t bin = k == 0 ? first_ : first_ + bins_ - 1;
    if (!e.open || !(e.mass > 0.0)) return -1.0;
    const double ratio = plain_math::log(1.0 + masses_[bin] / e.mass);
    if (e.kind == tail_kind::pareto) {
        const double inner = edges_[bin];
        if (!(inner > 0.0)) return -1.0;
        return ratio / plain_math::log(e.joint / inner);
    }
    return ratio > 0.0 ? (edges_[bin + 1] - edges_[bin]) / ratio : infinity;
}

double open_problem::within_bounds(int k, double parameter) const noexcept {
    const range r = allowed(k);
    parameter = std::clamp(parameter, lowest_parameter(ends_[k], width_), highest_parameter(ends_[k], width_));
    // Where the bin's limit lies beyond a bound, the limit wins: the tail
    // goes beyond its bound.
    return ends_[k].kind == tail_kind::pareto ? std::min(parameter, r.high) : std::max(parameter, r.low);
}

// The end bin's limit: a Pareto index no higher, an exponential scale no
// shorter than that of the largest end value it carries.
range open_problem::allowed(int k) const noexcept {
    const end& e = ends_[k];
    range r{lowest_parameter(e, width_), highest_parameter(e, width_)};
    if (counts_ || !(e.mass > 0.0)) return r;
    const double limit = parameter_from(e, carried(k), e.mass);
    if (e.kind == tail_kind::pareto) {
        r.high = std::min(r.high, limit);
    } else {
        r.low = std::max(r.low, limit);
    }
    return r;
}

// The largest value the end bin can carry at an end when its other values
// are zero: v h / 2 of its mass m on the end piece h, so just below 2 m / h.
double open_problem::carried(int k) const noexcept {
    const std::int64_t bin = k == 0 ? first_ : first_ + bins_ - 1;
    const double piece = (edges_[bin + 1] - edges_[bin]) / static_cast<double>(refine_);
    return 2.0 * masses_[bin] / piece * (1.0 - 1e-9);
}

// The total mass of the last fit, body and tails.
double open_problem::fitted_total() const noexcept {
    double total = tails_[0].mass + tails_[1].mass;
    for (std::int64_t j = 0; j + 1 < knots_; ++j) {
        total += 0.5 * (knot_x_[j + 1] - knot_x_[j]) * (values_[j] + values_[j + 1]);
    }
    return total;
}

// The tail's own first moment per unit of its mass moves by `slope` per
// unit of the search variable t (s = 1 / (alpha - 1) or beta): L for a
// Pareto tail, +1 for an exponential one on the right, -1 on the left.
double open_problem::tail_step(int k, double t, double target) const noexcept {
    const end& e = ends_[k];
    const double slope = e.kind == tail_kind::pareto ? e.joint : (k == 1 ? 1.0 : -1.0);
    const double mass = tails_[k].mass;
    if (!(mass > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    return t + (target - fitted_mean()) * fitted_total() / (mass * slope);
}

tail_shape open_problem::tail_from(const end& e, double mass, double held) const noexcept {
    if (!e.open) return {};
    tail_shape t{e.kind, e.joint, mass, 0.0};
    if (held > 0.0) {
        t.parameter = held;
    } else {
        t.parameter = parameter_from(e, values_[e.knot], mass);
    }
    if (mass == 0.0) t.kind = tail_kind::none;
    return t;
}

// Fits with the ends free, then holds at its bound every end that left it
// (at most twice: holding one end can move the other).
status fit_within_bounds(open_problem& p, double parameter[2], double smoothing) noexcept {
    for (int round = 0; round < 3; ++round) {
        const status s = p.fit_body(parameter, smoothing);
        if (s != status::ok || !p.out_of_bounds(parameter)) return s;
    }
    return status::ok;
}

}  // namespace zelvane::open_body
