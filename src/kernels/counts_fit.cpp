// Penalised multinomial likelihood on the smooth fit's knots.
//
// The problem, in scaled units (x measured from the first edge in units of the
// total width, so the knots run from 0 to 1 and a density of total mass 1 has
// mean value 1): values u_j >= 0 at the knots, bin masses p_i = a_i . u (the
// trapezoid weights of bin i's knots), total mass c . u = 1 with c = sum_i a_i,
// and
//
//     minimise  Phi(u) = -sum_i q_i log p_i + (lambda / 2) u'Gu,
//
// G the curvature matrix of the smooth fit (the sum over inner knots of the
// squared change of slope times 2 / (the two widths beside it)). Phi is
// convex; with two non-empty bins or more its Hessian
//
//     H = lambda G + sum_i (q_i / p_i^2) a_i a_i'
//
// is positive definite (G vanishes only on linear functions, and a linear
// function with zero integral over two different bins is zero), so the
// optimum is unique. H has the band of one bin's knots (half width refine, at
// least 2 for the curvature). For small refine it is factorised by band
// Cholesky; for larger, where the band's refine^2 per knot would dominate,
// through a system with one unknown more per bin on the envelope that
// border_ldl factorises in O(knots) (penalised_fit::factor).
//
// Newton's method with the bounds held by an active set. Every step solves the
// quadratic model on the free knots under c . d = 0 (H z1 = g and H z2 = c
// with one factor, then the total's multiplier mu that keeps the total), is
// cut where a free value would reach zero (that knot is then held there) and
// otherwise backtracks until the objective falls enough. A held knot is
// released when its multiplier g_j + mu c_j is negative: during the steps with
// the multiplier mu = -u'g that a stationary point would have (which saves
// whole rounds of steps when a new lambda moves the bounds), and, should that
// estimate prove wrong by driving a released knot straight back, only at
// convergence. Newton converges quadratically, so the full step from a small
// enough decrement d'Hd is the last.
//
// The hat matrix of the fit, the derivative of the fitted masses by the
// observed shares, has the trace (the effective degrees of freedom)
//     sum_i (q_i / p_i^2) a_i' K a_i,
// K the inverse of H on the directions that keep the total mass: H^-1 less
// the rank-one term of the constraint, z2 z2' / (c . z2). Each a_i' H^-1 a_i
// needs H^-1 only within bin i's block, inside the band, so the band of the
// inverse (band_cholesky::inverse_band) gives them all in O(knots * refine^2);
// through the larger system, one entry of its inverse per bin gives each
// (border_ldl::inverse), in O(knots).
//
// Choosing lambda: the criterion is evaluated a decade apart, walking up from
// a first guess while it falls and then down from it while it falls; every
// fit starts from its neighbour's optimum moved along that optimum's tangent
// in log lambda (one more solve with its factor). A parabola through the best
// decade and its neighbours gives one more candidate. The criterion is flat
// near its minimum: a tenth of a decade changes the fit far less than the
// counts' own noise does.
#include "kernels/counts_fit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "kernels/band_cholesky.hpp"
#include "kernels/border_ldl.hpp"
#include "kernels/plain_math.hpp"

namespace zelvane::counts_fit {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
// Newton steps for one lambda, before the fit reports iteration_limit: this
// many, and two more per knot, as a step blocked by a knot reaching zero
// holds that knot alone (counts heaped in one bin hold nearly every other).
constexpr int max_newton_steps = 200;
// While the search compares lambdas, a fit ends with the step from a decrement
// that would change the criterion (about N times the decrement) by less than
// this, and by no more than the smallest decrement below; the step from there
// leaves one near its square.
constexpr double search_criterion_error = 1e-4;
constexpr double smallest_search_decrement = 1e-9;
// The fit delivered goes on until the decrement is below this, where the
// objective's own rounding hides any further progress.
// objective's own rounding hides any further progress, or until, below the
// second, it no longer falls fourfold in a step: the floor of rounding.
constexpr double floor_decrement = 1e-24;
constexpr double noise_decrement = 1e-14;
// Below this decrement Newton's full step is taken without a line search.
constexpr double local_decrement = 1e-9;
// Rounds of refinement of each solve with the system of the bins' own
// unknowns (see penalised_fit::solve_with_factor).
constexpr int refinements = 2;
// Sufficient decrease of the line search, as a share of the decrement.
constexpr double armijo_share = 1e-4;
// A held knot's multiplier counts as negative below this share of its terms.
constexpr double multiplier_tolerance = 1e-9;
// The automatic search, in decades of lambda.
constexpr double lowest_decade = -16.0;
constexpr double highest_decade = 6.0;
constexpr double search_step = 1.0;
constexpr int max_candidates = static_cast<int>((highest_decade - lowest_decade) / search_step) + 2;
// The search stops rising once the edf are within this of a linear density's,
// and stops falling once they are within this of the data's own.
constexpr double edf_margin = 1e-3;
// The start: the histogram's step density, each edge the mean of its two
// bins, with this share of the flat density mixed in so that every value is
// positive.
constexpr double start_flat_share = 0.02;

enum : unsigned char { free_knot, held_knot };

// For x = m 2^e (1 <= m < 2, x positive and normal), 2^-e and 2^-floor(e / 2):
// scales that are exact, read from x's bits.
std::int64_t binary_exponent(double x) noexcept {
    return static_cast<std::int64_t>((std::bit_cast<std::uint64_t>(x) >> 52) & 0x7ff) - 1023;
}
double power_of_two(std::int64_t e) noexcept { return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + e) << 52); }
double power_scale(double x) noexcept { return power_of_two(-binary_exponent(x)); }
double root_scale(double x) noexcept {
    const std::int64_t e = binary_exponent(x);
    return power_of_two(-(e >= 0 ? e / 2 : -((1 - e) / 2)));
}

int half_width(std::int64_t refine) noexcept { return static_cast<int>(std::max<std::int64_t>(2, refine)); }

// Variables: the knots, then one for each tail of free mass (two at most).
constexpr std::int64_t max_tails = 2;

// Below this refine H is factorised as a band of half width refine: O(knots
// refine^2), but cheaper than the other way while refine is small. From it on,
// the system with one unknown more per bin is factorised on border_ldl's
// envelope, O(knots) whatever refine is (see penalised_fit::factor). The two
// cost about the same per knot at 16 (135-140 ns per knot and Newton step, on
// 200 bins), where the band's cost then grows with refine and the envelope's
// does not.
constexpr std::int64_t envelope_refine = 16;
bool banded(std::int64_t refine) noexcept { return refine < envelope_refine; }

// Doubles of the factor and of the inverse on its places, and of the vectors
// a solve runs on.
std::int64_t factor_size(std::int64_t bins, std::int64_t refine) noexcept {
    const std::int64_t n = bins * refine + 1, v = n + max_tails;
    if (banded(refine)) return 2 * v * band_cholesky::row_width(half_width(refine));
    const std::int64_t order = border_ldl::order(bins, refine);
    return 2 * (4 * order + bins * (refine + 2)) + 2 * order + 2 * v;
}

std::int64_t work_size(std::int64_t bins, std::int64_t refine) noexcept {
    const std::int64_t n = bins * refine + 1, v = n + max_tails;
    // h, q, stencils, curvature band, weights; c, u, trial, d, g, size, z1, z2,
    // best, anchor (per variable); p, trial p; the bins' weights in H; the
    // factor, the inverse and a solve's vector; the states (current, best,
    // anchor) in bytes.
    return (n - 1) + bins + 7 * n + bins * (refine + 1) + 10 * v + 2 * (bins + max_tails) + bins +
           factor_size(bins, refine) + (3 * v + 7) / 8;
}

// A tail as a bin of one variable: a free mass's own, or the end knot.
struct tail_bin {
    std::int64_t variable = -1;  // -1: no tail
    double weight = 0.0;         // its mass per unit of the variable, in scaled units
    double share = 0.0;
};

// A lambda of the search, and what its fit gave.
struct candidate {
    double decade = 0.0;
    double lambda = 0.0;
    double criterion = infinity;
    double edf = 0.0;
    double deviance = 0.0;
    bool ok = false;
};

class penalised_fit {
public:
    penalised_fit(std::int64_t bins, std::int64_t refine, double* work) noexcept
        : m_(bins), r_(refine), n_(bins * refine + 1), v_(n_), half_(half_width(refine)) {
        const std::int64_t most = n_ + max_tails, band = banded(r_) ? most * band_cholesky::row_width(half_) : 0;
        h_ = work;
        q_ = h_ + (n_ - 1);
        stencil_ = q_ + m_;
        curvature_ = stencil_ + 4 * n_;
        weight_ = curvature_ + 3 * n_;
        c_ = weight_ + m_ * (r_ + 1);
        u_ = c_ + most;
        trial_ = u_ + most;
        d_ = trial_ + most;
        g_ = d_ + most;
        size_ = g_ + most;
        z1_ = size_ + most;
        z2_ = z1_ + most;
        best_ = z2_ + most;
        anchor_ = best_ + most;
        p_ = anchor_ + most;
        p_trial_ = p_ + m_ + max_tails;
        bin_weight_ = p_trial_ + m_ + max_tails;
        double* const factors = bin_weight_ + m_;
        if (banded(r_)) {
            factor_ = factors;
            inverse_ = factor_ + band;
        } else {
            const std::int64_t order = border_ldl::order(m_, r_), border = m_ * (r_ + 2);
            ldl_ = {m_, r_, factors, factors + 3 * order, factors + 3 * order + border};
            inverse_ldl_ = {m_, r_, ldl_.diagonal + order, ldl_.diagonal + 4 * order,
                            ldl_.diagonal + 4 * order + border};
            x_ = inverse_ldl_.diagonal + order;
            scale_ = x_ + order;
            residual_ = scale_ + order;
            correction_ = residual_ + most;
        }
        state_ = reinterpret_cast<unsigned char*>(factors + factor_size(m_, r_));
        best_state_ = state_ + most;
        anchor_state_ = best_state_ + most;
    }

    // The caller's stop flag, read before each factorisation, and whether it stopped a fit.
    void watch(const std::atomic<bool>* stop) noexcept { stop_ = stop; }
    bool interrupted() const noexcept { return interrupted_; }

    // Where the caller writes the sub-interval widths (scaled) and the body's shares.
    double* widths() const noexcept { return h_; }
    double* shares() const noexcept { return q_; }

    // Adds a tail (side 0 left, 1 right) with its share of the counts: of
    // free mass (a variable of its own), or tied to the end knot by `weight`
    // (scaled units). Before set_up().
    void add_tail(int side, bool free_mass, double share, double weight) noexcept {
        tail_bin& t = tails_[side];
        t.share = share;
        if (free_mass && share == 0.0) {
            // Nothing pulls a free mass without counts above zero: it has none.
            t.variable = side == 0 ? 0 : n_ - 1;
            t.weight = 0.0;
        } else if (free_mass) {
            t.variable = v_++;
            t.weight = 1.0;
        } else {
            t.variable = side == 0 ? 0 : n_ - 1;
            t.weight = weight;
        }
    }

    // A tail's mass at the best point, in scaled units.
    double best_tail_mass(int side) const noexcept {
        const tail_bin& t = tails_[side];
        return t.variable < 0 ? 0.0 : t.weight * best_[t.variable];
    }

    // Curvature stencils and band, trapezoid weights and the total's weights;
    // then the start.
    void set_up() noexcept {
        std::fill(curvature_, curvature_ + 3 * n_, 0.0);
        for (std::int64_t t = 1; t + 1 < n_; ++t) {
            double* const w = stencil_ + 4 * t;
            smooth_fit::curvature_stencil(h_, t, w);
            // curvature_[3 j + 2 - e] is G(j, j - e).
            for (int a = 0; a < 3; ++a) {
                for (int b = 0; b <= a; ++b) curvature_[3 * (t - 1 + a) + 2 - (a - b)] += w[3] * w[a] * w[b];
            }
        }
        std::fill(c_, c_ + v_, 0.0);
        for (std::int64_t i = 0; i < m_; ++i) {
            double* const a = weight_ + i * (r_ + 1);
            for (std::int64_t s = 0; s <= r_; ++s) {
                a[s] = smooth_fit::trapezoid_weight(h_, i, s, r_);
                c_[i * r_ + s] += a[s];
            }
        }
        for (const tail_bin& t : tails_) {
            if (t.variable >= 0) c_[t.variable] += t.weight;
        }
        auto bin_density = [&](std::int64_t i) {
            double width = 0.0;
            for (std::int64_t s = 0; s < r_; ++s) width += h_[i * r_ + s];
            return q_[i] / width;
        };
        double right = bin_density(0);
        for (std::int64_t i = 0; i <= m_; ++i) {
            const double left = right;
            right = i < m_ ? bin_density(i) : left;
            u_[i * r_] = 0.5 * (left + right);
            for (std::int64_t s = 1; i < m_ && s < r_; ++s) u_[i * r_ + s] = right;
        }
        for (std::int64_t j = 0; j < n_; ++j) u_[j] = (1.0 - start_flat_share) * u_[j] + start_flat_share;
        // A free tail starts at its share (a small one when it has none).
        for (const tail_bin& t : tails_) {
            if (t.variable >= n_) u_[t.variable] = std::max(t.share, start_flat_share / static_cast<double>(m_ + 1));
        }
        std::fill(state_, state_ + v_, free_knot);
        normalise();
        save();
    }

    // Starts instead from an earlier fit's values at the knots (in units of
    // `unit`): knots at zero held there, the rest free. A free tail's own
    // variable keeps its start.
    void start_from(const double* values, double unit) noexcept {
        for (std::int64_t j = 0; j < n_; ++j) {
            const double u = values[j] / unit;
            if (!(u >= 0.0 && u < infinity)) return;
        }
        for (std::int64_t j = 0; j < n_; ++j) {
            const double u = values[j] / unit;
            if (u > 0.0 || !carries_tail(j)) {
                u_[j] = u;
                state_[j] = u > 0.0 ? free_knot : held_knot;
            }
        }
        normalise();
        save();
    }

    // Newton's method for lambda from the current point. A search's fit ends
    // with the step taken from a decrement below search_decrement, and keeps
    // the factor of the point before it; the fit delivered (final) goes on
    // until the decrement reaches the floor of rounding, and keeps the factor
    // of the point itself. Either factor serves effective_df() and predict().
    status solve(double lambda, double search_decrement, bool final) noexcept {
        bool early_release = true;
        double previous = infinity;
        for (std::int64_t step = 0, steps = max_newton_steps + 2 * v_; step < steps; ++step) {
            bin_masses(u_, p_);
            gradient(lambda);
            const bool released = early_release && release_negative_multipliers(lambda);
            if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) {
                interrupted_ = true;
                return status::interrupted;
            }
            if (!factor(lambda)) {
                return interrupted_ ? status::interrupted : status::inaccurate;
            }
            const double decrement = newton_direction(lambda);
            double longest = infinity;
            std::int64_t blocking = -1;
            for (std::int64_t j = 0; j < v_; ++j) {
                if (state_[j] == free_knot && d_[j] < 0.0 && u_[j] < longest * -d_[j] && !carries_tail(j)) {
                    longest = u_[j] / -d_[j];
                    blocking = j;
                }
            }
            if (released && longest == 0.0) {
                // A knot just released would go straight back below zero: the
                // estimate of the multipliers was wrong so far from the optimum.
                early_release = false;
                state_[blocking] = held_knot;
                continue;
            }
            const bool blocked = longest <= 1.0;
            if (final && !blocked && !released &&
                (decrement <= floor_decrement || (decrement <= noise_decrement && decrement > 0.25 * previous))) {
                // Converged to rounding (or no longer converging, at its floor).
                if (!release_negative_multipliers(lambda)) {
                    return status::ok;
                }
                previous = infinity;
                continue;
            }
            previous = decrement;
            double t = std::min(1.0, longest);
            // Near the optimum Newton's full step is taken, unless it would
            // empty a bin or a tail that has counts (a share far below the
            // others keeps the decrement small while the step is not): then
            // the line search keeps it short of that.
            // The step that reaches the blocking knot holds it at zero exactly.
            auto step_to = [&](double length) {
                move(length);
                if (blocked && length == longest) trial_[blocking] = 0.0;
                bin_masses(trial_, p_trial_);
            };
            bool search = decrement > local_decrement;
            if (!search) {
                step_to(t);
                search = objective(trial_, p_trial_, lambda) == infinity;
            }
            if (search) {
                const double start = objective(u_, p_, lambda);
                for (;;) {
                    step_to(t);
                    if (objective(trial_, p_trial_, lambda) <= start - armijo_share * t * decrement) break;
                    t *= 0.5;
                    if (t < 1e-30) return status::inaccurate;
                }
            }
            std::swap(u_, trial_);
            if (blocked && t == longest) state_[blocking] = held_knot;
            normalise();
            if (!final && !blocked && !released && decrement <= search_decrement) {
                // Converged on this free set; the held knots' multipliers are
                // taken at the new point.
                bin_masses(u_, p_);
                gradient(lambda);
                if (!release_negative_multipliers(lambda)) {
                    return status::ok;
                }
            }
        }
        return status::iteration_limit;
    }

    // Moves the optimum just found for lambda along its tangent in log lambda
    // by log_ratio, as the start for lambda * exp(log_ratio):
    //     du / d log lambda = -H^-1 (lambda G u + nu c),  c . du = 0,
    // with the last factor of H.
    void predict(double lambda, double log_ratio) noexcept {
        std::fill(z1_, z1_ + v_, 0.0);
        add_curvature(lambda, u_, z1_);
        for (std::int64_t j = 0; j < v_; ++j) {
            if (state_[j] != free_knot) z1_[j] = 0.0;
        }
        solve_with_factor(z1_);
        double cz1 = 0.0, cz2 = 0.0;
        for (std::int64_t j = 0; j < v_; ++j) {
            cz1 += c_[j] * z1_[j];
            cz2 += c_[j] * z2_[j];
        }
        const double nu = -cz1 / cz2;
        // The move is shortened where it would take a value below a tenth of
        // itself: every bin keeps some mass, and Newton's steps decide which
        // values reach zero.
        double share = 1.0;
        for (std::int64_t j = 0; j < v_; ++j) {
            d_[j] = state_[j] == free_knot ? -log_ratio * (z1_[j] + nu * z2_[j]) : 0.0;
            if (d_[j] < 0.0 && 0.9 * u_[j] < share * -d_[j]) share = 0.9 * u_[j] / -d_[j];
        }
        for (std::int64_t j = 0; j < v_; ++j) u_[j] += share * d_[j];
        normalise();
    }

    // The trace of the hat matrix at the optimum that solve() has just found.
    double effective_df() noexcept {
        invert_factor();
        double cz = 0.0;
        for (std::int64_t j = 0; j < v_; ++j) cz += c_[j] * z2_[j];
        double edf = 0.0;
        for (std::int64_t i = 0; i < m_; ++i) {
            if (q_[i] == 0.0) continue;
            const double* const a = weight_ + i * (r_ + 1);
            double along = 0.0;
            for (std::int64_t s = 0; s <= r_; ++s) along += a[s] * z2_[i * r_ + s];
            edf += q_[i] / (p_[i] * p_[i]) * (bin_inverse(i) - along * along / cz);
        }
        for (int k = 0; k < max_tails; ++k) {
            const tail_bin& t = tails_[k];
            if (t.variable < 0 || t.share == 0.0) continue;
            const double mass = p_[m_ + k];
            const double inner = state_[t.variable] == free_knot ? t.weight * t.weight * inverse_at(t.variable) : 0.0;
            const double along = t.weight * z2_[t.variable];
            edf += t.share / (mass * mass) * (inner - along * along / cz);
        }
        return edf;
    }

    // 2 N sum q log(q / p) at the current point.
    double deviance(double sample_size) const noexcept {
        double sum = 0.0;
        for (std::int64_t i = 0; i < m_; ++i) {
            if (q_[i] > 0.0) sum += q_[i] * plain_math::log(q_[i] / p_[i]);
        }
        for (int k = 0; k < max_tails; ++k) {
            if (tails_[k].share > 0.0) sum += tails_[k].share * plain_math::log(tails_[k].share / p_[m_ + k]);
        }
        return std::max(0.0, 2.0 * sample_size * sum);
    }

    // The best point so far, and a second point that a search walks away
    // from and comes back to.
    void save() noexcept { keep(best_, best_state_); }
    void restore() noexcept { take(best_, best_state_); }
    void anchor() noexcept { keep(anchor_, anchor_state_); }
    void return_to_anchor() noexcept { take(anchor_, anchor_state_); }

    // The best point: the density at the knots in scaled units.
    const double* best() const noexcept { return best_; }
    std::int64_t solves() const noexcept { return solves_; }

private:
    void keep(double* u, unsigned char* state) const noexcept {
        std::copy(u_, u_ + v_, u);
        std::copy(state_, state_ + v_, state);
    }
    void take(const double* u, const unsigned char* state) noexcept {
        std::copy(u, u + v_, u_);
        std::copy(state, state + v_, state_);
    }

    void bin_masses(const double* u, double* p) const noexcept {
        for (std::int64_t i = 0; i < m_; ++i) {
            const double* const a = weight_ + i * (r_ + 1);
            const double* const v = u + i * r_;
            double sum = 0.0;
            for (std::int64_t s = 0; s <= r_; ++s) sum += a[s] * v[s];
            p[i] = sum;
        }
        for (int k = 0; k < max_tails; ++k) {
            p[m_ + k] = tails_[k].variable < 0 ? 0.0 : tails_[k].weight * u[tails_[k].variable];
        }
    }

    // z'Gz, stencil by stencil: a sum of squares.
    double curvature(const double* z) const noexcept {
        double bends = 0.0;
        for (std::int64_t t = 1; t + 1 < n_; ++t) {
            const double* const w = stencil_ + 4 * t;
            const double bend = w[0] * z[t - 1] + w[1] * z[t] + w[2] * z[t + 1];
            bends += w[3] * bend * bend;
        }
        return bends;
    }

    double objective(const double* u, const double* p, double lambda) const noexcept {
        double sum = 0.5 * lambda * curvature(u);
        for (std::int64_t i = 0; i < m_; ++i) {
            if (q_[i] == 0.0) continue;
            if (!(p[i] > 0.0)) return infinity;
            sum -= q_[i] * plain_math::log(p[i]);
        }
        for (int k = 0; k < max_tails; ++k) {
            if (tails_[k].share == 0.0) continue;
            if (!(p[m_ + k] > 0.0)) return infinity;
            sum -= tails_[k].share * plain_math::log(p[m_ + k]);
        }
        return sum;
    }

    // out += lambda G z, stencil by stencil.
    void add_curvature(double lambda, const double* z, double* out) const noexcept {
        for (std::int64_t t = 1; t + 1 < n_; ++t) {
            const double* const w = stencil_ + 4 * t;
            const double bend = lambda * w[3] * (w[0] * z[t - 1] + w[1] * z[t] + w[2] * z[t + 1]);
            for (int k = 0; k < 3; ++k) out[t - 1 + k] += w[k] * bend;
        }
    }

    // g = lambda G u - sum_i (q_i / p_i) a_i.
    void gradient(double lambda) noexcept {
        std::fill(g_, g_ + v_, 0.0);
        add_curvature(lambda, u_, g_);
        for (std::int64_t i = 0; i < m_; ++i) {
            if (q_[i] == 0.0) continue;
            const double pull = q_[i] / p_[i];
            const double* const a = weight_ + i * (r_ + 1);
            for (std::int64_t s = 0; s <= r_; ++s) g_[i * r_ + s] -= pull * a[s];
        }
        for (int k = 0; k < max_tails; ++k) {
            const tail_bin& t = tails_[k];
            if (t.share == 0.0) continue;
            g_[t.variable] -= t.share / p_[m_ + k] * t.weight;
        }
    }

    // The sum of the magnitudes of the terms of each g_j: the yardstick of a
    // multiplier, needed only where a knot is held.
    void gradient_size(double lambda) noexcept {
        std::fill(size_, size_ + v_, 0.0);
        for (std::int64_t t = 1; t + 1 < n_; ++t) {
            const double* const w = stencil_ + 4 * t;
            const double bend = lambda * w[3] * (w[0] * u_[t - 1] + w[1] * u_[t] + w[2] * u_[t + 1]);
            for (int k = 0; k < 3; ++k) size_[t - 1 + k] += std::fabs(w[k] * bend);
        }
        for (std::int64_t i = 0; i < m_; ++i) {
            if (q_[i] == 0.0) continue;
            const double pull = q_[i] / p_[i];
            const double* const a = weight_ + i * (r_ + 1);
            for (std::int64_t s = 0; s <= r_; ++s) size_[i * r_ + s] += pull * a[s];
        }
        for (int k = 0; k < max_tails; ++k) {
            const tail_bin& t = tails_[k];
            if (t.share != 0.0) size_[t.variable] += t.share / p_[m_ + k] * t.weight;
        }
    }

    // Factorises H on the free knots, with a unit row for each held one.
    //
    // From envelope_refine on, the bins' terms sum_i w_i a_i a_i' (w_i = q_i /
    // p_i^2) would fill H with a dense block per bin, refine^2 entries. Instead
    // each bin gets an unknown y_i = w_i a_i . z / lambda of its own: the system
    //     [ G + T / lambda   A'              ] [z]   [b / lambda]
    //     [ A                -lambda W^-1    ] [y] = [0         ]
    // (T the tied tails' terms on the end knots) has z = H^-1 b, and the
    // layout of border_ldl (knots coupled two places on, each bin's row to its
    // knots), factorised in O(knots). Written this way it tends, as lambda
    // falls, to the smooth fit's own system rather than to a singular one. An
    // empty bin's row is held. A free tail's own variable is coupled to
    // nothing: its entry of H is kept apart (tail_diagonal_).
    bool factor(double lambda) noexcept {
        ++solves_;
        for (std::int64_t i = 0; i < m_; ++i) bin_weight_[i] = q_[i] == 0.0 ? 0.0 : q_[i] / (p_[i] * p_[i]);
        double* const tail_weight = tail_weight_;
        for (int k = 0; k < max_tails; ++k) {
            const tail_bin& t = tails_[k];
            tail_weight[k] = t.share == 0.0 ? 0.0 : t.share / (p_[m_ + k] * p_[m_ + k]) * t.weight * t.weight;
        }
        if (banded(r_)) {
            const band_cholesky::band h{factor_, v_, half_};
            std::fill(factor_, factor_ + v_ * band_cholesky::row_width(half_), 0.0);
            for (std::int64_t j = 0; j < n_; ++j) {
                for (std::int64_t e = 0; e <= std::min<std::int64_t>(2, j); ++e) {
                    h.at(j, j - e) = lambda * curvature_[3 * j + 2 - e];
                }
            }
            for (std::int64_t i = 0; i < m_; ++i) {
                const double* const a = weight_ + i * (r_ + 1);
                const std::int64_t first = i * r_;
                for (std::int64_t s = 0; s <= r_; ++s) {
                    const double ws = bin_weight_[i] * a[s];
                    for (std::int64_t t = 0; t <= s; ++t) h.at(first + s, first + t) += ws * a[t];
                }
            }
            for (int k = 0; k < max_tails; ++k) {
                if (tail_weight[k] != 0.0) h.at(tails_[k].variable, tails_[k].variable) += tail_weight[k];
            }
            for (std::int64_t j = 0; j < v_; ++j) {
                if (state_[j] == free_knot) continue;
                for (std::int64_t k = std::max<std::int64_t>(0, j - half_); k < j; ++k) h.at(j, k) = 0.0;
                for (std::int64_t k = j + 1; k <= std::min(v_ - 1, j + half_); ++k) h.at(k, j) = 0.0;
                h.at(j, j) = 1.0;
            }
            return band_cholesky::factor(h) < 0;
        }
        const std::int64_t order = ldl_.size(), width = r_ + 2;
        factored_lambda_ = lambda;
        // Every row and column scaled by a power of two (exactly, so the
        // scaling itself rounds nothing): a knot's by about the root of its
        // diagonal entry, a bin's so that its largest entry is about 1. Widths
        // that differ by orders of magnitude would otherwise leave the
        // factorisation, which does not pivot, far less accurate.
        std::fill(scale_, scale_ + order, 1.0);
        std::fill(ldl_.near, ldl_.near + 3 * order, 0.0);
        std::fill(ldl_.border, ldl_.border + m_ * width, 0.0);
        std::fill(ldl_.diagonal, ldl_.diagonal + order, 1.0);  // held rows keep the 1
        for (std::int64_t j = 0; j < n_; ++j) {
            if (state_[j] != free_knot) continue;
            const std::int64_t p = border_ldl::knot_position(j, r_);
            ldl_.diagonal[p] = curvature_[3 * j + 2];
        }
        for (int k = 0; k < max_tails; ++k) {
            const std::int64_t j = tails_[k].variable;
            if (tail_weight[k] == 0.0 || state_[j] != free_knot) continue;
            if (j < n_) {
                ldl_.diagonal[border_ldl::knot_position(j, r_)] += tail_weight[k] / lambda;
            } else {
                tail_diagonal_[j - n_] = tail_weight[k];
            }
        }
        for (std::int64_t j = n_; j < v_; ++j) {
            if (state_[j] != free_knot) tail_diagonal_[j - n_] = 1.0;
        }
        for (std::int64_t j = 0; j < n_; ++j) {
            if (state_[j] != free_knot) continue;
            const std::int64_t p = border_ldl::knot_position(j, r_);
            scale_[p] = root_scale(ldl_.diagonal[p]);
            ldl_.diagonal[p] *= scale_[p] * scale_[p];
            for (std::int64_t e = 1; e <= std::min<std::int64_t>(2, j); ++e) {
                if (state_[j - e] != free_knot) continue;
                const std::int64_t o = border_ldl::knot_position(j - e, r_);
                ldl_.near[3 * p + (o - p + 3)] = scale_[p] * curvature_[3 * j + 2 - e] * scale_[o];
            }
        }
        for (std::int64_t i = 0; i < m_; ++i) {
            if (bin_weight_[i] == 0.0) continue;
            const std::int64_t q = border_ldl::bin_position(i, r_);
            double* const row = ldl_.border + i * width;
            const double* const a = weight_ + i * (r_ + 1);
            double largest = 0.0;
            for (std::int64_t s = 0; s <= r_; ++s) {
                if (state_[i * r_ + s] != free_knot) continue;
                const std::int64_t p = border_ldl::knot_position(i, s, r_);
                row[p - (q - width)] = a[s] * scale_[p];
                largest = std::max(largest, row[p - (q - width)]);
            }
            scale_[q] = largest > 0.0 ? power_scale(largest) : 1.0;
            for (std::int64_t c = 0; c < width; ++c) row[c] *= scale_[q];
            ldl_.diagonal[q] = -lambda / bin_weight_[i] * scale_[q] * scale_[q];
        }
        ldl_.stop = stop_;
        const std::int64_t failed = border_ldl::factor(ldl_);
        if (failed == border_ldl::stopped) interrupted_ = true;
        return failed == -1;
    }

    // x = H^-1 x with the last factor (held variables' entries of x are 0).
    // The indefinite system is solved less accurately than a Cholesky factor
    // of H would solve, so each solve is refined with H's own residual
    // (refinements rounds): the Newton steps then still reach the decrements
    // that end them, and a known mean is still met to 1e-9 where lambda is tiny.
    void solve_with_factor(double* x) noexcept {
        if (banded(r_)) {
            band_cholesky::solve(band_cholesky::band{factor_, v_, half_}, x);
            return;
        }
        double* const rhs = residual_;
        std::copy(x, x + v_, rhs);
        solve_system(x);
        for (int round = 0; round < refinements; ++round) {
            apply_h(x, correction_);
            for (std::int64_t j = 0; j < v_; ++j) correction_[j] = rhs[j] - correction_[j];
            solve_system(correction_);
            for (std::int64_t j = 0; j < v_; ++j) x[j] += correction_[j];
        }
    }

    void solve_system(double* x) noexcept {
        const std::int64_t order = ldl_.size();
        std::fill(x_, x_ + order, 0.0);
        for (std::int64_t j = 0; j < n_; ++j) {
            const std::int64_t p = border_ldl::knot_position(j, r_);
            x_[p] = scale_[p] * x[j] / factored_lambda_;
        }
        border_ldl::solve(ldl_, x_);
        for (std::int64_t j = 0; j < n_; ++j) {
            const std::int64_t p = border_ldl::knot_position(j, r_);
            x[j] = scale_[p] * x_[p];
        }
        for (std::int64_t j = n_; j < v_; ++j) x[j] /= tail_diagonal_[j - n_];
    }

    // out = H z for the last factorisation's H (held variables: z's entry).
    void apply_h(const double* z, double* out) const noexcept {
        std::fill(out, out + v_, 0.0);
        add_curvature(factored_lambda_, z, out);
        for (std::int64_t i = 0; i < m_; ++i) {
            if (bin_weight_[i] == 0.0) continue;
            const double* const a = weight_ + i * (r_ + 1);
            double along = 0.0;
            for (std::int64_t s = 0; s <= r_; ++s) along += a[s] * z[i * r_ + s];
            for (std::int64_t s = 0; s <= r_; ++s) out[i * r_ + s] += bin_weight_[i] * along * a[s];
        }
        for (int k = 0; k < max_tails; ++k) {
            const tail_bin& t = tails_[k];
            if (tail_weight_[k] == 0.0) continue;
            out[t.variable] += tail_weight_[k] * z[t.variable];
        }
        for (std::int64_t j = 0; j < v_; ++j) {
            if (state_[j] != free_knot) out[j] = z[j];
        }
    }

    // H^-1 on the places of its factor, from the last factor.
    void invert_factor() noexcept {
        if (banded(r_)) {
            band_cholesky::inverse_band(band_cholesky::band{factor_, v_, half_},
                                        band_cholesky::band{inverse_, v_, half_});
        } else {
            border_ldl::inverse(ldl_, inverse_ldl_);
        }
    }

    // Entry (j, j) of H^-1, after invert_factor().
    double inverse_at(std::int64_t j) const noexcept {
        if (banded(r_)) return band_cholesky::band{inverse_, v_, half_}.at(j, j);
        if (j >= n_) return 1.0 / tail_diagonal_[j - n_];
        const std::int64_t p = border_ldl::knot_position(j, r_);
        return scale_[p] * scale_[p] * inverse_ldl_.diagonal[p] / factored_lambda_;
    }

    // a_i' H^-1 a_i on the free knots of bin i, after invert_factor(). With
    // the bins' own unknowns, the bin's entry of the inverse gives it:
    // lambda Z_yy = W A H^-1 A' W - W, so a_i' H^-1 a_i = (1 + lambda Z_ii /
    // w_i) / w_i. (The knots' block of the inverse is lambda H^-1.)
    double bin_inverse(std::int64_t i) const noexcept {
        if (!banded(r_)) {
            const double w = bin_weight_[i];
            const std::int64_t q = border_ldl::bin_position(i, r_);
            return (1.0 + factored_lambda_ * scale_[q] * scale_[q] * inverse_ldl_.diagonal[q] / w) / w;
        }
        const band_cholesky::band z{inverse_, v_, half_};
        const double* const a = weight_ + i * (r_ + 1);
        const std::int64_t first = i * r_;
        double inner = 0.0;
        for (std::int64_t s = 0; s <= r_; ++s) {
            const std::int64_t js = first + s;
            if (state_[js] != free_knot) continue;
            double row = 0.5 * a[s] * z.at(js, js);
            for (std::int64_t t = 0; t < s; ++t) {
                if (state_[first + t] == free_knot) row += a[t] * z.at(js, first + t);
            }
            inner += 2.0 * a[s] * row;
        }
        return inner;
    }

    // The step d on the free knots that minimises the quadratic model with
    // c . d = 0. Returns the decrement d'Hd (which equals -g . d).
    double newton_direction(double lambda) noexcept {
        for (std::int64_t j = 0; j < v_; ++j) {
            const bool free = state_[j] == free_knot;
            z1_[j] = free ? g_[j] : 0.0;
            z2_[j] = free ? c_[j] : 0.0;
        }
        if (banded(r_)) {
            band_cholesky::solve_pair(band_cholesky::band{factor_, v_, half_}, z1_, z2_);
        } else {
            solve_with_factor(z1_);
            solve_with_factor(z2_);
        }
        double cz1 = 0.0, cz2 = 0.0;
        for (std::int64_t j = 0; j < v_; ++j) {
            cz1 += c_[j] * z1_[j];
            cz2 += c_[j] * z2_[j];
        }
        const double mu = -cz1 / cz2;
        for (std::int64_t j = 0; j < v_; ++j) {
            d_[j] = state_[j] == free_knot ? -z1_[j] - mu * z2_[j] : 0.0;
        }
        if (banded(r_)) return band_cholesky::energy(band_cholesky::band{factor_, v_, half_}, d_);
        return energy(lambda, d_);
    }

    // d'Hd at the point of the last factorisation, as a sum of squares (no
    // cancellation however small it is): lambda sum_t w_t (stencil_t . d)^2
    // plus each bin's and tail's w (a . d)^2.
    double energy(double lambda, const double* d) const noexcept {
        double sum = lambda * curvature(d);
        for (std::int64_t i = 0; i < m_; ++i) {
            if (bin_weight_[i] == 0.0) continue;
            const double* const a = weight_ + i * (r_ + 1);
            double along = 0.0;
            for (std::int64_t s = 0; s <= r_; ++s) along += a[s] * d[i * r_ + s];
            sum += bin_weight_[i] * along * along;
        }
        for (int k = 0; k < max_tails; ++k) {
            const tail_bin& t = tails_[k];
            if (t.share == 0.0) continue;
            const double along = t.weight * d[t.variable];
            sum += t.share / (p_[m_ + k] * p_[m_ + k]) * along * along;
        }
        return sum;
    }

    // Whether variable j alone carries a tail with counts: at zero the tail's
    // mass would be zero, so the likelihood keeps it above.
    bool carries_tail(std::int64_t j) const noexcept {
        for (const tail_bin& t : tails_) {
            if (t.share > 0.0 && t.variable == j) return true;
        }
        return false;
    }

    // Frees every held knot whose multiplier g_j + mu c_j is negative beyond
    // rounding, with the total's multiplier of a stationary point: there
    // g + mu c vanishes on the free knots and u on the held ones, so
    // mu = -u . g (the total being 1). Returns whether a knot was freed.
    bool release_negative_multipliers(double lambda) noexcept {
        if (std::find(state_, state_ + v_, held_knot) == state_ + v_) return false;
        gradient_size(lambda);
        double mu = 0.0;
        for (std::int64_t j = 0; j < v_; ++j) mu -= u_[j] * g_[j];
        bool released = false;
        for (std::int64_t j = 0; j < v_; ++j) {
            if (state_[j] != held_knot) continue;
            const double nu = g_[j] + mu * c_[j];
            if (nu < -multiplier_tolerance * (size_[j] + std::fabs(mu * c_[j]))) {
                state_[j] = free_knot;
                released = true;
            }
        }
        return released;
    }

    // trial = u + t d, free values kept non-negative.
    void move(double t) noexcept {
        for (std::int64_t j = 0; j < v_; ++j) {
            const double moved = u_[j] + t * d_[j];
            trial_[j] = moved > 0.0 ? moved : 0.0;
        }
    }

    // Rescales u to total mass 1, which the steps keep up to rounding.
    void normalise() noexcept {
        double total = 0.0;
        for (std::int64_t j = 0; j < v_; ++j) total += c_[j] * u_[j];
        for (std::int64_t j = 0; j < v_; ++j) u_[j] /= total;
    }

    std::int64_t m_, r_, n_, v_;  // bins, refine, knots, variables
    int half_;
    tail_bin tails_[max_tails];
    double *h_, *q_, *stencil_, *curvature_, *weight_, *c_, *u_, *trial_, *d_, *g_, *size_, *z1_, *z2_, *best_,
        *anchor_, *p_, *p_trial_, *bin_weight_;
    // The factor and the inverse on its places: bands (refine below
    // envelope_refine), or border_ldl's system and its inverse, with the
    // vectors a solve runs on and the rows' scales.
    double *factor_ = nullptr, *inverse_ = nullptr, *x_ = nullptr, *scale_ = nullptr, *residual_ = nullptr,
           *correction_ = nullptr;
    border_ldl::system ldl_, inverse_ldl_;
    double tail_diagonal_[max_tails] = {1.0, 1.0};
    double factored_lambda_ = 1.0;
    double tail_weight_[max_tails] = {0.0, 0.0};  // the tails' terms of H at the last factorisation
    unsigned char *state_, *best_state_, *anchor_state_;
    std::int64_t solves_ = 0;
    const std::atomic<bool>* stop_ = nullptr;
    bool interrupted_ = false;
};

// The first decade tried. The lambda chosen is nearly free of the number and
// the widths of the bins (the scaling by W^5 sees to that) and falls with the
// sample size, by about a decade for every tenfold more counts: from about
// 1e-5 at 200 counts to 1e-7 at 50,000 in simulated histograms of 8 to 40
// bins.
double first_decade(double sample_size) noexcept {
    return std::clamp(plain_math::round(-3.0 - 0.9 * plain_math::log10(sample_size)), lowest_decade + 1, highest_decade - 1);
}

// The automatic choice of lambda: leaves the best candidate's point saved in
// `problem` and returns the candidate.
candidate choose_smoothing(penalised_fit& problem, double sample, double complexity, double top_edf,
                           double search_decrement, std::int64_t& tried) noexcept {
    candidate best;
    candidate grid[max_candidates];
    std::int64_t count = 0;
    auto step = [&](const candidate* from, double decade) -> const candidate* {
        if (from != nullptr && from->ok) {
            problem.predict(from->lambda, (decade - from->decade) * plain_math::ln10);
        }
        candidate& c = grid[count++];
        c = {decade, plain_math::power_of_ten(decade)};
        if (problem.solve(c.lambda, search_decrement, false) != status::ok) {
            problem.restore();
            return &c;
        }
        c.edf = problem.effective_df();
        c.deviance = problem.deviance(sample);
        c.criterion = c.deviance + complexity * c.edf;
        c.ok = std::isfinite(c.criterion);
        if (!c.ok) {
            c.criterion = infinity;
            problem.restore();
            return &c;
        }
        if (c.criterion < best.criterion) {
            best = c;
            problem.save();
        }
        return &c;
    };
    // Up while the criterion falls. A walk also stops where the criterion can
    // no longer fall below the best: above, once the deviance alone (which
    // only grows with lambda) has reached it, or the fit is linear; below,
    // once the price of the degrees of freedom alone (which only grow as
    // lambda falls) has, or the fit has the data's own degrees of freedom.
    // On simulated histograms from smooth densities these walks end at the
    // lowest criterion of the whole grid of decades; counts with no smooth
    // density behind them can have a second minimum further down, which the
    // walk down finds.
    const candidate* const first = step(nullptr, first_decade(sample));
    problem.anchor();
    for (const candidate* last = first; last->ok && last->edf > 1.0 + edf_margin &&
                                        last->deviance < best.criterion &&
                                        last->decade + search_step <= highest_decade;) {
        const candidate* next = step(last, last->decade + search_step);
        if (!(next->criterion < last->criterion)) break;
        last = next;
    }
    // Then down from the first; its factor is still there if no step was taken up.
    const bool factored = count == 1;
    problem.return_to_anchor();
    for (const candidate* last = first; last->ok && complexity * last->edf < best.criterion;) {
        if (last->edf >= top_edf - edf_margin || last->decade - search_step < lowest_decade) {
            break;
        }
        const candidate* next = step(last != first || factored ? last : nullptr, last->decade - search_step);
        // A rise ends the walk unless the exact-mass fit at the end of it (of
        // criterion complexity * top_edf) would beat the best so far: then a
        // lower minimum lies further down, past a local one.
        if (!(next->criterion < last->criterion) && !(complexity * top_edf < best.criterion)) break;
        last = next;
    }
    // The vertex of the parabola through the best decade and its neighbours,
    // where the parabola promises a criterion lower by half a degree of
    // freedom's price or more (less changes the fit far less than the counts'
    // noise does).
    const candidate *below = nullptr, *above = nullptr;
    for (std::int64_t k = 0; k < count; ++k) {
        if (!grid[k].ok) continue;
        if (grid[k].decade == best.decade - search_step) below = &grid[k];
        if (grid[k].decade == best.decade + search_step) above = &grid[k];
    }
    if (below != nullptr && above != nullptr) {
        const double curve = above->criterion - 2.0 * best.criterion + below->criterion;
        const double rise = above->criterion - below->criterion;
        if (curve > 0.0 && rise * rise / (8.0 * curve) >= 0.5 * complexity) {
            const double vertex = best.decade - 0.5 * search_step * rise / curve;
            if (std::fabs(vertex - best.decade) > 0.05 * search_step) {
                problem.restore();
                step(nullptr, vertex);
            }
        }
    }
    tried = count;
    return best;
}

// An outcome with the smoothing, edf, solves and candidates of a search.
outcome searched(outcome o, double smoothing, double edf, std::int64_t solves, std::int64_t candidates) noexcept {
    o.smoothing = smoothing;
    o.edf = edf;
    o.solves = solves;
    o.candidates = candidates;
    return o;
}

}  // namespace

std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept {
    const std::int64_t exact = smooth_fit::scratch_size(bins, refine);
    return exact < 0 ? -1 : std::max(exact, work_size(bins, refine));
}

outcome fit(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
            const settings& setting, double* values, double* scratch, const open_ends& ends) noexcept {
    const std::int64_t knots = smooth_fit::knot_count(bins, refine);
    if (knots < 0) {
        return {status::bad_size};
    }
    if (std::isnan(setting.smoothing) || setting.smoothing == infinity || !(setting.sample_size >= 0.0) ||
        setting.sample_size == infinity || !(setting.complexity > 0.0) || setting.complexity == infinity) {
        return {status::bad_setting};
    }
    penalised_fit problem(bins, refine, scratch);
    double total = 0.0, width = 0.0;
    const outcome checked =
        smooth_fit::scale_histogram(edges, counts, bins, refine, problem.widths(), total, width);
    if (checked.code != status::ok) {
        return {checked.code, checked.index};
    }
    const tail* const sides[max_tails] = {&ends.left, &ends.right};
    bool open = false;
    double all = total;  // the counts with the tails'
    std::int64_t occupied = 0;
    for (const tail* t : sides) {
        if (t->shape == tail::form::none) continue;
        open = true;
        if (!(t->count >= 0.0 && t->count < infinity) ||
            (t->shape == tail::form::tied && !(t->weight > 0.0 && t->weight < infinity))) {
            return {status::bad_setting};
        }
        all += t->count;
        occupied += t->count > 0.0 ? 1 : 0;
    }
    if (!(all < infinity)) {
        return {status::out_of_range};
    }
    const double sample = setting.sample_size > 0.0 ? setting.sample_size : all;
    for (std::int64_t i = 0; i < bins; ++i) {
        occupied += counts[i] > 0.0 ? 1 : 0;
    }
    const double top_edf = static_cast<double>(occupied - 1);
    if (open && (setting.smoothing == 0.0 || occupied < 2)) {
        return {status::bad_setting};
    }
    // The exact-mass fit: for lambda 0, when there is nothing to smooth between
    // bins, or when the criterion prefers it. It overwrites the scratch.
    auto exact = [&](std::int64_t solves, std::int64_t candidates) -> outcome {
        smooth_fit::limits bounds;
        bounds.stop = setting.stop;
        const smooth_fit::outcome o = smooth_fit::fit(edges, counts, bins, refine, values, scratch, bounds);
        return searched(fits::failure(o.code, o.index), 0.0, top_edf, solves + o.solves, candidates + 1);
    };
    if (setting.smoothing == 0.0 || occupied < 2) {
        return exact(0, 0);
    }
    for (std::int64_t i = 0; i < bins; ++i) {
        problem.shares()[i] = counts[i] / all;
    }
    for (int side = 0; side < max_tails; ++side) {
        const tail& t = *sides[side];
        if (t.shape != tail::form::none) {
            problem.add_tail(side, t.shape == tail::form::free_mass, t.count / all, t.weight / width);
        }
    }
    problem.set_up();
    problem.watch(setting.stop);
    if (setting.start != nullptr && setting.smoothing >= 0.0) {
        problem.start_from(setting.start, all / width);
    }

    double lambda = setting.smoothing;
    std::int64_t tried = 1;
    if (lambda < 0.0) {
        const double search_decrement = std::max(smallest_search_decrement, search_criterion_error / sample);
        const candidate best = choose_smoothing(problem, sample, setting.complexity, top_edf, search_decrement, tried);
        if (problem.interrupted()) {
            return searched(fits::failure(status::interrupted), 0.0, 0.0, problem.solves(), tried);
        }
        if (!best.ok) {
            return searched(fits::failure(status::inaccurate), 0.0, 0.0, problem.solves(), tried);
        }
        // The exact-mass fit competes, with deviance 0 and the data's own
        // degrees of freedom; where the best lambda has all but those (the
        // search's bottom), within the criterion's resolution it is the fit
        // that the choice tends to. (With refine = 1 it may not exist; the
        // search's choice then stands.)
        const double resolution = best.edf >= top_edf - edf_margin ? setting.complexity * edf_margin : 0.0;
        if (refine > 1 && !open && setting.complexity * top_edf < best.criterion + resolution) {
            return exact(problem.solves(), tried);
        }
        lambda = best.lambda;
        problem.restore();
    }
    // The fit for lambda taken to full precision, and its own edf.
    const status solved = problem.solve(lambda, 0.0, true);
    if (solved != status::ok) {
        return searched(fits::failure(solved), lambda, 0.0, problem.solves(), tried);
    }
    problem.save();
    const double edf = problem.effective_df(), deviance = problem.deviance(sample);
    // Values carry the counts' total (tails included) as the exact-mass
    // fit's carry the masses'.
    const double unit = all / width;
    const double* const u = problem.best();
    for (std::int64_t j = 0; j < knots; ++j) {
        if (!(u[j] * unit < infinity)) {
            return searched(fits::failure(status::out_of_range), 0.0, 0.0, problem.solves(), tried);
        }
    }
    for (std::int64_t j = 0; j < knots; ++j) values[j] = u[j] * unit;
    outcome done = searched(outcome{}, lambda, edf, problem.solves(), tried);
    done.deviance = deviance;
    done.left.mass = problem.best_tail_mass(0) * all;
    done.right.mass = problem.best_tail_mass(1) * all;
    return done;
}

}  // namespace zelvane::counts_fit
