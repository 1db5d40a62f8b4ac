// The few elementary functions the smooth fits need, written here so that the
// shared objects depend on libc alone (libm's log and pow would pull in libm,
// and with it newer symbol versions). log and exp are accurate to two units
// in the last place, power_of_ten to eight, over the ranges the fits use; all
// give the same bits on every machine: plain float64 arithmetic, no table, no
// fused operation.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace zelvane::plain_math {

// ln 2 in two parts: the first with its low bits zero, so that e * ln2_high
// is exact for the exponents of float64.
inline constexpr double ln2_high = 6.93147180369123816490e-01;
inline constexpr double ln2_low = 1.90821492927058770002e-10;
inline constexpr double ln10 = 2.30258509299404568402;

// The natural logarithm of a positive finite x (0 gives -inf, a negative or
// NaN x NaN). x = m 2^e with m in [sqrt(1/2), sqrt(2)), and
// log m = 2 atanh(s), s = (m - 1) / (m + 1), |s| < 0.172, by its series.
inline double log(double x) noexcept {
    if (!(x > 0.0)) return x == 0.0 ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    if (x == std::numeric_limits<double>::infinity()) return x;
    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    std::int64_t e = 0;
    if ((bits >> 52) == 0) {  // subnormal: scale into the normal range first
        bits = std::bit_cast<std::uint64_t>(x * 0x1p54);
        e -= 54;
    }
    e += static_cast<std::int64_t>(bits >> 52) - 1023;
    double m = std::bit_cast<double>((bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL);
    if (m > 1.4142135623730951) {
        m *= 0.5;
        ++e;
    }
    const double s = (m - 1.0) / (m + 1.0), s2 = s * s;
    // 2 (s + s^3/3 + ... + s^23/23): the next term is below 1e-19 of the sum.
    double series = 1.0 / 23.0;
    for (int k = 21; k >= 1; k -= 2) series = 1.0 / k + s2 * series;
    const double ed = static_cast<double>(e);
    return ed * ln2_high + (2.0 * s * series + ed * ln2_low);
}

// e^x for finite x, overflowing to inf and underflowing to 0. x = k ln 2 + r,
// |r| <= ln 2 / 2, and e^r by its Taylor series to r^17.
inline double exp(double x) noexcept {
    if (x != x) return x;
    if (x > 709.782712893384) return std::numeric_limits<double>::infinity();
    if (x < -745.2) return 0.0;
    const double k = static_cast<double>(static_cast<std::int64_t>(x / 0.6931471805599453 + (x < 0.0 ? -0.5 : 0.5)));
    const double r = (x - k * ln2_high) - k * ln2_low;
    double series = 1.0;
    for (int n = 17; n >= 1; --n) series = 1.0 + r * series / n;
    // 2^k, in two steps where k leaves the normal range.
    const auto ki = static_cast<std::int64_t>(k);
    const std::int64_t half = ki / 2;
    const double a = std::bit_cast<double>(static_cast<std::uint64_t>(1023 + half) << 52);
    const double b = std::bit_cast<double>(static_cast<std::uint64_t>(1023 + (ki - half)) << 52);
    return series * a * b;
}

// 10^x, through e^(x ln 10), the product split so that an integer x keeps
// most of its precision.
inline double power_of_ten(double x) noexcept {
    const double whole = static_cast<double>(static_cast<std::int64_t>(x));
    double result = exp((x - whole) * ln10);
    // Integer powers of ten by squaring, exact up to 1e22.
    std::int64_t n = static_cast<std::int64_t>(whole);
    const bool negative = n < 0;
    if (negative) n = -n;
    double power = 1.0, base = 10.0;
    for (; n > 0; n >>= 1) {
        if (n & 1) power *= base;
        base *= base;
    }
    return negative ? result / power : result * power;
}

// log10(x) for positive x.
inline double log10(double x) noexcept { return log(x) / ln10; }

// The integer nearest to x, halves away from zero, for |x| < 2^52.
inline double round(double x) noexcept {
    return static_cast<double>(static_cast<std::int64_t>(x < 0.0 ? x - 0.5 : x + 0.5));
}

}  // namespace zelvane::plain_math
