// The Hessian of the counts-aware fit's objective, behind one interface with
// two back ends.
//
//     H = lambda G + sum_i (q_i / p_i^2) a_i a_i' + the tails' terms,
//
// G the curvature matrix, a_i bin i's trapezoid weights, q_i its share and
// p_i its mass at the current point; on the free variables, with a unit row
// and column for each held one. H has the band of one bin's knots (half width
// refine, at least 2 for the curvature). Below envelope_refine it is
// factorised as that band by Cholesky (band_hessian): O(knots refine^2), but
// cheaper than the other way while refine is small. From it on, where the
// band's refine^2 per knot would dominate, a system with one unknown more per
// bin is factorised on border_ldl's envelope in O(knots) whatever refine is
// (envelope_hessian). Either way the back end also gives H^-1 where the edf
// need it: on the band, or one entry per bin of the larger system's inverse.
// Where those lose what the narrowest pieces' curvature swamps in H's
// entries, the band is factorised by rotations of H's square root instead,
// at several times the cost: a fallback, never the first try.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernels/band_cholesky.hpp"
#include "kernels/border_ldl.hpp"
#include "kernels/fit_outcome.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::counts_hessian {

using fits::status;

// Variables: the knots, then one for each tail of free mass (two at most).
inline constexpr std::int64_t max_tails = 2;

// From this refine on, H is factorised on the envelope: there the band's
// cost, which grows with refine, is above the envelope's, which does not.
inline constexpr std::int64_t envelope_refine = 16;
inline bool banded(std::int64_t refine) noexcept { return refine < envelope_refine; }
// Up to this refine the envelope's fits keep the band's scratch as well, for
// a fit that the envelope cannot confirm to take again by rotations (whose
// cost grows with refine^2 per knot, and whose scratch, 2 (refine + 1)
// doubles per knot, is many times the envelope's); above it, where that
// scratch is at most rotations_budget doubles (256 MB: 200 bins at refine
// 256). Above refine 64 the envelope alone ends at a point it cannot
// confirm, or at the wrong one, on bins whose widths are one to four decades
// apart.
inline constexpr std::int64_t rotations_refine = 64;
inline constexpr std::int64_t rotations_budget = std::int64_t{1} << 25;
inline bool keeps_band(std::int64_t refine, std::int64_t variables) noexcept {
    return refine <= rotations_refine ||
           (refine <= rotations_budget && variables <= rotations_budget / (2 * band_cholesky::row_width(static_cast<int>(refine))));
}

enum knot_state : unsigned char { free_knot, held_knot };

// A tail as a bin of one variable: a free mass's own, or the end knot.
struct tail_bin {
    std::int64_t variable = -1;  // -1: no tail
    double weight = 0.0;         // its mass per unit of the variable, in scaled units
    double share = 0.0;
};

// What H is made of, as the Newton iteration holds it: sizes, the curvature
// measure's stencils and lower diagonals, the trapezoid weights, the tails,
// and at the point of the last factorisation the masses p (bins, then
// tails), the bins' weights q_i / p_i^2 (0 for an empty bin) and the tails'
// terms of H, and which variables are held.
struct terms {
    std::int64_t bins = 0, refine = 0, knots = 0, variables = 0;
    const double* stencil = nullptr;    // 4 per knot: curvature_stencil()
    const double* curvature = nullptr;  // 3 per knot: [3 j + 2 - e] is G(j, j - e)
    const double* weight = nullptr;     // refine + 1 per bin
    const tail_bin* tails = nullptr;    // max_tails
    const double* p = nullptr;
    const double* bin_weight = nullptr;
    const double* tail_weight = nullptr;  // max_tails
    const unsigned char* state = nullptr;
    const std::atomic<bool>* stop = nullptr;

    // z'Gz, stencil by stencil: a sum of squares.
    double curvature_of(const double* z) const noexcept;
    // out += lambda G z, stencil by stencil.
    void add_curvature(double lambda, const double* z, double* out) const noexcept;
};

// H as a band of half width max(2, refine), by Cholesky.
class band_hessian {
public:
    // Takes the factor and the inverse's band for up to `variables` variables.
    void take_scratch(const terms& t, std::int64_t variables, workspace& w) noexcept;

    // Cholesky in place; where a pivot is not positive, or has lost nine
    // digits to cancellation, and lambda is at least rotations_from(), the
    // same factor by orthogonal rotations of H's square root, which keeps what
    // the formed H rounds away: inaccurate where a pivot fails below that
    // lambda, or where the rotations' factor is singular.
    status factor(double lambda) noexcept;
    void rotations_from(double lambda) noexcept { rotations_from_ = lambda; }
    void solve(double* x) noexcept;
    // Both right-hand sides in one pass over the factor.
    void solve_pair(double* x, double* y) noexcept;
    // |L'd|^2, from the factor.
    double energy(double lambda, const double* d) const noexcept;
    // The band of H^-1; bin_inverse() sums a_i' Z a_i over the bin's block.
    // False where the stop flag cut it short.
    bool invert() noexcept;
    double inverse_at(std::int64_t j) const noexcept;
    double bin_inverse(std::int64_t i) const noexcept;

    // The factor by rotations alone (inaccurate where it is singular,
    // interrupted where the stop flag, read every band_cholesky::stop_rows
    // rows, cut it short).
    status factor_by_rotations(double lambda) noexcept;

private:
    band_cholesky::band factor_band() const noexcept { return {factor_, t_->variables, half_}; }
    band_cholesky::band inverse_band() const noexcept { return {inverse_, t_->variables, half_}; }

    const terms* t_ = nullptr;
    int half_ = 2;
    double rotations_from_ = 0.0;
    double *factor_ = nullptr, *inverse_ = nullptr;
};

// H through the system with one unknown per bin, on border_ldl's envelope.
class envelope_hessian {
public:
    // Takes the system, its inverse on the envelope and the vectors a solve
    // runs on, for up to `variables` variables.
    void take_scratch(const terms& t, std::int64_t variables, workspace& w) noexcept;

    // LDL' of the scaled system, without pivoting.
    status factor(double lambda) noexcept;
    // A solve of the system refined twice with H's own residual.
    void solve(double* x) noexcept;
    void solve_pair(double* x, double* y) noexcept;
    // A sum of squares over the stencils, the bins and the tails.
    double energy(double lambda, const double* d) const noexcept;
    // The system's inverse on its envelope; a bin's entry gives bin_inverse().
    void invert() noexcept;
    double inverse_at(std::int64_t j) const noexcept;
    double bin_inverse(std::int64_t i) const noexcept;

private:
    void solve_system(double* x) noexcept;
    void apply(const double* z, double* out) const noexcept;

    const terms* t_ = nullptr;
    border_ldl::system ldl_, inverse_ldl_;
    double *x_ = nullptr, *scale_ = nullptr, *residual_ = nullptr, *correction_ = nullptr;
    double tail_diagonal_[max_tails] = {1.0, 1.0};
    double factored_lambda_ = 1.0;
};

// H as Newton's method sees it: the band below envelope_refine, the
// envelope from it on.
class hessian {
public:
    // Takes the chosen back end's scratch for up to `variables` variables,
    // and up to rotations_refine the band's too, for by_rotations().
    void take_scratch(const terms& t, std::int64_t variables, workspace& w) noexcept {
        banded_ = banded(t.refine);
        if (banded_) {
            band_.take_scratch(t, variables, w);
        } else {
            envelope_.take_scratch(t, variables, w);
            if (keeps_band(t.refine, variables)) band_.take_scratch(t, variables, w);
        }
        rotations_ = banded_ || keeps_band(t.refine, variables);
    }
    // Factorises H for lambda at the terms' point: ok, inaccurate where a
    // pivot fails, interrupted where the stop flag cut the factorisation short.
    status factor(double lambda) noexcept {
        band_now_ = banded_ || always_rotations_;
        if (always_rotations_) return band_.factor_by_rotations(lambda);
        return banded_ ? band_.factor(lambda) : envelope_.factor(lambda);
    }
    // The least lambda whose failed Cholesky the band tries again by rotations
    // (0: any); the envelope has no such fallback.
    void rotations_from(double lambda) noexcept { band_.rotations_from(lambda); }
    // From now on every factor by the band's rotations, the slowest and most
    // accurate: where the refine allows (with the band's scratch); returns
    // whether it does.
    bool by_rotations() noexcept {
        always_rotations_ = rotations_;
        return rotations_;
    }
    // x = H^-1 x with the last factor (held variables' entries of x are 0).
    void solve(double* x) noexcept { band_now_ ? band_.solve(x) : envelope_.solve(x); }
    // x = H^-1 x and y = H^-1 y together.
    void solve_pair(double* x, double* y) noexcept { band_now_ ? band_.solve_pair(x, y) : envelope_.solve_pair(x, y); }
    // d'Hd at the point of the last factorisation, free of cancellation.
    double energy(double lambda, const double* d) const noexcept {
        return band_now_ ? band_.energy(lambda, d) : envelope_.energy(lambda, d);
    }
    // H^-1 where the next two read it, from the last factor; false where the
    // stop flag cut it short.
    bool invert() noexcept {
        if (band_now_) return band_.invert();
        envelope_.invert();
        return true;
    }
    // Entry (j, j) of H^-1, after invert().
    double inverse_at(std::int64_t j) const noexcept { return band_now_ ? band_.inverse_at(j) : envelope_.inverse_at(j); }
    // a_i' H^-1 a_i on the free knots of bin i, after invert().
    double bin_inverse(std::int64_t i) const noexcept {
        return band_now_ ? band_.bin_inverse(i) : envelope_.bin_inverse(i);
    }

private:
    bool banded_ = true, band_now_ = true, rotations_ = true, always_rotations_ = false;
    band_hessian band_;
    envelope_hessian envelope_;
};
}  // namespace zelvane::counts_hessian
