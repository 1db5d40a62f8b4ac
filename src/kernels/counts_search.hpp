// The choice of lambda for the counts-aware fit: the minimiser of the
// information criterion deviance + complexity * edf over log lambda.
//
// The criterion is evaluated a decade apart, walking up from a first guess
// while it falls and then down from it while it falls; every fit starts from
// its neighbour's optimum moved along that optimum's tangent in log lambda
// (one more solve with its factor). A parabola through the best decade and
// its neighbours gives one more candidate. The criterion is flat near its
// minimum: a tenth of a decade changes the fit far less than the counts' own
// noise does.
#pragma once

#include <cstdint>
#include <limits>

#include "kernels/counts_newton.hpp"

namespace zelvane::counts_search {

// The search stops rising once the edf are within this of a linear density's,
// and stops falling once they are within this of the data's own.
inline constexpr double edf_margin = 1e-3;

// The search, in decades of lambda: a decade apart from lowest to highest,
// each at most once, and one more between two of them. No search fits more
// lambdas than max_candidates.
inline constexpr double lowest_decade = -16.0;
inline constexpr double highest_decade = 6.0;
inline constexpr double search_step = 1.0;
inline constexpr int max_candidates = static_cast<int>((highest_decade - lowest_decade) / search_step) + 2;

// A lambda of the search, and what its fit gave.
struct candidate {
    double decade = 0.0;
    double lambda = 0.0;
    double criterion = std::numeric_limits<double>::infinity();
    double edf = 0.0;
    double deviance = 0.0;
    bool ok = false;
};

// The decade a search starts from for a sample of this size. The lambda
// chosen is nearly free of the number and the widths of the bins (the scaling
// by W^5 sees to that) and falls with the sample size, by about a decade for
// every tenfold more counts: from about 1e-5 at 200 counts to 1e-7 at 50,000
// in simulated histograms of 8 to 40 bins.
double first_decade(double sample_size) noexcept;

// The automatic choice of lambda, for a sample of this size and this price
// of a degree of freedom, with top_edf the data's own degrees of freedom and
// each fit ending at search_decrement, the walks starting at the decade
// `first` (rounded to a whole decade within the search's range): leaves the
// best candidate's point saved in `problem` and returns the candidate (not
// ok where no lambda gave a finite criterion); `tried` receives the number
// of lambdas fitted. A fit for a larger lambda than its neighbour's starts
// from that neighbour's optimum, or with restart_rising from a smooth start
// of its own (counts_newton's start_smooth): where the neighbour's optimum
// holds long runs of knots at zero, which a larger lambda must free a few at
// a time, the smooth start takes tens of steps where the other takes
// hundreds.
candidate choose_smoothing(counts_newton::penalised_fit& problem, double sample, double complexity, double top_edf,
                           double search_decrement, double first, bool restart_rising, std::int64_t& tried) noexcept;

// The largest bin at an end of the histogram holds its share of the counts
// against the curvature penalty alone: nothing beyond the end balances the
// pull of the bend at its inner edge, and the criterion, which weighs every
// bin's deviance together, lets a sharp peak there lose several standard
// errors of its mass. Where the bin with the most counts is the first or the
// last (and not beside an open end: `open`, first and last), lambda falls
// by end_peak_factor, at most end_peak_steps times, while that bin's fitted
// share lies more than one binomial standard error (for `sample`) below its
// share of the counts. The problem is at its best point (restore()) on entry;
// returns the lambda, with the problem's point at it, or the lambda given
// with the best point back where a lower lambda's fit fails. `tried` counts
// the fits.
inline constexpr double end_peak_factor = 4.0;
inline constexpr int end_peak_steps = 8;
double keep_end_peak(counts_newton::penalised_fit& problem, std::int64_t bins, const bool open[2], double sample,
                     double lambda, double search_decrement, std::int64_t& tried) noexcept;

}  // namespace zelvane::counts_search
