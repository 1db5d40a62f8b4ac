// The phases of the smooth fit on refined knots (refine >= 2) that choose
// the knots held at zero, each bounded in solves of the KKT system
// (smooth_kkt) that they drive.
//
// First, every violated condition is changed at once (hold the negative free
// values, release the held knots with negative multipliers), which typically
// ends in three or four solves. On a matrix like G (not an M-matrix) that
// exchange can creep along a run of zeros a knot or two per round; once the
// number of violated conditions has twice in a row failed to fall by a
// quarter (or after exchange_solves solves) an interior-point phase takes
// over: Mehrotra's predictor-corrector method on the same system with the
// barrier terms on the knots' diagonal, a fixed number of steps whatever the
// number of zeros, whose last step tells the held set (a knot whose value
// falls faster than its multiplier). From that set, block principal pivoting
// (Judice and Pires) finishes: whole sets while the number of violations
// reaches new lows, single changes by Murty's rule (the last knot violating
// its condition; finite) when it stalls. Changes that would leave a bin's
// mass row without a free knot of its own (a rank-deficient system) are
// undone. After total_solves factorisations in all the fit stops with
// iteration_limit; a raised stop flag, checked before each factorisation,
// ends it with interrupted.
//
// At refine 64 and more (under the default bounds) the fit first settles
// the held set of coarser levels, refine halved down to 4 with two
// sub-intervals joined into one, each level started from the held set of the
// level below it spread to its knots (a knot between two held ones held);
// the fine level starts from that set. A coarser level that takes more than
// a few solves ends the warm start there. The answer is the fine level's own
// (the same bits as started cold); sparse masses, whose many knots at zero
// the exchanges otherwise reach a few at a time, need far fewer solves.
//
// A fit that cannot be confirmed in double (inaccurate, or iteration_limit
// under the default bound: the solves' rounding can keep the exchanges from
// settling) is made again from the start with the factorisations and solves
// in double-double (smooth_wide), on the same entries and with the same
// checks. What that cannot confirm either is ill_conditioned: the widths or
// masses lie too many decades apart for the checks to be met. A bound on
// solves given by the caller is shared by both attempts and ends them with
// iteration_limit.
#pragma once

#include <cstdint>

#include "kernels/smooth_kkt.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::smooth_phases {

// Takes from w what solve() takes from it for these sizes (with a counting
// workspace: counts it).
void take_scratch(const smooth_kkt::layout& l, workspace& w) noexcept;

// Fits on refined knots: h the scaled sub-interval widths, mass the bins'
// shares (0 for an empty bin), fixed the end values held in scaled units
// (negative: free). The arrays come from w, unit times the values go to
// values (left as they were on any status but ok).
smooth_kkt::outcome solve(const smooth_kkt::layout& l, const double* h, const double* mass,
                          const smooth_kkt::fixed_ends& fixed, workspace& w, const smooth_kkt::limits& bounds,
                          double unit, double* values) noexcept;

}  // namespace zelvane::smooth_phases
