// Cholesky factorisation of a symmetric positive definite band matrix, in
// place, and the band of its inverse.
//
// Storage is row by row, lower triangle only: row i keeps columns
// i - half ... i, the diagonal last. factor() overwrites it with L, where
// A = L L'; L has the same band, so nothing fills in. inverse_band() then
// writes Z = A^-1 on the places of the band (the entries of Z that the band of
// A touches), which is what a trace such as tr(A^-1 B) needs for any B within
// the band: the recurrence that gives them reads nothing outside the band, so
// the cost is O(n * half^2) like the factorisation, and the dense inverse is
// never formed. Nothing is allocated.
#pragma once

#include <atomic>
#include <cstdint>

namespace zelvane::band_cholesky {

// Doubles per stored row for a given half band width.
inline constexpr std::int64_t row_width(int half) noexcept { return std::int64_t{half} + 1; }

struct band {
    double* a = nullptr;  // n * row_width(half) doubles
    std::int64_t n = 0;   // order
    int half = 0;         // nonzeros within `half` places of the diagonal

    // Element (i, j) of the lower triangle, for j in [i - half, i].
    double& at(std::int64_t i, std::int64_t j) const noexcept {
        return a[i * row_width(half) + (j - i + half)];
    }
};

// Factorises in place. Returns -1, or the first row whose pivot is not
// positive (or not a number): the matrix is not positive definite to working
// precision and the factor beyond that row is not usable.
std::int64_t factor(const band& m) noexcept;

// Solves A x = b with the factor: x holds b on entry and the solution on return.
void solve(const band& m, double* x) noexcept;

// Solves A x = b and A y = c together, in one pass over the factor.
void solve_pair(const band& m, double* x, double* y) noexcept;

// x'Ax from the factor, as |L'x|^2: never negative, and free of the
// cancellation that the sum of x'b with b = Ax suffers where b nearly vanishes.
double energy(const band& m, const double* x) noexcept;

// Writes the band of A^-1 into z (the layout of m) from the factor in m.
// With a stop flag, read every stop_rows rows (a few milliseconds of work at
// the widest bands): returns false, z unfinished, where it was raised.
inline constexpr std::int64_t stop_rows = 64;
bool inverse_band(const band& m, const band& z, const std::atomic<bool>* stop = nullptr) noexcept;

}  // namespace zelvane::band_cholesky
