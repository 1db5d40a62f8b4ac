// The KKT system of the smooth fit on refined knots (refine >= 2), for one
// set of knots held at zero: its scaling, its factorisation on border_ldl's
// envelope, its solves, its residuals and the check of the optimality
// conditions at a solution. The phases that choose the held set
// (smooth_phases) drive it.
//
// With a set of knots held at zero, the minimiser of v'Gv under A v = m
// solves [G A'; A 0] [v; lambda] = [0; m] with the held knots' rows and
// columns replaced by v_j = 0. The unknowns are ordered knot by knot, each
// bin's multiplier right after the bin's last knot, and the system is
// factorised symmetrically without pivoting (border_ldl: LDL' on the
// envelope): O(knots) whatever refine is. The knots before a multiplier are
// eliminated first, so the knot pivots are those of a convex problem
// (positive) and the multiplier's is a Schur complement of one (negative);
// the one leading block that can be singular (two bins, the last multiplier
// missing) is left to a 2 x 2 block with an interchange, and a single bin
// held at its right end alone is fitted mirrored (smooth_fit::fit).
//
// Scale. With D the scaling of the unknowns, the curvature is sum_t c_t (d_t
// . y)^2 over inner knots t, d_t the three scaled slope-difference
// coefficients of knots t-1, t, t+1 and c_t = 2 / (h_{t-1} + h_t), and the
// mass row of bin i holds the scaled trapezoid weights of its knots. Each
// knot is scaled by about 1 / sqrt(G_jj), each multiplier so that its largest
// constraint entry is about 1, always by powers of two, so scaling itself
// rounds nothing: a wide bin among narrow ones has curvature entries many
// orders smaller than its neighbours', and the scaling keeps the tolerances
// meaningful there.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernels/border_ldl.hpp"
#include "kernels/fit_outcome.hpp"
#include "kernels/smooth_fit.hpp"
#include "kernels/smooth_wide.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::smooth_kkt {

using fits::outcome;
using fits::status;
using smooth_fit::fixed_ends;
using smooth_fit::limits;

// A multiplier or gradient counts as zero within this share of the sum of
// the magnitudes of its terms.
inline constexpr double gradient_tolerance = 1e-10;

// What each knot is in the system: free, held at zero by the active set,
// pinned at zero by an empty bin, or fixed at an end's value. just_held:
// held in the round of changes under way (see smooth_phases).
enum knot_state : unsigned char { free_knot, held_knot, pinned_knot, fixed_knot, just_held };

// Unknowns of the refined KKT system, in the order of border_ldl: the knots
// in order, each bin's multiplier right after the bin's last knot.
struct layout {
    std::int64_t bins, refine, knots, order;
    layout(std::int64_t b, std::int64_t r) noexcept : bins(b), refine(r), knots(b * r + 1), order(border_ldl::order(b, r)) {}
    std::int64_t position(std::int64_t knot) const noexcept { return border_ldl::knot_position(knot, refine); }
    std::int64_t position(std::int64_t bin, std::int64_t s) const noexcept { return border_ldl::knot_position(bin, s, refine); }
    std::int64_t mass_pos(std::int64_t bin) const noexcept { return border_ldl::bin_position(bin, refine); }
};

// Walks the knots in order, keeping the knot's bin, its place in the bin and
// its position among the unknowns.
struct knot_cursor {
    const layout& l;
    std::int64_t j = 0, bin = 0, s = 0, pos = 0;
    void next() noexcept {
        pos += s == 0 && j > 0 ? 2 : 1;  // past the multiplier of the bin that ends here
        ++j;
        if (++s == l.refine) {
            s = 0;
            ++bin;
        }
    }
};

// Writes unit * v to values unless a product overflows (out_of_range, values
// untouched), passing the products through scratch_out (knots doubles).
outcome deliver(const double* v, std::int64_t knots, double unit, double* scratch_out, double* values,
                std::int64_t solves) noexcept;

class system {
public:
    // Takes its arrays from w (null ones from a counting workspace, which
    // leaves the system unusable but counts its scratch). h: the scaled
    // sub-interval widths; mass: the bins' shares (0 for an empty bin);
    // fixed: the end values held, in scaled units (negative: free).
    system(const layout& l, const double* h, const double* mass, const fixed_ends& fixed, workspace& w) noexcept;

    // Scales, curvature coefficients and mass weights; then the knots of
    // empty bins pinned and the fixed ends held. False when the fixed ends
    // leave no feasible point (a fixed end positive beside an empty bin, or
    // more than its bin's mass).
    bool set_up(const std::atomic<bool>* stop) noexcept;
    // Factorisations and solves in double-double from here on (the slower
    // fallback): the system's entries are the same doubles, its factors and
    // solutions carry about 106 bits, and solutions are rounded to double.
    void use_wide_factors() noexcept { wide_ = true; }

    // Whether another factorisation may be made: ok, or the status that ends the fit.
    status may_factor(const limits& bounds, std::int64_t total_solves) const noexcept;

    // Writes the system of the held set (with `extra` added to the knots'
    // diagonal where given) and its right-hand side (into the solution), and
    // factorises it; false where a pivot fails.
    bool factorise(const double* extra) noexcept;
    // Factorises and solves: the solution y, with the knots not free held at
    // zero (fixed ones at their values). Held knots keep rows and columns of
    // zeros with a unit diagonal, so the pattern of the factors never changes.
    bool solve() noexcept;
    // x = K^-1 x with the last factorisation.
    void solve_factored(double* x) const noexcept;

    // Whether knot j's condition fails at y: a free value below zero, or a
    // held value whose multiplier is negative beyond rounding.
    bool violates(std::int64_t j, std::int64_t pos) const noexcept;
    // Whether the mass rows restricted to the free knots keep full rank.
    bool mass_rows_independent() const noexcept;
    // Adds to sum knot j's terms a_ij x_i of the mass rows at x (bins with mass
    // only), and their magnitudes to *size where given: its own bin's, and at
    // an edge the one to its left, in that order.
    void add_mass_pulls(std::int64_t j, const double* x, double& sum, double* size) const noexcept;
    // Bin i's scaled mass: the right-hand side of its row.
    double rhs(std::int64_t bin) const noexcept { return scale_[l_.mass_pos(bin)] * mass_[bin]; }

    // Checks the optimality conditions at y, refining it while they fail (a
    // few steps at most), and delivers unit times the values: inaccurate
    // where the check still fails, out_of_range where a value overflows.
    outcome finish(double unit, double* values) noexcept;

    const layout& shape() const noexcept { return l_; }
    unsigned char* states() const noexcept { return state_; }
    double* solution() const noexcept { return y_; }
    const double* mass() const noexcept { return mass_; }
    // G's scaled lower diagonals by knot: [3 j] G(j, j), [3 j + 1] G(j, j - 1), [3 j + 2] G(j, j - 2).
    const double* curvature() const noexcept { return curvature_; }
    // Bin i's scaled trapezoid weights at [i (refine + 1) .. i (refine + 1) + refine].
    const double* weights() const noexcept { return weight_; }
    std::int64_t solves() const noexcept { return solves_; }

private:
    void scale() noexcept;
    bool pin_zero_bins() noexcept;
    bool ends_feasible() const noexcept;
    double fixed_value(std::int64_t j, std::int64_t pos) const noexcept;
    double multiplier(std::int64_t j, double& size) const noexcept;
    void residuals() noexcept;
    bool optimal() const noexcept;
    void polish() noexcept;
    border_ldl::system factors() const noexcept { return {l_.bins, l_.refine, near_, border_, diagonal_, stop_}; }
    border_ldl::basic_system<smooth_wide::wide> wide_factors() const noexcept {
        return {l_.bins, l_.refine, near_w_, border_w_, diagonal_w_, stop_};
    }

    layout l_;
    const double* h_;
    const double* mass_;
    fixed_ends fixed_;
    double *scale_, *stencil_, *weight_, *curvature_, *near_, *border_, *diagonal_, *y_, *res_, *mag_, *u_;
    unsigned char* state_;
    // The factors in double-double and a solve's unknowns, for the fallback.
    smooth_wide::wide *near_w_, *border_w_, *diagonal_w_, *x_w_;
    bool wide_ = false;
    std::int64_t solves_ = 0;
    const std::atomic<bool>* stop_ = nullptr;  // the caller's, for the factorisation to check
};

}  // namespace zelvane::smooth_kkt
