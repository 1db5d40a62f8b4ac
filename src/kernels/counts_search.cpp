// The choice of lambda for the counts-aware fit: see counts_search.hpp.
#include "kernels/counts_search.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/plain_math.hpp"

namespace zelvane::counts_search {

using fits::status;

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

double whole_decade(double decade) noexcept {
    return std::clamp(plain_math::round(decade), lowest_decade + 1, highest_decade - 1);
}

}  // namespace

double first_decade(double sample_size) noexcept { return whole_decade(-3.0 - 0.9 * plain_math::log10(sample_size)); }

candidate choose_smoothing(counts_newton::penalised_fit& problem, double sample, double complexity, double top_edf,
                           double search_decrement, double first_guess, bool restart_rising,
                           std::int64_t& tried) noexcept {
    candidate best;
    candidate grid[max_candidates];
    std::int64_t count = 0;
    auto step = [&](const candidate* from, double decade) -> const candidate* {
        if (from != nullptr && from->ok && restart_rising && decade > from->decade) {
            problem.start_smooth(plain_math::power_of_ten(decade));
        } else if (from != nullptr && from->ok) {
            problem.predict(from->lambda, (decade - from->decade) * plain_math::ln10);
        }
        candidate& c = grid[count++];
        c = {decade, plain_math::power_of_ten(decade)};
        if (problem.solve(c.lambda, search_decrement, false) != status::ok) {
            problem.restore();
            return &c;
        }
        c.edf = problem.effective_df();
        c.deviance = problem.deviance(sample);
        c.criterion = c.deviance + complexity * c.edf;
        c.ok = std::isfinite(c.criterion);
        if (!c.ok) {
            c.criterion = infinity;
            problem.restore();
            return &c;
        }
        if (c.criterion < best.criterion) {
            best = c;
            problem.save();
        }
        return &c;
    };
    // Up while the criterion falls. A walk also stops where the criterion can
    // no longer fall below the best: above, once the deviance alone (which
    // only grows with lambda) has reached it, or the fit is linear; below,
    // once the price of the degrees of freedom alone (which only grow as
    // lambda falls) has, or the fit has the data's own degrees of freedom.
    // On simulated histograms from smooth densities these walks end at the
    // lowest criterion of the whole grid of decades; counts with no smooth
    // density behind them can have a second minimum further down, which the
    // walk down finds.
    const candidate* const first = step(nullptr, whole_decade(first_guess));
    problem.anchor();
    for (const candidate* last = first; last->ok && last->edf > 1.0 + edf_margin &&
                                        last->deviance < best.criterion &&
                                        last->decade + search_step <= highest_decade;) {
        const candidate* next = step(last, last->decade + search_step);
        if (!(next->criterion < last->criterion)) break;
        last = next;
    }
    // Then down from the first; its factor is still there if no step was taken up.
    const bool factored = count == 1;
    problem.return_to_anchor();
    // A lambda whose fit failed (too ill-conditioned to confirm) does not end
    // the walk down: the smaller lambdas, nearer the exact-mass fit, may fit.
    for (const candidate* last = first; !last->ok || complexity * last->edf < best.criterion;) {
        if ((last->ok && last->edf >= top_edf - edf_margin) || last->decade - search_step < lowest_decade) {
            break;
        }
        const candidate* next =
            step(last->ok && (last != first || factored) ? last : nullptr, last->decade - search_step);
        // A rise ends the walk unless the exact-mass fit at the end of it (of
        // criterion complexity * top_edf) would beat the best so far: then a
        // lower minimum lies further down, past a local one.
        if (!(next->criterion < last->criterion) && !(complexity * top_edf < best.criterion)) break;
        last = next;
    }
    // The vertex of the parabola through the best decade and its neighbours,
    // where the parabola promises a criterion lower by half a degree of
    // freedom's price or more (less changes the fit far less than the counts'
    // noise does).
    const candidate *below = nullptr, *above = nullptr;
    for (std::int64_t k = 0; k < count; ++k) {
        if (!grid[k].ok) continue;
        if (grid[k].decade == best.decade - search_step) below = &grid[k];
        if (grid[k].decade == best.decade + search_step) above = &grid[k];
    }
    if (below != nullptr && above != nullptr) {
        const double curve = above->criterion - 2.0 * best.criterion + below->criterion;
        const double rise = above->criterion - below->criterion;
        if (curve > 0.0 && rise * rise / (8.0 * curve) >= 0.5 * complexity) {
            const double vertex = best.decade - 0.5 * search_step * rise / curve;
            if (std::fabs(vertex - best.decade) > 0.05 * search_step) {
                problem.restore();
                step(nullptr, vertex);
            }
        }
    }
    tried = count;
    return best;
}

double keep_end_peak(counts_newton::penalised_fit& problem, std::int64_t bins, const bool open[2], double sample,
                     double lambda, double search_decrement, std::int64_t& tried) noexcept {
    const double* const q = problem.shares();
    const std::int64_t peak = std::max_element(q, q + bins) - q;
    if ((peak != 0 || open[0]) && (peak != bins - 1 || open[1])) {
        return lambda;
    }
    const double floor = q[peak] - std::sqrt(q[peak] * (1.0 - q[peak]) / sample);
    double chosen = lambda;
    for (int k = 0; k < end_peak_steps && problem.bin_share(peak) < floor; ++k) {
        const double lower = chosen / end_peak_factor;
        ++tried;
        if (problem.solve(lower, search_decrement, false) != status::ok) {
            problem.restore();
            return lambda;
        }
        chosen = lower;
    }
    return chosen;
}

}  // namespace zelvane::counts_search
