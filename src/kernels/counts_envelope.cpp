// The counts fit's Hessian through a system with one unknown per bin, on
// border_ldl's envelope: see counts_hessian.hpp.
//
// The bins' terms sum_i w_i a_i a_i' (w_i = q_i / p_i^2) would fill H with a
// dense block per bin, refine^2 entries. Instead each bin gets an unknown
// y_i = w_i a_i . z / lambda of its own: the system
//     [ G + T / lambda   A'              ] [z]   [b / lambda]
//     [ A                -lambda W^-1    ] [y] = [0         ]
// (T the tied tails' terms on the end knots) has z = H^-1 b, and the layout
// of border_ldl (knots coupled two places on, each bin's row to its knots),
// factorised in O(knots). Written this way it tends, as lambda falls, to the
// smooth fit's own system rather than to a singular one. An empty bin's row
// is held. A free tail's own variable is coupled to nothing: its entry of H
// is kept apart (tail_diagonal_).
//
// The indefinite system is solved less accurately than a Cholesky factor of
// H would solve, so each solve is refined with H's own residual
// (refinements rounds): the Newton steps then still reach the decrements
// that end them, and a known mean is still met to 1e-9 where lambda is tiny.
//
// The knots' block of the system's inverse is lambda H^-1, and its bins'
// entries give a_i' H^-1 a_i: lambda Z_yy = W A H^-1 A' W - W, so
// a_i' H^-1 a_i = (1 + lambda Z_ii / w_i) / w_i.
#include <algorithm>
#include <bit>

#include "kernels/counts_hessian.hpp"

namespace zelvane::counts_hessian {

namespace {

// Rounds of refinement of each solve with H's own residual.
constexpr int refinements = 2;

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

}  // namespace

void envelope_hessian::take_scratch(const terms& t, std::int64_t variables, workspace& w) noexcept {
    t_ = &t;
    const std::int64_t order = border_ldl::order(t.bins, t.refine), border = t.bins * (t.refine + 2);
    ldl_ = {t.bins, t.refine, w.take(3 * order), w.take(border), w.take(order)};
    inverse_ldl_ = {t.bins, t.refine, w.take(3 * order), w.take(border), w.take(order)};
    w.take_each(order, x_, scale_);
    w.take_each(variables, residual_, correction_);
}

// Every row and column is scaled by a power of two (exactly, so the scaling
// itself rounds nothing): a knot's by about the root of its diagonal entry, a
// bin's so that its largest entry is about 1. Widths that differ by orders of
// magnitude would otherwise leave the factorisation, which does not pivot,
// far less accurate.
status envelope_hessian::factor(double lambda) noexcept {
    const std::int64_t order = ldl_.size(), width = t_->refine + 2;
    factored_lambda_ = lambda;
    std::fill(scale_, scale_ + order, 1.0);
    std::fill(ldl_.near, ldl_.near + 3 * order, 0.0);
    std::fill(ldl_.border, ldl_.border + t_->bins * width, 0.0);
    std::fill(ldl_.diagonal, ldl_.diagonal + order, 1.0);  // held rows keep the 1
    for (std::int64_t j = 0; j < t_->knots; ++j) {
        if (t_->state[j] != free_knot) continue;
        const std::int64_t p = border_ldl::knot_position(j, t_->refine);
        ldl_.diagonal[p] = t_->curvature[3 * j + 2];
    }
    for (int k = 0; k < max_tails; ++k) {
        const std::int64_t j = t_->tails[k].variable;
        if (t_->tail_weight[k] == 0.0 || t_->state[j] != free_knot) continue;
        if (j < t_->knots) {
            ldl_.diagonal[border_ldl::knot_position(j, t_->refine)] += t_->tail_weight[k] / lambda;
        } else {
            tail_diagonal_[j - t_->knots] = t_->tail_weight[k];
        }
    }
    for (std::int64_t j = t_->knots; j < t_->variables; ++j) {
        if (t_->state[j] != free_knot) tail_diagonal_[j - t_->knots] = 1.0;
    }
    for (std::int64_t j = 0; j < t_->knots; ++j) {
        if (t_->state[j] != free_knot) continue;
        const std::int64_t p = border_ldl::knot_position(j, t_->refine);
        scale_[p] = root_scale(ldl_.diagonal[p]);
        ldl_.diagonal[p] *= scale_[p] * scale_[p];
        for (std::int64_t e = 1; e <= std::min<std::int64_t>(2, j); ++e) {
            if (t_->state[j - e] != free_knot) continue;
            const std::int64_t o = border_ldl::knot_position(j - e, t_->refine);
            ldl_.near[3 * p + (o - p + 3)] = scale_[p] * t_->curvature[3 * j + 2 - e] * scale_[o];
        }
    }
    for (std::int64_t i = 0; i < t_->bins; ++i) {
        if (t_->bin_weight[i] == 0.0) continue;
        const std::int64_t q = border_ldl::bin_position(i, t_->refine);
        double* const row = ldl_.border + i * width;
        const double* const a = t_->weight + i * (t_->refine + 1);
        double largest = 0.0;
        for (std::int64_t s = 0; s <= t_->refine; ++s) {
            if (t_->state[i * t_->refine + s] != free_knot) continue;
            const std::int64_t p = border_ldl::knot_position(i, s, t_->refine);
            row[p - (q - width)] = a[s] * scale_[p];
            largest = std::max(largest, row[p - (q - width)]);
        }
        scale_[q] = largest > 0.0 ? power_scale(largest) : 1.0;
        for (std::int64_t c = 0; c < width; ++c) row[c] *= scale_[q];
        ldl_.diagonal[q] = -lambda / t_->bin_weight[i] * scale_[q] * scale_[q];
    }
    ldl_.stop = t_->stop;
    const std::int64_t failed = border_ldl::factor(ldl_);
    if (failed == border_ldl::stopped) return status::interrupted;
    return failed == -1 ? status::ok : status::inaccurate;
}

void envelope_hessian::solve(double* x) noexcept {
    double* const rhs = residual_;
    std::copy(x, x + t_->variables, rhs);
    solve_system(x);
    for (int round = 0; round < refinements; ++round) {
        apply(x, correction_);
        for (std::int64_t j = 0; j < t_->variables; ++j) correction_[j] = rhs[j] - correction_[j];
        solve_system(correction_);
        for (std::int64_t j = 0; j < t_->variables; ++j) x[j] += correction_[j];
    }
}

void envelope_hessian::solve_pair(double* x, double* y) noexcept {
    solve(x);
    solve(y);
}

void envelope_hessian::solve_system(double* x) noexcept {
    const std::int64_t order = ldl_.size();
    std::fill(x_, x_ + order, 0.0);
    for (std::int64_t j = 0; j < t_->knots; ++j) {
        const std::int64_t p = border_ldl::knot_position(j, t_->refine);
        x_[p] = scale_[p] * x[j] / factored_lambda_;
    }
    border_ldl::solve(ldl_, x_);
    for (std::int64_t j = 0; j < t_->knots; ++j) {
        const std::int64_t p = border_ldl::knot_position(j, t_->refine);
        x[j] = scale_[p] * x_[p];
    }
    for (std::int64_t j = t_->knots; j < t_->variables; ++j) x[j] /= tail_diagonal_[j - t_->knots];
}

// out = H z for the last factorisation's H (held variables: z's entry).
void envelope_hessian::apply(const double* z, double* out) const noexcept {
    std::fill(out, out + t_->variables, 0.0);
    t_->add_curvature(factored_lambda_, z, out);
    for (std::int64_t i = 0; i < t_->bins; ++i) {
        if (t_->bin_weight[i] == 0.0) continue;
        const double* const a = t_->weight + i * (t_->refine + 1);
        double along = 0.0;
        for (std::int64_t s = 0; s <= t_->refine; ++s) along += a[s] * z[i * t_->refine + s];
        for (std::int64_t s = 0; s <= t_->refine; ++s) out[i * t_->refine + s] += t_->bin_weight[i] * along * a[s];
    }
    for (int k = 0; k < max_tails; ++k) {
        const tail_bin& t = t_->tails[k];
        if (t_->tail_weight[k] == 0.0) continue;
        out[t.variable] += t_->tail_weight[k] * z[t.variable];
    }
    for (std::int64_t j = 0; j < t_->variables; ++j) {
        if (t_->state[j] != free_knot) out[j] = z[j];
    }
}

void envelope_hessian::invert() noexcept { border_ldl::inverse(ldl_, inverse_ldl_); }

double envelope_hessian::inverse_at(std::int64_t j) const noexcept {
    if (j >= t_->knots) return 1.0 / tail_diagonal_[j - t_->knots];
    const std::int64_t p = border_ldl::knot_position(j, t_->refine);
    return scale_[p] * scale_[p] * inverse_ldl_.diagonal[p] / factored_lambda_;
}

double envelope_hessian::bin_inverse(std::int64_t i) const noexcept {
    const double w = t_->bin_weight[i];
    const std::int64_t q = border_ldl::bin_position(i, t_->refine);
    return (1.0 + factored_lambda_ * scale_[q] * scale_[q] * inverse_ldl_.diagonal[q] / w) / w;
}

// As a sum of squares (no cancellation however small it is): lambda sum_t
// w_t (stencil_t . d)^2 plus each bin's and tail's w (a . d)^2.
double envelope_hessian::energy(double lambda, const double* d) const noexcept {
    double sum = lambda * t_->curvature_of(d);
    for (std::int64_t i = 0; i < t_->bins; ++i) {
        if (t_->bin_weight[i] == 0.0) continue;
        const double* const a = t_->weight + i * (t_->refine + 1);
        double along = 0.0;
        for (std::int64_t s = 0; s <= t_->refine; ++s) along += a[s] * d[i * t_->refine + s];
        sum += t_->bin_weight[i] * along * along;
    }
    for (int k = 0; k < max_tails; ++k) {
        const tail_bin& t = t_->tails[k];
        if (t.share == 0.0) continue;
        const double along = t.weight * d[t.variable];
        sum += t.share / (t_->p[t_->bins + k] * t_->p[t_->bins + k]) * along * along;
    }
    return sum;
}

}  // namespace zelvane::counts_hessian
