// Exact fit of a piecewise linear density to interval masses.
//
// The trapezoid over interval i carries gap[i] exactly when
// prob[i] + prob[i+1] = gsum[i] = 2 * gap[i] / width, so once prob[0] is fixed
// every other value follows by alternating subtraction. prob[0] is chosen as
// the smallest value that keeps all values non-negative: each value starts in
// [0, smallest pair sum it takes part in] (its partner is not negative either),
// and one forward and one backward pass tighten every interval through
//   prob[i+1] = gsum[i] - prob[i]  and  prob[i] = gsum[i] - prob[i+1].
// When no non-negative solution exists some low ends above its high; nothing
// checks for that, and the values then include negative ones.
//
// Everything is float, each operation rounded on its own, every comparison
// strict, so a NaN candidate never replaces a bound.
//
// The fast forms below keep every operation and its operands; they fuse the
// initial bounds into the forward pass, carry the bounds just computed in
// registers instead of reading them back, and form the pair sums four at a
// time. They need storage where no write can reach a later read: the scratch
// vectors and prob must neither overlap one another nor themselves. Anything
// else (only possible through a replaced numpy.empty or odd strides) takes the
// plain steps, element by element, in the order written.
#include "kernels/exact_fit.hpp"

#include "kernels/layouts.hpp"
#include "kernels/workspace.hpp"

namespace zelvane::exact_fit {

namespace {

// ---- Plain steps ---------------------------------------------------------------

std::int64_t plain_pair_sums(const float32_vector& center, const float32_vector& gap,
                             const float32_vector& gsum) noexcept {
    for (std::int64_t i = 0; i < gap.shape; ++i) {
        const float width = center.get(i + 1) - center.get(i);
        // +0.0 and -0.0 both count as zero, whatever the gap; NaN does not.
        if (width == 0.0f) {
            return i;
        }
        const float g = gap.get(i);
        gsum.set(i, (g + g) / width);
    }
    return no_zero_width;
}

void plain_solve(const float32_vector& gsum, const float32_vector& low,
                 const float32_vector& high, const float32_vector& prob) noexcept {
    const std::int64_t n = prob.shape;
    const std::int64_t m = gsum.shape;  // n - 1 pair sums

    // Initial bounds. With a single value there is no pair sum and high[0]
    // stays unset; nothing reads it. Where the two sums compare equal (or one
    // is NaN) the right-hand one is taken.
    for (std::int64_t i = 0; i < n; ++i) {
        low.set(i, 0.0f);
        if (n < 2) {
            continue;
        }
        if (i == 0) {
            high.set(i, gsum.get(0));
        } else if (i == n - 1) {
            high.set(i, gsum.get(n - 2));
        } else {
            const float left = gsum.get(i - 1);
            const float right = gsum.get(i);
            high.set(i, left < right ? left : right);
        }
    }

    // Forward pass: the bounds at i, as the previous step left them, bound
    // the value at i + 1 from the other side.
    for (std::int64_t i = 0; i < m; ++i) {
        float v = gsum.get(i) - high.get(i);
        if (v > low.get(i + 1)) {
            low.set(i + 1, v);
        }
        v = gsum.get(i) - low.get(i);
        if (v < high.get(i + 1)) {
            high.set(i + 1, v);
        }
    }

    // Backward pass: the same, from i + 1 to i.
    for (std::int64_t i = m - 1; i >= 0; --i) {
        float v = gsum.get(i) - high.get(i + 1);
        if (v > low.get(i)) {
            low.set(i, v);
        }
        v = gsum.get(i) - low.get(i + 1);
        if (v < high.get(i)) {
            high.set(i, v);
        }
    }

    // Only low[0] enters the result; the rest is alternating subtraction of
    // the stored values.
    prob.set(0, low.get(0));
    for (std::int64_t i = 1; i < n; ++i) {
        prob.set(i, gsum.get(i - 1) - prob.get(i - 1));
    }
}


#if ZELVANE_KERNELS_SSE2

template <class C, class G, class S>
std::int64_t fast_pair_sums(const C& center, const G& gap, const S& gsum, std::int64_t m) noexcept {
    const __m128 zero = _mm_setzero_ps();
    std::int64_t i = 0;
    for (; m - i >= 4; i += 4) {
        const __m128 width = _mm_sub_ps(center.load4(i + 1), center.load4(i));
        // A block with a zero width is left to the element-wise loop below,
        // which writes the sums before it and reports its position.
        if (_mm_movemask_ps(_mm_cmpeq_ps(width, zero)) != 0) break;
        const __m128 g = gap.load4(i);
        gsum.store4(i, _mm_div_ps(_mm_add_ps(g, g), width));
    }
    for (; i < m; ++i) {
        const float width = center.get(i + 1) - center.get(i);
        if (width == 0.0f) return i;
        const float g = gap.get(i);
        gsum.set(i, (g + g) / width);
    }
    return no_zero_width;
}

// `v > bound ? v : bound` and `v < bound ? v : bound`: the strict tests of the
// passes, under which a NaN candidate keeps the bound.
inline float raise_to(float bound, float v) noexcept { return v > bound ? v : bound; }
inline float lower_to(float bound, float v) noexcept { return v < bound ? v : bound; }

template <class S, class V>
void fast_solve(const S& gsum, const V& low, const V& high, const V& prob, std::int64_t n) noexcept {
    const std::int64_t m = n - 1;
    low.set(0, 0.0f);
    if (n >= 2) {
        // Initial bounds of i + 1, then the forward update from i, with the
        // bounds of i as the previous update left them.
        float lo = 0.0f, hi = gsum.get(0);
        high.set(0, hi);
        float g = hi;
        for (std::int64_t i = 0; i < m; ++i) {
            const float right = i + 1 < m ? gsum.get(i + 1) : g;
            float lo1 = 0.0f;
            float hi1 = i + 1 < m ? (g < right ? g : right) : g;
            lo1 = raise_to(lo1, g - hi);
            hi1 = lower_to(hi1, g - lo);
            low.set(i + 1, lo1);
            high.set(i + 1, hi1);
            lo = lo1;
            hi = hi1;
            g = right;
        }
        // Backward: lo and hi hold the bounds of i + 1 as the update at i + 1
        // left them (the forward pass's, at the far end).
        for (std::int64_t i = m - 1; i >= 0; --i) {
            g = gsum.get(i);
            const float lo0 = raise_to(low.get(i), g - hi);
            const float hi0 = lower_to(high.get(i), g - lo);
            low.set(i, lo0);
            high.set(i, hi0);
            lo = lo0;
            hi = hi0;
        }
    }
    float p = low.get(0);
    prob.set(0, p);
    for (std::int64_t i = 1; i < n; ++i) {
        p = gsum.get(i - 1) - p;
        prob.set(i, p);
    }
}

bool all_unit(const float32_vector& a, const float32_vector& b, const float32_vector& c) noexcept {
    return layouts::is_unit(a) && layouts::is_unit(b) && layouts::is_unit(c);
}

#endif  // ZELVANE_KERNELS_SSE2

}  // namespace

std::int64_t pair_sums(const float32_vector& center, const float32_vector& gap,
                       const float32_vector& gsum) noexcept {
    const std::int64_t m = gap.shape;
#if ZELVANE_KERNELS_SSE2
    // Writes to gsum must not reach center or gap, which the plain loop reads
    // after earlier writes.
    if (m > 0 && gsum.shape >= m && layouts::separate(gsum, m) &&
        !layouts::overlap(gsum, m, center, m + 1) && !layouts::overlap(gsum, m, gap, m)) {
        return layouts::dispatch3(center, gap, gsum, [m](const auto& c, const auto& g,
                                                         const auto& s) {
            return fast_pair_sums(c, g, s, m);
        });
    }
#endif
    return plain_pair_sums(center, gap, gsum);
}

void solve(const float32_vector& gsum, const float32_vector& low, const float32_vector& high,
           const float32_vector& prob) noexcept {
    const std::int64_t n = prob.shape;
#if ZELVANE_KERNELS_SSE2
    const std::int64_t m = n - 1;
    const bool fits = n >= 1 && gsum.shape == m && layouts::separate(gsum, m) &&
                      layouts::separate(low, n) && layouts::separate(high, n) &&
                      layouts::separate(prob, n) && !layouts::overlap(gsum, m, low, n) &&
                      !layouts::overlap(gsum, m, high, n) && !layouts::overlap(gsum, m, prob, n) &&
                      !layouts::overlap(low, n, high, n) && !layouts::overlap(low, n, prob, n) &&
                      !layouts::overlap(high, n, prob, n);
    if (fits) {
        // Only gsum's layout and one for the rest: the passes are chains of
        // scalar steps, where the layout costs little.
        if (all_unit(low, high, prob)) {
            if (layouts::is_unit(gsum)) {
                return fast_solve(layouts::as_unit(gsum), layouts::as_unit(low),
                                  layouts::as_unit(high), layouts::as_unit(prob), n);
            }
            return fast_solve(layouts::as_strided(gsum), layouts::as_unit(low),
                              layouts::as_unit(high), layouts::as_unit(prob), n);
        }
        return fast_solve(layouts::as_strided(gsum), layouts::as_strided(low),
                          layouts::as_strided(high), layouts::as_strided(prob), n);
    }
#endif
    plain_solve(gsum, low, high, prob);
}

namespace {

// The float32 scratch: floats end to end.
using float_workspace = basic_workspace<float, sizeof(float)>;

float32_vector slice(float_workspace& w, std::int64_t count) noexcept {
    return float32_vector{reinterpret_cast<char*>(w.take(count)), count, sizeof(float)};
}

scratch lay_out(float_workspace& w, std::int64_t masses) noexcept {
    const float32_vector gsum = slice(w, masses);
    const float32_vector low = slice(w, masses + 1);
    return scratch{gsum, low, slice(w, masses + 1)};
}

}  // namespace

std::int64_t scratch_floats(std::int64_t masses) noexcept {
    float_workspace w;
    lay_out(w, masses);
    return w.size();
}

scratch scratch_in(char* block, std::int64_t masses) noexcept {
    float_workspace w(reinterpret_cast<float*>(block));
    return lay_out(w, masses);
}

std::int64_t fit(const float32_vector& center, const float32_vector& gap, const scratch& work,
                 const float32_vector& prob) noexcept {
    const std::int64_t zero_width = pair_sums(center, gap, work.gsum);
    if (zero_width == no_zero_width) solve(work.gsum, work.low, work.high, prob);
    return zero_width;
}

}  // namespace zelvane::exact_fit
