// Band Cholesky, its solves and the band of the inverse.
//
// The factorisation and the solves are compiled for each half width up to
// max_fixed_half with the width as a constant, so that the inner loops of the
// rows away from the first ones have fixed trip counts and unroll; wider bands
// take the same code with a run-time width.
//
// The inverse's band follows from Z = L^-T L^-1, read as L' Z = L^-1: row i
// of that identity, for columns j >= i, gives
//   Z(i, j) = (delta_ij / L(i, i) - sum_{k = i+1}^{i+half} L(k, i) Z(k, j)) / L(i, i),
// and every Z(k, j) it needs lies within the band and in a later row (or, for
// j = i, in the same row at a later column). Rows are done from the last up,
// the columns of each from the far end of the band down to the diagonal.
#include "kernels/band_cholesky.hpp"

#include <algorithm>
#include <cmath>

namespace zelvane::band_cholesky {

namespace {

constexpr int max_fixed_half = 8;

// Half == 0: the width is m.half, read at run time.
template <int Half>
std::int64_t factor_rows(const band& m) noexcept {
    const std::int64_t n = m.n, half = Half > 0 ? Half : m.half, stride = half + 1;
    double* const a = m.a;
    for (std::int64_t i = 0; i < n; ++i) {
        // row[d] is element (i, i - half + d); rows above the first are padding.
        double* const row = a + i * stride;
        const std::int64_t skip = std::max<std::int64_t>(0, half - i);
        for (std::int64_t d = skip; d <= half; ++d) {
            const std::int64_t j = i - half + d;
            const double* const other = a + j * stride;  // other[e] is element (j, j - half + e)
            // Elements (i, k) and (j, k) for k from max(i, j) - half = i - half + skip up to j - 1.
            double s = row[d];
            for (std::int64_t k = skip; k < d; ++k) {
                s -= row[k] * other[k + half - d];
            }
            if (d < half) {
                row[d] = s / other[half];
            } else if (s > 0.0) {
                row[half] = std::sqrt(s);
            } else {
                return i;
            }
        }
    }
    return -1;
}

template <int Half>
void solve_rows(const band& m, double* x) noexcept {
    const std::int64_t n = m.n, half = Half > 0 ? Half : m.half, stride = half + 1;
    const double* const a = m.a;
    for (std::int64_t i = 0; i < n; ++i) {
        const double* const row = a + i * stride;
        const std::int64_t skip = std::max<std::int64_t>(0, half - i);
        double s = x[i];
        for (std::int64_t d = skip; d < half; ++d) s -= row[d] * x[i - half + d];
        x[i] = s / row[half];
    }
    for (std::int64_t i = n - 1; i >= 0; --i) {
        const std::int64_t last = std::min(n - 1 - i, half);
        double s = x[i];
        for (std::int64_t e = 1; e <= last; ++e) s -= a[(i + e) * stride + half - e] * x[i + e];
        x[i] = s / a[i * stride + half];
    }
}

template <int Half>
void solve_pair_rows(const band& m, double* x, double* y) noexcept {
    const std::int64_t n = m.n, half = Half > 0 ? Half : m.half, stride = half + 1;
    const double* const a = m.a;
    for (std::int64_t i = 0; i < n; ++i) {
        const double* const row = a + i * stride;
        const std::int64_t skip = std::max<std::int64_t>(0, half - i);
        double s = x[i], t = y[i];
        for (std::int64_t d = skip; d < half; ++d) {
            s -= row[d] * x[i - half + d];
            t -= row[d] * y[i - half + d];
        }
        x[i] = s / row[half];
        y[i] = t / row[half];
    }
    for (std::int64_t i = n - 1; i >= 0; --i) {
        const std::int64_t last = std::min(n - 1 - i, half);
        double s = x[i], t = y[i];
        for (std::int64_t e = 1; e <= last; ++e) {
            const double l = a[(i + e) * stride + half - e];
            s -= l * x[i + e];
            t -= l * y[i + e];
        }
        x[i] = s / a[i * stride + half];
        y[i] = t / a[i * stride + half];
    }
}

template <int Half>
std::int64_t dispatch_factor(const band& m) noexcept {
    if constexpr (Half > max_fixed_half) {
        return factor_rows<0>(m);
    } else {
        return m.half == Half ? factor_rows<Half>(m) : dispatch_factor<Half + 1>(m);
    }
}

template <int Half>
void dispatch_solve(const band& m, double* x) noexcept {
    if constexpr (Half > max_fixed_half) {
        solve_rows<0>(m, x);
    } else if (m.half == Half) {
        solve_rows<Half>(m, x);
    } else {
        dispatch_solve<Half + 1>(m, x);
    }
}

template <int Half>
void dispatch_solve_pair(const band& m, double* x, double* y) noexcept {
    if constexpr (Half > max_fixed_half) {
        solve_pair_rows<0>(m, x, y);
    } else if (m.half == Half) {
        solve_pair_rows<Half>(m, x, y);
    } else {
        dispatch_solve_pair<Half + 1>(m, x, y);
    }
}

}  // namespace

std::int64_t factor(const band& m) noexcept { return dispatch_factor<1>(m); }

void solve_pair(const band& m, double* x, double* y) noexcept { dispatch_solve_pair<1>(m, x, y); }

void solve(const band& m, double* x) noexcept { dispatch_solve<1>(m, x); }

double energy(const band& m, const double* x) noexcept {
    const std::int64_t n = m.n, half = m.half;
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        double y = 0.0;
        for (std::int64_t k = i; k <= std::min(n - 1, i + half); ++k) y += m.at(k, i) * x[k];
        sum += y * y;
    }
    return sum;
}

bool inverse_band(const band& m, const band& z, const std::atomic<bool>* stop) noexcept {
    const std::int64_t n = m.n, half = m.half;
    // Z(k, j) for k, j within half of each other, from the lower triangle.
    auto inverse = [&](std::int64_t k, std::int64_t j) -> double& { return k >= j ? z.at(k, j) : z.at(j, k); };
    for (std::int64_t i = n - 1; i >= 0; --i) {
        if (stop != nullptr && i % stop_rows == 0 && stop->load(std::memory_order_relaxed)) {
            return false;
        }
        const std::int64_t last = std::min(n - 1, i + half);
        const double pivot = m.at(i, i);
        for (std::int64_t j = last; j >= i; --j) {
            double s = j == i ? 1.0 / pivot : 0.0;
            for (std::int64_t k = i + 1; k <= last; ++k) {
                s -= m.at(k, i) * inverse(k, j);
            }
            inverse(j, i) = s / pivot;
        }
    }
    return true;
}

}  // namespace zelvane::band_cholesky
