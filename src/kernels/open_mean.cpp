// Meeting a known mean with the tail beyond the last edge (or, if that end
// is closed or empty, the one before the first).
//
// The adjusting end's parameter is the unknown of a root search on the
// density's mean, in a variable in which the tail's own mean is linear:
// s = 1 / (alpha - 1) for a Pareto tail (its mean is T L (1 + s)), beta for
// an exponential one (T (L +- beta)). The body's share of the mean moves
// little with the end value, so the step that would be exact if the body
// stayed put, then secant steps, land within rounding in three or four fits;
// once two fits lie on either side, Brent's method takes over. Steps that
// leave the parameter's range fall back to a bracket grown from its bound,
// which also gives the range of means that can be met.
#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/open_body.hpp"

namespace zelvane::open_body {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
// The root search stops once the mean is within this share of its target (or
// the bracket cannot shrink further), or after this many fits. Where the
// fits' own precision keeps it further off (a counts fit's Newton steps stop
// at about 1e-8 of the mean), an answer within the second share is still the
// mean met; beyond it the search reports iteration_limit.
constexpr double mean_tolerance = 1e-13;
constexpr double mean_met = 1e-7;
constexpr int max_mean_fits = 100;

// Brent's root search for g(t) = 0 on [a, b] with g(a), g(b) of opposite
// signs already known; returns the last t evaluated (g has then left p's
// last fit at it) or NaN when a fit failed. g counts its fits in `fits`; the
// search stops at max_mean_fits of them.
template <class Function>
double brent(Function&& g, double a, double ga, double b, double gb, double tolerance, int& fits) noexcept {
    double c = a, gc = ga, d = b - a, e = d;
    while (fits < max_mean_fits) {
        if ((gb > 0.0) == (gc > 0.0)) {
            c = a;
            gc = ga;
            d = e = b - a;
        }
        if (std::fabs(gc) < std::fabs(gb)) {
            a = b;
            b = c;
            c = a;
            ga = gb;
            gb = gc;
            gc = ga;
        }
        const double bound = 2.0 * std::numeric_limits<double>::epsilon() * std::fabs(b);
        const double half = 0.5 * (c - b);
        if (std::fabs(gb) <= tolerance || std::fabs(half) <= bound) return b;
        if (std::fabs(e) >= bound && std::fabs(ga) > std::fabs(gb)) {
            // Inverse quadratic interpolation, or the secant.
            double pp, q;
            const double s = gb / ga;
            if (a == c) {
                pp = 2.0 * half * s;
                q = 1.0 - s;
            } else {
                const double qa = ga / gc, r = gb / gc;
                pp = s * (2.0 * half * qa * (qa - r) - (b - a) * (r - 1.0));
                q = (qa - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (pp > 0.0) q = -q;
            pp = std::fabs(pp);
            if (2.0 * pp < std::min(3.0 * half * q - std::fabs(bound * q), std::fabs(e * q))) {
                e = d;
                d = pp / q;
            } else {
                d = half;
                e = d;
            }
        } else {
            d = half;
            e = d;
        }
        a = b;
        ga = gb;
        b += std::fabs(d) > bound ? d : (half > 0.0 ? bound : -bound);
        gb = g(b);
        if (std::isnan(gb)) return gb;
    }
    return b;
}

// The search for the parameter of end k that meets the mean, the other end
// keeping what the fit without the mean gave it.
class mean_search {
public:
    mean_search(open_problem& p, const settings& setting, const double parameter[2], int k, std::int64_t solves,
                double* values) noexcept
        : p_(p), parameter_{parameter[0], parameter[1]}, smoothing_(p.last().smoothing), target_(setting.mean),
          tolerance_(mean_tolerance * std::max(std::fabs(setting.mean), p.width())), k_(k),
          pareto_(p.side(k).kind == tail_kind::pareto), solves_(solves), values_(values) {}

    outcome run() noexcept;

private:
    // t is s = 1 / (alpha - 1) for a Pareto tail, beta for an exponential one.
    double parameter_at(double t) const noexcept { return pareto_ ? 1.0 + 1.0 / t : t; }
    // The mean of the fit with end k's parameter at t (NaN where it fails).
    double mean_at(double t) noexcept {
        double held[2] = {parameter_[0], parameter_[1]};
        held[k_] = parameter_at(t);
        const status r = fit_within_bounds(p_, held, smoothing_);
        solves_ += p_.last().solves;
        ++fits_;
        return r == status::ok ? p_.fitted_mean() : std::numeric_limits<double>::quiet_NaN();
    }
    double gap(double t) noexcept { return mean_at(t) - target_; }
    outcome finish(status code) const noexcept { return p_.finish(code, solves_, values_); }
    outcome confirmed(double t) noexcept;
    bool secant(outcome& result) noexcept;
    outcome bracket() noexcept;

    open_problem& p_;
    double parameter_[2];
    double smoothing_, target_, tolerance_;
    int k_;
    bool pareto_;
    std::int64_t solves_;
    double* values_;
    int fits_ = 0;
    double t_low_ = 0.0, t_high_ = 0.0;
};

outcome mean_search::run() noexcept {
    // The adjusting tail's parameter runs between its bounds and, for exact
    // masses, no further than the end bin can carry: a held end value v
    // takes v * h / 2 of the bin's mass m (h its last piece), so v < 2 m / h.
    const auto [low_parameter, high_parameter] = p_.allowed(k_);
    if (!(low_parameter < high_parameter)) {
        // Only the largest end value the bin can carry is left, with the
        // tail beyond its bound: the fit without the mean has it, and its
        // mean is the one within reach.
        outcome o = finish(status::unreachable_mean);
        o.lowest_mean = o.highest_mean = p_.fitted_mean();
        return o;
    }
    // The search variable's range: from the highest index (or the shortest
    // scale) to an index a trillionth above 1 (or the longest scale). A
    // Pareto tail's mean grows without bound as alpha falls to 1.
    t_low_ = pareto_ ? 1.0 / (high_parameter - 1.0) : low_parameter;
    t_high_ = pareto_ ? 1e12 : high_parameter;
    outcome result;
    return secant(result) ? result : bracket();
}

// The answer of a search, whose last fit is not always at it: fitted again
// where needed, and iteration_limit if the mean is still not met.
outcome mean_search::confirmed(double t) noexcept {
    if (!(std::fabs(p_.fitted_mean() - target_) <= tolerance_)) mean_at(t);
    const double met = mean_met / mean_tolerance * tolerance_;
    if (p_.last().code == status::ok && !(std::fabs(p_.fitted_mean() - target_) <= met)) {
        return finish(status::iteration_limit);
    }
    return finish(p_.last().code);
}

// Secant steps from the fit without the mean. Its tail's first step
// assumes the body stays put; the body's share of the mean moves a little,
// and the secant takes that in. Two points on either side of the mean hand
// over to the bracketed search; a step that leaves the range (a mean near or
// beyond what the tails can reach) to the full search of bracket(), which
// also finds that range. True where `result` holds the answer.
bool mean_search::secant(outcome& result) noexcept {
    auto g = [this](double t) { return gap(t); };
    const open_problem& p = p_;
    const int k = k_;
    const bool pareto = pareto_;
    const double target = target_, tolerance = tolerance_, t_low = t_low_, t_high = t_high_;
    const double first = (k == 1 ? p.last().right : p.last().left).parameter;
    const double t_first = pareto ? (first > 1.0 ? 1.0 / (first - 1.0) : t_high) : first;
    double t = p.tail_step(k, t_first, target);
    double t_before = std::numeric_limits<double>::quiet_NaN(), g_before = t_before;
    double below_t = t_before, below_g = t_before, above_t = t_before, above_g = t_before;
    for (int step = 0; step < 6 && t > t_low && t < t_high; ++step) {
        const double gt = g(t);
        if (std::isnan(gt)) break;
        if (std::fabs(gt) <= tolerance) {
            result = finish(p.last().code);
            return true;
        }
        if (gt < 0.0) {
            below_t = t;
            below_g = gt;
        } else {
            above_t = t;
            above_g = gt;
        }
        if (!std::isnan(below_t) && !std::isnan(above_t)) {
            const double root = brent(g, below_t, below_g, above_t, above_g, tolerance, fits_);
            if (std::isnan(root)) break;
            result = confirmed(root);
            return true;
        }
        double next = std::isnan(g_before) || gt == g_before ? p.tail_step(k, t, target)
                                                             : t - gt * (t - t_before) / (gt - g_before);
        t_before = t;
        g_before = gt;
        t = next;
    }
    return false;
}

// A bracket grown from the parameter's bound (tenfold in s for a Pareto
// tail, up to an index a trillionth above 1; an exponential tail's two
// bounds), then Brent's method in it; unreachable_mean, with the range of
// means that can be met, where the bracket does not hold the target.
outcome mean_search::bracket() noexcept {
    auto g = [this](double t) { return gap(t); };
    const open_problem& p = p_;
    const bool pareto = pareto_;
    const double target = target_, tolerance = tolerance_, t_low = t_low_, t_high = t_high_;
    double a = t_low;
    double ga = mean_at(a);
    const double floor_mean = ga;
    double b = pareto ? std::max(1.0, 10.0 * a) : t_high;
    double gb = mean_at(b);
    while (pareto && !std::isnan(gb) && gb < target && b < t_high) {
        a = b;
        ga = gb;
        b *= 10.0;
        gb = mean_at(b);
    }
    if (std::isnan(ga) || std::isnan(gb)) {
        return finish(p.last().code == status::ok ? status::inaccurate : p.last().code);
    }
    const double lowest = pareto ? floor_mean : std::min(ga, gb), highest = std::max(ga, gb);
    if (!(target >= lowest && target <= highest)) {
        outcome o = finish(status::unreachable_mean);
        o.lowest_mean = lowest;
        // A Pareto tail's mean grows without bound as alpha falls to 1 (the
        // search reaching no further than a trillionth above it).
        o.highest_mean = pareto && target < lowest ? infinity : highest;
        return o;
    }
    const double t = brent(g, a, ga - target, b, gb - target, tolerance, fits_);
    if (std::isnan(t)) {
        return finish(p.last().code == status::ok ? status::inaccurate : p.last().code);
    }
    return confirmed(t);
}

}  // namespace

outcome meet_mean(open_problem& p, const settings& setting, const double parameter[2], std::int64_t solves,
                  double* values) noexcept {
    // The end that meets the mean: the right one if it is open with mass, else the left.
    auto usable = [&](int k) { return p.side(k).open && p.side(k).mass > 0.0; };
    const int k = usable(1) ? 1 : usable(0) ? 0 : -1;
    if (k < 0) {
        return fits::failure(status::bad_setting);
    }
    return mean_search(p, setting, parameter, k, solves, values).run();
}

}  // namespace zelvane::open_body
