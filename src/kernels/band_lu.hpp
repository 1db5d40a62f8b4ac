// LU factorisation with partial pivoting of a square band matrix, in place,
// for systems whose nonzeros lie within `half` places of the diagonal.
//
// Storage is row by row. Row i keeps columns i - half ... i + 2 * half: the
// `half` places left of the diagonal hold the multipliers of L once factorised,
// and the upper part leaves room for the fill that row interchanges bring (a
// row swapped up by as many as `half` places carries its own `half`
// superdiagonals with it). Before factor() the fill places must hold zeros.
//
// Interchanges are recorded per step as the distance from the pivot row to the
// row swapped in (0 to half, so a byte suffices); L is not permuted afterwards,
// so solve() applies each interchange just before the elimination of its step.
// The work is O(n * half^2) and nothing is allocated.
#pragma once

#include <cstdint>

namespace zelvane::band_lu {

// Doubles per stored row for a given half band width.
inline constexpr std::int64_t row_width(int half) noexcept { return 3 * std::int64_t{half} + 1; }

// Largest half band width that the byte-sized interchange record can describe.
inline constexpr int max_half = 255;

struct band {
    double* a = nullptr;   // n * row_width(half) doubles
    std::int64_t n = 0;    // order
    int half = 0;          // nonzeros within `half` places of the diagonal before factoring

    // Element (i, j), for j in [i - half, i + 2 * half].
    double& at(std::int64_t i, std::int64_t j) const noexcept {
        return a[i * row_width(half) + (j - i + half)];
    }
};

// Factorises in place and writes one interchange distance per step into
// `swap` (n bytes). The diagonal keeps the reciprocals of U's diagonal, so
// that solving multiplies rather than divides. Returns -1, or the first step at which every candidate
// pivot is zero (or not a number): the matrix is singular and the factors
// beyond that step are not usable.
std::int64_t factor(const band& m, unsigned char* swap) noexcept;

// Solves m x = b with the factors of factor(): x holds b on entry and the
// solution on return.
void solve(const band& m, const unsigned char* swap, double* x) noexcept;

}  // namespace zelvane::band_lu
