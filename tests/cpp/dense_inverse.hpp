// The inverse of a small dense matrix, by Gauss-Jordan elimination with
// partial pivoting: the reference that the kernels' inverses on their
// envelopes and bands are checked against.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace zelvane::testing {

inline std::vector<std::vector<double>> dense_inverse(std::vector<std::vector<double>> a) {
    const std::size_t n = a.size();
    std::vector<std::vector<double>> z(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) z[i][i] = 1.0;
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r) {
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        }
        std::swap(a[c], a[pivot]);
        std::swap(z[c], z[pivot]);
        for (std::size_t r = 0; r < n; ++r) {
            if (r == c) continue;
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = 0; k < n; ++k) {
                a[r][k] -= f * a[c][k];
                z[r][k] -= f * z[c][k];
            }
        }
    }
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t k = 0; k < n; ++k) z[r][k] /= a[r][r];
    }
    return z;
}

}  // namespace zelvane::testing
