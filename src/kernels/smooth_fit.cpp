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
// with the held knots' rows and columns replaced by v_j = 0. We order the
// unknowns knot by knot and put each bin's multiplier right after the bin's
// last knot, and factorise the system symmetrically without pivoting
// (border_ldl: LDL' on the envelope). A knot row then reaches three places
// back and a multiplier row over its own bin, fill stays inside those
// windows, and a factorisation costs O(knots) whatever refine is. The knots
// before a multiplier are eliminated first, so the knot pivots are those of a
// convex problem (positive) and the multiplier's is a Schur complement of one
// (negative); the one leading block that can be singular (two bins, the last
// multiplier missing) is left to a 2 x 2 block with an interchange. A single
// bin held at its right end alone is fitted mirrored, which keeps its leading
// blocks nonsingular too. Before factoring, the system is scaled
// symmetrically by powers of two (each knot by about 1 / sqrt(G_jj), each
// multiplier so that its largest constraint entry is about 1): a wide bin
// among narrow ones has curvature entries many orders smaller than its
// neighbours', and the scaling keeps the tolerances meaningful there.
//
// refine >= 2: the bounds, in three phases, every one bounded in solves.
// First, every violated condition is changed at once (hold the negative free
// values, release the held knots with negative multipliers), which typically
// ends in three or four solves. On a matrix like G (not an M-matrix) that
// exchange can creep along a run of zeros a knot or two per round; once the
// number of violated conditions has twice in a row failed to fall by a
// quarter (or after exchange_solves solves) an interior-point phase takes
// over: Mehrotra's predictor-corrector method on the same system with the
// barrier terms on the knots' diagonal, a fixed number of steps whatever the
// number of zeros, whose last step tells the held set (a knot whose value
// falls faster than its multiplier). From that set, block principal pivoting
// (Judice and Pires) finishes: whole sets while the number of violations
// reaches new lows, single changes by Murty's rule (the last knot violating
// its condition; finite) when it stalls. Changes that would leave a bin's
// mass row without a free knot of its own (a rank-deficient system) are
// undone. After total_solves factorisations in all the fit stops with
// iteration_limit; a raised stop flag, checked before each factorisation,
// ends it with interrupted.
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

#include "kernels/border_ldl.hpp"

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
constexpr std::int64_t max_knots = std::int64_t{1} << 48;
// The first phase goes on until the number of violated conditions has twice in
// a row failed to fall below three quarters of its lowest (a number up to
// this counts as falling).
constexpr std::int64_t few_violations = 16;
// Rounds of whole-set changes that may fail to lower the number of violated
// conditions before single changes take over (after the interior phase).
constexpr std::int64_t single_change_patience = 3;
// The interior-point phase: its bound on steps (two solves with one
// factorisation each), the fall of the mean complementarity gap at which its
// answer is taken, and the share of the way to the boundary that a step goes.
constexpr int max_interior_steps = 60;
constexpr double interior_gap = 1e-18;
constexpr double boundary_fraction = 0.99;

// just_held: held in the round under way (see refined_fit::exchange_all).
enum : unsigned char { free_knot, held_knot, pinned_knot, fixed_knot, just_held };

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

// Unknowns of the refined KKT system, in the order of border_ldl: the knots
// in order, each bin's multiplier right after the bin's last knot.
struct layout {
    std::int64_t bins, refine, knots, order;
    layout(std::int64_t b, std::int64_t r) noexcept : bins(b), refine(r), knots(b * r + 1), order(border_ldl::order(b, r)) {}
    std::int64_t position(std::int64_t knot) const noexcept { return border_ldl::knot_position(knot, refine); }
    std::int64_t position(std::int64_t bin, std::int64_t s) const noexcept { return border_ldl::knot_position(bin, s, refine); }
    std::int64_t mass_pos(std::int64_t bin) const noexcept { return border_ldl::bin_position(bin, refine); }
};

// Walks the knots in order, keeping the knot's bin, its place in the bin and
// its position among the unknowns.
struct knot_cursor {
    const layout& l;
    std::int64_t j = 0, bin = 0, s = 0, pos = 0;
    void next() noexcept {
        pos += s == 0 && j > 0 ? 2 : 1;  // past the multiplier of the bin that ends here
        ++j;
        if (++s == l.refine) {
            s = 0;
            ++bin;
        }
    }
};

std::int64_t edges_scratch(std::int64_t bins) noexcept { return 4 * bins + 2; }

// h, masses, then the refined_fit arrays in the order its constructor takes them.
std::int64_t refined_scratch(const layout& l) noexcept {
    const std::int64_t n = l.order, knots = l.knots;
    return (knots - 1) + l.bins + n + 4 * knots + l.bins * (l.refine + 1) + 3 * knots + 3 * n +
           l.bins * (l.refine + 2) + 4 * n + knots + 3 * n + 4 * knots + (2 * knots + 7) / 8;
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
        const std::int64_t n = l.order, knots = l.knots;
        scale_ = work;
        stencil_ = scale_ + n;
        weight_ = stencil_ + 4 * knots;
        curvature_ = weight_ + l.bins * (l.refine + 1);
        near_ = curvature_ + 3 * knots;
        border_ = near_ + 3 * n;
        diagonal_ = border_ + l.bins * (l.refine + 2);
        y_ = diagonal_ + n;
        res_ = y_ + n;
        mag_ = res_ + n;
        u_ = mag_ + n;
        ip_x_ = u_ + knots;
        ip_affine_ = ip_x_ + n;
        ip_step_ = ip_affine_ + n;
        ip_z_ = ip_step_ + n;
        ip_dz_affine_ = ip_z_ + knots;
        ip_dual_ = ip_dz_affine_ + knots;
        ip_extra_ = ip_dual_ + knots;
        state_ = reinterpret_cast<unsigned char*>(ip_extra_ + knots);
        saved_ = state_ + knots;
    }

    outcome run(const limits& bounds, double unit, double* values) noexcept {
        stop_ = bounds.stop;
        set_up();
        if (!pin_zero_bins() || !ends_feasible()) {
            return {status::infeasible};
        }
        const std::int64_t total_solves = bounds.total_solves >= 0 ? bounds.total_solves : 64 + 4 * l_.knots;
        const std::int64_t exchange_solves = std::max<std::int64_t>(bounds.exchange_solves, 0);
        // First phase: every violated condition changed at once, until their
        // number stops falling fast (see few_violations) or after
        // exchange_solves solves. Then, once, the interior-point
        // phase, whose answer gives the held set; from there block principal
        // pivoting (Judice and Pires): whole sets while the number falls below
        // its lowest, or for single_change_patience rounds that do not; then
        // only the last knot's condition (Murty's rule, finite) until it does.
        bool first_phase = true;
        std::int64_t strikes = 0;  // first-phase rounds in a row without progress
        std::int64_t lowest = std::numeric_limits<std::int64_t>::max(), left = single_change_patience;
        while (true) {
            if (first_phase && (solves_ >= exchange_solves || strikes > 1)) {
                first_phase = false;
                const status s = interior(bounds, total_solves);
                if (s != status::ok) {
                    return {s, -1, solves_};
                }
                lowest = std::numeric_limits<std::int64_t>::max();
            }
            if (const status s = may_factor(bounds, total_solves); s != status::ok) {
                return {s, -1, solves_};
            }
            if (!solve()) {
                return {status::inaccurate, -1, solves_};
            }
            std::int64_t violated = 0;
            for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
                violated += violates(k.j, k.pos) ? 1 : 0;
            }
            if (violated == 0) {
                return finish(unit, values);
            }
            if (first_phase) {
                // Progress: at most three quarters of the lowest so far, counted
                // without overflow (lowest starts at the largest int64).
                const std::int64_t three_quarters = lowest - (lowest / 4 + (lowest % 4 != 0 ? 1 : 0));
                const bool progress = violated <= few_violations || violated <= three_quarters;
                strikes = progress ? 0 : strikes + 1;
                if (strikes > 1) {
                    continue;  // on to the interior-point phase
                }
                lowest = std::min(lowest, violated);
                if (!exchange_all() && !exchange_last()) {
                    return {status::inaccurate, -1, solves_};
                }
                continue;
            }
            bool whole = true;
            if (violated < lowest) {
                lowest = violated;
                left = single_change_patience;
            } else if (left > 0) {
                --left;
            } else {
                whole = false;
            }
            if (whole && !exchange_all()) {
                whole = false;
            }
            if (!whole && !exchange_last()) {
                return {status::inaccurate, -1, solves_};
            }
        }
    }

private:
    // Scales, curvature coefficients, the curvature matrix's three lower
    // diagonals and the mass weights. The diagonal of the unscaled curvature
    // matrix and then the knots' scales pass through res_ and mag_, indexed by
    // knot.
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
        // curvature_[3 j] is G(j, j), curvature_[3 j + 1] G(j, j - 1) and
        // curvature_[3 j + 2] G(j, j - 2), scaled.
        std::fill(curvature_, curvature_ + 3 * knots, 0.0);
        for (std::int64_t t = 1; t + 1 < knots; ++t) {
            double* const w = stencil_ + 4 * t;
            w[0] *= knot_scale[t - 1];
            w[1] *= knot_scale[t];
            w[2] *= knot_scale[t + 1];
            const double c0 = w[3] * w[0], c1 = w[3] * w[1];
            curvature_[3 * (t - 1)] += c0 * w[0];
            curvature_[3 * t] += c1 * w[1];
            curvature_[3 * (t + 1)] += w[3] * w[2] * w[2];
            curvature_[3 * t + 1] += c0 * w[1];
            curvature_[3 * (t + 1) + 1] += c1 * w[2];
            curvature_[3 * (t + 1) + 2] += c0 * w[2];
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

    // Whether the fixed ends leave their bins a non-negative rest of their
    // masses: the values held alone must not carry more than the bin has.
    bool ends_feasible() const noexcept {
        const std::int64_t last = l_.bins - 1, knots = l_.knots;
        const double left = fixed_.left >= 0.0 ? 0.5 * h_[0] * fixed_.left : 0.0;
        const double right = fixed_.right >= 0.0 ? 0.5 * h_[knots - 2] * fixed_.right : 0.0;
        if (last == 0) return !(left + right > mass_[0]);
        return !(left > mass_[0]) && !(right > mass_[last]);
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

    // The multiplier of knot j's bound at y_ (the residual of its row of the
    // unheld system), and in `size` the sum of the magnitudes of its terms.
    double multiplier(std::int64_t j, double& size) const noexcept {
        const std::int64_t knots = l_.knots;
        double sum = 0.0;
        size = 0.0;
        for (std::int64_t t = std::max<std::int64_t>(1, j - 1); t <= std::min(knots - 2, j + 1); ++t) {
            const double* const w = stencil_ + 4 * t;
            const double t0 = w[0] * y_[l_.position(t - 1)], t1 = w[1] * y_[l_.position(t)];
            const double t2 = w[2] * y_[l_.position(t + 1)];
            const double a = w[j - t + 1];
            sum += a * (w[3] * (t0 + t1 + t2));
            size += std::fabs(a) * (w[3] * (std::fabs(t0) + std::fabs(t1) + std::fabs(t2)));
        }
        add_mass_pulls(j, y_, sum, &size);
        return sum;
    }

    // Adds to sum knot j's terms a_ij x_i of the mass rows at x (bins with mass
    // only), and their magnitudes to *size where given: its own bin's, and at
    // an edge the one to its left, in that order.
    void add_mass_pulls(std::int64_t j, const double* x, double& sum, double* size) const noexcept {
        const std::int64_t r = l_.refine, own = j / r, s = j % r;
        for (std::int64_t i = (s == 0 ? own - 1 : own); i <= std::min(own, l_.bins - 1); ++i) {
            if (i < 0 || mass_[i] == 0.0) continue;
            const double pull = weight_[i * (r + 1) + (j - i * r)] * x[l_.mass_pos(i)];
            sum += pull;
            if (size != nullptr) *size += std::fabs(pull);
        }
    }

    // Whether knot j's condition fails at y_: a free value below zero, or a
    // held value whose multiplier is negative beyond rounding.
    bool violates(std::int64_t j, std::int64_t pos) const noexcept {
        if (state_[j] == free_knot) return y_[pos] < 0.0;
        if (state_[j] != held_knot) return false;
        double size = 0.0;
        const double m = multiplier(j, size);
        return m < -gradient_tolerance * size;
    }

    // Changes every violated condition: holds the negative free values and
    // frees the held ones with negative multipliers. Where that leaves a bin's
    // mass row without a free knot of its own, a knot of that bin held in
    // this round is freed again; false (and the round undone) when that does
    // not restore full rank.
    bool exchange_all() noexcept {
        std::copy(state_, state_ + l_.knots, saved_);
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            if (violates(k.j, k.pos)) state_[k.j] = state_[k.j] == free_knot ? just_held : free_knot;
        }
        return settle_round();
    }

    // Ends a round of changes begun from saved_: where the knots held in it
    // (just_held) leave the mass rows rank deficient, frees some of them again,
    // or undoes the round when that does not do; then they count as held.
    // False when the round was undone.
    bool settle_round() noexcept {
        const bool full_rank = mass_rows_independent() || restore_rank();
        if (!full_rank) {
            std::copy(saved_, saved_ + l_.knots, state_);
        }
        std::replace(state_, state_ + l_.knots, static_cast<unsigned char>(just_held),
                     static_cast<unsigned char>(held_knot));
        return full_rank;
    }

    bool restore_rank() noexcept {
        const std::int64_t r = l_.refine;
        std::int64_t taken = -1;
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            if (mass_[i] == 0.0) continue;
            std::int64_t best = -1;
            bool has_free = false;
            for (std::int64_t s = 1; s < r && !has_free; ++s) {
                const std::int64_t j = i * r + s;
                has_free = state_[j] == free_knot;
                if (state_[j] == just_held && (best < 0 || y_[l_.position(j)] > y_[l_.position(best)])) best = j;
            }
            if (has_free) continue;
            if (best >= 0) {
                state_[best] = free_knot;
                continue;
            }
            const std::int64_t left = i * r, right = left + r;
            if (state_[left] == free_knot && taken != left) {
                taken = left;
            } else if (state_[right] == free_knot || state_[right] == just_held) {
                state_[right] = free_knot;
                taken = right;
            } else if (state_[left] == just_held && taken != left) {
                state_[left] = free_knot;
                taken = left;
            } else {
                return false;
            }
        }
        return true;
    }

    // Changes the condition of the last knot that violates one, passing over
    // holds that would leave the mass rows rank deficient; false when no
    // change is possible.
    bool exchange_last() noexcept {
        for (std::int64_t j = l_.knots - 1; j >= 0; --j) {
            if (!violates(j, l_.position(j))) continue;
            if (state_[j] == held_knot) {
                state_[j] = free_knot;
                return true;
            }
            state_[j] = held_knot;
            if (mass_rows_independent()) return true;
            state_[j] = free_knot;
        }
        return false;
    }

    // Whether another factorisation may be made: ok, or the status that ends the fit.
    status may_factor(const limits& bounds, std::int64_t total_solves) const noexcept {
        if (solves_ >= total_solves) return status::iteration_limit;
        if (bounds.stop != nullptr && bounds.stop->load(std::memory_order_relaxed)) return status::interrupted;
        return status::ok;
    }

    // The interior-point phase: Mehrotra's predictor-corrector method on the
    // bounds of every knot that is free or held, from the last solve's values
    // lifted to a floor, for a bounded number of factorisations whatever the
    // number of knots at zero. Its answer decides the held set: a knot whose
    // value is below its multiplier is held. Each step solves the system of
    // the active-set solves with the bounds' barrier terms z / v added to the
    // knots' diagonal (so no knot is held), whose knot pivots are then
    // positive in every leading block.
    status interior(const limits& bounds, std::int64_t total_solves) noexcept {
        const std::int64_t knots = l_.knots;
        if (solves_ == 0) {
            // The start needs a solve: the equality-constrained one.
            if (const status s = may_factor(bounds, total_solves); s != status::ok) return s;
            if (!solve()) return status::inaccurate;
        }
        double* const v = u_;  // values by knot
        std::int64_t count = 0;
        double typical = 0.0;
        for (knot_cursor k{l_}; k.j < knots; k.next()) {
            if (state_[k.j] == held_knot) state_[k.j] = free_knot;
            v[k.j] = y_[k.pos];
            if (state_[k.j] == free_knot) {
                ++count;
                typical += std::fabs(v[k.j]);
            }
        }
        if (count == 0) return status::ok;
        typical = typical > 0.0 ? typical / static_cast<double>(count) : 1.0;
        std::copy(y_, y_ + l_.order, ip_x_);
        for (knot_cursor k{l_}; k.j < knots; k.next()) {
            if (state_[k.j] != free_knot) continue;
            v[k.j] = std::max(v[k.j], typical);
            ip_z_[k.j] = typical;
            ip_x_[k.pos] = v[k.j];
        }
        // ip_extra_ keeps, between steps, the held set that the last step
        // points to: a knot whose value falls faster than its multiplier.
        std::fill(ip_extra_, ip_extra_ + knots, 0.0);
        double first_gap = 0.0;
        for (int step = 0; step < max_interior_steps; ++step) {
            // Dual residuals by knot, the gap, and the primal residuals into the bins' places of the step.
            double gap = 0.0;
            for (std::int64_t j = 0; j < knots; ++j) {
                if (state_[j] != free_knot) continue;
                const double* const g = curvature_ + 3 * j;
                double sum = g[0] * v[j] - ip_z_[j];
                if (j >= 1) sum += g[1] * v[j - 1];
                if (j >= 2) sum += g[2] * v[j - 2];
                if (j + 1 < knots) sum += curvature_[3 * (j + 1) + 1] * v[j + 1];
                if (j + 2 < knots) sum += curvature_[3 * (j + 2) + 2] * v[j + 2];
                add_mass_pulls(j, ip_x_, sum, nullptr);
                ip_dual_[j] = sum;
                gap += v[j] * ip_z_[j];
            }
            gap /= static_cast<double>(count);
            if (step == 0) first_gap = gap;
            if (!(gap > interior_gap * first_gap)) break;
            if (const status s = may_factor(bounds, total_solves); s != status::ok) return s;
            for (std::int64_t j = 0; j < knots; ++j) {
                ip_extra_[j] = state_[j] == free_knot ? ip_z_[j] / v[j] : 0.0;
            }
            if (!factorise(ip_extra_)) return status::inaccurate;
            // Predictor: the affine step, towards complementarity itself.
            newton_rhs(v, nullptr, 0.0, ip_affine_);
            border_ldl::solve(system(), ip_affine_);
            double affine_gap = 0.0;
            const double reach = boundary_step(v, ip_affine_, ip_dz_affine_);
            for (knot_cursor k{l_}; k.j < knots; k.next()) {
                if (state_[k.j] != free_knot) continue;
                affine_gap += (v[k.j] + reach * ip_affine_[k.pos]) * (ip_z_[k.j] + reach * ip_dz_affine_[k.j]);
            }
            affine_gap /= static_cast<double>(count);
            const double ratio = affine_gap / gap, sigma = ratio * ratio * ratio;
            // Corrector: centred, with the predictor's second-order term.
            newton_rhs(v, ip_affine_, sigma * gap, ip_step_);
            border_ldl::solve(system(), ip_step_);
            double* const dz = ip_dz_affine_;
            for (knot_cursor k{l_}; k.j < knots; k.next()) {
                if (state_[k.j] != free_knot) continue;
                const double dv = ip_affine_[k.pos], dza = dz[k.j];
                const double rc = v[k.j] * ip_z_[k.j] + dv * dza - sigma * gap;
                dz[k.j] = -(rc + ip_z_[k.j] * ip_step_[k.pos]) / v[k.j];
            }
            const double alpha = std::min(1.0, boundary_fraction * step_length(v, ip_step_, dz));
            for (knot_cursor k{l_}; k.j < knots; k.next()) {
                if (state_[k.j] != free_knot) continue;
                const double value_ratio = 1.0 + alpha * ip_step_[k.pos] / v[k.j];
                const double multiplier_ratio = 1.0 + alpha * dz[k.j] / ip_z_[k.j];
                v[k.j] += alpha * ip_step_[k.pos];
                ip_z_[k.j] += alpha * dz[k.j];
                ip_x_[k.pos] = v[k.j];
                ip_extra_[k.j] = value_ratio < multiplier_ratio ? 1.0 : 0.0;
            }
            for (std::int64_t i = 0; i < l_.bins; ++i) {
                if (mass_[i] > 0.0) ip_x_[l_.mass_pos(i)] += alpha * ip_step_[l_.mass_pos(i)];
            }
        }
        for (std::int64_t j = 0; j < knots; ++j) {
            if (state_[j] == free_knot && ip_extra_[j] > 0.0) state_[j] = held_knot;
        }
        if (!mass_rows_independent()) {
            // Every held knot may be freed again to restore rank.
            std::copy(state_, state_ + knots, saved_);
            std::replace(state_, state_ + knots, static_cast<unsigned char>(held_knot),
                         static_cast<unsigned char>(just_held));
            settle_round();
        }
        return status::ok;
    }

    // The right-hand side of a Newton step of the interior-point phase at
    // values v (ip_x_ in the unknowns' places, dual residuals in ip_dual_):
    // the dual residual and the complementarity term v z - target (with the
    // predictor's product of steps when `affine` is given) on the knots, the
    // mass residual on the bins.
    void newton_rhs(const double* v, const double* affine, double target, double* out) const noexcept {
        const std::int64_t r = l_.refine;
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            if (state_[k.j] != free_knot) {
                out[k.pos] = 0.0;
                continue;
            }
            double rc = v[k.j] * ip_z_[k.j] - target;
            if (affine != nullptr) rc += affine[k.pos] * ip_dz_affine_[k.j];
            out[k.pos] = -(ip_dual_[k.j] + rc / v[k.j]);
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            const std::int64_t q = l_.mass_pos(i);
            if (mass_[i] == 0.0) {
                out[q] = 0.0;
                continue;
            }
            const double* const a = weight_ + i * (r + 1);
            double sum = -rhs(i);
            for (std::int64_t s = 0; s <= r; ++s) sum += a[s] * v[i * r + s];
            out[q] = -sum;
        }
    }

    // The affine step's multiplier changes (into dz) and the longest step
    // along it, at most 1, that keeps values and multipliers non-negative.
    double boundary_step(const double* v, const double* dx, double* dz) const noexcept {
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            if (state_[k.j] != free_knot) continue;
            dz[k.j] = -ip_z_[k.j] - ip_z_[k.j] * dx[k.pos] / v[k.j];
        }
        return std::min(1.0, step_length(v, dx, dz));
    }

    double step_length(const double* v, const double* dx, const double* dz) const noexcept {
        double longest = HUGE_VAL;
        for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
            if (state_[k.j] != free_knot) continue;
            if (dx[k.pos] < 0.0) longest = std::min(longest, -v[k.j] / dx[k.pos]);
            if (dz[k.j] < 0.0) longest = std::min(longest, -ip_z_[k.j] / dz[k.j]);
        }
        return longest;
    }

    border_ldl::system system() const noexcept { return {l_.bins, l_.refine, near_, border_, diagonal_, stop_}; }

    // Solves the subproblem with the knots not free held at zero (fixed ones
    // at their values): y_. Held knots keep rows and columns of zeros with a
    // unit diagonal, so the pattern of the factors never changes.
    bool solve() noexcept {
        if (!factorise(nullptr)) {
            return false;
        }
        border_ldl::solve(system(), y_);
        return true;
    }

    // Writes the system of the held set (with `extra` added to the knots'
    // diagonal where given) and its right-hand side (y_), and factorises it.
    bool factorise(const double* extra) noexcept {
        ++solves_;
        const std::int64_t r = l_.refine, knots = l_.knots, width = r + 2;
        std::int64_t before = -1, before2 = -1;  // positions of the two previous knots
        for (knot_cursor k{l_}; k.j < knots; before2 = before, before = k.pos, k.next()) {
            double* const l = near_ + 3 * k.pos;
            l[0] = l[1] = l[2] = 0.0;
            if (state_[k.j] != free_knot) {
                diagonal_[k.pos] = 1.0;
                y_[k.pos] = fixed_value(k.j, k.pos);
                continue;
            }
            const double* const g = curvature_ + 3 * k.j;
            diagonal_[k.pos] = extra != nullptr ? g[0] + extra[k.j] : g[0];
            y_[k.pos] = 0.0;
            if (k.j >= 1 && state_[k.j - 1] == free_knot) l[3 - (k.pos - before)] = g[1];
            if (k.j >= 2 && state_[k.j - 2] == free_knot) l[3 - (k.pos - before2)] = g[2];
        }
        for (std::int64_t i = 0; i < l_.bins; ++i) {
            const std::int64_t q = l_.mass_pos(i), w = q - width;
            double* const row = border_ + i * width;
            std::fill(row, row + width, 0.0);
            if (mass_[i] == 0.0) {
                diagonal_[q] = 1.0;
                y_[q] = 0.0;
                continue;
            }
            diagonal_[q] = 0.0;
            double b = rhs(i);
            const double* const a = weight_ + i * (r + 1);
            for (std::int64_t s = 0; s <= r; ++s) {
                const std::int64_t j = i * r + s, p = l_.position(i, s);
                if (state_[j] == free_knot) {
                    row[p - w] = a[s];
                } else if (state_[j] == fixed_knot) {
                    b -= a[s] * fixed_value(j, p);
                }
            }
            y_[q] = b;
        }
        // A fixed end's curvature terms move to the right-hand side of the
        // free knots beside it.
        const std::int64_t ends[2][3] = {{0, 1, 2}, {knots - 1, knots - 2, knots - 3}};
        for (const auto& e : ends) {
            if (state_[e[0]] != fixed_knot) continue;
            const double value = fixed_value(e[0], l_.position(e[0]));
            for (int d = 1; d <= 2; ++d) {
                const std::int64_t other = e[d];
                if (other < 0 || other >= knots || state_[other] != free_knot) continue;
                const std::int64_t later = std::max(other, e[0]);
                y_[l_.position(other)] -= curvature_[3 * later + d] * value;
            }
        }
        return border_ldl::factor(system()) == -1;
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
                const std::int64_t p = l_.position(i, s);
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
    // unheld rows, in working precision, solved for a correction. The
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
        border_ldl::solve(system(), res_);
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
    double *scale_, *stencil_, *weight_, *curvature_, *near_, *border_, *diagonal_, *y_, *res_, *mag_, *u_;
    // The interior-point phase: unknowns, affine and combined steps (by
    // position), multipliers, their affine step, dual residuals and barrier
    // terms (by knot).
    double *ip_x_, *ip_affine_, *ip_step_, *ip_z_, *ip_dz_affine_, *ip_dual_, *ip_extra_;
    unsigned char *state_, *saved_;
    std::int64_t solves_ = 0;
    const std::atomic<bool>* stop_ = nullptr;  // the caller's, for the factorisation to check
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
    // A single bin held at its right end alone is fitted mirrored: held at its
    // last knot, the knots before it would form a leading block whose linear
    // functions nothing fixes, which the factorisation cannot pivot on.
    const bool mirrored = bins == 1 && scaled.right >= 0.0 && scaled.left < 0.0;
    if (mirrored) {
        std::reverse(h, h + refine);
    }
    refined_fit problem(layout(bins, refine), h, mass, mirrored ? fixed_ends{scaled.right, scaled.left} : scaled,
                        mass + bins);
    outcome o = problem.run(bounds, unit, values);
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
