// Open ends and a known mean, around the smooth fit and the counts fit.
//
// Each open end is an `end`: where it joins, its kind, its mass (fixed for
// exact masses, fitted for counts) and the bounds that its parameter puts on
// the body's value there. A fit of the body (open_body) holds each end
// either free or held (exact masses: the value held; counts: the tail tied to
// the end value by a fixed parameter, each fit after the first starting from
// the last one's optimum). Ends outside their bounds are held at the bound
// and the body fitted again, at most once per end. A known mean is met by a
// root search on one end's parameter (open_mean.cpp).
//
// Three cases: closed ends (the smooth fit or the counts fit itself), open
// ends without a mean (each tail's parameter interpolated from the end bins,
// or the end free), and meeting a mean from there.
#include "kernels/open_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/open_body.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::open_fit {

namespace {

using open_body::open_problem;

constexpr double infinity = std::numeric_limits<double>::infinity();

// Closed ends: the smooth fit of exact masses, or the counts fit.
outcome fit_closed(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                   const settings& setting, double* values, double* scratch) noexcept {
    if (setting.has_mean) return fits::failure(status::bad_setting);
    if (fits::exact_masses(setting.smoothing)) {
        smooth_fit::limits bounds;
        bounds.stop = setting.stop;
        outcome o = smooth_fit::fit(edges, masses, bins, refine, values, scratch, bounds);
        o.edf = static_cast<double>(std::count_if(masses, masses + bins, [](double m) { return m > 0.0; }) - 1);
        return o;
    }
    return counts_fit::fit(edges, masses, bins, refine,
                           {setting.smoothing, setting.sample_size, setting.complexity, nullptr, setting.stop}, values,
                           scratch);
}

// The settings and the open bins' masses that open ends need: bad_setting,
// bad_mass, or ok.
outcome check_open(const double* masses, std::int64_t bins, std::int64_t refine, const body& part,
                   double last_edge, const settings& setting) noexcept {
    if (refine < 2 || !(setting.smoothing == setting.smoothing) || (setting.has_mean && !std::isfinite(setting.mean))) {
        return fits::failure(status::bad_setting);
    }
    for (const double held : setting.held) {
        if (!(held == held) || held <= 0.0) continue;
        if (!std::isfinite(held)) return fits::failure(status::bad_setting);
    }
    if (setting.right_kind == tail_kind::pareto && !(last_edge > 0.0)) {
        return fits::failure(status::bad_setting);
    }
    for (const std::int64_t i : {std::int64_t{0}, bins - 1}) {
        const bool open = (i == 0 && part.left_open) || (i == bins - 1 && part.right_open);
        if (open && !(masses[i] >= 0.0 && masses[i] < infinity)) {
            return fits::failure(status::bad_mass, i);
        }
    }
    return {};
}

// Open ends: the fit without the mean, each tail's parameter interpolated
// from the masses where it can be, else the end free within its bounds.
// With counts and an automatic smoothing, it also chooses the smoothing that
// the search for the mean then keeps.
outcome fit_open(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                 const settings& setting, double* values, double* scratch) noexcept {
    workspace w(scratch);
    open_problem p(edges, masses, bins, refine, setting, w);
    double parameter[2] = {-1.0, -1.0};
    // Exact masses: a tail joined continuously to an empty bin starts at
    // zero and carries nothing, so an open bin with mass needs a neighbour
    // with some.
    auto start = [&]() -> outcome {
        for (int k = 0; k < 2 && !p.counts(); ++k) {
            const std::int64_t beside = k == 0 ? 1 : bins - 2;
            if (p.side(k).open && p.side(k).mass > 0.0 && !(masses[beside] > 0.0)) {
                return fits::failure(status::empty_beside_tail, beside);
            }
        }
        for (int k = 0; k < 2; ++k) {
            parameter[k] = -1.0;
            if (setting.held[k] > 0.0) {
                parameter[k] = setting.held[k];
                continue;
            }
            const double guess = p.interpolated(k);
            if (guess > 0.0) parameter[k] = p.within_bounds(k, guess);
        }
        return {};
    };
    if (const outcome refused = start(); refused.code != status::ok) return refused;
    p.write_knots();
    status s = open_body::fit_within_bounds(p, parameter, setting.smoothing);
    // Counts at a lambda below float64's resolution: the exact-mass limit.
    if (p.take_limit(s, parameter)) {
        if (const outcome refused = start(); refused.code != status::ok) return refused;
        s = open_body::fit_within_bounds(p, parameter, setting.smoothing);
    }
    const std::int64_t solves = p.last().solves;
    if (s != status::ok || !setting.has_mean) {
        return p.finish(s, solves, values);
    }
    return open_body::meet_mean(p, setting, parameter, solves, values);
}

}  // namespace

body finite_part(const double* edges, std::int64_t bins) noexcept {
    body b;
    b.left_open = bins >= 1 && edges[0] == -infinity;
    b.right_open = bins >= 1 && edges[bins] == infinity;
    b.first = b.left_open ? 1 : 0;
    b.bins = bins - (b.left_open ? 1 : 0) - (b.right_open ? 1 : 0);
    return b;
}

std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept {
    workspace w;
    const open_body::scratch_arrays counted(bins, refine, w);
    return w.failed() ? -1 : w.size();
}

double mean(const double* knots, const double* values, std::int64_t count, const tail_shape& left,
            const tail_shape& right) noexcept {
    // Each piece's integral of x f, by the trapezoid's exact first moment,
    // taken about the first knot to keep the terms small.
    const double origin = knots[0];
    double moment = 0.0, mass = 0.0;
    for (std::int64_t j = 0; j + 1 < count; ++j) {
        const double x0 = knots[j] - origin, x1 = knots[j + 1] - origin, h = x1 - x0;
        moment += h * (values[j] * (2.0 * x0 + x1) + values[j + 1] * (x0 + 2.0 * x1)) / 6.0;
        mass += 0.5 * h * (values[j] + values[j + 1]);
    }
    double total = mass, tails = 0.0;
    for (const tail_shape* t : {&left, &right}) {
        if (t->kind == tail_kind::none || t->mass == 0.0) continue;
        total += t->mass;
        if (t->kind == tail_kind::pareto) {
            if (!(t->parameter > 1.0)) return infinity;
            tails += t->mass * t->joint * t->parameter / (t->parameter - 1.0);
        } else {
            tails += t->mass * (t == &left ? t->joint - t->parameter : t->joint + t->parameter);
        }
    }
    return (moment + origin * mass + tails) / total;
}

outcome fit(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
            const settings& setting, double* values, double* scratch) noexcept {
    if (bins < 1 || smooth_fit::knot_count(bins, refine) < 0) {
        return fits::failure(status::bad_size);
    }
    const body part = finite_part(edges, bins);
    if (part.bins < 1) {
        return fits::failure(status::bad_size);
    }
    if (!part.left_open && !part.right_open) {
        return fit_closed(edges, masses, bins, refine, setting, values, scratch);
    }
    if (const outcome checked = check_open(masses, bins, refine, part, edges[part.first + part.bins], setting); checked.code != status::ok) {
        return checked;
    }
    return fit_open(edges, masses, bins, refine, setting, values, scratch);
}

}  // namespace zelvane::open_fit
