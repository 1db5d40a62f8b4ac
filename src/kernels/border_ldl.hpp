// Symmetric LDL' factorisation, without pivoting, of the systems of the fits
// on refined knots: unknowns at the knots, coupled to their two neighbours on
// either side, and one unknown per bin coupled to every knot of its bin.
//
// Order. Bin i's row comes right after its last knot: knots 0 .. refine, bin
// 0, knots refine + 1 .. 2 refine, bin 1, and so on; the last position is the
// last bin's. Knot j >= 1 of bin i = (j - 1) / refine sits at i (refine + 1) +
// (j - i refine), bin i at (i + 1) (refine + 1). Every knot row then reaches
// at most three places back, and a bin row from its bin's first knot to
// itself, refine + 2 places (the previous bin's row lies in between). Fill
// stays inside these windows (a factorisation without pivoting fills only
// the envelope), so storage and work are O(knots) for any refine.
//
// Without pivoting the factorisation needs every leading block of the matrix
// to be nonsingular. For the fits' systems (a convex quadratic on the knots,
// positive definite on the null space of full-rank bin rows) only the block
// that lacks the last bin's row can fail, and only where the quadratic's null
// space survives the other bins' rows (two bins, say). The last two positions
// are therefore not pivoted on: their Schur complement is kept as a 2 x 2
// block and solved with a row interchange where that is the larger pivot.
//
// Storage. `near` holds, for every position p, the entries of row p in columns
// p - 3, p - 2, p - 1 (three doubles, zeros outside the matrix); `border` holds
// for bin i the entries of its row in columns p - refine - 2 .. p - 1 (refine +
// 2 doubles; for bin 0 the first is outside the matrix and must be 0);
// `diagonal` one per position. A bin row's last three entries are in `border`
// only; factor() copies them to `near`. Entries that the pattern above does
// not hold must be zero in the matrix: a knot couples to knots at most two
// apart and to the bins it belongs to, a bin row to its own knots and (with
// the value 0 there) the previous bin. Held unknowns are rows and columns of
// zeros with 1 on the diagonal. Nothing is allocated.
#pragma once

#include <atomic>
#include <cstdint>

namespace zelvane::border_ldl {

inline std::int64_t order(std::int64_t bins, std::int64_t refine) noexcept { return bins * (refine + 1) + 1; }
// Position of knot s (0 to refine) of a bin; a bin's first knot is the last of
// the bin before it.
inline std::int64_t knot_position(std::int64_t bin, std::int64_t s, std::int64_t refine) noexcept {
    return bin * (refine + 1) + s - (s == 0 && bin > 0 ? 1 : 0);
}
inline std::int64_t knot_position(std::int64_t knot, std::int64_t refine) noexcept {
    return knot == 0 ? 0 : knot_position((knot - 1) / refine, (knot - 1) % refine + 1, refine);
}
inline std::int64_t bin_position(std::int64_t bin, std::int64_t refine) noexcept { return (bin + 1) * (refine + 1); }

// The factors' storage, in doubles or (for the smooth fit's fallback) in
// smooth_wide's double-double numbers.
template <class T>
struct basic_system {
    std::int64_t bins = 0;    // at least 1
    std::int64_t refine = 0;  // at least 2
    T* near = nullptr;      // 3 per position
    T* border = nullptr;    // refine + 2 per bin
    T* diagonal = nullptr;  // 1 per position
    // Checked every stop_interval bins; raised, factor() gives up with stopped.
    const std::atomic<bool>* stop = nullptr;

    std::int64_t size() const noexcept { return order(bins, refine); }
};
using system = basic_system<double>;

// Factorises in place: near and border receive L (unit lower triangular) in
// the same places, diagonal the reciprocals of the pivots, except that the
// last two positions keep their 2 x 2 Schur complement (diagonal entries and
// the last border entry). Returns -1, or the first position whose pivot is
// zero or not finite (for the last two: where the 2 x 2 block is singular),
// or stopped when the stop flag was found raised part-way. Made for double
// and smooth_wide::wide.
inline constexpr std::int64_t stopped = -2;
inline constexpr std::int64_t stop_interval = 4096;
template <class T>
std::int64_t factor(const basic_system<T>& m) noexcept;

// Solves with the factors of factor(): x holds the right-hand side on entry
// and the solution on return.
template <class T>
void solve(const basic_system<T>& m, T* x) noexcept;

// Writes Z = A^-1 on the places that A's factors occupy (the envelope: the
// near, border and diagonal places of the layout) into z, from the factors
// of factor() in m; z has its own storage of m's sizes. Every column of L has
// at most five places below the diagonal (three knot rows, two bin rows), and
// the recurrence that gives Z there (Takahashi's) reads only places of the
// envelope, so the cost is O(order) whatever refine is.
void inverse(const system& m, const system& z) noexcept;

}  // namespace zelvane::border_ldl
