// Least-curvature, mass-exact, non-negative piecewise linear density.
//
// The problem. Knots x_0 < ... < x_{N-1} (N = bins * refine + 1), values v_j,
// sub-interval widths h_j = x_{j+1} - x_j, slopes s_j = (v_{j+1} - v_j) / h_j.
// Minimise  sum_{j=1}^{N-2} (s_j - s_{j-1})^2 * 2 / (h_{j-1} + h_j)  = v'Gv
// subject to  A v = m  (the trapezoid integral over each bin is its mass)
// and v >= 0. G is positive semi-definite with the linear functions as its
// null space; a linear function with zero integral over two different bins is
// zero, so with two bins or more the objective is strictly convex on the
// constraint set and the solution is unique. With one bin it fixes nothing
// but linearity: we return the flat density, which is also the least-norm
// choice among the minimisers (the knots are symmetric about the midpoint).
//
// Scale. Lengths are measured in units of the total width and masses in units
// of the total mass, so the mean density is 1 and every tolerance below is
// relative; the values are multiplied back by the mean density at the end.
//
// Zero-mass bins (and bins below negligible_mass_share of the total, which
// count as empty). Their trapezoid weights are all positive, so every one of
// their knots is zero at any feasible point: those knots are pinned at zero
// and the bin's mass condition, then implied by the pins, is dropped (keeping
// it would make the active constraints linearly dependent). A zero bin pins
// at least two neighbouring knots, so the curvature terms never couple the
// runs of positive bins on either side of it: each run stays uniquely
// determined by its own masses.
//
// refine = 1. The values are then the bin edges alone: each mass fixes the
// sum of two neighbouring values, so a run of positive bins leaves one degree
// of freedom when no zero bin bounds it and none otherwise. We solve that
// directly: the values as c_j + (-1)^j t, the interval of t that keeps them
// non-negative, and the minimiser of the (one-dimensional, convex) curvature
// clamped into it. An empty interval (beyond the rounding of the recurrence,
// which we bound as we go) means no non-negative density has these masses.
//
// refine >= 2: the KKT system of a set of knots held at zero (smooth_kkt)
// and the phases that choose that set (smooth_phases). Whichever phase ends,
// the answer is accepted only after its optimality conditions are checked:
// every free value non-negative with a gradient that vanishes relative to the
// terms it sums, every held value with a multiplier that is not negative
// beyond that, every mass reproduced to 1e-13 of the total. Where the
// factorisation alone falls short, a few steps of iterative refinement are
// tried; a check that still fails makes the phases start again with the
// factorisations in double-double, and one that fails there too gives
// ill_conditioned rather than an answer.
#include "kernels/smooth_fit.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "kernels/smooth_kkt.hpp"
#include "kernels/smooth_phases.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::smooth_fit {

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
// A bin with less than this share of the total mass counts as empty. Its
// values lie below the rounding of its neighbours' in every solve, so an
// active set cannot tell them from zero (and may hold all of them, which
// leaves the bin's mass row without a free knot); held at zero from the
// start, they cost the bin a mass well within mass_tolerance.
constexpr double negligible_mass_share = 1e-14;
// Smallest sub-interval width, as a share of the total width, for which the
// curvature terms (which scale as width^-3) stay within float64's range.
constexpr double smallest_width_share = 1e-60;
constexpr std::int64_t max_knots = std::int64_t{1} << 48;

// Knot s (0 < s < refine) of a bin that starts at `low` and is `width` wide.
double inner_knot(double low, double width, std::int64_t s, std::int64_t refine) noexcept {
    return low + width * (static_cast<double>(s) / static_cast<double>(refine));
}

// The scratch of fit() comes in this order: the scaled widths and mass
// shares, then for refine = 1 the values and their rounding bounds (edge_arrays),
// for refine >= 2 the arrays of the KKT system and its phases.
struct scaled_arrays {
    double* h;     // bins * refine sub-interval widths, in units of the total width
    double* mass;  // bins mass shares, 0 for an empty bin
    scaled_arrays(std::int64_t bins, std::int64_t refine, workspace& w) noexcept
        : h(w.take(bins * refine)), mass(w.take(bins)) {}
};
struct edge_arrays {
    double* v;    // bins + 1 values
    double* err;  // bins + 1 bounds on the rounding error of v
    edge_arrays(std::int64_t bins, workspace& w) noexcept : v(w.take(bins + 1)), err(w.take(bins + 1)) {}
};

// Checks the input and writes the scaled sub-interval widths h (knots - 1)
// and mass shares (bins); unit is the mean density.
outcome check_and_scale(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                        double* h, double* mass, double& unit) noexcept {
    double total = 0.0, width = 0.0;
    const outcome checked = scale_histogram(edges, masses, bins, refine, h, total, width);
    if (checked.code != status::ok) {
        return checked;
    }
    unit = total / width;
    for (std::int64_t i = 0; i < bins; ++i) {
        const double share = masses[i] / total;
        mass[i] = share < negligible_mass_share ? 0.0 : share;
    }
    return {};
}

// ---------------------------------------------------------------- refine = 1

// No empty bin: v_j = c_j + sigma_j t with sigma_j = (-1)^j, c_0 = 0, and t
// the minimiser of the curvature clamped to the values' non-negativity.
outcome fit_alternating(std::int64_t bins, const double* h, const double* mass, double unit, double* values,
                        const edge_arrays& arrays) noexcept {
    double* const v = arrays.v;
    double* const err = arrays.err;
    double* const c = v;
    c[0] = 0.0;
    err[0] = 0.0;
    for (std::int64_t i = 0; i < bins; ++i) {
        const double g = 2.0 * mass[i] / h[i];
        c[i + 1] = g - c[i];
        err[i + 1] = err[i] + eps * (g + std::fabs(c[i + 1]));
    }
    double lo = 0.0, hi = HUGE_VAL, slack = 0.0;
    for (std::int64_t j = 0; j <= bins; ++j) {
        if (j % 2 == 0) {
            lo = std::max(lo, -c[j]);
        } else {
            hi = std::min(hi, c[j]);
        }
        slack = std::max(slack, 4.0 * err[j]);
    }
    if (lo > hi + slack) {
        return {status::infeasible};
    }
    // Curvature as a function of t: sum w (ds t + dc)^2 over interior knots.
    double a = 0.0, b = 0.0;
    for (std::int64_t j = 1; j < bins; ++j) {
        const double w = 2.0 / (h[j - 1] + h[j]), il = 1.0 / h[j - 1], ir = 1.0 / h[j];
        const double sigma = j % 2 == 0 ? 1.0 : -1.0;
        const double dc = c[j - 1] * il - c[j] * (il + ir) + c[j + 1] * ir;
        const double ds = -2.0 * sigma * (il + ir);
        a += w * ds * ds;
        b += w * ds * dc;
    }
    const double t = lo > hi ? 0.5 * (lo + hi) : std::clamp(-b / a, lo, hi);
    for (std::int64_t j = 0; j <= bins; ++j) {
        const double value = j % 2 == 0 ? c[j] + t : c[j] - t;
        v[j] = value > 0.0 ? value : 0.0;
    }
    return smooth_kkt::deliver(v, bins + 1, unit, err, values, 0);
}

// Every run of positive bins touches a zero bin, whose edges are zero:
// the run's values follow from that end by the pair-sum recurrence.
outcome fit_runs(std::int64_t bins, const double* h, const double* mass, double unit, double* values,
                 const edge_arrays& arrays) noexcept {
    double* const v = arrays.v;
    double* const err = arrays.err;
    std::fill(v, v + bins + 1, 0.0);
    std::fill(err, err + bins + 1, 0.0);
    for (std::int64_t i = 0; i < bins;) {
        if (mass[i] == 0.0) {
            ++i;
            continue;
        }
        const std::int64_t first = i;
        while (i < bins && mass[i] > 0.0) {
            ++i;
        }
        const std::int64_t end = i;  // bins first .. end - 1 are positive
        if (first > 0) {
            for (std::int64_t k = first; k < end; ++k) {
                const double g = 2.0 * mass[k] / h[k];
                v[k + 1] = g - v[k];
                err[k + 1] = err[k] + eps * (g + std::fabs(v[k + 1]));
            }
            if (end < bins) {
                if (std::fabs(v[end]) > 4.0 * err[end]) {
                    return {status::infeasible};
                }
                v[end] = 0.0;
            }
        } else {
            for (std::int64_t k = end - 1; k >= first; --k) {
                const double g = 2.0 * mass[k] / h[k];
                v[k] = g - v[k + 1];
                err[k] = err[k + 1] + eps * (g + std::fabs(v[k]));
            }
        }
        for (std::int64_t j = first; j <= end; ++j) {
            if (v[j] < -4.0 * err[j]) {
                return {status::infeasible};
            }
            v[j] = v[j] > 0.0 ? v[j] : 0.0;
        }
    }
    return smooth_kkt::deliver(v, bins + 1, unit, err, values, 0);
}

outcome fit_on_edges(std::int64_t bins, const double* h, const double* mass, double unit, double* values,
                     const edge_arrays& arrays) noexcept {
    const bool any_zero = std::any_of(mass, mass + bins, [](double m) { return m == 0.0; });
    return any_zero ? fit_runs(bins, h, mass, unit, values, arrays)
                    : fit_alternating(bins, h, mass, unit, values, arrays);
}

}  // namespace

outcome scale_histogram(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                        double* h, double& total, double& width) noexcept {
    for (std::int64_t i = 0; i <= bins; ++i) {
        if (!std::isfinite(edges[i]) || (i > 0 && !(edges[i] > edges[i - 1]))) {
            return {status::bad_edge, i};
        }
    }
    total = 0.0;
    for (std::int64_t i = 0; i < bins; ++i) {
        if (!(masses[i] >= 0.0) || masses[i] == HUGE_VAL) {
            return {status::bad_mass, i};
        }
        total += masses[i];
    }
    if (total == 0.0) {
        return {status::zero_total};
    }
    width = edges[bins] - edges[0];
    for (std::int64_t i = 0; i < bins; ++i) {
        const double low = edges[i], bin_width = edges[i + 1] - low;
        double previous = low;
        for (std::int64_t s = 1; s <= refine; ++s) {
            const double x = s < refine ? inner_knot(low, bin_width, s, refine) : edges[i + 1];
            const double step = x - previous;
            if (!(step > 0.0 && step < HUGE_VAL)) {
                return {status::bad_width, i};
            }
            h[i * refine + s - 1] = step / width;
            previous = x;
        }
    }
    const double unit = total / width;
    if (!(total < HUGE_VAL) || !(width < HUGE_VAL) || !(unit >= DBL_MIN && unit < HUGE_VAL)) {
        return {status::out_of_range};
    }
    for (std::int64_t j = 0; j < bins * refine; ++j) {
        if (!(h[j] >= smallest_width_share)) {
            return {status::out_of_range};
        }
    }
    return {};
}

std::int64_t knot_count(std::int64_t bins, std::int64_t refine) noexcept {
    if (bins < 1 || refine < 1 || refine > max_refine || bins > (max_knots - 1) / refine) {
        return -1;
    }
    return bins * refine + 1;
}

std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept {
    if (knot_count(bins, refine) < 0) {
        return -1;
    }
    workspace w;
    const scaled_arrays scaled(bins, refine, w);
    if (refine == 1) {
        const edge_arrays edges(bins, w);
    } else {
        smooth_phases::take_scratch(smooth_kkt::layout(bins, refine), w);
    }
    return w.size();
}

void write_knots(const double* edges, std::int64_t bins, std::int64_t refine, double* knots) noexcept {
    for (std::int64_t i = 0; i < bins; ++i) {
        const double low = edges[i], width = edges[i + 1] - low;
        knots[i * refine] = low;
        for (std::int64_t s = 1; s < refine; ++s) {
            knots[i * refine + s] = inner_knot(low, width, s, refine);
        }
    }
    knots[bins * refine] = edges[bins];
}

outcome fit(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine, double* values,
            double* scratch, const limits& bounds, const fixed_ends& fixed) noexcept {
    const std::int64_t knots = knot_count(bins, refine);
    if (knots < 0) {
        return {status::bad_size};
    }
    workspace w(scratch);
    const scaled_arrays scaled(bins, refine, w);
    double* const h = scaled.h;
    double* const mass = scaled.mass;
    double unit = 0.0;
    const outcome checked = check_and_scale(edges, masses, bins, refine, h, mass, unit);
    if (checked.code != status::ok) {
        return checked;
    }
    if (fixed.any()) {
        if (refine == 1 || !(fixed.left < HUGE_VAL && fixed.right < HUGE_VAL)) {
            return {status::bad_setting};
        }
    } else if (bins == 1) {
        std::fill(values, values + knots, unit);
        return {};
    } else if (refine == 1) {
        return fit_on_edges(bins, h, mass, unit, values, edge_arrays(bins, w));
    }
    // Fixed values in the scaled units of the fit, where the mean density is 1.
    const fixed_ends in_units{fixed.left < 0.0 ? -1.0 : fixed.left / unit, fixed.right < 0.0 ? -1.0 : fixed.right / unit};
    // A single bin held at its right end alone is fitted mirrored: held at its
    // last knot, the knots before it would form a leading block whose linear
    // functions nothing fixes, which the factorisation cannot pivot on.
    const bool mirrored = bins == 1 && in_units.right >= 0.0 && in_units.left < 0.0;
    if (mirrored) {
        std::reverse(h, h + refine);
    }
    outcome o = smooth_phases::solve(smooth_kkt::layout(bins, refine), h, mass,
                                     mirrored ? fixed_ends{in_units.right, in_units.left} : in_units, w, bounds,
                                     unit, values);
    // A factorisation that the stop flag cut short fails like a singular one.
    if (o.code != status::ok && bounds.stop != nullptr && bounds.stop->load(std::memory_order_relaxed)) {
        o.code = status::interrupted;
    }
    if (mirrored && o.code == status::ok) {
        std::reverse(values, values + knots);
    }
    return o;
}

}  // namespace zelvane::smooth_fit
