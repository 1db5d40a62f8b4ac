// Newton's method for the counts-aware fit: see counts_newton.hpp.
#include "kernels/counts_newton.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/plain_math.hpp"
#include "kernels/smooth_fit.hpp"

namespace zelvane::counts_newton {

namespace {

using counts_hessian::free_knot;
using counts_hessian::held_knot;
using counts_hessian::tail_bin;

constexpr double infinity = std::numeric_limits<double>::infinity();
// Steps in a row whose line search lowers the objective by no more than its
// rounding while the decrement says there is far more to gain: the point no
// longer moves, and the fit for this lambda gives up as inaccurate.
constexpr int max_stalls = 8;
constexpr double stall_share = 1e-13, stall_decrement = 1e-6;
// The fit delivered goes on until the decrement is below this, where the
// objective's own rounding hides any further progress, or until, below the
// second, it no longer falls fourfold in a step: the floor of rounding.
constexpr double floor_decrement = 1e-24;
constexpr double noise_decrement = 1e-14;

// Below this decrement Newton's full step is taken without a line search.
constexpr double local_decrement = 1e-9;
// Sufficient decrease of the line search, as a share of the decrement.
constexpr double armijo_share = 1e-4;
// A held knot's multiplier counts as negative below this share of its terms.
constexpr double multiplier_tolerance = 1e-9;
// The start: the histogram's step density, each edge the mean of its two
// bins, with this share of the flat density mixed in so that every value is
// positive.
constexpr double start_flat_share = 0.02;
// The most penalty a start of start_smooth() has, against the likelihood's
// -sum q log p of about the log of the number of bins.
constexpr double start_penalty = 1.0;
// Newton steps of one knot each before the steps that hold and release many
// at once take over: the fits of smooth counts are over by then.
constexpr std::int64_t one_knot_steps = 12;
// Step lengths 1, 1/2, ... tried by a step that holds many knots at once.
constexpr int projection_halvings = 40;
// How a knot was last released (penalised_fit::released_): by its own
// multiplier, beside one that was, or released and held again at once.
constexpr unsigned char by_multiplier = 1, beside = 2, pinned = 3;

}  // namespace

penalised_fit::penalised_fit(std::int64_t bins, std::int64_t refine, workspace& w) noexcept
    : m_(bins), r_(refine), n_(bins * refine + 1), v_(n_) {
    const std::int64_t most = n_ + max_tails;
    h_ = w.take(n_ - 1);
    q_ = w.take(m_);
    stencil_ = w.take(4 * n_);
    curvature_ = w.take(3 * n_);
    weight_ = w.take(m_ * (r_ + 1));
    w.take_each(most, c_, u_, trial_, d_, g_, size_, z1_, z2_, best_, anchor_);
    w.take_each(m_ + max_tails, p_, p_trial_);
    bin_weight_ = w.take(m_);
    w.take_each(most, state_, best_state_, anchor_state_, released_);
    terms_ = {m_, r_, n_, v_, stencil_, curvature_, weight_, tails_, p_, bin_weight_, tail_weight_, state_, nullptr};
    hessian_.take_scratch(terms_, most, w);
}

void penalised_fit::add_tail(int side, bool free_mass, double share, double weight) noexcept {
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

double penalised_fit::best_tail_mass(int side) const noexcept {
    const tail_bin& t = tails_[side];
    return t.variable < 0 ? 0.0 : t.weight * best_[t.variable];
}

void penalised_fit::set_up() noexcept {
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
    terms_.variables = v_;
    // rounding_floor() at u = 1.
    constexpr double eps = std::numeric_limits<double>::epsilon();
    flat_floor_ = 0.0;
    for (std::int64_t t = 1; t + 1 < n_; ++t) {
        const double* const w = stencil_ + 4 * t;
        const double size = std::fabs(w[0]) + std::fabs(w[1]) + std::fabs(w[2]);
        flat_floor_ += w[3] * size * size;
    }
    flat_floor_ *= eps * eps;
    start(start_flat_share);
}

// The histogram's step density, each edge the mean of its two bins.
void penalised_fit::step_density(double* u) const noexcept {
    auto bin_density = [&](std::int64_t i) {
        double width = 0.0;
        for (std::int64_t s = 0; s < r_; ++s) width += h_[i * r_ + s];
        return q_[i] / width;
    };
    double right = bin_density(0);
    for (std::int64_t i = 0; i <= m_; ++i) {
        const double left = right;
        right = i < m_ ? bin_density(i) : left;
        u[i * r_] = 0.5 * (left + right);
        for (std::int64_t s = 1; i < m_ && s < r_; ++s) u[i * r_ + s] = right;
    }
}

// The step density with the share `flat` of the flat density mixed in.
void penalised_fit::start(double flat) noexcept {
    step_density(u_);
    for (std::int64_t j = 0; j < n_; ++j) u_[j] = (1.0 - flat) * u_[j] + flat;
    // A free tail starts at its share (a small one when it has none).
    for (const tail_bin& t : tails_) {
        if (t.variable >= n_) u_[t.variable] = std::max(t.share, start_flat_share / static_cast<double>(m_ + 1));
    }
    std::fill(state_, state_ + v_, free_knot);
    std::fill(released_, released_ + v_, 0);
    reach_ = 0;
    warm_ = false;
    normalise();
    save();
}

// The flat density has no curvature, so the mix's penalty is the steps'
// times the square of their share.
void penalised_fit::start_smooth(double lambda) noexcept {
    step_density(u_);
    const double penalty = 0.5 * lambda * terms_.curvature_of(u_);
    const double steps = 1.0 - start_flat_share;
    start(penalty * steps * steps > start_penalty ? 1.0 - std::sqrt(start_penalty / penalty) : start_flat_share);
}

void penalised_fit::start_from(const double* values, double unit) noexcept {
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
    warm_ = true;
    normalise();
    save();
}

// Newton's method for lambda from the current point. A search's fit ends
// with the step taken from a decrement below search_decrement, and keeps
// the factor of the point before it; the fit delivered (final) goes on
// until the decrement reaches the floor of rounding, and keeps the factor
// of the point itself. Either factor serves effective_df() and predict().
// The ratio test: the longest step along d, up to infinity, before a free
// knot without a tail reaches zero; `blocking` is that knot (-1 if none).
double penalised_fit::longest_step(std::int64_t& blocking) const noexcept {
    double longest = infinity;
    blocking = -1;
    for (std::int64_t j = 0; j < v_; ++j) {
        if (state_[j] == free_knot && d_[j] < 0.0 && u_[j] < longest * -d_[j] && !carries_tail(j)) {
            longest = u_[j] / -d_[j];
            blocking = j;
        }
    }
    return longest;
}

// The step of length t (at most `longest`) along d into trial_ and p_trial_.
// Near the optimum Newton's full step is taken, unless it would empty a bin
// or a tail that has counts (a share far below the others keeps the
// decrement small while the step is not): then the line search keeps it
// short of that. The step that reaches the blocking knot holds it at zero
// exactly. Returns false where the search finds no step or stalls
// max_stalls times in a row (counted in `stalls`).
bool penalised_fit::line_search(double lambda, double decrement, double longest, std::int64_t blocking, double& t,
                                int& stalls) noexcept {
    const bool blocked = longest <= 1.0;
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
            if (t < 1e-30) return false;
        }
        const double fallen = start - objective(trial_, p_trial_, lambda);
        const bool stalled =
            fallen <= stall_share * std::fabs(start) && decrement > stall_decrement * std::max(1.0, std::fabs(start));
        // A step that holds a knot makes progress however little it lowers.
        stalls = stalled && !(blocked && t == longest) ? stalls + 1 : 0;
        if (stalls >= max_stalls) return false;
    }
    return true;
}

status penalised_fit::solve(double lambda, double search_decrement, bool final) noexcept {
    if (flat_rounding_floor(lambda) > max_rounding_floor) {
        return status::ill_conditioned;
    }
    double previous = infinity;
    bool moved = true, early_release = true;
    int stalls = 0;
    // Steps hold or release one knot each while that converges: from an
    // earlier fit's optimum always (the fit then moves continuously with the
    // problem, which a search for a known mean relies on), otherwise for the
    // first one_knot_steps steps; from there on a step holds and releases
    // many knots at once.
    bool many = false;
    for (std::int64_t step = 0; step < step_limit_; ++step) {
        bin_masses(u_, p_);
        gradient(lambda);
        if (!many && !warm_ && step >= one_knot_steps) {
            many = true;
            early_release = true;
        }
        adapt_reach(moved);
        moved = true;
        const bool released = early_release && release_negative_multipliers(lambda, many ? reach_ : 0);
        if (terms_.stop != nullptr && terms_.stop->load(std::memory_order_relaxed)) {
            interrupted_ = true;
            return status::interrupted;
        }
        if (!factor(lambda)) {
            return interrupted_ ? status::interrupted : status::inaccurate;
        }
        const double decrement = newton_direction(lambda);
        std::int64_t blocking = -1;
        const double longest = longest_step(blocking);
        if (many && longest < 1.0 && project(lambda, decrement, longest)) {
            previous = decrement;
            continue;
        }
        if (released && longest == 0.0) {
            // Knots just released would go straight back below zero: the
            // estimate of the multipliers was wrong so far from the optimum.
            // They stay held until a step has been taken; in the steps of
            // one knot each, releases wait for convergence from then on.
            moved = false;
            if (many) {
                pin_released();
            } else {
                early_release = false;
                state_[blocking] = held_knot;
            }
            continue;
        }
        const bool blocked = longest <= 1.0;
        if (final && !blocked && !released &&
            (decrement <= floor_decrement ||
             ((decrement <= noise_decrement || decrement <= rounding_floor(lambda)) && decrement > 0.25 * previous))) {
            // Converged to rounding (or no longer converging, at its floor).
            if (!release_negative_multipliers(lambda, reach_)) {
                return status::ok;
            }
            previous = infinity;
            continue;
        }
        previous = decrement;
        double t = std::min(1.0, longest);
        if (!line_search(lambda, decrement, longest, blocking, t, stalls)) return status::inaccurate;
        std::swap(u_, trial_);
        if (blocked && t == longest) state_[blocking] = held_knot;
        moved = t > 0.0;
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

// A blocked step that holds many knots at once: u + t d with every free
// value that would fall below zero cut to zero and held there, the total
// restored by scaling, for t from 1 halving while t is above `longest` (the
// step to the first knot that reaches zero). Taken where it lowers the
// objective at least as far as the step to that first knot would, and
// further than Armijo's share of the decrement; the multipliers of the knots
// it holds are checked at the next step (release_negative_multipliers).
// Returns whether it took a step.
bool penalised_fit::project(double lambda, double decrement, double longest) noexcept {
    // The step to the first knot that reaches zero, as the yardstick.
    move(longest);
    bin_masses(trial_, p_trial_);
    const double start = objective(u_, p_, lambda);
    const double blocked_value = objective(trial_, p_trial_, lambda);
    double bar = start - armijo_share * longest * decrement;
    if (blocked_value < bar) bar = blocked_value;
    double t = 2.0;
    for (int halving = 0; halving < projection_halvings; ++halving) {
        t *= 0.5;
        if (!(t > longest)) break;
        std::int64_t cut = 0;
        bool tail_emptied = false;
        for (std::int64_t j = 0; j < v_; ++j) {
            const double moved = u_[j] + t * d_[j];
            if (moved > 0.0 || state_[j] != free_knot) {
                trial_[j] = moved > 0.0 ? moved : 0.0;
            } else if (carries_tail(j)) {
                tail_emptied = true;
                break;
            } else {
                trial_[j] = 0.0;
                ++cut;
            }
        }
        // A step that cuts nothing is Newton's own, taken below.
        if (tail_emptied || cut < 1) continue;
        double total = 0.0;
        for (std::int64_t j = 0; j < v_; ++j) total += c_[j] * trial_[j];
        for (std::int64_t j = 0; j < v_; ++j) trial_[j] /= total;
        bin_masses(trial_, p_trial_);
        const double value = objective(trial_, p_trial_, lambda);
        if (!(value <= bar && value < start)) continue;
        std::swap(u_, trial_);
        for (std::int64_t j = 0; j < v_; ++j) {
            if (state_[j] == free_knot && u_[j] == 0.0 && !carries_tail(j)) state_[j] = held_knot;
        }
        ++projections_;
        return true;
    }
    return false;
}

// The tangent:
//     du / d log lambda = -H^-1 (lambda G u + nu c),  c . du = 0,
// with the last factor of H.
void penalised_fit::predict(double lambda, double log_ratio) noexcept {
    std::fill(z1_, z1_ + v_, 0.0);
    terms_.add_curvature(lambda, u_, z1_);
    for (std::int64_t j = 0; j < v_; ++j) {
        if (state_[j] != free_knot) z1_[j] = 0.0;
    }
    hessian_.solve(z1_);
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
double penalised_fit::effective_df() noexcept {
    if (!hessian_.invert()) {
        interrupted_ = true;
        return std::numeric_limits<double>::quiet_NaN();
    }
    double cz = 0.0;
    for (std::int64_t j = 0; j < v_; ++j) cz += c_[j] * z2_[j];
    double edf = 0.0;
    for (std::int64_t i = 0; i < m_; ++i) {
        if (q_[i] == 0.0) continue;
        const double* const a = weight_ + i * (r_ + 1);
        double along = 0.0;
        for (std::int64_t s = 0; s <= r_; ++s) along += a[s] * z2_[i * r_ + s];
        edf += q_[i] / (p_[i] * p_[i]) * (hessian_.bin_inverse(i) - along * along / cz);
    }
    for (int k = 0; k < max_tails; ++k) {
        const tail_bin& t = tails_[k];
        if (t.variable < 0 || t.share == 0.0) continue;
        const double mass = p_[m_ + k];
        const double inner = state_[t.variable] == free_knot ? t.weight * t.weight * hessian_.inverse_at(t.variable) : 0.0;
        const double along = t.weight * z2_[t.variable];
        edf += t.share / (mass * mass) * (inner - along * along / cz);
    }
    return edf;
}

double penalised_fit::bin_share(std::int64_t i) const noexcept {
    const double* const a = weight_ + i * (r_ + 1);
    const double* const v = u_ + i * r_;
    double sum = 0.0;
    for (std::int64_t s = 0; s <= r_; ++s) sum += a[s] * v[s];
    return sum;
}

// 2 N sum q log(q / p) at the current point.
double penalised_fit::deviance(double sample_size) const noexcept {
    double sum = 0.0;
    for (std::int64_t i = 0; i < m_; ++i) {
        if (q_[i] > 0.0) sum += q_[i] * plain_math::log(q_[i] / p_[i]);
    }
    for (int k = 0; k < max_tails; ++k) {
        if (tails_[k].share > 0.0) sum += tails_[k].share * plain_math::log(tails_[k].share / p_[m_ + k]);
    }
    return std::max(0.0, 2.0 * sample_size * sum);
}

void penalised_fit::keep(double* u, unsigned char* state) const noexcept {
    std::copy(u_, u_ + v_, u);
    std::copy(state_, state_ + v_, state);
}
void penalised_fit::take(const double* u, const unsigned char* state) noexcept {
    std::copy(u, u + v_, u_);
    std::copy(state, state + v_, state_);
}

void penalised_fit::bin_masses(const double* u, double* p) const noexcept {
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


double penalised_fit::objective(const double* u, const double* p, double lambda) const noexcept {
    double sum = 0.5 * lambda * terms_.curvature_of(u);
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

// g = lambda G u - sum_i (q_i / p_i) a_i.
void penalised_fit::gradient(double lambda) noexcept {
    std::fill(g_, g_ + v_, 0.0);
    terms_.add_curvature(lambda, u_, g_);
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

// What rounding leaves in the decrement d'Hd at the current point, in
// float64 that no step lowers: each curvature stencil applied to u rounds to
// about eps times the sum of its terms' magnitudes, and an error e_t of
// stencil t reaches the decrement as about lambda w_t e_t^2 (H^-1 along the
// stencil being at most its own term's inverse). Narrow sub-intervals beside
// wide ones make that far larger than the likelihood's share, eps^2.
double penalised_fit::rounding_floor(double lambda) const noexcept {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    double sum = 0.0;
    for (std::int64_t t = 1; t + 1 < n_; ++t) {
        const double* const w = stencil_ + 4 * t;
        const double size = std::fabs(w[0] * u_[t - 1]) + std::fabs(w[1] * u_[t]) + std::fabs(w[2] * u_[t + 1]);
        sum += w[3] * size * size;
    }
    return lambda * eps * eps * sum;
}

// The sum of the magnitudes of the terms of each g_j: the yardstick of a
// multiplier, needed only where a knot is held.
void penalised_fit::gradient_size(double lambda) noexcept {
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

// H at the current point: the bins' and tails' weights, then the back end's
// factorisation.
bool penalised_fit::factor(double lambda) noexcept {
    ++solves_;
    for (std::int64_t i = 0; i < m_; ++i) bin_weight_[i] = q_[i] == 0.0 ? 0.0 : q_[i] / (p_[i] * p_[i]);
    double* const tail_weight = tail_weight_;
    for (int k = 0; k < max_tails; ++k) {
        const tail_bin& t = tails_[k];
        tail_weight[k] = t.share == 0.0 ? 0.0 : t.share / (p_[m_ + k] * p_[m_ + k]) * t.weight * t.weight;
    }
    const status factored = hessian_.factor(lambda);
    if (factored == status::interrupted) interrupted_ = true;
    return factored == status::ok;
}

// The step d on the free knots that minimises the quadratic model with
// c . d = 0. Returns the decrement d'Hd (which equals -g . d).
double penalised_fit::newton_direction(double lambda) noexcept {
    for (std::int64_t j = 0; j < v_; ++j) {
        const bool free = state_[j] == free_knot;
        z1_[j] = free ? g_[j] : 0.0;
        z2_[j] = free ? c_[j] : 0.0;
    }
    hessian_.solve_pair(z1_, z2_);
    double cz1 = 0.0, cz2 = 0.0;
    for (std::int64_t j = 0; j < v_; ++j) {
        cz1 += c_[j] * z1_[j];
        cz2 += c_[j] * z2_[j];
    }
    const double mu = -cz1 / cz2;
    for (std::int64_t j = 0; j < v_; ++j) {
        d_[j] = state_[j] == free_knot ? -z1_[j] - mu * z2_[j] : 0.0;
    }
    return hessian_.energy(lambda, d_);
}

// Whether variable j alone carries a tail with counts: at zero the tail's
// mass would be zero, so the likelihood keeps it above.
bool penalised_fit::carries_tail(std::int64_t j) const noexcept {
    for (const tail_bin& t : tails_) {
        if (t.share > 0.0 && t.variable == j) return true;
    }
    return false;
}

// Frees every held knot whose multiplier g_j + mu c_j is negative beyond
// rounding, with the total's multiplier of a stationary point: there
// g + mu c vanishes on the free knots and u on the held ones, so
// mu = -u . g (the total being 1). Returns whether a knot was freed.
//
// With a reach, the run of held knots beside each knot freed is freed with
// it up to that many knots on: a zero run that is too long ends a knot at a
// time by the multipliers alone (a held knot's multiplier turns negative only
// once its neighbour is free). The steps that follow cut what they should
// not have freed back to zero (adapt_reach()).
bool penalised_fit::release_negative_multipliers(double lambda, std::int64_t reach) noexcept {
    if (std::find(state_, state_ + v_, held_knot) == state_ + v_) return false;
    gradient_size(lambda);
    double mu = 0.0;
    for (std::int64_t j = 0; j < v_; ++j) mu -= u_[j] * g_[j];
    bool released = false;
    for (std::int64_t j = 0; j < v_; ++j) {
        if (state_[j] != held_knot || released_[j] == pinned) continue;
        const double nu = g_[j] + mu * c_[j];
        if (nu < -multiplier_tolerance * (size_[j] + std::fabs(mu * c_[j]))) {
            state_[j] = free_knot;
            released = true;
            released_[j] = by_multiplier;
        }
    }
    if (!released || reach <= 0) return released;
    for (std::int64_t j = 0; j < n_; ++j) {
        if (released_[j] != by_multiplier) continue;
        for (std::int64_t k = j - 1; k >= std::max<std::int64_t>(0, j - reach) && state_[k] == held_knot; --k) {
            state_[k] = free_knot;
            released_[k] = beside;
        }
        for (std::int64_t k = j + 1; k <= std::min(n_ - 1, j + reach) && state_[k] == held_knot; ++k) {
            state_[k] = free_knot;
            released_[k] = beside;
        }
    }
    return released;
}

// The reach of the next release: doubled while the knots freed beside those
// the multipliers freed stay above zero, cut to a quarter once a step takes
// one of them back to zero.
void penalised_fit::adapt_reach(bool moved) noexcept {
    if (!moved) return;
    bool any = false, cut = false;
    for (std::int64_t j = 0; j < n_; ++j) {
        if (released_[j] == 0) continue;
        any = any || released_[j] != pinned;
        cut = cut || (released_[j] == beside && !(u_[j] > 0.0));
        released_[j] = 0;
    }
    if (!any) return;
    reach_ = cut ? reach_ / 4 : std::min(n_, std::max<std::int64_t>(1, 2 * reach_));
}

// Holds again the knots just released that the step would take below zero.
void penalised_fit::pin_released() noexcept {
    for (std::int64_t j = 0; j < n_; ++j) {
        if (released_[j] != 0 && state_[j] == free_knot && u_[j] == 0.0 && d_[j] < 0.0) {
            state_[j] = held_knot;
            released_[j] = pinned;
        }
    }
    reach_ /= 4;
}

// trial = u + t d, free values kept non-negative.
void penalised_fit::move(double t) noexcept {
    for (std::int64_t j = 0; j < v_; ++j) {
        const double moved = u_[j] + t * d_[j];
        trial_[j] = moved > 0.0 ? moved : 0.0;
    }
}

// Rescales u to total mass 1, which the steps keep up to rounding.
void penalised_fit::normalise() noexcept {
    double total = 0.0;
    for (std::int64_t j = 0; j < v_; ++j) total += c_[j] * u_[j];
    for (std::int64_t j = 0; j < v_; ++j) u_[j] /= total;
}

}  // namespace zelvane::counts_newton
