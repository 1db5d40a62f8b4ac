// Open ends and a known mean, around the smooth fit and the counts fit.
//
// Each open end is an `end`: where it joins, its kind, its mass (fixed for
// exact masses, fitted for counts) and the bounds that its parameter puts on
// the body's value there. A fit of the body is a `fit_body` call with each end
// either free or held (exact masses: the value held; counts: the tail tied to
// the end value by a fixed parameter, each fit after the first starting from
// the last one's optimum). Ends outside their bounds are held at the bound
// and the body fitted again, at most once per end.
//
// For a known mean the adjusting end's parameter is the unknown of a root
// search on the density's mean, in a variable in which the tail's own mean is
// linear: s = 1 / (alpha - 1) for a Pareto tail (its mean is T L (1 + s)),
// beta for an exponential one (T (L +- beta)). The body's share of the mean
// moves little with the end value, so the step that would be exact if the
// body stayed put, then secant steps, land within rounding in three or four
// fits; once two fits lie on either side, Brent's method takes over. Steps
// that leave the parameter's range fall back to a bracket grown from its
// bound, which also gives the range of means that can be met.
#include "kernels/open_fit.hpp"

#include "kernels/plain_math.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelvane::open_fit {

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

struct end {
    bool open = false;
    int side = 0;                        // 0 left, 1 right
    tail_kind kind = tail_kind::none;
    double joint = 0.0;
    double mass = 0.0;                   // exact masses: the open bin's; counts: its count
    std::int64_t knot = 0;               // the body knot at the joint
};

double parameter_from(const end& e, double value, double mass) noexcept {
    if (e.kind == tail_kind::pareto) return mass > 0.0 ? value * e.joint / mass : infinity;
    return value > 0.0 ? mass / value : infinity;
}

// The body's value at the joint for a parameter, with this tail mass.
double value_from(const end& e, double parameter, double mass) noexcept {
    return e.kind == tail_kind::pareto ? parameter * mass / e.joint : mass / parameter;
}

// The tail's mass per unit of the body's value at the joint, for a parameter.
double weight_from(const end& e, double parameter) noexcept {
    return e.kind == tail_kind::pareto ? e.joint / parameter : parameter;
}

double lowest_parameter(const end& e, double width) noexcept {
    return e.kind == tail_kind::pareto ? lowest_index : shortest_scale * width;
}
double highest_parameter(const end& e, double width) noexcept {
    return e.kind == tail_kind::pareto ? highest_index : longest_scale * width;
}

// Everything one fit of the body needs, and what it leaves.
class open_problem {
public:
    open_problem(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
                 const settings& setting, double* scratch) noexcept
        : edges_(edges), masses_(masses), refine_(refine), setting_(setting) {
        const body part = finite_part(edges, bins);
        first_ = part.first;
        bins_ = part.bins;
        knots_ = smooth_fit::knot_count(bins_, refine);
        knot_x_ = scratch;
        values_ = knot_x_ + knots_;
        work_ = values_ + knots_;
        width_ = edges[first_ + bins_] - edges[first_];
        ends_[0] = {part.left_open, 0, tail_kind::exponential, edges[first_], part.left_open ? masses[0] : 0.0, 0};
        const bool pareto = edges[first_ + bins_] > 0.0;
        ends_[1] = {part.right_open, 1, pareto ? tail_kind::pareto : tail_kind::exponential, edges[first_ + bins_],
                    part.right_open ? masses[bins - 1] : 0.0, knots_ - 1};
        // Counts on a body of one bin are met exactly: no curvature is
        // needed to carry both shares, so the exact fit is the penalised
        // optimum (with a free tail the penalised problem has no unique one).
        for (std::int64_t i = 0; i < bins; ++i) occupied_ += masses[i] > 0.0 ? 1 : 0;
        // So are counts in fewer than two bins (tails included): they say
        // nothing about shape, as for the counts fit of a closed histogram.
        counts_ = setting.smoothing != 0.0 && bins_ > 1 && occupied_ >= 2;
    }

    const end& side(int k) const noexcept { return ends_[k]; }
    double width() const noexcept { return width_; }
    bool counts() const noexcept { return counts_; }
    std::int64_t knots() const noexcept { return knots_; }
    const double* values() const noexcept { return values_; }
    const outcome& last() const noexcept { return last_; }

    void write_knots() noexcept { smooth_fit::write_knots(edges_ + first_, bins_, refine_, knot_x_); }

    // Fits the body with each end free (negative parameter) or held by its
    // parameter, at the given smoothing; fills last() and the tails.
    status fit_body(const double parameter[2], double smoothing) noexcept {
        last_ = {};
        if (setting_.stop != nullptr && setting_.stop->load(std::memory_order_relaxed)) {
            last_.code = status::interrupted;
            return status::interrupted;
        }
        smooth_fit::limits bounds;
        bounds.stop = setting_.stop;
        if (!counts_) {
            smooth_fit::fixed_ends held;
            double* const slot[2] = {&held.left, &held.right};
            for (int k = 0; k < 2; ++k) {
                if (ends_[k].open && parameter[k] > 0.0) {
                    *slot[k] = ends_[k].mass > 0.0 ? value_from(ends_[k], parameter[k], ends_[k].mass) : 0.0;
                }
            }
            const smooth_fit::outcome o =
                smooth_fit::fit(edges_ + first_, masses_ + first_, bins_, refine_, values_, work_, bounds, held);
            last_.code = o.code;
            last_.index = o.index < 0 ? -1 : o.index + first_;
            last_.solves = o.solves;
            last_.edf = static_cast<double>(occupied_ - 1);
            if (o.code != status::ok) return o.code;
            for (int k = 0; k < 2; ++k) {
                tails_[k] = tail_from(ends_[k], ends_[k].mass, parameter[k]);
            }
        } else {
            counts_fit::open_ends open;
            counts_fit::tail* const slot[2] = {&open.left, &open.right};
            for (int k = 0; k < 2; ++k) {
                if (!ends_[k].open) continue;
                slot[k]->count = ends_[k].mass;
                if (parameter[k] > 0.0) {
                    slot[k]->shape = counts_fit::tail::form::tied;
                    slot[k]->weight = weight_from(ends_[k], parameter[k]);
                } else {
                    slot[k]->shape = counts_fit::tail::form::free_mass;
                }
            }
            // After a first fit, each starts from the last one's optimum.
            const counts_fit::outcome o = counts_fit::fit(
                edges_ + first_, masses_ + first_, bins_, refine_,
                {smoothing, setting_.sample_size, setting_.complexity, warm_ ? values_ : nullptr, setting_.stop}, values_,
                work_, open);
            warm_ = warm_ || o.code == status::ok;
            last_.code = o.code;
            last_.index = o.index < 0 ? -1 : o.index + first_;
            last_.smoothing = o.smoothing;
            last_.edf = o.edf;
            last_.deviance = o.deviance;
            last_.solves = o.solves;
            if (o.code != status::ok) return o.code;
            for (int k = 0; k < 2; ++k) {
                tails_[k] = tail_from(ends_[k], (k == 0 ? o.left : o.right).mass, parameter[k]);
            }
        }
        last_.left = tails_[0];
        last_.right = tails_[1];
        return status::ok;
    }

    // Which free ends of the last fit lie outside their bounds, with the bound
    // each should be held at.
    bool out_of_bounds(double parameter[2]) const noexcept {
        bool any = false;
        for (int k = 0; k < 2; ++k) {
            if (!ends_[k].open || parameter[k] > 0.0) continue;
            const double p = tails_[k].parameter;
            if (p >= lowest_parameter(ends_[k], width_) && p <= highest_parameter(ends_[k], width_)) continue;
            // Exact masses: an end value that the end bin cannot carry gives
            // way to the largest it can, and the tail goes beyond its bound.
            parameter[k] = within_bounds(k, std::isnan(p) ? 0.0 : p);
            any = true;
        }
        return any;
    }

    // The tail's parameter by Pareto (or exponential) interpolation: the one
    // whose tail, continued over the end bin, would hold that bin's mass and
    // the open bin's in their ratio. For a Pareto tail from L over [L0, L],
    // (m + T) / T = (L / L0)^alpha; for an exponential one over a bin of width
    // h, (m + T) / T = e^(h / beta). This uses the masses (or counts) as
    // given, two numbers that a sample pins down far better than the body's
    // end value, which a smooth fit extrapolates. Negative where it does not
    // apply: a Pareto end bin that starts at zero or below, or an empty tail.
    double interpolated(int k) const noexcept {
        const end& e = ends_[k];
        const std::int64_t bin = k == 0 ? first_ : first_ + bins_ - 1;
        if (!e.open || !(e.mass > 0.0)) return -1.0;
        const double ratio = plain_math::log(1.0 + masses_[bin] / e.mass);
        if (e.kind == tail_kind::pareto) {
            const double inner = edges_[bin];
            if (!(inner > 0.0)) return -1.0;
            return ratio / plain_math::log(e.joint / inner);
        }
        return ratio > 0.0 ? (edges_[bin + 1] - edges_[bin]) / ratio : infinity;
    }

    // A parameter for end k within its bounds and, for exact masses, no
    // further than the end bin can carry.
    double within_bounds(int k, double parameter) const noexcept {
        const range r = allowed(k);
        parameter = std::clamp(parameter, lowest_parameter(ends_[k], width_), highest_parameter(ends_[k], width_));
        // Where the bin's limit lies beyond a bound, the limit wins: the tail
        // goes beyond its bound.
        return ends_[k].kind == tail_kind::pareto ? std::min(parameter, r.high) : std::max(parameter, r.low);
    }

    // The parameters end k may take: its bounds and, for exact masses, what
    // the end bin can carry (a Pareto index no higher, an exponential scale no
    // shorter than that of the largest end value it carries). Empty (low above
    // high) where that limit lies beyond a bound.
    struct range {
        double low, high;
    };
    range allowed(int k) const noexcept {
        const end& e = ends_[k];
        range r{lowest_parameter(e, width_), highest_parameter(e, width_)};
        if (counts_ || !(e.mass > 0.0)) return r;
        const double limit = parameter_from(e, carried(k), e.mass);
        if (e.kind == tail_kind::pareto) {
            r.high = std::min(r.high, limit);
        } else {
            r.low = std::max(r.low, limit);
        }
        return r;
    }

    // The largest value the end bin can carry at an end when its other values
    // are zero: v h / 2 of its mass m on the end piece h, so just below 2 m / h.
    double carried(int k) const noexcept {
        const std::int64_t bin = k == 0 ? first_ : first_ + bins_ - 1;
        const double piece = (edges_[bin + 1] - edges_[bin]) / static_cast<double>(refine_);
        return 2.0 * masses_[bin] / piece * (1.0 - 1e-9);
    }

    // The mean of the last fit.
    double fitted_mean() const noexcept { return mean(knot_x_, values_, knots_, tails_[0], tails_[1]); }

    // The total mass of the last fit, body and tails.
    double fitted_total() const noexcept {
        double total = tails_[0].mass + tails_[1].mass;
        for (std::int64_t j = 0; j + 1 < knots_; ++j) {
            total += 0.5 * (knot_x_[j + 1] - knot_x_[j]) * (values_[j] + values_[j + 1]);
        }
        return total;
    }

    // The tail's own first moment per unit of its mass moves by `slope` per
    // unit of the search variable t (s = 1 / (alpha - 1) or beta): L for a
    // Pareto tail, +1 for an exponential one on the right, -1 on the left.
    // The t at which the last fit's mean would be `target` if only the tail
    // moved, body and tail mass held.
    double tail_step(int k, double t, double target) const noexcept {
        const end& e = ends_[k];
        const double slope = e.kind == tail_kind::pareto ? e.joint : (k == 1 ? 1.0 : -1.0);
        const double mass = tails_[k].mass;
        if (!(mass > 0.0)) return std::numeric_limits<double>::quiet_NaN();
        return t + (target - fitted_mean()) * fitted_total() / (mass * slope);
    }

private:
    tail_shape tail_from(const end& e, double mass, double held) const noexcept {
        if (!e.open) return {};
        tail_shape t{e.kind, e.joint, mass, 0.0};
        if (held > 0.0) {
            t.parameter = held;
        } else {
            t.parameter = parameter_from(e, values_[e.knot], mass);
        }
        if (mass == 0.0) t.kind = tail_kind::none;
        return t;
    }

    const double* edges_;
    const double* masses_;
    std::int64_t refine_, first_ = 0, bins_ = 0, knots_ = 0, occupied_ = 0;
    settings setting_;
    double *knot_x_, *values_, *work_;
    double width_ = 0.0;
    bool counts_ = false, warm_ = false;
    end ends_[2];
    tail_shape tails_[2];
    outcome last_;
};

// Fits with the ends free, then holds at its bound every end that left it
// (at most twice: holding one end can move the other).
status fit_within_bounds(open_problem& p, double parameter[2], double smoothing) noexcept {
    for (int round = 0; round < 3; ++round) {
        const status s = p.fit_body(parameter, smoothing);
        if (s != status::ok || !p.out_of_bounds(parameter)) return s;
    }
    return status::ok;
}

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

outcome failed(status code, std::int64_t index = -1) noexcept {
    outcome o;
    o.code = code;
    o.index = index;
    return o;
}

}  // namespace

body finite_part(const double* edges, std::int64_t bins) noexcept {
    body b;
    b.left_open = bins >= 1 && edges[0] == -infinity;
    b.right_open = bins >= 1 && edges[bins] == infinity;
    b.first = b.left_open ? 1 : 0;
    b.bins = bins - (b.left_open ? 1 : 0) - (b.right_open ? 1 : 0);
    return b;
}

std::int64_t scratch_size(std::int64_t bins, std::int64_t refine) noexcept {
    const std::int64_t knots = smooth_fit::knot_count(std::max<std::int64_t>(bins, 1), refine);
    const std::int64_t exact = smooth_fit::scratch_size(std::max<std::int64_t>(bins, 1), refine);
    const std::int64_t counts = counts_fit::scratch_size(std::max<std::int64_t>(bins, 1), refine);
    if (knots < 0 || exact < 0 || counts < 0) return -1;
    return 2 * knots + std::max(exact, counts);
}

double mean(const double* knots, const double* values, std::int64_t count, const tail_shape& left,
            const tail_shape& right) noexcept {
    // Each piece's integral of x f, by the trapezoid's exact first moment,
    // taken about the first knot to keep the terms small.
    const double origin = knots[0];
    double moment = 0.0, mass = 0.0;
    for (std::int64_t j = 0; j + 1 < count; ++j) {
        const double x0 = knots[j] - origin, x1 = knots[j + 1] - origin, h = x1 - x0;
        moment += h * (values[j] * (2.0 * x0 + x1) + values[j + 1] * (x0 + 2.0 * x1)) / 6.0;
        mass += 0.5 * h * (values[j] + values[j + 1]);
    }
    double total = mass, tails = 0.0;
    for (const tail_shape* t : {&left, &right}) {
        if (t->kind == tail_kind::none || t->mass == 0.0) continue;
        total += t->mass;
        if (t->kind == tail_kind::pareto) {
            if (!(t->parameter > 1.0)) return infinity;
            tails += t->mass * t->joint * t->parameter / (t->parameter - 1.0);
        } else {
            tails += t->mass * (t == &left ? t->joint - t->parameter : t->joint + t->parameter);
        }
    }
    return (moment + origin * mass + tails) / total;
}

outcome fit(const double* edges, const double* masses, std::int64_t bins, std::int64_t refine,
            const settings& setting, double* values, double* scratch) noexcept {
    if (bins < 1 || smooth_fit::knot_count(bins, refine) < 0) {
        return failed(status::bad_size);
    }
    const body part = finite_part(edges, bins);
    if (part.bins < 1) {
        return failed(status::bad_size);
    }
    if (!part.left_open && !part.right_open) {
        if (setting.has_mean) return failed(status::bad_setting);
        outcome o;
        if (setting.smoothing == 0.0) {
            smooth_fit::limits bounds;
            bounds.stop = setting.stop;
            const smooth_fit::outcome s = smooth_fit::fit(edges, masses, bins, refine, values, scratch, bounds);
            o.code = s.code;
            o.index = s.index;
            o.solves = s.solves;
            o.edf = static_cast<double>(std::count_if(masses, masses + bins, [](double m) { return m > 0.0; }) - 1);
        } else {
            const counts_fit::outcome s = counts_fit::fit(
                edges, masses, bins, refine,
                {setting.smoothing, setting.sample_size, setting.complexity, nullptr, setting.stop}, values, scratch);
            o.code = s.code;
            o.index = s.index;
            o.smoothing = s.smoothing;
            o.edf = s.edf;
            o.deviance = s.deviance;
            o.solves = s.solves;
        }
        return o;
    }
    if (refine < 2 || !(setting.smoothing == setting.smoothing) || (setting.has_mean && !std::isfinite(setting.mean))) {
        return failed(status::bad_setting);
    }
    for (const std::int64_t i : {std::int64_t{0}, bins - 1}) {
        const bool open = (i == 0 && part.left_open) || (i == bins - 1 && part.right_open);
        if (open && !(masses[i] >= 0.0 && masses[i] < infinity)) {
            return failed(status::bad_mass, i);
        }
    }

    open_problem p(edges, masses, bins, refine, setting, scratch);
    // Exact masses: a tail joined continuously to an empty bin starts at
    // zero and carries nothing, so an open bin with mass needs a neighbour
    // with some.
    for (int k = 0; k < 2 && !p.counts(); ++k) {
        const std::int64_t beside = k == 0 ? 1 : bins - 2;
        if (p.side(k).open && p.side(k).mass > 0.0 && !(masses[beside] > 0.0)) {
            return failed(status::empty_beside_tail, beside);
        }
    }
    p.write_knots();
    std::int64_t solves = 0;
    auto finish = [&](status code) -> outcome {
        outcome o = p.last();
        o.code = code;
        o.solves = solves;
        if (code == status::ok) std::copy(p.values(), p.values() + p.knots(), values);
        return o;
    };
    // The fit without the mean: each tail's parameter interpolated from the
    // masses where it can be, else the end free within its bounds. With
    // counts and an automatic smoothing, it also chooses the smoothing that
    // the search for the mean then keeps.
    double parameter[2] = {-1.0, -1.0};
    for (int k = 0; k < 2; ++k) {
        const double guess = p.interpolated(k);
        if (guess > 0.0) parameter[k] = p.within_bounds(k, guess);
    }
    status s = fit_within_bounds(p, parameter, setting.smoothing);
    solves += p.last().solves;
    if (s != status::ok || !setting.has_mean) {
        return finish(s);
    }
    const double smoothing = p.last().smoothing;

    // The end that meets the mean: the right one if it is open with mass, else the left.
    auto usable = [&](int k) { return p.side(k).open && p.side(k).mass > 0.0; };
    const int k = usable(1) ? 1 : usable(0) ? 0 : -1;
    if (k < 0) {
        return failed(status::bad_setting);
    }
    const end& adjust = p.side(k);
    const bool pareto = adjust.kind == tail_kind::pareto;
    // The adjusting tail's parameter runs between its bounds and, for exact
    // masses, no further than the end bin can carry: a held end value v
    // takes v * h / 2 of the bin's mass m (h its last piece), so v < 2 m / h.
    const auto [low_parameter, high_parameter] = p.allowed(k);
    if (!(low_parameter < high_parameter)) {
        // Only the largest end value the bin can carry is left, with the
        // tail beyond its bound: the fit without the mean has it, and its
        // mean is the one within reach.
        outcome o = finish(status::unreachable_mean);
        o.lowest_mean = o.highest_mean = p.fitted_mean();
        return o;
    }
    // t is s = 1 / (alpha - 1) for a Pareto tail, beta for an exponential one.
    // A Pareto tail's mean grows without bound as alpha falls to 1: from the
    // highest index the bracket widens tenfold in s (to an index a trillionth
    // above 1) until the mean passes the target. An exponential tail's
    // parameter has both its bounds.
    auto parameter_at = [&](double t) { return pareto ? 1.0 + 1.0 / t : t; };
    int fits = 0;
    // The other end keeps what the fit without the mean gave it.
    auto mean_at = [&](double t) -> double {
        double held[2] = {parameter[0], parameter[1]};
        held[k] = parameter_at(t);
        const status r = fit_within_bounds(p, held, smoothing);
        solves += p.last().solves;
        ++fits;
        return r == status::ok ? p.fitted_mean() : std::numeric_limits<double>::quiet_NaN();
    };
    const double target = setting.mean;
    const double tolerance = mean_tolerance * std::max(std::fabs(target), p.width());
    auto g = [&](double t) { return mean_at(t) - target; };
    // The answer of a search, whose last fit is not always at it: fitted
    // again where needed, and iteration_limit if the mean is still not met.
    auto confirmed = [&](double t) -> outcome {
        if (!(std::fabs(p.fitted_mean() - target) <= tolerance)) mean_at(t);
        const double met = mean_met / mean_tolerance * tolerance;
        if (p.last().code == status::ok && !(std::fabs(p.fitted_mean() - target) <= met)) {
            return finish(status::iteration_limit);
        }
        return finish(p.last().code);
    };
    // The search variable's range: from the highest index (or the shortest
    // scale) to an index a trillionth above 1 (or the longest scale).
    const double t_low = pareto ? 1.0 / (high_parameter - 1.0) : low_parameter;
    const double t_high = pareto ? 1e12 : high_parameter;

    // Secant steps from the fit without the mean. Its tail's first step
    // assumes the body stays put; the body's share of the mean moves a
    // little, and the secant takes that in. Two points on either side of the
    // mean hand over to the bracketed search; a step that leaves the range
    // (a mean near or beyond what the tails can reach) to the full search
    // below, which also finds that range.
    {
        const double first = (k == 1 ? p.last().right : p.last().left).parameter;
        const double t_first = pareto ? (first > 1.0 ? 1.0 / (first - 1.0) : t_high) : first;
        double t = p.tail_step(k, t_first, target);
        double t_before = std::numeric_limits<double>::quiet_NaN(), g_before = t_before;
        double below_t = t_before, below_g = t_before, above_t = t_before, above_g = t_before;
        for (int step = 0; step < 6 && t > t_low && t < t_high; ++step) {
            const double gt = g(t);
            if (std::isnan(gt)) break;
            if (std::fabs(gt) <= tolerance) return finish(p.last().code);
            if (gt < 0.0) {
                below_t = t;
                below_g = gt;
            } else {
                above_t = t;
                above_g = gt;
            }
            if (!std::isnan(below_t) && !std::isnan(above_t)) {
                const double root = brent(g, below_t, below_g, above_t, above_g, tolerance, fits);
                if (std::isnan(root)) break;
                return confirmed(root);
            }
            double next = std::isnan(g_before) || gt == g_before ? p.tail_step(k, t, target)
                                                                 : t - gt * (t - t_before) / (gt - g_before);
            t_before = t;
            g_before = gt;
            t = next;
        }
    }

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
    const double t = brent(g, a, ga - target, b, gb - target, tolerance, fits);
    if (std::isnan(t)) {
        return finish(p.last().code == status::ok ? status::inaccurate : p.last().code);
    }
    return confirmed(t);
}

}  // namespace zelvane::open_fit
