// Double-double numbers: an unevaluated sum hi + lo of two doubles with |lo|
// at most half an ulp of hi, about 106 bits of significand. The smooth fit
// falls back to them when a solve in double cannot be confirmed (see
// smooth_kkt.hpp). Built from error-free transformations on plain double
// operations (Knuth's two-sum, Dekker's split product: no fused multiply-add,
// which the kernels' build leaves off), so the results are the same bits on
// every processor. Magnitudes stay below about 1e300 where products are
// formed: Dekker's split overflows near the top of float64's range.
#pragma once

#include <cmath>

namespace zelvane::smooth_wide {

struct wide {
    double hi = 0.0;
    double lo = 0.0;
    constexpr wide() noexcept = default;
    constexpr wide(double x) noexcept : hi(x) {}  // NOLINT: a double is a wide number exactly
    constexpr wide(double h, double l) noexcept : hi(h), lo(l) {}
    explicit constexpr operator double() const noexcept { return hi + lo; }
};

namespace detail {

// a + b = s + e exactly.
constexpr wide two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double v = s - a;
    const double e = (a - (s - v)) + (b - v);
    return {s, e};
}
// a + b = s + e exactly, for |a| >= |b| (or a = 0).
constexpr wide quick_two_sum(double a, double b) noexcept {
    const double s = a + b;
    return {s, b - (s - a)};
}
// a * b = p + e exactly (barring overflow and underflow).
constexpr wide two_prod(double a, double b) noexcept {
    constexpr double splitter = 134217729.0;  // 2^27 + 1
    const double p = a * b;
    const double ta = splitter * a, a_hi = ta - (ta - a), a_lo = a - a_hi;
    const double tb = splitter * b, b_hi = tb - (tb - b), b_lo = b - b_hi;
    const double e = ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
    return {p, e};
}

}  // namespace detail

constexpr wide operator+(wide a, wide b) noexcept {
    const wide s = detail::two_sum(a.hi, b.hi);
    const wide t = detail::two_sum(a.lo, b.lo);
    wide r = detail::quick_two_sum(s.hi, s.lo + t.hi);
    return detail::quick_two_sum(r.hi, r.lo + t.lo);
}
constexpr wide operator-(wide a) noexcept { return {-a.hi, -a.lo}; }
constexpr wide operator-(wide a, wide b) noexcept { return a + (-b); }
constexpr wide operator*(wide a, wide b) noexcept {
    const wide p = detail::two_prod(a.hi, b.hi);
    return detail::quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}
constexpr wide operator/(wide a, wide b) noexcept {
    // Long division: two quotient digits and a correction.
    const double q1 = a.hi / b.hi;
    const wide r1 = a - b * wide(q1);
    const double q2 = r1.hi / b.hi;
    const wide r2 = r1 - b * wide(q2);
    const double q3 = r2.hi / b.hi;
    const wide q = detail::quick_two_sum(q1, q2);
    return q + wide(q3);
}
constexpr wide& operator+=(wide& a, wide b) noexcept { return a = a + b; }
constexpr wide& operator-=(wide& a, wide b) noexcept { return a = a - b; }
constexpr wide& operator*=(wide& a, wide b) noexcept { return a = a * b; }

// The magnitude to compare pivots by, and whether a pivot can be divided by.
inline double magnitude(wide a) noexcept { return std::fabs(a.hi); }
inline double magnitude(double a) noexcept { return std::fabs(a); }
inline bool usable(wide a) noexcept { return a.hi != 0.0 && std::isfinite(a.hi) && std::isfinite(a.lo); }
inline bool usable(double a) noexcept { return a != 0.0 && std::isfinite(a); }

}  // namespace zelvane::smooth_wide
