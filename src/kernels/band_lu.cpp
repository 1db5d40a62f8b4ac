// Band LU with partial pivoting: the elimination of the classical band
// algorithm, restricted to the places that can be nonzero. For the common half
// widths the factorisation is compiled with the width as a constant, so that
// the steps away from the last rows have fixed trip counts and unroll; any
// other width goes through the same template with a run-time one. Solving is
// bound by its chain of dependent updates rather than by loop overhead, and
// takes the width at run time.
#include "kernels/band_lu.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zelvane::band_lu {

namespace {

// One elimination step at k over rows k..k+rows and columns k..k+cols.
// Returns false when the pivot column is zero.
template <int Width, bool Full>
bool eliminate(double* a, std::int64_t stride, int half, std::int64_t k, std::int64_t rows, std::int64_t cols,
               unsigned char* swap) noexcept {
    if constexpr (Full) {
        rows = Width;
        cols = 2 * Width;
    }
    // Element (i, j) of row i sits at a[i * stride + j - i + half].
    double* const rk = a + k * stride + half;  // rk[d] is element (k, k + d)
    std::int64_t p = 0;
    double best = std::fabs(rk[0]);
    for (std::int64_t d = 1; d <= rows; ++d) {
        const double candidate = std::fabs(rk[d * stride - d]);
        if (candidate > best) {
            best = candidate;
            p = d;
        }
    }
    swap[k] = static_cast<unsigned char>(p);
    if (!(best > 0.0)) {
        return false;
    }
    if (p != 0) {
        double* const rp = rk + p * stride - p;
        for (std::int64_t d = 0; d <= cols; ++d) {
            std::swap(rk[d], rp[d]);
        }
    }
    const double inverse = 1.0 / rk[0];
    rk[0] = inverse;
    for (std::int64_t e = 1; e <= rows; ++e) {
        double* const ri = rk + e * stride - e;  // ri[d] is element (k + e, k + d)
        const double l = ri[0] * inverse;
        ri[0] = l;
        for (std::int64_t d = 1; d <= cols; ++d) {
            ri[d] -= l * rk[d];
        }
    }
    return true;
}

// Width == 0 means "take the width from the matrix".
template <int Width>
std::int64_t factor_band(const band& m, unsigned char* swap) noexcept {
    const int half = Width > 0 ? Width : m.half;
    const std::int64_t n = m.n, stride = row_width(half);
    std::int64_t k = 0;
    for (; k + 2 * half < n; ++k) {
        if (!eliminate<Width, Width != 0>(m.a, stride, half, k, half, 2 * half, swap)) return k;
    }
    for (; k < n; ++k) {
        const std::int64_t rows = std::min<std::int64_t>(half, n - 1 - k);
        if (!eliminate<Width, false>(m.a, stride, half, k, rows, n - 1 - k, swap)) return k;
    }
    return -1;
}

void solve_any(const band& m, const unsigned char* swap, double* x) noexcept {
    const int half = m.half;
    const std::int64_t n = m.n, stride = row_width(half);
    const double* const a = m.a;
    for (std::int64_t k = 0; k < n; ++k) {
        const std::int64_t p = k + swap[k];
        if (p != k) {
            std::swap(x[k], x[p]);
        }
        const double xk = x[k];
        const double* const below = a + k * stride + half;  // below[e * (stride - 1)] is element (k + e, k)
        for (std::int64_t e = 1; e <= half && k + e < n; ++e) x[k + e] -= below[e * (stride - 1)] * xk;
    }
    for (std::int64_t k = n - 1; k >= 0; --k) {
        const double* const rk = a + k * stride + half;  // rk[d] is element (k, k + d)
        double s = x[k];
        for (std::int64_t d = std::min<std::int64_t>(2 * half, n - 1 - k); d >= 1; --d) s -= rk[d] * x[k + d];
        x[k] = s * rk[0];
    }
}

}  // namespace

std::int64_t factor(const band& m, unsigned char* swap) noexcept {
    switch (m.half) {
        case 3: return factor_band<3>(m, swap);
        case 4: return factor_band<4>(m, swap);
        default: return factor_band<0>(m, swap);
    }
}

void solve(const band& m, const unsigned char* swap, double* x) noexcept { solve_any(m, swap, x); }

}  // namespace zelvane::band_lu
