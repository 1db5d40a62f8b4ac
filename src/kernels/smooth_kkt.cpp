// The KKT system of the smooth fit on refined knots: see smooth_kkt.hpp.
#include "kernels/smooth_kkt.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace zelvane::smooth_kkt {

namespace {

// Largest mass error accepted, as a share of the total mass.
constexpr double mass_tolerance = 1e-13;
// Steps of iterative refinement tried before an answer counts as inaccurate.
constexpr int max_polish_steps = 3;

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

}  // namespace

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

system::system(const layout& l, const double* h, const double* mass, const fixed_ends& fixed, workspace& w) noexcept
    : l_(l), h_(h), mass_(mass), fixed_(fixed) {
    const std::int64_t n = l.order, knots = l.knots;
    scale_ = w.take(n);
    stencil_ = w.take(4 * knots);
    weight_ = w.take(l.bins * (l.refine + 1));
    curvature_ = w.take(3 * knots);
    near_ = w.take(3 * n);
    border_ = w.take(l.bins * (l.refine + 2));
    diagonal_ = w.take(n);
    w.take_each(n, y_, res_, mag_);
    u_ = w.take(knots);
    state_ = w.take<unsigned char>(knots);
    using smooth_wide::wide;
    near_w_ = w.take<wide>(3 * n);
    border_w_ = w.take<wide>(l.bins * (l.refine + 2));
    w.take_each(n, diagonal_w_, x_w_);
}

bool system::set_up(const std::atomic<bool>* stop) noexcept {
    stop_ = stop;
    scale();
    return pin_zero_bins() && ends_feasible();
}

// Scales, curvature coefficients, the curvature matrix's three lower
// diagonals and the mass weights. The diagonal of the unscaled curvature
// matrix and then the knots' scales pass through res_ and mag_, indexed by
// knot.
void system::scale() noexcept {
    const std::int64_t knots = l_.knots, r = l_.refine;
    double* const diagonal = res_;
    std::fill(diagonal, diagonal + knots, 0.0);
    for (std::int64_t t = 1; t + 1 < knots; ++t) {
        double* const w = stencil_ + 4 * t;
        smooth_fit::curvature_stencil(h_, t, w);
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
            a[s] = smooth_fit::trapezoid_weight(h_, i, s, r) * knot_scale[i * r + s];
            largest = std::max(largest, a[s]);
        }
        scale_[q] = mass_[i] > 0.0 ? inverse_scale(largest) : 1.0;
        for (std::int64_t s = 0; s <= r; ++s) a[s] *= scale_[q];
    }
}

// Pins the knots of empty bins at zero and holds the fixed ends; false
// when a fixed end is positive beside an empty bin.
bool system::pin_zero_bins() noexcept {
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
bool system::ends_feasible() const noexcept {
    const std::int64_t last = l_.bins - 1, knots = l_.knots;
    const double left = fixed_.left >= 0.0 ? 0.5 * h_[0] * fixed_.left : 0.0;
    const double right = fixed_.right >= 0.0 ? 0.5 * h_[knots - 2] * fixed_.right : 0.0;
    if (last == 0) return !(left + right > mass_[0]);
    return !(left > mass_[0]) && !(right > mass_[last]);
}

// A fixed knot's value in the scaled unknowns, or 0 for any other.
double system::fixed_value(std::int64_t j, std::int64_t pos) const noexcept {
    if (state_[j] != fixed_knot) return 0.0;
    return (j == 0 ? fixed_.left : fixed_.right) / scale_[pos];
}

// Whether the mass rows restricted to the free knots keep full rank: each
// positive bin needs a free knot of its own, an interior one or else an
// edge not taken by its left neighbour. Bins and knots form a path, so
// matching from the left, an edge-only bin taking its left edge where it
// can, finds such an assignment whenever one exists.
bool system::mass_rows_independent() const noexcept {
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
double system::multiplier(std::int64_t j, double& size) const noexcept {
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

void system::add_mass_pulls(std::int64_t j, const double* x, double& sum, double* size) const noexcept {
    const std::int64_t r = l_.refine, own = j / r, s = j % r;
    for (std::int64_t i = (s == 0 ? own - 1 : own); i <= std::min(own, l_.bins - 1); ++i) {
        if (i < 0 || mass_[i] == 0.0) continue;
        const double pull = weight_[i * (r + 1) + (j - i * r)] * x[l_.mass_pos(i)];
        sum += pull;
        if (size != nullptr) *size += std::fabs(pull);
    }
}

bool system::violates(std::int64_t j, std::int64_t pos) const noexcept {
    if (state_[j] == free_knot) return y_[pos] < 0.0;
    if (state_[j] != held_knot) return false;
    double size = 0.0;
    const double m = multiplier(j, size);
    return m < -gradient_tolerance * size;
}

status system::may_factor(const limits& bounds, std::int64_t total_solves) const noexcept {
    if (solves_ >= total_solves) return status::iteration_limit;
    if (bounds.stop != nullptr && bounds.stop->load(std::memory_order_relaxed)) return status::interrupted;
    return status::ok;
}

void system::solve_factored(double* x) const noexcept {
    if (!wide_) {
        border_ldl::solve(factors(), x);
        return;
    }
    std::copy(x, x + l_.order, x_w_);
    border_ldl::solve(wide_factors(), x_w_);
    for (std::int64_t q = 0; q < l_.order; ++q) x[q] = static_cast<double>(x_w_[q]);
}

bool system::solve() noexcept {
    if (!factorise(nullptr)) {
        return false;
    }
    solve_factored(y_);
    return true;
}

bool system::factorise(const double* extra) noexcept {
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
    if (wide_) {
        const std::int64_t n = l_.order;
        std::copy(near_, near_ + 3 * n, near_w_);
        std::copy(border_, border_ + l_.bins * (r + 2), border_w_);
        std::copy(diagonal_, diagonal_ + n, diagonal_w_);
        return border_ldl::factor(wide_factors()) == -1;
    }
    return border_ldl::factor(factors()) == -1;
}

// Residual of every row of the unheld scaled system at y_ (res_), and the
// sum of the magnitudes of the terms that make it up (mag_).
void system::residuals() noexcept {
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
bool system::optimal() const noexcept {
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
void system::polish() noexcept {
    for (std::int64_t q = 0; q < l_.order; ++q) res_[q] = -res_[q];
    for (knot_cursor k{l_}; k.j < l_.knots; k.next()) {
        if (state_[k.j] != free_knot) res_[k.pos] = 0.0;
    }
    for (std::int64_t i = 0; i < l_.bins; ++i) {
        if (mass_[i] == 0.0) res_[l_.mass_pos(i)] = 0.0;
    }
    solve_factored(res_);
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

outcome system::finish(double unit, double* values) noexcept {
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

}  // namespace zelvane::smooth_kkt
