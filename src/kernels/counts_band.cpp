// The counts fit's Hessian as a band, by Cholesky: see counts_hessian.hpp.
#include <algorithm>
#include <cmath>

#include "kernels/counts_hessian.hpp"

namespace zelvane::counts_hessian {

namespace {

// A Cholesky factor with a pivot whose square is below this share of its
// diagonal entry of H has lost as many digits to cancellation: Newton's
// steps from it crawl, and the factor by rotations is taken instead.
constexpr double cancellation_limit = 1e-9;

}  // namespace

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
    // Each pivot's square against H's diagonal entry: what is left of it
    // after the cancellation of the factorisation.
    for (std::int64_t j = 0; j < t_->variables; ++j) inverse_[j] = h.at(j, j);
    const bool factored = band_cholesky::factor(h) < 0;
    if (factored) {
        bool sound = true;
        for (std::int64_t j = 0; j < t_->variables && sound; ++j) {
            sound = h.at(j, j) * h.at(j, j) >= cancellation_limit * inverse_[j];
        }
        if (sound || lambda < rotations_from_) return status::ok;
    }
    return lambda >= rotations_from_ ? factor_by_rotations(lambda) : status::inaccurate;
}

// H = B'B, B's rows the square roots of its terms: each curvature stencil
// scaled by the root of lambda w_t, each bin's weights by the root of w_i, a
// tail's term and a held variable's unit on their own variable. Givens
// rotations take the rows, in the order of their first column, into an upper
// triangular R (R'R = H) of H's band, stored as L = R'. Cholesky of H formed
// loses what the curvature of the narrowest bins (lambda / h^3) swamps in H's
// entries, the likelihood's curvature along the linear functions (which the
// curvature measure does not see); B keeps it, each stencil applied to a
// linear function rounding to about lambda eps^2 / h^3 of the squared norm,
// not eps lambda / h^3. Returns inaccurate where R has a zero on its diagonal.
status band_hessian::factor_by_rotations(double lambda) noexcept {
    const band_cholesky::band l = factor_band();
    const std::int64_t n = t_->variables, half = half_;
    std::fill(factor_, factor_ + n * band_cholesky::row_width(half_), 0.0);
    // r(k, e) is R(k, k + e) = L(k + e, k).
    auto r = [&](std::int64_t k, std::int64_t e) -> double& { return l.at(k + e, k); };
    double* const row = inverse_;  // the row being taken in, columns first ... first + half
    auto take = [&](std::int64_t first) {
        for (std::int64_t k = first; k < n; ++k) {
            const std::int64_t span = std::min(half, n - 1 - k);
            double& pivot = r(k, 0);
            if (row[0] != 0.0) {
                if (pivot == 0.0) {
                    for (std::int64_t e = 0; e <= span; ++e) r(k, e) = row[e];
                    return;
                }
                const double length = std::sqrt(pivot * pivot + row[0] * row[0]);
                const double c = pivot / length, s = row[0] / length;
                pivot = length;
                for (std::int64_t e = 1; e <= span; ++e) {
                    const double above = r(k, e);
                    r(k, e) = c * above + s * row[e];
                    row[e] = c * row[e] - s * above;
                }
            }
            // Slide the row one column on.
            bool rest = false;
            for (std::int64_t e = 0; e < half; ++e) {
                row[e] = row[e + 1];
                rest = rest || row[e] != 0.0;
            }
            row[half] = 0.0;
            if (!rest) return;
        }
    };
    auto free = [&](std::int64_t j) { return t_->state[j] == free_knot; };
    // Takes in row[0 ... count - 1], a row from column k, less its held
    // columns and from its first free one.
    auto take_from = [&](std::int64_t k, std::int64_t count) {
        std::int64_t lead = -1;
        for (std::int64_t e = 0; e < count; ++e) {
            if (!free(k + e)) row[e] = 0.0;
            if (lead < 0 && row[e] != 0.0) lead = e;
        }
        if (lead < 0) return;
        std::copy(row + lead, row + count, row);
        std::fill(row + count - lead, row + half + 1, 0.0);
        take(k + lead);
    };
    for (std::int64_t k = 0; k < n; ++k) {
        // A few milliseconds of rotations between reads of the stop flag at the widest bands.
        if (t_->stop != nullptr && k % band_cholesky::stop_rows == 0 && t_->stop->load(std::memory_order_relaxed)) {
            return status::interrupted;
        }
        if (!free(k)) {
            std::fill(row, row + half + 1, 0.0);
            row[0] = 1.0;
            take(k);
        }
        // The stencil of the inner knot k + 1 starts here.
        if (k + 2 < t_->knots) {
            const double* const w = t_->stencil + 4 * (k + 1);
            const double root = std::sqrt(lambda * w[3]);
            for (int e = 0; e < 3; ++e) row[e] = root * w[e];
            take_from(k, 3);
        }
        if (k + 1 < t_->knots && k % t_->refine == 0 && t_->bin_weight[k / t_->refine] != 0.0) {
            const std::int64_t i = k / t_->refine;
            const double root = std::sqrt(t_->bin_weight[i]);
            const double* const a = t_->weight + i * (t_->refine + 1);
            for (std::int64_t s = 0; s <= t_->refine; ++s) row[s] = root * a[s];
            take_from(k, t_->refine + 1);
        }
        for (int s = 0; s < max_tails; ++s) {
            if (t_->tail_weight[s] == 0.0 || t_->tails[s].variable != k || !free(k)) continue;
            row[0] = std::sqrt(t_->tail_weight[s]);
            take_from(k, 1);
        }
    }
    for (std::int64_t k = 0; k < n; ++k) {
        if (!(r(k, 0) != 0.0 && std::isfinite(r(k, 0)))) return status::inaccurate;
        if (r(k, 0) < 0.0) {
            for (std::int64_t e = 0; e <= std::min(half, n - 1 - k); ++e) r(k, e) = -r(k, e);
        }
    }
    return status::ok;
}

void band_hessian::solve(double* x) noexcept { band_cholesky::solve(factor_band(), x); }

void band_hessian::solve_pair(double* x, double* y) noexcept { band_cholesky::solve_pair(factor_band(), x, y); }

double band_hessian::energy(double, const double* d) const noexcept { return band_cholesky::energy(factor_band(), d); }

bool band_hessian::invert() noexcept { return band_cholesky::inverse_band(factor_band(), inverse_band(), t_->stop); }

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
