// Penalised multinomial likelihood on the smooth fit's knots.
//
// The problem, in scaled units (x measured from the first edge in units of the
// total width, so the knots run from 0 to 1 and a density of total mass 1 has
// mean value 1): values u_j >= 0 at the knots, bin masses p_i = a_i . u (the
// trapezoid weights of bin i's knots), total mass c . u = 1 with c = sum_i a_i,
// and
//
//     minimise  Phi(u) = -sum_i q_i log p_i + (lambda / 2) u'Gu,
//
// G the curvature matrix of the smooth fit (the sum over inner knots of the
// squared change of slope times 2 / (the two widths beside it)). Phi is
// convex; with two non-empty bins or more its Hessian
//
//     H = lambda G + sum_i (q_i / p_i^2) a_i a_i'
//
// is positive definite (G vanishes only on linear functions, and a linear
// function with zero integral over two different bins is zero), so the
// optimum is unique. Newton's method finds it for a given lambda
// (counts_newton), on a factorisation of H that one of two back ends makes
// (counts_hessian); the criterion chooses lambda where it is not given
// (counts_search). Here: the checks, the exact-mass fit where it is the
// answer, and the values delivered in the units of the counts.
#include "kernels/counts_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/counts_newton.hpp"
#include "kernels/counts_search.hpp"
#include "kernels/plain_math.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::counts_fit {

namespace {

using counts_hessian::max_tails;
using counts_newton::penalised_fit;
using counts_search::edf_margin;

constexpr double infinity = std::numeric_limits<double>::infinity();
// While the search compares lambdas, a fit ends with the step from a decrement
// that would change the criterion (about N times the decrement) by less than
// this, and by no more than the smallest decrement below; the step from there
// leaves one near its square.
constexpr double search_criterion_error = 1e-4;
constexpr double smallest_search_decrement = 1e-9;
// Bounds on resolution(): below the first the penalised fit is its lambda -> 0
// limit before Newton's method starts; below the second, a fit that Newton's
// method cannot confirm is that limit too. The closed fits of lambdas whose
// resolution is near 1e-20 are the first that cannot be confirmed in float64;
// the second bound leaves six decades between them and a failure that stands.
constexpr double unresolved = 1e-22;
constexpr double limit_on_failure = 1e-14;
// The refine at which a search at a finer one first ranks the decades.
constexpr std::int64_t coarse_refine = 16;

// lambda's curvature in the least curved direction within a bin against the
// largest curvature of the likelihood. In the scaled units, a bin of width w
// and share q has the likelihood's curvature about w^2 / q (times 1 / refine)
// along its mass, and the penalty the curvature of about lambda / w^3 (times
// the same) along its gentlest bend, which the mass does not see; a tail tied
// by the weight t (scaled) with share q adds t^2 / q at its end knot alone,
// which is refine times that per knot. Where
// their ratio nears float64's resolution, H is singular in the directions
// within the bins as far as rounding can tell, and the penalised optimum is,
// to working precision, the exact-mass fit (its limit).
double resolution(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
                  const open_ends& ends, double all, double lambda) noexcept {
    const double width = edges[bins] - edges[0];
    double gentlest = infinity, steepest = 0.0;
    for (std::int64_t i = 0; i < bins; ++i) {
        const double w = (edges[i + 1] - edges[i]) / width;
        gentlest = std::min(gentlest, 1.0 / (w * w * w));
        if (counts[i] > 0.0) steepest = std::max(steepest, w * w / (counts[i] / all));
    }
    for (const tail* end : {&ends.left, &ends.right}) {
        if (end->shape != tail::form::tied || !(end->count > 0.0)) continue;
        const double t = end->weight / width;
        steepest = std::max(steepest, static_cast<double>(refine) * t * t / (end->count / all));
    }
    return steepest > 0.0 ? lambda * gentlest / steepest : infinity;
}

// The lambdas an automatic choice starts from for this sample size: the
// chosen lambda falls by about a decade for every tenfold more counts.
double typical_lambda(double sample) noexcept { return 1e-3 * plain_math::exp(-0.9 * plain_math::log(sample)); }

// An outcome with the smoothing, edf, solves and candidates of a search.
outcome searched(outcome o, double smoothing, double edf, std::int64_t solves, std::int64_t candidates) noexcept {
    o.smoothing = smoothing;
    o.edf = edf;
    o.solves = solves;
    o.candidates = candidates;
    return o;
}

bool settings_in_range(const settings& setting) noexcept {
    return !(std::isnan(setting.smoothing) || setting.smoothing == infinity || !(setting.sample_size >= 0.0) ||
             setting.sample_size == infinity || !(setting.complexity > 0.0) || setting.complexity == infinity ||
             setting.step_limit < 1);
}

// The counts of the body and the open ends together: their sum (all), the
// bins and tails with counts (occupied), and whether an end is open.
struct tally {
    double all = 0.0;
    std::int64_t occupied = 0;
    bool open = false;
};

// Checks the tails and counts everything up, the body's total given:
// bad_setting for a tail's count or weight out of range, out_of_range for a
// sum beyond float64's.
status count_up(const open_ends& ends, const double* counts, std::int64_t bins, double total, tally& t) noexcept {
    t.all = total;
    for (const tail* end : {&ends.left, &ends.right}) {
        if (end->shape == tail::form::none) continue;
        t.open = true;
        if (!(end->count >= 0.0 && end->count < infinity) ||
            (end->shape == tail::form::tied && !(end->weight > 0.0 && end->weight < infinity))) {
            return status::bad_setting;
        }
        t.all += end->count;
        t.occupied += end->count > 0.0 ? 1 : 0;
    }
    if (!(t.all < infinity)) {
        return status::out_of_range;
    }
    for (std::int64_t i = 0; i < bins; ++i) {
        t.occupied += counts[i] > 0.0 ? 1 : 0;
    }
    return status::ok;
}

// The histogram scaled into the problem's widths (`width` its range) and
// counted up with its tails: ok, or the failure that ends the fit.
outcome prepare(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
                const settings& setting, const open_ends& ends, penalised_fit& problem, double& width,
                tally& t) noexcept {
    double total = 0.0;
    const outcome checked =
        smooth_fit::scale_histogram(edges, counts, bins, refine, problem.widths(), total, width);
    if (checked.code != status::ok) {
        return fits::failure(checked.code, checked.index);
    }
    if (const status s = count_up(ends, counts, bins, total, t); s != status::ok) {
        return fits::failure(s);
    }
    if (t.open && (fits::exact_masses(setting.smoothing) || t.occupied < 2)) {
        return fits::failure(status::bad_setting);
    }
    return outcome{};
}

// Shares, tails and the start of Newton's method, from the counts in units
// of `all` and the tails' weights in units of the width.
void set_up(penalised_fit& problem, const double* counts, std::int64_t bins, const open_ends& ends, double all,
            double width, const settings& setting) noexcept {
    for (std::int64_t i = 0; i < bins; ++i) {
        problem.shares()[i] = counts[i] / all;
    }
    const tail* const sides[max_tails] = {&ends.left, &ends.right};
    for (int side = 0; side < max_tails; ++side) {
        const tail& t = *sides[side];
        if (t.shape != tail::form::none) {
            problem.add_tail(side, t.shape == tail::form::free_mass, t.count / all, t.weight / width);
        }
    }
    problem.set_up();
    problem.watch(setting.stop);
    problem.limit_steps(setting.step_limit);
    if (setting.start != nullptr && !fits::chosen_by_criterion(setting.smoothing)) {
        problem.start_from(setting.start, all / width);
    }
}

// The fit for lambda taken to full precision, its own edf, and the values in
// units of `unit`, carrying the counts' total (tails included) as the
// exact-mass fit's carry the masses'.
outcome deliver(penalised_fit& problem, double lambda, std::int64_t tried, std::int64_t knots, double sample,
                double all, double unit, double* values) noexcept {
    const status solved = problem.solve(lambda, 0.0, true);
    if (solved != status::ok) {
        return searched(fits::failure(solved), lambda, 0.0, problem.solves(), tried);
    }
    problem.save();
    const double edf = problem.effective_df(), deviance = problem.deviance(sample);
    if (problem.interrupted()) {
        return searched(fits::failure(status::interrupted), lambda, 0.0, problem.solves(), tried);
    }
    const double* const u = problem.best();
    for (std::int64_t j = 0; j < knots; ++j) {
        if (!(u[j] * unit < infinity)) {
            return searched(fits::failure(status::out_of_range), 0.0, 0.0, problem.solves(), tried);
        }
    }
    for (std::int64_t j = 0; j < knots; ++j) values[j] = u[j] * unit;
    outcome done = searched(outcome{}, lambda, edf, problem.solves(), tried);
    done.deviance = deviance;
    done.left.mass = problem.best_tail_mass(0) * all;
    done.right.mass = problem.best_tail_mass(1) * all;
    return done;
}

// A factorisation that fails falls back to a slower, accurate one, but not
// where the lambda -> 0 limit (closed, or open_fit's with open ends) answers
// the fits it leaves unconfirmed: below that resolution.
void accurate_where_unresolved(penalised_fit& problem, const double* edges, const double* counts, std::int64_t bins,
                               std::int64_t refine, const open_ends& ends, const tally& t) noexcept {
    if (refine > 1 || t.open) {
        problem.accurate_from(limit_on_failure / resolution(edges, counts, bins, refine, ends, t.all, 1.0));
    }
}

double search_decrement(double sample) noexcept {
    return std::max(smallest_search_decrement, search_criterion_error / sample);
}

// The search from the decade `first`; restarting the fits of rising lambdas
// where it starts from a coarse search's choice.
counts_search::candidate search(penalised_fit& problem, double sample, double complexity, double top_edf,
                                double first, bool from_coarse, std::int64_t& tried) noexcept {
    return counts_search::choose_smoothing(problem, sample, complexity, top_edf, search_decrement(sample), first,
                                           from_coarse, tried);
}

// The decade the search starts from at refines above coarse_refine: a decade
// above the one the criterion chooses at coarse_refine (the scaling by W^5
// leaves that nearly free of the refine), so that the walk down reaches the
// choice from a smoother fit; or NaN where there is none (refine at most
// coarse_refine, or no choice at it): then the typical decade for the sample
// size. A
// search at a fine refine costs several times as much per candidate as at the
// coarse one, most of it in the candidates far from the choice; from the
// coarse choice it fits three or four. `rough` receives the coarse search's
// solves and candidates, and status interrupted where the stop flag ended it.
// Uses the whole scratch.
double coarse_decade(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
                     const settings& setting, const open_ends& ends, double* scratch, outcome& rough) noexcept {
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    if (refine <= coarse_refine) return none;
    workspace w(scratch);
    penalised_fit coarse(bins, coarse_refine, w);
    double width = 0.0;
    tally t;
    if (prepare(edges, counts, bins, coarse_refine, setting, ends, coarse, width, t).code != status::ok ||
        t.occupied < 2) {
        return none;
    }
    const double sample = setting.sample_size > 0.0 ? setting.sample_size : t.all;
    set_up(coarse, counts, bins, ends, t.all, width, setting);
    accurate_where_unresolved(coarse, edges, counts, bins, coarse_refine, ends, t);
    const counts_search::candidate best = search(coarse, sample, setting.complexity, static_cast<double>(t.occupied - 1),
                                                 counts_search::first_decade(sample), false, rough.candidates);
    rough.solves = coarse.solves();
    if (coarse.interrupted()) rough.code = status::interrupted;
    return best.ok ? best.decade + 1.0 : none;
}

}  // namespace

bool limit_on_failure_at(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
                         const settings& setting, const open_ends& ends) noexcept {
    double total = 0.0;
    for (std::int64_t i = 0; i < bins; ++i) total += counts[i];
    tally t;
    if (bins < 1 || refine < 1 || !settings_in_range(setting) || count_up(ends, counts, bins, total, t) != status::ok ||
        !(t.all > 0.0)) {
        return false;
    }
    const double sample = setting.sample_size > 0.0 ? setting.sample_size : t.all;
    const double lambda = fits::chosen_by_criterion(setting.smoothing) ? typical_lambda(sample) : setting.smoothing;
    return resolution(edges, counts, bins, refine, ends, t.all, lambda) < limit_on_failure;
}

std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept {
    const std::int64_t exact = smooth_fit::scratch_size(bins, refine);
    if (exact < 0) return -1;
    workspace w, coarse;
    const penalised_fit counted(bins, refine, w);
    // The search at a fine refine runs at coarse_refine first, in the same scratch.
    const penalised_fit ranked(bins, std::min(refine, coarse_refine), coarse);
    return w.failed() || coarse.failed() ? -1 : std::max({exact, w.size(), coarse.size()});
}

namespace {

// fit() with the checks of sizes and settings made, the search (if any)
// starting from the decade `first`.
outcome fit_from(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
                 const settings& setting, double* values, double* scratch, const open_ends& ends, std::int64_t knots,
                 double first) noexcept {
    const bool chosen = fits::chosen_by_criterion(setting.smoothing);
    workspace w(scratch);
    penalised_fit problem(bins, refine, w);
    double width = 0.0;
    tally t;
    if (const outcome prepared = prepare(edges, counts, bins, refine, setting, ends, problem, width, t);
        prepared.code != status::ok) {
        return prepared;
    }
    const double all = t.all;
    const double sample = setting.sample_size > 0.0 ? setting.sample_size : all;
    const double top_edf = static_cast<double>(t.occupied - 1);
    const bool exact_masses = fits::exact_masses(setting.smoothing);
    // The exact-mass fit: for lambda 0, when there is nothing to smooth between
    // bins, or when the criterion prefers it. It overwrites the scratch.
    auto exact = [&](std::int64_t solves, std::int64_t candidates) -> outcome {
        smooth_fit::limits bounds;
        bounds.stop = setting.stop;
        const outcome o = smooth_fit::fit(edges, counts, bins, refine, values, scratch, bounds);
        return searched(fits::failure(o.code, o.index), 0.0, top_edf, solves + o.solves, candidates + 1);
    };
    if (exact_masses || t.occupied < 2) {
        return exact(0, 0);
    }
    // A lambda below float64's resolution of the likelihood's curvature: the
    // limit, with the lambda given and the exact fit's edf. (With open ends the
    // limit is open_fit's, which the caller makes.)
    const bool closed_limit = refine > 1 && !t.open;
    auto limit = [&](double lambda, std::int64_t solves, std::int64_t candidates) -> outcome {
        outcome o = exact(solves, candidates);
        if (o.code == status::ok) o.smoothing = lambda;
        return o;
    };
    if (!chosen && closed_limit && resolution(edges, counts, bins, refine, ends, all, setting.smoothing) < unresolved) {
        return limit(setting.smoothing, 0, 0);
    }
    set_up(problem, counts, bins, ends, all, width, setting);
    accurate_where_unresolved(problem, edges, counts, bins, refine, ends, t);

    double lambda = setting.smoothing;
    std::int64_t tried = 1;
    if (fits::chosen_by_criterion(lambda)) {
        const double start = std::isnan(first) ? counts_search::first_decade(sample) : first;
        const counts_search::candidate best =
            search(problem, sample, setting.complexity, top_edf, start, !std::isnan(first), tried);
        if (problem.interrupted()) {
            return searched(fits::failure(status::interrupted), 0.0, 0.0, problem.solves(), tried);
        }
        if (!best.ok) {
            // No lambda of the search could be confirmed: where the lambdas
            // it starts from for this sample size are below resolution, the
            // choice tends to the limit (lambda 0) as it does when the
            // criterion prefers it.
            if (closed_limit && resolution(edges, counts, bins, refine, ends, all, typical_lambda(sample)) < limit_on_failure) {
                return exact(problem.solves(), tried);
            }
            return searched(fits::failure(status::inaccurate), 0.0, 0.0, problem.solves(), tried);
        }
        // The exact-mass fit competes, with deviance 0 and the data's own
        // degrees of freedom; where the best lambda has all but those (the
        // search's bottom), within the criterion's resolution it is the fit
        // that the choice tends to. (With refine = 1 it may not exist; the
        // search's choice then stands.)
        const double resolution = best.edf >= top_edf - edf_margin ? setting.complexity * edf_margin : 0.0;
        if (refine > 1 && !t.open && setting.complexity * top_edf < best.criterion + resolution) {
            return exact(problem.solves(), tried);
        }
        problem.restore();
        const bool open[2] = {ends.left.shape != tail::form::none, ends.right.shape != tail::form::none};
        lambda = counts_search::keep_end_peak(problem, bins, open, sample, best.lambda, search_decrement(sample),
                                                tried);
    }
    const outcome delivered = deliver(problem, lambda, tried, knots, sample, all, all / width, values);
    if (delivered.code != status::inaccurate && delivered.code != status::iteration_limit) {
        return delivered;
    }
    // Below resolution the limit answers: the exact-mass fit here, open_fit's
    // with open ends.
    if ((refine > 1 || t.open) && resolution(edges, counts, bins, refine, ends, all, lambda) < limit_on_failure) {
        return closed_limit ? limit(lambda, delivered.solves, tried) : delivered;
    }
    // Once more from a start whose penalty at lambda is small, on the most
    // accurate factorisation.
    problem.start_smooth(lambda);
    problem.most_accurate();
    return deliver(problem, lambda, tried, knots, sample, all, all / width, values);
}

}  // namespace

outcome fit(const double* edges, const double* counts, std::int64_t bins, std::int64_t refine,
            const settings& setting, double* values, double* scratch, const open_ends& ends) noexcept {
    const std::int64_t knots = smooth_fit::knot_count(bins, refine);
    if (knots < 0) {
        return fits::failure(status::bad_size);
    }
    if (!settings_in_range(setting)) {
        return fits::failure(status::bad_setting);
    }
    // At a fine refine the search first ranks the decades at a coarse one,
    // in the same scratch, and then walks from the best of them.
    outcome rough;
    const double first = fits::chosen_by_criterion(setting.smoothing)
                             ? coarse_decade(edges, counts, bins, refine, setting, ends, scratch, rough)
                             : 0.0;
    if (rough.code == status::interrupted) {
        return searched(fits::failure(status::interrupted), 0.0, 0.0, rough.solves, rough.candidates);
    }
    outcome o = fit_from(edges, counts, bins, refine, setting, values, scratch, ends, knots, first);
    o.solves += rough.solves;
    o.candidates += rough.candidates;
    return o;
}

}  // namespace zelvane::counts_fit
