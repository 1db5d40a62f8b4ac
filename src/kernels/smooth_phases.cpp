// The phases of the smooth fit on refined knots: see smooth_phases.hpp.
#include "kernels/smooth_phases.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelvane::smooth_phases {

namespace {

using namespace smooth_kkt;  // the system's layout, knot states, limits and statuses

// The first phase goes on until the number of violated conditions has twice in
// a row failed to fall below three quarters of its lowest (a number up to
// this counts as falling).
constexpr std::int64_t few_violations = 16;
// Rounds of whole-set changes that may fail to lower the number of violated
// conditions before single changes take over (after the interior phase).
constexpr std::int64_t single_change_patience = 3;
// The warm start from coarser levels: the coarsest refine, the refine from
// which it is used and the solves that each coarser level may take before
// it is given up (it helps where the knots at zero are many and the
// exchanges settle fast, as with sparse masses, and costs little elsewhere).
// At refine 64 and more; below that the coarser levels cost about what
// they save.
constexpr std::int64_t coarsest_refine = 4, ladder_refine = 64, coarse_solves_allowed = 6;
// The interior-point phase: its bound on steps (two solves with one
// factorisation each), the fall of the mean complementarity gap at which its
// answer is taken, and the share of the way to the boundary that a step goes.
constexpr int max_interior_steps = 60;
constexpr double interior_gap = 1e-18;
constexpr double boundary_fraction = 0.99;

// Changes of the held set: whole sets, or the last knot's condition alone.
class exchanges {
public:
    exchanges(system& kkt, workspace& w) noexcept
        : kkt_(kkt), l_(kkt.shape()), mass_(kkt.mass()), state_(kkt.states()), y_(kkt.solution()),
          saved_(w.take<unsigned char>(kkt.shape().knots)) {}

    // Changes every violated condition: holds the negative free values and
    // frees the held ones with negative multipliers. Where that leaves a bin's
    // mass row without a free knot of its own, a knot of that bin held in
    // this round is freed again; false (and the round undone) when that does
    // not restore full rank.
    bool exchange_all() noexcept;
    // Changes the condition of the last knot that violates one, passing over
    // holds that would leave the mass rows rank deficient; false when no
    // change is possible.
    bool exchange_last() noexcept;
    // Frees held knots again where the held set leaves the mass rows rank
    // deficient, each as a knot held in a round of its own.
    void free_held_again() noexcept {
        std::copy(state_, state_ + l_.knots, saved_);
        std::replace(state_, state_ + l_.knots, static_cast<unsigned char>(held_knot),
                     static_cast<unsigned char>(just_held));
        settle_round();
    }

private:
    bool settle_round() noexcept;
    bool restore_rank() noexcept;

    system& kkt_;
    const layout& l_;
    const double* mass_;
    unsigned char* state_;
    const double* y_;
    unsigned char* saved_;
};

// The interior-point phase, started from the last solve.
class interior_point {
public:
    interior_point(system& kkt, exchanges& exchange, workspace& w) noexcept
        : kkt_(kkt), exchange_(exchange), l_(kkt.shape()), mass_(kkt.mass()), curvature_(kkt.curvature()),
          weight_(kkt.weights()), state_(kkt.states()), y_(kkt.solution()) {
        const std::int64_t n = l_.order, knots = l_.knots;
        v_ = w.take(knots);
        w.take_each(n, ip_x_, ip_affine_, ip_step_);
        w.take_each(knots, ip_z_, ip_dz_affine_, ip_dual_, ip_extra_);
    }

    status run(const limits& bounds, std::int64_t total_solves) noexcept;

private:
    void take_step(double gap, std::int64_t count) noexcept;
    void newton_rhs(const double* v, const double* affine, double target, double* out) const noexcept;
    double boundary_step(const double* v, const double* dx, double* dz) const noexcept;
    double step_length(const double* v, const double* dx, const double* dz) const noexcept;

    system& kkt_;
    exchanges& exchange_;
    const layout& l_;
    const double *mass_, *curvature_, *weight_;
    unsigned char* state_;
    const double* y_;
    // Values by knot; unknowns, affine and combined steps (by position);
    // multipliers, their affine step, dual residuals and barrier terms (by
    // knot).
    double *v_, *ip_x_, *ip_affine_, *ip_step_, *ip_z_, *ip_dz_affine_, *ip_dual_, *ip_extra_;
};

// The KKT system and the phases that drive it, on one workspace.
class refined_fit {
public:
    refined_fit(const layout& l, const double* h, const double* mass, const fixed_ends& fixed, workspace& w) noexcept
        : kkt_(l, h, mass, fixed, w), exchange_(kkt_, w), interior_(kkt_, exchange_, w) {}

    // Sets the system up and runs the phases. guess: a held set to start
    // from (knots it marks held_knot that are free after the set-up), or
    // null; with deliver false the fit ends, ok, as soon as no condition is
    // violated, its held set in states() and nothing checked or written.
    outcome run(const limits& bounds, double unit, double* values, const unsigned char* guess = nullptr,
                bool deliver = true) noexcept;
    void use_wide_factors() noexcept { kkt_.use_wide_factors(); }
    const unsigned char* states() const noexcept { return kkt_.states(); }

private:
    system kkt_;
    exchanges exchange_;
    interior_point interior_;
};

outcome refined_fit::run(const limits& bounds, double unit, double* values, const unsigned char* guess,
                         bool deliver) noexcept {
    if (!kkt_.set_up(bounds.stop)) {
        return {status::infeasible};
    }
    if (guess != nullptr) {
        unsigned char* const state = kkt_.states();
        for (std::int64_t j = 0; j < kkt_.shape().knots; ++j) {
            if (state[j] == free_knot && guess[j] == held_knot) state[j] = held_knot;
        }
        if (!kkt_.mass_rows_independent()) exchange_.free_held_again();
    }
    const std::int64_t total_solves = bounds.total_solves >= 0 ? bounds.total_solves : 64 + 4 * kkt_.shape().knots;
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
        if (first_phase && (kkt_.solves() >= exchange_solves || strikes > 1)) {
            first_phase = false;
            const status s = interior_.run(bounds, total_solves);
            if (s != status::ok) {
                return {s, -1, kkt_.solves()};
            }
            lowest = std::numeric_limits<std::int64_t>::max();
        }
        if (const status s = kkt_.may_factor(bounds, total_solves); s != status::ok) {
            return {s, -1, kkt_.solves()};
        }
        if (!kkt_.solve()) {
            return {status::inaccurate, -1, kkt_.solves()};
        }
        std::int64_t violated = 0;
        for (knot_cursor k{kkt_.shape()}; k.j < kkt_.shape().knots; k.next()) {
            violated += kkt_.violates(k.j, k.pos) ? 1 : 0;
        }
        if (violated == 0) {
            return deliver ? kkt_.finish(unit, values) : outcome{status::ok, -1, kkt_.solves()};
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
            if (!exchange_.exchange_all() && !exchange_.exchange_last()) {
                return {status::inaccurate, -1, kkt_.solves()};
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
        if (whole && !exchange_.exchange_all()) {
            whole = false;
        }
        if (!whole && !exchange_.exchange_last()) {
            return {status::inaccurate, -1, kkt_.solves()};
        }
    }
}

bool exchanges::exchange_all() noexcept {
    std::copy(state_, state_ + l_.knots, saved_);
    for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
        if (kkt_.violates(k.j, k.pos)) state_[k.j] = state_[k.j] == free_knot ? just_held : free_knot;
    }
    return settle_round();
}

// Ends a round of changes begun from saved_: where the knots held in it
// (just_held) leave the mass rows rank deficient, frees some of them again,
// or undoes the round when that does not do; then they count as held.
// False when the round was undone.
bool exchanges::settle_round() noexcept {
    const bool full_rank = kkt_.mass_rows_independent() || restore_rank();
    if (!full_rank) {
        std::copy(saved_, saved_ + l_.knots, state_);
    }
    std::replace(state_, state_ + l_.knots, static_cast<unsigned char>(just_held),
                 static_cast<unsigned char>(held_knot));
    return full_rank;
}

bool exchanges::restore_rank() noexcept {
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

bool exchanges::exchange_last() noexcept {
    for (std::int64_t j = l_.knots - 1; j >= 0; --j) {
        if (!kkt_.violates(j, l_.position(j))) continue;
        if (state_[j] == held_knot) {
            state_[j] = free_knot;
            return true;
        }
        state_[j] = held_knot;
        if (kkt_.mass_rows_independent()) return true;
        state_[j] = free_knot;
    }
    return false;
}

// The interior-point phase: Mehrotra's predictor-corrector method on the
// bounds of every knot that is free or held, from the last solve's values
// lifted to a floor, for a bounded number of factorisations whatever the
// number of knots at zero. Its answer decides the held set: a knot whose
// value is below its multiplier is held. Each step solves the system of
// the active-set solves with the bounds' barrier terms z / v added to the
// knots' diagonal (so no knot is held), whose knot pivots are then
// positive in every leading block.
status interior_point::run(const limits& bounds, std::int64_t total_solves) noexcept {
    const std::int64_t knots = l_.knots;
    if (kkt_.solves() == 0) {
        // The start needs a solve: the equality-constrained one.
        if (const status s = kkt_.may_factor(bounds, total_solves); s != status::ok) return s;
        if (!kkt_.solve()) return status::inaccurate;
    }
    double* const v = v_;
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
            kkt_.add_mass_pulls(j, ip_x_, sum, nullptr);
            ip_dual_[j] = sum;
            gap += v[j] * ip_z_[j];
        }
        gap /= static_cast<double>(count);
        if (step == 0) first_gap = gap;
        if (!(gap > interior_gap * first_gap)) break;
        if (const status s = kkt_.may_factor(bounds, total_solves); s != status::ok) return s;
        for (std::int64_t j = 0; j < knots; ++j) {
            ip_extra_[j] = state_[j] == free_knot ? ip_z_[j] / v[j] : 0.0;
        }
        if (!kkt_.factorise(ip_extra_)) return status::inaccurate;
        take_step(gap, count);
    }
    for (std::int64_t j = 0; j < knots; ++j) {
        if (state_[j] == free_knot && ip_extra_[j] > 0.0) state_[j] = held_knot;
    }
    if (!kkt_.mass_rows_independent()) {
        // Every held knot may be freed again to restore rank.
        exchange_.free_held_again();
    }
    return status::ok;
}

// One predictor-corrector step from v_, z and ip_x_ with the factors of
// the barrier system just made.
void interior_point::take_step(double gap, std::int64_t count) noexcept {
    const std::int64_t knots = l_.knots;
    double* const v = v_;
    // Predictor: the affine step, towards complementarity itself.
    newton_rhs(v, nullptr, 0.0, ip_affine_);
    kkt_.solve_factored(ip_affine_);
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
    kkt_.solve_factored(ip_step_);
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

// The right-hand side of a Newton step of the interior-point phase at
// values v (ip_x_ in the unknowns' places, dual residuals in ip_dual_):
// the dual residual and the complementarity term v z - target (with the
// predictor's product of steps when `affine` is given) on the knots, the
// mass residual on the bins.
void interior_point::newton_rhs(const double* v, const double* affine, double target, double* out) const noexcept {
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
        double sum = -kkt_.rhs(i);
        for (std::int64_t s = 0; s <= r; ++s) sum += a[s] * v[i * r + s];
        out[q] = -sum;
    }
}

// The affine step's multiplier changes (into dz) and the longest step
// along it, at most 1, that keeps values and multipliers non-negative.
double interior_point::boundary_step(const double* v, const double* dx, double* dz) const noexcept {
    for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
        if (state_[k.j] != free_knot) continue;
        dz[k.j] = -ip_z_[k.j] - ip_z_[k.j] * dx[k.pos] / v[k.j];
    }
    return std::min(1.0, step_length(v, dx, dz));
}

double interior_point::step_length(const double* v, const double* dx, const double* dz) const noexcept {
    double longest = HUGE_VAL;
    for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
        if (state_[k.j] != free_knot) continue;
        if (dx[k.pos] < 0.0) longest = std::min(longest, -v[k.j] / dx[k.pos]);
        if (dz[k.j] < 0.0) longest = std::min(longest, -ip_z_[k.j] / dz[k.j]);
    }
    return longest;
}

// The levels of the warm start: refine halved while it is even and the half
// at least coarsest_refine, each level's scaled widths (two of the finer
// level's summed) and the held set that it hands to the next finer level.
struct levels {
    static constexpr int most = 8;  // 256 = 4 * 2^6: seven levels at most
    int count = 1;                  // level 0 is the fit's own refine
    std::int64_t refine[most] = {};
    const double* h[most] = {};
    unsigned char* guess[most] = {};  // guess[k]: for level k, from level k + 1

    // With fine_h null, only takes the arrays from w.
    levels(const layout& l, const double* fine_h, workspace& w) noexcept {
        refine[0] = l.refine;
        h[0] = fine_h;
        while (count < most && refine[count - 1] % 2 == 0 && refine[count - 1] / 2 >= coarsest_refine) {
            const std::int64_t r = refine[count - 1] / 2;
            refine[count] = r;
            guess[count - 1] = w.take<unsigned char>(l.bins * refine[count - 1] + 1);
            double* const coarse = w.take(l.bins * r);
            if (coarse != nullptr && fine_h != nullptr) {
                for (std::int64_t j = 0; j < l.bins * r; ++j) coarse[j] = h[count - 1][2 * j] + h[count - 1][2 * j + 1];
            }
            h[count] = coarse;
            ++count;
        }
    }
};

// Level k's held set spread to level k - 1's knots: a knot between two
// coarse ones is held where both are.
void prolong(const unsigned char* coarse, std::int64_t bins, std::int64_t coarse_refine, unsigned char* fine) noexcept {
    const std::int64_t fine_knots = 2 * bins * coarse_refine + 1;
    for (std::int64_t j = 0; j < fine_knots; ++j) {
        const bool held = j % 2 == 0 ? coarse[j / 2] == held_knot
                                     : coarse[j / 2] == held_knot && coarse[j / 2 + 1] == held_knot;
        fine[j] = held ? held_knot : free_knot;
    }
}

}  // namespace

void take_scratch(const layout& l, workspace& w) noexcept {
    const levels ladder(l, nullptr, w);
    refined_fit(l, nullptr, nullptr, {}, w);
}

outcome solve(const layout& l, const double* h, const double* mass, const fixed_ends& fixed, workspace& w,
              const limits& bounds, double unit, double* values) noexcept {
    const bool bounded = bounds.total_solves >= 0;
    workspace again = w;
    // Under the default bounds, at refine ladder_refine and more, each
    // coarser level's held set is where the next finer one starts, as long as
    // each level settles within coarse_solves_allowed: most knots at zero are
    // then held from the first solve. The answer is that of the fine level
    // alone.
    const bool warm = !bounded && l.refine >= ladder_refine;
    const levels ladder(l, warm ? h : nullptr, w);
    std::int64_t coarse_solves = 0;
    const unsigned char* guess = nullptr;
    limits coarse_bounds = bounds;
    coarse_bounds.total_solves = coarse_solves_allowed;
    for (int k = warm ? ladder.count - 1 : 0; k > 0; --k) {
        workspace area = w;
        refined_fit level(layout(l.bins, ladder.refine[k]), ladder.h[k], mass, fixed, area);
        const outcome o = level.run(coarse_bounds, unit, values, guess, false);
        coarse_solves += o.solves;
        if (o.code == status::interrupted) return {status::interrupted, -1, coarse_solves};
        if (o.code != status::ok) {
            guess = nullptr;
            break;
        }
        prolong(level.states(), l.bins, ladder.refine[k], ladder.guess[k - 1]);
        guess = ladder.guess[k - 1];
    }
    outcome first = refined_fit(l, h, mass, fixed, w).run(bounds, unit, values, guess);
    first.solves += coarse_solves;
    if ((first.code != status::inaccurate && first.code != status::iteration_limit) ||
        (bounded && first.solves >= bounds.total_solves)) {
        return first;
    }
    // The same fit from the start with factors in double-double: slower, and
    // reached only where the solves in double could not be confirmed. A bound
    // given is shared by both; the default one holds for each.
    limits rest = bounds;
    if (bounded) rest.total_solves = bounds.total_solves - first.solves;
    refined_fit wide(l, h, mass, fixed, again);
    wide.use_wide_factors();
    outcome second = wide.run(rest, unit, values);
    second.solves += first.solves;
    if (second.code == status::inaccurate || (second.code == status::iteration_limit && !bounded)) {
        second.code = status::ill_conditioned;
    }
    return second;
}

}  // namespace zelvane::smooth_phases
