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
// refine >= 2: the equality-constrained subproblems. With a set of knots held
// at zero, the minimiser solves the KKT system [G A'; A 0] [v; lambda] = [0; m]
// with the held knots' rows replaced by v_j = 0. We order the unknowns knot by
// knot and put each bin's multiplier among its own knots, near their middle;
// every coupling is then between unknowns at most `half` = max(3, refine/2 + 1)
// places apart, and the system is banded. It is symmetric but indefinite (the
// multiplier rows have zero diagonals), so Cholesky does not apply, and a
// symmetric indefinite factorisation with 2x2 pivots (Bunch-Kaufman) does not
// preserve the band. Band LU with partial pivoting does: its fill stays within
// 2 * half superdiagonals, the cost is O(order * half^2) = O(bins * refine^2),
// and for a band matrix the growth factor is bounded in terms of the lower
// band width alone (2^(2 half - 1) - (half - 1) 2^(half - 2), which is 28 for
// half = 3), so the factorisation is backward stable. A null-space method
// would give a positive definite band system instead, but needs a local basis
// of the null space that must be rebuilt whenever a held knot changes which
// unknowns stay free. Before factoring, the system is scaled symmetrically by
// powers of two (each knot by about 1 / sqrt(G_jj), each multiplier so that
// its largest constraint entry is about 1): a wide bin among narrow ones has
// curvature entries many orders smaller than its neighbours', and the scaling
// keeps pivoting and the tolerances meaningful there.
//
// refine >= 2: the bounds. Two phases, both finite in their number of solves.
// First the whole active set is exchanged at once (start from the equality-
// only solution, hold every negative value at zero, release every held knot
// whose multiplier is negative, repeat): this typically ends in two or three
// solves. It can cycle on a matrix like G (not an M-matrix), and it is only
// run while the mass rows restricted to the free knots keep full rank, which
// keeps its systems nonsingular. If it has not finished after exchange_solves
// solves, a primal active-set method takes over from a strictly positive
// feasible point (a share of each bin's mean density at its edges, the rest of
// its mass on its interior knots): it moves towards each subproblem's
// minimiser until a value reaches zero and holds that one, or, at a minimiser,
// releases the held knot with the most negative multiplier. It holds only
// constraints that are independent of those already held, so its systems stay
// nonsingular as well (in exact arithmetic; a singular one ends the fit as
// inaccurate). After total_solves solves in all the fit stops with
// iteration_limit.
//
// Whichever phase ends, the answer is accepted only after its optimality
// conditions are checked: every free value non-negative with a gradient that
// vanishes relative to the terms it sums, every held value with a multiplier
// that is not negative beyond that, every mass reproduced to mass_tolerance of
// the total. Where the factorisation alone falls short, a few steps of
// iterative refinement are tried; a check that still fails gives inaccurate
// rather than an answer.
#include "kernels/smooth_fit.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/band_lu.hpp"

namespace zelvane::smooth_fit {

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
// A multiplier or gradient counts as zero within this share of the sum of
// the magnitudes of its terms.
constexpr double gradient_tolerance = 1e-10;
// Largest mass error accepted, as a share of the total mass.
constexpr double mass_tolerance = 1e-13;
// A bin with less than this share of the total mass counts as empty. Its
// values lie below the rounding of its neighbours' in every solve, so an
// active set cannot tell them from zero (and may hold all of them, which
// leaves the bin's mass row without a free knot); held at zero from the
// start, they cost the bin a mass well within mass_tolerance.
constexpr double negligible_mass_share = 1e-14;
// Steps of iterative refinement tried before an answer counts as inaccurate.
constexpr int max_polish_steps = 3;
// Smallest sub-interval width, as a share of the total width, for which the
// curvature terms (which scale as width^-3) stay within float64's range.
constexpr double smallest_width_share = 1e-60;
// Share of the smaller neighbouring mean density given to each edge in the
// primal phase's starting point.
constexpr double start_edge_share = 0.5;
constexpr std::int64_t max_knots = std::int64_t{1} << 48;

enum : unsigned char { free_knot, held_knot, pinned_knot, fixed_knot };

// Knot s (0 < s < refine) of a bin that starts at `low` and is `width` wide.
double inner_knot(double low, double width, std::int64_t s, std::int64_t refine) noexcept {
    return low + width * (static_cast<double>(s) / static_cast<double>(refine));
}

// Powers of two d with d * d * x in [1, 4) and d * x in [1, 2), for x
// positive and normal (as every curvature diagonal and mass weight here is).
double inverse_root_scale(double x) noexcept {
    const auto exponent = static_cast<std::int64_t>((std::bit_cast<std::uint64_t>(x) >> 52) & 0x7ff) - 1023;
    return std::bit_cast<double>(static_cast<std::uint64_t>(1023 - (exponent >> 1)) << 52);
}
double inverse_scale(double x) noexcept {
    const auto exponent = static_cast<std::int64_t>((std::bit_cast<std::uint64_t>(x) >> 52) & 0x7ff) - 1023;
    return std::bit_cast<double>(static_cast<std::uint64_t>(1023 - exponent) << 52);
}

int half_width(std::int64_t refine) noexcept {
    const std::int64_t split = refine / 2;
    return static_cast<int>(std::max({std::int64_t{3}, split + 1, refine - split}));
}

// Unknowns of the refined KKT system, in order: bin i contributes its knots
// i*refine + s for s = 0..split, its multiplier, then its knots for
// s = split+1..refine-1; the last knot comes last.
struct layout {
    std::int64_t bins, refine, knots, order, split;
    int half;
    layout(std::int64_t b, std::int64_t r) noexcept
        : bins(b), refine(r), knots(b * r + 1), order(b * r + 1 + b), split(r / 2), half(half_width(r)) {}
    std::int64_t knot_pos(std::int64_t bin, std::int64_t s) const noexcept {
        return bin * (refine + 1) + s + (s > split ? 1 : 0);
    }
    std::int64_t mass_pos(std::int64_t bin) const noexcept { return bin * (refine + 1) + split + 1; }
};

// Walks the knots in order, keeping the knot's bin, its place in the bin and
// its position among the unknowns.
struct knot_cursor {
    const layout& l;
    std::int64_t j = 0, bin = 0, s = 0, pos = 0;
    void next() noexcept {
        ++j;
        ++pos;
        if (s == l.split) ++pos;  // the bin's multiplier
        if (++s == l.refine) {
            s = 0;
            ++bin;
        }
    }
};

std::int64_t edges_scratch(std::int64_t bins) noexcept { return 4 * bins + 2; }

// h, masses, then the refined_fit arrays in the order its constructor takes them.
std::int64_t refined_scratch(const layout& l) noexcept {
    const std::int64_t n = l.order;
    return (l.knots - 1) + l.bins + n + 4 * l.knots + l.bins * (l.refine + 1) + n * band_lu::row_width(l.half) +
           3 * n + l.knots + (l.knots + n + 7) / 8;
}

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

// Writes unit * v to values unless a product overflows.
outcome deliver(const double* v, std::int64_t knots, double unit, double* scratch_out, double* values,
                std::int64_t solves) noexcept {
    for (std::int64_t j = 0; j < knots; ++j) {
        scratch_out[j] = v[j] * unit;
        if (!(scratch_out[j] < HUGE_VAL)) {
            return {status::out_of_range, -1, solves};
        }
    }
    std::copy(scratch_out, scratch_out + knots, values);
    return {status::ok, -1, solves};
}

// ---------------------------------------------------------------- refine = 1

outcome fit_on_edges(std::int64_t bins, const double* h, const double* mass, double unit, double* values,
                     double* work) noexcept {
    double* const v = work;             // bins + 1
    double* const err = v + bins + 1;   // bins + 1: bound on the rounding error of v
    const bool any_zero = std::any_of(mass, mass + bins, [](double m) { return m == 0.0; });

    if (!any_zero) {
        // v_j = c_j + sigma_j t with sigma_j = (-1)^j, c_0 = 0.
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
        return deliver(v, bins + 1, unit, err, values, 0);
    }

    // Every run of positive bins touches a zero bin, whose edges are zero:
    // the run's values follow from that end by the pair-sum recurrence.
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
    return deliver(v, bins + 1, unit, err, values, 0);
}

// ---------------------------------------------------------------- refine >= 2

// The scaled system: with D the scaling of the unknowns, the curvature is
// sum_t c_t (d_t . y)^2 over interior knots t, d_t the three scaled slope-
// difference coefficients of knots t-1, t, t+1 and c_t = 2 / (h_{t-1} + h_t),
// and the mass row of bin i holds the scaled trapezoid weights of its knots.
// The scales are powers of two (within a factor 2 of the diagonal scaling),
// so scaling itself rounds nothing.
class refined_fit {
public:
    // fixed: the end values held, in scaled units (negative: free).
    refined_fit(const layout& l, const double* h, const double* mass, const fixed_ends& fixed, double* work) noexcept
        : l_(l), h_(h), mass_(mass), fixed_(fixed) {
        const std::int64_t n = l.order;
        scale_ = work;
        stencil_ = scale_ + n;
        weight_ = stencil_ + 4 * l.knots;
        lu_ = weight_ + l.bins * (l.refine + 1);
        y_ = lu_ + n * band_lu::row_width(l.half);
        res_ = y_ + n;
        mag_ = res_ + n;
        u_ = mag_ + n;
        state_ = reinterpret_cast<unsigned char*>(u_ + l.knots);
        swap_ = state_ + l.knots;
    }

    outcome run(const limits& bounds, double unit, double* values) noexcept {
        set_up();
        if (!pin_zero_bins()) {
            return {status::infeasible};
        }
        const std::int64_t total_solves = bounds.total_solves >= 0 ? bounds.total_solves : 64 + 4 * l_.knots;
        const std::int64_t exchange_solves = std::min(bounds.exchange_solves, total_solves);

        // Phase one: exchange whole sets.
        std::int64_t held = 0;
        bool usable = exchange_solves > 0 && solve();
        while (usable) {
            if (held > 0) residuals();
            bool changed = false;
            for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
                if (state_[k.j] == held_knot) {
                    if (res_[k.pos] < -gradient_tolerance * mag_[k.pos]) {
                        state_[k.j] = free_knot;
                        --held;
                        changed = true;
                    }
                } else if (state_[k.j] == free_knot && y_[k.pos] < 0.0) {
                    state_[k.j] = held_knot;
                    ++held;
                    changed = true;
                }
            }
            if (!changed) {
                return finish(unit, values);
            }
            usable = solves_ < exchange_solves && mass_rows_independent() && solve();
        }

        // Phase two: primal active set from a strictly positive feasible point.
        pin_zero_bins();
        if (!feasible_start()) {
            return {status::infeasible, -1, solves_};
        }
        while (solves_ < total_solves) {
            if (!solve()) {
                return {status::inaccurate, -1, solves_};
            }
            double step = 1.0;
            std::int64_t blocking = -1;
            for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
                const double target = y_[k.pos];
                if (state_[k.j] == free_knot && target < 0.0) {
                    const double ratio = u_[k.j] / (u_[k.j] - target);
                    if (ratio < step) {
                        step = ratio;
                        blocking = k.j;
                    }
                }
            }
            if (blocking >= 0) {
                for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
                    if (state_[k.j] == free_knot) {
                        const double moved = u_[k.j] + step * (y_[k.pos] - u_[k.j]);
                        u_[k.j] = moved > 0.0 ? moved : 0.0;
                    }
                }
                u_[blocking] = 0.0;
                state_[blocking] = held_knot;
                continue;
            }
            // At the subproblem's minimiser: release the most negative multiplier, if any.
            residuals();
            double worst = 0.0;
            std::int64_t release = -1;
            for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
                if (state_[k.j] == free_knot) {
                    u_[k.j] = y_[k.pos];
                } else if (state_[k.j] == held_knot) {
                    const double r = res_[k.pos], size = mag_[k.pos];
                    if (r < -gradient_tolerance * size && r / size < worst) {
                        worst = r / size;
                        release = k.j;
                    }
                }
            }
            if (release < 0) {
                return finish(unit, values);
            }
            state_[release] = free_knot;
        }
        return {status::iteration_limit, -1, solves_};
    }

private:
    // Scales, curvature coefficients and mass weights. The diagonal of the
    // unscaled curvature matrix and then the knots' scales pass through res_
    // and mag_, indexed by knot.
    void set_up() noexcept {
        const std::int64_t knots = l_.knots, r = l_.refine;
        double* const diagonal = res_;
        std::fill(diagonal, diagonal + knots, 0.0);
        for (std::int64_t t = 1; t + 1 < knots; ++t) {
            double* const w = stencil_ + 4 * t;
            curvature_stencil(h_, t, w);
            diagonal[t - 1] += w[3] * w[0] * w[0];
            diagonal[t] += w[3] * w[1] * w[1];
            diagonal[t + 1] += w[3] * w[2] * w[2];
        }
        double* const knot_scale = mag_;
        for (knot_cursor k{l_}; k.j < knots; k.next()) {
            knot_scale[k.j] = inverse_root_scale(diagonal[k.j]);
            scale_[k.pos] = knot_scale[k.j];
        }
        for (std::int64_t t = 1; t + 1 < knots; ++t) {
            double* const w = stencil_ + 4 * t;
            w[0] *= knot_scale[t - 1];
            w[1] *= knot_scale[t];
            w[2] *= knot_scale[t + 1];
        }
        // A zero bin's multiplier is held at zero and keeps scale 1.
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            const std::int64_t q = l_.mass_pos(i);
            double* const a = weight_ + i * (r + 1);
            double largest = 0.0;
            for (std::int64_t s = 0; s <= r; ++s) {
                a[s] = trapezoid_weight(h_, i, s, r) * knot_scale[i * r + s];
                largest = std::max(largest, a[s]);
            }
            scale_[q] = mass_[i] > 0.0 ? inverse_scale(largest) : 1.0;
            for (std::int64_t s = 0; s <= r; ++s) a[s] *= scale_[q];
        }
    }

    double rhs(std::int64_t bin) const noexcept { return scale_[l_.mass_pos(bin)] * mass_[bin]; }

    // Pins the knots of empty bins at zero and holds the fixed ends; false
    // when a fixed end is positive beside an empty bin.
    bool pin_zero_bins() noexcept {
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            const bool left_zero = k.s == 0 && k.bin > 0 && mass_[k.bin - 1] == 0.0;
            const bool own_zero = k.bin < l_.bins && mass_[k.bin] == 0.0;
            state_[k.j] = left_zero || own_zero ? pinned_knot : free_knot;
        }
        const std::int64_t ends[2] = {0, l_.knots - 1};
        const double values[2] = {fixed_.left, fixed_.right};
        for (int side = 0; side < 2; ++side) {
            if (values[side] < 0.0) continue;
            if (state_[ends[side]] == pinned_knot) {
                if (values[side] > 0.0) return false;
                continue;
            }
            state_[ends[side]] = fixed_knot;
        }
        return true;
    }

    // A fixed knot's value in the scaled unknowns, or 0 for any other.
    double fixed_value(std::int64_t j, std::int64_t pos) const noexcept {
        if (state_[j] != fixed_knot) return 0.0;
        return (j == 0 ? fixed_.left : fixed_.right) / scale_[pos];
    }

    // Whether the mass rows restricted to the free knots keep full rank: each
    // positive bin needs a free knot of its own, an interior one or else an
    // edge not taken by its left neighbour. Bins and knots form a path, so
    // matching from the left, an edge-only bin taking its left edge where it
    // can, finds such an assignment whenever one exists.
    bool mass_rows_independent() const noexcept {
        const std::int64_t r = l_.refine;
        std::int64_t taken = -1;  // edge knot claimed by the previous bin
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] == 0.0) {
                continue;
            }
            const unsigned char* const interior = state_ + i * r + 1;
            if (std::any_of(interior, interior + r - 1, [](unsigned char st) { return st == free_knot; })) {
                continue;
            }
            if (state_[i * r] == free_knot && taken != i * r) {
                taken = i * r;
            } else if (state_[i * r + r] == free_knot) {
                taken = i * r + r;
            } else {
                return false;
            }
        }
        return true;
    }

    // A share of the smaller neighbouring mean density on each edge, the rest
    // of every bin's mass spread evenly over its interior knots; in the scaled
    // unknowns, into u_. A fixed end takes its value, and where that leaves a
    // bin too little for its interior the bin's free edge starts at zero;
    // false when even then the fixed value alone exceeds the bin's mass.
    bool feasible_start() noexcept {
        const std::int64_t r = l_.refine;
        auto bin_width = [&](std::int64_t i) {
            double w = 0.0;
            for (std::int64_t s = 0; s < r; ++s) w += h_[i * r + s];
            return w;
        };
        double right = mass_[0] / bin_width(0);
        for (std::int64_t i = 0; i <= l_.bins; ++i) {
            const double left = right;
            right = i < l_.bins ? mass_[i] / bin_width(i) : left;
            const double edge = start_edge_share * std::min(left, right);
            const std::int64_t pos = l_.knot_pos(i, 0);
            u_[i * r] = state_[i * r] == fixed_knot    ? fixed_value(i * r, pos)
                        : state_[i * r] == pinned_knot ? 0.0
                                                       : edge / scale_[pos];
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] == 0.0) {
                for (std::int64_t s = 1; s < r; ++s) u_[i * r + s] = 0.0;
                continue;
            }
            const double first = h_[i * r], last = h_[i * r + r - 1], w = bin_width(i);
            const std::int64_t left = l_.knot_pos(i, 0), right_pos = l_.knot_pos(i + 1, 0);
            double a = u_[i * r] * scale_[left], b = u_[i * r + r] * scale_[right_pos];
            double rest = mass_[i] - 0.5 * (a * first + b * last);
            if (rest < 0.0) {
                // Only a fixed end can take more than the bin holds: free the other edge.
                if (state_[i * r] == free_knot) u_[i * r] = a = 0.0;
                if (state_[i * r + r] == free_knot) u_[i * r + r] = b = 0.0;
                rest = mass_[i] - 0.5 * (a * first + b * last);
                if (rest < 0.0) return false;
                if (i > 0 && state_[i * r] == free_knot) {
                    // The left neighbour's interior has room for what its right edge gave up.
                    const std::int64_t k = i - 1;
                    const double f = h_[k * r], l = h_[k * r + r - 1], wk = bin_width(k);
                    const double ak = u_[k * r] * scale_[l_.knot_pos(k, 0)];
                    const double inner = (mass_[k] - 0.5 * ak * f) / (wk - 0.5 * (f + l));
                    for (std::int64_t s = 1; s < r; ++s) u_[k * r + s] = inner / scale_[l_.knot_pos(k, s)];
                }
            }
            const double inner = rest / (w - 0.5 * (first + last));
            for (std::int64_t s = 1; s < r; ++s) u_[i * r + s] = inner / scale_[l_.knot_pos(i, s)];
        }
        return true;
    }

    // Solves the subproblem with the knots not free held at zero: y_.
    bool solve() noexcept {
        ++solves_;
        const std::int64_t n = l_.order, half = l_.half, wide = band_lu::row_width(l_.half), r = l_.refine;
        const band_lu::band m{lu_, n, l_.half};
        std::memset(lu_, 0, static_cast<std::size_t>(n * wide) * sizeof(double));
        std::memset(y_, 0, static_cast<std::size_t>(n) * sizeof(double));
        knot_cursor left{l_}, mid{l_}, right{l_};
        mid.next();
        right.next();
        right.next();
        for (; right.j < l_.knots; left.next(), mid.next(), right.next()) {
            const double* const w = stencil_ + 4 * mid.j;
            const std::int64_t p0 = left.pos, p1 = mid.pos, p2 = right.pos;
            const double c0 = w[3] * w[0], c1 = w[3] * w[1];
            m.at(p0, p0) += c0 * w[0];
            m.at(p1, p1) += c1 * w[1];
            m.at(p2, p2) += w[3] * w[2] * w[2];
            const double w01 = c0 * w[1], w02 = c0 * w[2], w12 = c1 * w[2];
            m.at(p0, p1) += w01;
            m.at(p1, p0) += w01;
            m.at(p0, p2) += w02;
            m.at(p2, p0) += w02;
            m.at(p1, p2) += w12;
            m.at(p2, p1) += w12;
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] == 0.0) continue;
            const std::int64_t q = l_.mass_pos(i);
            const double* const a = weight_ + i * (r + 1);
            for (std::int64_t s = 0; s <= r; ++s) {
                const std::int64_t p = l_.knot_pos(i, s);
                m.at(q, p) = a[s];
                m.at(p, q) = a[s];
            }
            y_[q] = rhs(i);
        }
        auto hold = [&](std::int64_t q) {
            std::fill(lu_ + q * wide, lu_ + (q + 1) * wide, 0.0);
            m.at(q, q) = 1.0;
            y_[q] = 0.0;
            for (std::int64_t t = std::max<std::int64_t>(0, q - half); t <= std::min(n - 1, q + half); ++t) {
                if (t != q) m.at(t, q) = 0.0;
            }
        };
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            if (state_[k.j] == fixed_knot) {
                // The fixed value's terms move to the right-hand side of the
                // rows it appears in (a held row has none left to move).
                const double value = fixed_value(k.j, k.pos);
                for (std::int64_t t = std::max<std::int64_t>(0, k.pos - half); t <= std::min(n - 1, k.pos + half); ++t) {
                    if (t != k.pos) y_[t] -= m.at(t, k.pos) * value;
                }
                hold(k.pos);
                y_[k.pos] = value;
            } else if (state_[k.j] != free_knot) {
                hold(k.pos);
            }
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] == 0.0) hold(l_.mass_pos(i));
        }
        if (band_lu::factor(m, swap_) >= 0) {
            return false;
        }
        band_lu::solve(m, swap_, y_);
        return true;
    }

    // Residual of every row of the unheld scaled system at y_ (res_), and the
    // sum of the magnitudes of the terms that make it up (mag_).
    void residuals() noexcept {
        const std::int64_t n = l_.order, r = l_.refine;
        std::fill(res_, res_ + n, 0.0);
        std::fill(mag_, mag_ + n, 0.0);
        knot_cursor left{l_}, mid{l_}, right{l_};
        mid.next();
        right.next();
        right.next();
        for (; right.j < l_.knots; left.next(), mid.next(), right.next()) {
            const double* const w = stencil_ + 4 * mid.j;
            const std::int64_t p[3] = {left.pos, mid.pos, right.pos};
            const double t0 = w[0] * y_[p[0]], t1 = w[1] * y_[p[1]], t2 = w[2] * y_[p[2]];
            const double bend = w[3] * (t0 + t1 + t2), size = w[3] * (std::fabs(t0) + std::fabs(t1) + std::fabs(t2));
            for (int a = 0; a < 3; ++a) {
                res_[p[a]] += w[a] * bend;
                mag_[p[a]] += std::fabs(w[a]) * size;
            }
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] == 0.0) continue;
            const std::int64_t q = l_.mass_pos(i);
            const double* const a = weight_ + i * (r + 1);
            const double lambda = y_[q];
            double sum = -rhs(i), size = rhs(i);
            for (std::int64_t s = 0; s <= r; ++s) {
                const std::int64_t p = l_.knot_pos(i, s);
                const double term = a[s] * y_[p], pull = a[s] * lambda;
                sum += term;
                size += std::fabs(term);
                res_[p] += pull;
                mag_[p] += std::fabs(pull);
            }
            res_[q] = sum;
            mag_[q] = size;
        }
    }

    // The optimality conditions at y_, from res_ and mag_.
    bool optimal() const noexcept {
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            const double r = res_[k.pos], bound = gradient_tolerance * mag_[k.pos];
            if (state_[k.j] == free_knot ? !(y_[k.pos] >= 0.0 && std::fabs(r) <= bound)
                                         : state_[k.j] == held_knot && !(r >= -bound)) {
                return false;
            }
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            const std::int64_t q = l_.mass_pos(i);
            if (mass_[i] > 0.0 && !(std::fabs(res_[q] / scale_[q]) <= mass_tolerance)) {
                return false;
            }
        }
        return true;
    }

    // One step of iterative refinement of y_ with the factors of the last
    // solve, whose held set is still the current one: the residuals of the
    // unheld rows, in working precision, solved for a correction. The band
    // factorisation bounds each row's residual only relative to the largest
    // rows; a step brings it down to the rounding of the row's own terms.
    void polish() noexcept {
        for (std::int64_t q = 0; q < l_.order; ++q) res_[q] = -res_[q];
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            if (state_[k.j] != free_knot) res_[k.pos] = 0.0;
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] == 0.0) res_[l_.mass_pos(i)] = 0.0;
        }
        band_lu::solve(band_lu::band{lu_, l_.order, l_.half}, swap_, res_);
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            if (state_[k.j] == free_knot) {
                const double moved = y_[k.pos] + res_[k.pos];
                y_[k.pos] = moved > 0.0 ? moved : 0.0;
            }
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] > 0.0) y_[l_.mass_pos(i)] += res_[l_.mass_pos(i)];
        }
    }

    // Checks the optimality conditions at y_, refining it while they fail
    // (a few steps at most), and delivers the values.
    outcome finish(double unit, double* values) noexcept {
        residuals();
        for (int step = 0; !optimal(); ++step) {
            if (step == max_polish_steps) {
                return {status::inaccurate, -1, solves_};
            }
            polish();
            residuals();
        }
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            u_[k.j] = state_[k.j] == free_knot || state_[k.j] == fixed_knot ? scale_[k.pos] * y_[k.pos] : 0.0;
        }
        return deliver(u_, l_.knots, unit, res_, values, solves_);
    }

    layout l_;
    const double* h_;
    const double* mass_;
    fixed_ends fixed_;
    double *scale_, *stencil_, *weight_, *lu_, *y_, *res_, *mag_, *u_;
    unsigned char *state_, *swap_;
    std::int64_t solves_ = 0;
};

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
    return refine == 1 ? edges_scratch(bins) : refined_scratch(layout(bins, refine));
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
    double* const h = scratch;
    double* const mass = h + (knots - 1);
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
        return fit_on_edges(bins, h, mass, unit, values, mass + bins);
    }
    // Fixed values in the scaled units of the fit, where the mean density is 1.
    const fixed_ends scaled{fixed.left < 0.0 ? -1.0 : fixed.left / unit, fixed.right < 0.0 ? -1.0 : fixed.right / unit};
    refined_fit problem(layout(bins, refine), h, mass, scaled, mass + bins);
    return problem.run(bounds, unit, values);
}

}  // namespace zelvane::smooth_fit
