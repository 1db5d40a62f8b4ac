// The counts fit's Hessian as a band, by Cholesky: see counts_hessian.hpp.
#include <algorithm>

#include "kernels/counts_hessian.hpp"

namespace zelvane::counts_hessian {

void band_hessian::take_scratch(const terms& t, std::int64_t variables, workspace& w) noexcept {
    t_ = &t;
    half_ = static_cast<int>(std::max<std::int64_t>(2, t.refine));
    w.take_each(variables * band_cholesky::row_width(half_), factor_, inverse_);
}

status band_hessian::factor(double lambda) noexcept {
    const band_cholesky::band h = factor_band();
    std::fill(factor_, factor_ + t_->variables * band_cholesky::row_width(half_), 0.0);
    for (std::int64_t j = 0; j < t_->knots; ++j) {
        for (std::int64_t e = 0; e <= std::min<std::int64_t>(2, j); ++e) {
            h.at(j, j - e) = lambda * t_->curvature[3 * j + 2 - e];
        }
    }
    for (std::int64_t i = 0; i < t_->bins; ++i) {
        const double* const a = t_->weight + i * (t_->refine + 1);
        const std::int64_t first = i * t_->refine;
        for (std::int64_t s = 0; s <= t_->refine; ++s) {
            const double ws = t_->bin_weight[i] * a[s];
            for (std::int64_t t = 0; t <= s; ++t) h.at(first + s, first + t) += ws * a[t];
        }
    }
    for (int k = 0; k < max_tails; ++k) {
        if (t_->tail_weight[k] != 0.0) h.at(t_->tails[k].variable, t_->tails[k].variable) += t_->tail_weight[k];
    }
    for (std::int64_t j = 0; j < t_->variables; ++j) {
        if (t_->state[j] == free_knot) continue;
        for (std::int64_t k = std::max<std::int64_t>(0, j - half_); k < j; ++k) h.at(j, k) = 0.0;
        for (std::int64_t k = j + 1; k <= std::min(t_->variables - 1, j + half_); ++k) h.at(k, j) = 0.0;
        h.at(j, j) = 1.0;
    }
    return band_cholesky::factor(h) < 0 ? status::ok : status::inaccurate;
}

void band_hessian::solve(double* x) noexcept { band_cholesky::solve(factor_band(), x); }

void band_hessian::solve_pair(double* x, double* y) noexcept { band_cholesky::solve_pair(factor_band(), x, y); }

double band_hessian::energy(double, const double* d) const noexcept { return band_cholesky::energy(factor_band(), d); }

void band_hessian::invert() noexcept { band_cholesky::inverse_band(factor_band(), inverse_band()); }

double band_hessian::inverse_at(std::int64_t j) const noexcept { return inverse_band().at(j, j); }

double band_hessian::bin_inverse(std::int64_t i) const noexcept {
    const band_cholesky::band z = inverse_band();
    const double* const a = t_->weight + i * (t_->refine + 1);
    const std::int64_t first = i * t_->refine;
    double inner = 0.0;
    for (std::int64_t s = 0; s <= t_->refine; ++s) {
        const std::int64_t js = first + s;
        if (t_->state[js] != free_knot) continue;
        double row = 0.5 * a[s] * z.at(js, js);
        for (std::int64_t t = 0; t < s; ++t) {
            if (t_->state[first + t] == free_knot) row += a[t] * z.at(js, first + t);
        }
        inner += 2.0 * a[s] * row;
    }
    return inner;
}

}  // namespace zelvane::counts_hessian
