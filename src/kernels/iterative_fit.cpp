// Bounded relaxation towards a piecewise linear density whose trapezoids carry
// the given interval masses.
//
// Each interval's mass is first turned into its mean density. A value at an
// interior centre i would make its left-hand trapezoid exact at
// 2 * average[i-1] - prob[i-1] and its right-hand one exact at
// 2 * average[i] - prob[i+1]; every pass pulls prob[i] into the range between
// those two estimates (lower end never below zero), sweeping forwards and then
// backwards, and makes the two end intervals exact. The passes stop once no
// interior value moves, or after max_passes.
//
// Results must be reproducible bit for bit, so the order of operations and the
// precision of each one are fixed: widths, mean densities and the initial
// values are single-precision operations; the estimates 2 * a - p are formed in
// double from float operands and rounded once to float, which keeps 2 * a from
// overflowing where the difference is finite. Every comparison is strict and
// made in float, so a NaN never satisfies one.
//
// Why the passes may also stop at a fixed point. The mean densities do not
// change during the passes, so a pass is a fixed function of prob alone. If a
// pass leaves every element of prob with the bits it found, every later pass
// starts from the same prob and does the same; whatever the rules above still
// run leaves prob as it is, and the loop's result is already there. Whether the
// next pass would leave prob as it is can be told without running it: if every
// interior step and both end updates, evaluated on prob as it is now, give the
// bits already in place, then the first step of the pass sees exactly these
// inputs and changes nothing, so the second sees them too, and so on through
// both sweeps and both ends. Conversely, if some step evaluated on prob as it
// is gives other bits, the first such step in the order of the pass sees the
// same inputs in the pass (nothing before it changed) and changes a bit. So the
// check `settled` answers exactly "would the next pass change a bit", with
// no order among its evaluations, where a pass is a chain of dependent steps.
// The passes stop when it holds; the rules above stay the definition of the
// result, only the passes that could change nothing are left out.
//
// The fast passes need not even evaluate it whole: most of its answer is
// known from the pass itself. A step is idempotent: on the value it wrote, with the
// same neighbours, it gives the same bits (pulled into the same range, a
// value stays where it is; with both estimates negative it goes from high
// to +0.0 and back to high). After a pass, prob[i] is what the backward step
// at i wrote, from prob[i+1] as it still is and prob[i-1] as it was then;
// only the backward step at i-1 (or, for i = 1, the first value's update)
// writes prob[i-1] afterwards. The last value's update read prob[n-1],
// which only the backward step at n-1 writes afterwards, and the first
// value's update comes last of all. So the only evaluations of `settled`
// that can find a change are those of a reader of prob[j] that ran before a
// later write changed its bits: the step at j+1, or the last value's update
// for j = n-1, right after the backward step at j changed prob[j], with
// every input final by then; and the step at 1 (the last value's update
// with one interval) after the first value changed. The backward sweep makes
// those evaluations as it goes, until one finds a change.
//
// The same reasoning runs the sweeps speculatively. In the forward sweep, step
// i reads prob[i-1] as step i-1 left it and prob[i], prob[i+1] as the sweep
// found them. Four steps evaluated at once on prob as it is are therefore
// right up to and including the first of them that changes a bit; the ones
// after it are evaluated again. Where few values change, a sweep costs about as
// much as the check; where many change, the steps run one after the other with
// the running values kept in registers. The backward sweep is the mirror image.
//
// These faster forms need the four lanes' loads to see what the plain steps
// see: prob must not overlap itself (a stride of at least one element) nor the
// mean densities. Storage that breaks this (only possible through a replaced
// numpy.empty or odd strides) takes the plain steps, element by element.
#include "kernels/iterative_fit.hpp"

#include <bit>

#include "kernels/layouts.hpp"

namespace zelvane::iterative_fit {

namespace {

// 2 * a - p in double, rounded once to float. 2 * a is exact in double; only
// the difference is rounded before the final conversion.
//
// Wherever a + a does not overflow float it is exact in float too, and then
// the float subtraction (a + a) - p gives the same bits: the difference of two
// floats rounded to double (53 bits, more than 2 * 24 + 2) and then to float
// is the difference rounded to float directly, and NaN operands propagate
// alike (the first NaN operand's payload, quieted). The float form is shorter
// on the chain of dependent steps; only |a| above half the float maximum
// (or a NaN a) needs the double one. `narrow` says that the caller has found
// every mean density within half the float maximum, which settles the test
// for the whole fit at once.
constexpr float half_max = 1.70141173e38f;  // FLT_MAX / 2, exactly

inline bool within_half_max(float a) noexcept { return a <= half_max && a >= -half_max; }

template <bool narrow = false>
inline float estimate(float a, float p) noexcept {
    if (narrow || within_half_max(a)) return (a + a) - p;
    return static_cast<float>(2.0 * static_cast<double>(a) - static_cast<double>(p));
}

// An end value: the estimate, raised to +0.0 when it is below zero. -0.0 and
// NaN do not compare below zero and pass through unchanged.
template <bool narrow = false>
float clamped_estimate(float a, float p) noexcept {
    const float v = estimate<narrow>(a, p);
    return v < 0.0f ? 0.0f : v;
}

struct step_result {
    float value;
    bool moved;
};

// One interior step: the value v at i pulled into the range of the estimates
// made from its left neighbour (a_left, p_left) and right neighbour.
template <bool narrow = false>
inline step_result interior(float a_left, float p_left, float a_right, float p_right,
                            float v) noexcept {
    const float est1 = estimate<narrow>(a_left, p_left);
    const float est2 = estimate<narrow>(a_right, p_right);
    // When a comparison fails (equal estimates or a NaN), both bounds take
    // est2: a NaN est1 leaves the range [est2, est2], a NaN est2 makes both
    // bounds NaN and so moves nothing.
    float low = est1 < est2 ? est1 : est2;
    const float high = est1 > est2 ? est1 : est2;
    if (low < 0.0f) {
        low = 0.0f;
    }
    // The upper test sees the value the lower test may just have set, so with
    // both estimates negative (low = +0.0 above high) the value ends at high.
    bool moved = false;
    if (v < low) {
        v = low;
        moved = true;
    }
    if (v > high) {
        v = high;
        moved = true;
    }
    return {v, moved};
}

inline bool same_bits(float x, float y) noexcept {
    return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
}

// ---- Plain steps -------------------------------------------------------------

// Whether the next pass would leave every bit of prob as it is, element by
// element. Should the vectors overlap, the argument at the top still holds:
// a pass whose every write puts back the bits in place changes no memory.
bool plain_settled(const float32_vector& average, const float32_vector& prob) noexcept {
    const std::int64_t n = average.shape;
    for (std::int64_t i = 1; i < n; ++i) {
        const step_result r = interior(average.get(i - 1), prob.get(i - 1), average.get(i),
                                       prob.get(i + 1), prob.get(i));
        if (!same_bits(r.value, prob.get(i))) return false;
    }
    return same_bits(clamped_estimate(average.get(n - 1), prob.get(n - 1)), prob.get(n)) &&
           same_bits(clamped_estimate(average.get(0), prob.get(1)), prob.get(0));
}

// Every read and write goes through memory in the order of the rules, so any
// overlap between the vectors is seen as the rules see it.
int plain_relax(const float32_vector& average, const float32_vector& prob) noexcept {
    const std::int64_t n = average.shape;
    prob.set(0, average.get(0));
    for (std::int64_t i = 1; i < n; ++i) {
        prob.set(i, (average.get(i - 1) + average.get(i)) * 0.5f);
    }
    prob.set(n, average.get(n - 1));

    auto step = [&](std::int64_t i) {
        const step_result r = interior(average.get(i - 1), prob.get(i - 1), average.get(i),
                                       prob.get(i + 1), prob.get(i));
        if (r.moved) prob.set(i, r.value);
        return r.moved;
    };
    for (int pass = 1;; ++pass) {
        bool change = false;
        for (std::int64_t i = 1; i < n; ++i) change = step(i) || change;
        prob.set(n, clamped_estimate(average.get(n - 1), prob.get(n - 1)));
        for (std::int64_t i = n - 1; i >= 1; --i) change = step(i) || change;
        prob.set(0, clamped_estimate(average.get(0), prob.get(1)));
        if (!change || pass == max_passes || plain_settled(average, prob)) return pass;
    }
}

std::int64_t plain_mean_densities(const float32_vector& center, const float32_vector& gap,
                                  const float32_vector& average) noexcept {
    for (std::int64_t i = 0; i < average.shape; ++i) {
        const float width = center.get(i + 1) - center.get(i);
        // Both +0.0 and -0.0 compare equal to zero; a NaN width does not and
        // is divided by like any other.
        if (width == 0.0f) return i;
        average.set(i, gap.get(i) / width);
    }
    return no_zero_width;
}

#if ZELVANE_KERNELS_SSE2

// ---- Four steps at once --------------------------------------------------------

// `estimate` of four lanes; the float form where the fit is narrow (see
// `estimate`), else the double one for every lane.
template <bool narrow>
inline __m128 estimate4(__m128 a, __m128 p) noexcept {
    if constexpr (narrow) return _mm_sub_ps(_mm_add_ps(a, a), p);
    const __m128d two = _mm_set1_pd(2.0);
    const __m128d low = _mm_sub_pd(_mm_mul_pd(two, _mm_cvtps_pd(a)), _mm_cvtps_pd(p));
    const __m128d high = _mm_sub_pd(_mm_mul_pd(two, _mm_cvtps_pd(_mm_movehl_ps(a, a))),
                                    _mm_cvtps_pd(_mm_movehl_ps(p, p)));
    return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
}

// mask ? x : y, lane by lane.
inline __m128 select(__m128 mask, __m128 x, __m128 y) noexcept {
    return _mm_or_ps(_mm_and_ps(mask, x), _mm_andnot_ps(mask, y));
}

struct step4_result {
    __m128 value;
    int moved;    // lane bits: the step moved the value
    int changed;  // lane bits: the step gives other bits than those in place
};

// The interior step of four neighbouring positions, each on the inputs given.
// minps and maxps return their second operand unless the first compares less
// (greater), exactly the selections of `interior`.
template <bool narrow>
inline step4_result interior4(__m128 a_left, __m128 p_left, __m128 a_right, __m128 p_right,
                              __m128 v) noexcept {
    const __m128 est1 = estimate4<narrow>(a_left, p_left);
    const __m128 est2 = estimate4<narrow>(a_right, p_right);
    const __m128 zero = _mm_setzero_ps();
    __m128 low = _mm_min_ps(est1, est2);
    const __m128 high = _mm_max_ps(est1, est2);
    low = _mm_andnot_ps(_mm_cmplt_ps(low, zero), low);
    const __m128 raise = _mm_cmplt_ps(v, low);
    const __m128 raised = select(raise, low, v);
    const __m128 lower = _mm_cmpgt_ps(raised, high);
    const __m128 value = select(lower, high, raised);
    const __m128i same = _mm_cmpeq_epi32(_mm_castps_si128(value), _mm_castps_si128(v));
    return {value, _mm_movemask_ps(_mm_or_ps(raise, lower)),
            ~_mm_movemask_ps(_mm_castsi128_ps(same)) & 0xF};
}

// Number of lanes set in a four-lane mask (the baseline has no popcnt).
inline int lanes_set(int mask) noexcept {
    constexpr int counts[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    return counts[mask & 0xF];
}

inline float lane(__m128 v, int k) noexcept {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, v);
    return lanes[k];
}

// Steps at positions i .. i+3 on prob as it is.
template <bool narrow, class A, class P>
inline step4_result block(const A& average, const P& prob, std::int64_t i) noexcept {
    return interior4<narrow>(average.load4(i - 1), prob.load4(i - 1), average.load4(i),
                             prob.load4(i + 1), prob.load4(i));
}

// ---- Sweeps --------------------------------------------------------------------

// What a stretch of a sweep did: how many steps moved a value, how many of
// them changed its bits; in the backward sweep also whether a change there
// is known to unsettle prob (see `above_changes`).
struct stretch {
    std::int64_t moved = 0;
    std::int64_t changed = 0;
    bool unsettled = false;
};

// Whether the step at i, or the update of the last value, evaluated on prob
// as it is, would give other bits than those in place.
template <bool narrow, class A, class P>
inline bool step_changes(const A& average, const P& prob, std::int64_t i) noexcept {
    const step_result r = interior<narrow>(average.get(i - 1), prob.get(i - 1), average.get(i),
                                           prob.get(i + 1), prob.get(i));
    return !same_bits(r.value, prob.get(i));
}

template <bool narrow, class A, class P>
inline bool last_changes(const A& average, const P& prob, std::int64_t n) noexcept {
    return !same_bits(clamped_estimate<narrow>(average.get(n - 1), prob.get(n - 1)), prob.get(n));
}

// Called when the backward step at j has just changed the bits of prob[j]:
// whether what reads prob[j] next in a pass, the step at j + 1 or (for
// j = n - 1) the update of the last value, would now change bits. Everything
// else that it reads is final for this pass (see the top).
template <bool narrow, class A, class P>
inline bool above_changes(const A& average, const P& prob, std::int64_t j,
                          std::int64_t n) noexcept {
    return j + 1 < n ? step_changes<narrow>(average, prob, j + 1)
                     : last_changes<narrow>(average, prob, n);
}

// Forward steps at positions [i, end), one after the other.
template <bool narrow, class A, class P>
stretch forward_steps(const A& average, const P& prob, std::int64_t i, std::int64_t end) noexcept {
    stretch s;
    float a_left = average.get(i - 1), left = prob.get(i - 1), mid = prob.get(i);
    for (; i < end; ++i) {
        const float a_right = average.get(i), right = prob.get(i + 1);
        const step_result r = interior<narrow>(a_left, left, a_right, right, mid);
        s.moved += r.moved;
        s.changed += !same_bits(r.value, mid);
        // Storing the bits in place changes no memory; an unconditional store
        // keeps an unpredictable branch out of the loop.
        prob.set(i, r.value);
        a_left = a_right;
        left = r.value;
        mid = right;
    }
    return s;
}

// Forward steps at positions [i, end), four at a time where they change
// nothing.
template <bool narrow, class A, class P>
stretch forward_blocks(const A& average, const P& prob, std::int64_t i, std::int64_t end) noexcept {
    stretch s;
    while (i < end) {
        if (end - i >= 4) {
            const step4_result b = block<narrow>(average, prob, i);
            if (b.changed == 0) {
                s.moved += lanes_set(b.moved);
                i += 4;
                continue;
            }
            // The first changing lane is right; the ones after it are not.
            const int k = std::countr_zero(static_cast<unsigned>(b.changed));
            prob.set(i + k, lane(b.value, k));
            s.moved += lanes_set(b.moved & ((2 << k) - 1));
            ++s.changed;
            i += k + 1;
            if (i >= end) break;
        }
        // One step after another while they keep changing values; back to
        // blocks after the first step that changes nothing.
        float a_left = average.get(i - 1), left = prob.get(i - 1), mid = prob.get(i);
        for (; i < end; ++i) {
            const float a_right = average.get(i), right = prob.get(i + 1);
            const step_result r = interior<narrow>(a_left, left, a_right, right, mid);
            s.moved += r.moved;
            const bool same = same_bits(r.value, mid);
            if (!same) {
                prob.set(i, r.value);
                ++s.changed;
            }
            if (same && end - i > 4) {
                ++i;
                break;
            }
            a_left = a_right;
            left = r.value;
            mid = right;
        }
    }
    return s;
}

// Backward steps at positions [begin, i], from i down, one after the other.
template <bool narrow, class A, class P>
stretch backward_steps(const A& average, const P& prob, std::int64_t i, std::int64_t begin,
                       std::int64_t n, bool unsettled) noexcept {
    stretch s;
    s.unsettled = unsettled;
    float a_right = average.get(i), right = prob.get(i + 1), mid = prob.get(i);
    for (; i >= begin; --i) {
        const float a_left = average.get(i - 1), left = prob.get(i - 1);
        const step_result r = interior<narrow>(a_left, left, a_right, right, mid);
        const bool same = same_bits(r.value, mid);
        s.moved += r.moved;
        s.changed += !same;
        // Storing the bits in place changes no memory; an unconditional store
        // keeps an unpredictable branch out of the loop.
        prob.set(i, r.value);
        if (!s.unsettled && !same) s.unsettled = above_changes<narrow>(average, prob, i, n);
        a_right = a_left;
        right = r.value;
        mid = left;
    }
    return s;
}

template <bool narrow, class A, class P>
stretch backward_blocks(const A& average, const P& prob, std::int64_t i, std::int64_t begin,
                        std::int64_t n, bool unsettled) noexcept {
    stretch s;
    s.unsettled = unsettled;
    while (i >= begin) {
        if (i - begin >= 3) {
            const step4_result b = block<narrow>(average, prob, i - 3);
            if (b.changed == 0) {
                s.moved += lanes_set(b.moved);
                i -= 4;
                continue;
            }
            // The last changing lane comes first in this direction.
            const int k = std::bit_width(static_cast<unsigned>(b.changed)) - 1;
            prob.set(i - 3 + k, lane(b.value, k));
            if (!s.unsettled) s.unsettled = above_changes<narrow>(average, prob, i - 3 + k, n);
            s.moved += lanes_set(b.moved >> k);
            ++s.changed;
            i = i - 3 + k - 1;
            if (i < begin) break;
        }
        float a_right = average.get(i), right = prob.get(i + 1), mid = prob.get(i);
        for (; i >= begin; --i) {
            const float a_left = average.get(i - 1), left = prob.get(i - 1);
            const step_result r = interior<narrow>(a_left, left, a_right, right, mid);
            s.moved += r.moved;
            const bool same = same_bits(r.value, mid);
            if (!same) {
                prob.set(i, r.value);
                ++s.changed;
                if (!s.unsettled) s.unsettled = above_changes<narrow>(average, prob, i, n);
            }
            if (same && i - begin > 3) {
                --i;
                break;
            }
            a_right = a_left;
            right = r.value;
            mid = left;
        }
    }
    return s;
}

// Sweeps go in stretches of this many steps. Where the last stretch changed
// many values, blocks would mostly be thrown away; where nearly every step
// moved, the branches of single steps are well predicted. Then the next
// stretch runs step by step, otherwise in blocks.
constexpr std::int64_t stretch_length = 256;

inline bool dense(const stretch& s, std::int64_t length) noexcept {
    return 8 * s.changed > length && 4 * s.moved > 3 * length;
}

// Forward sweep over positions 1 .. n-1; returns whether any step moved.
template <bool narrow, class A, class P>
bool forward_sweep(const A& average, const P& prob, std::int64_t n) noexcept {
    bool moved = false, step_by_step = false;
    for (std::int64_t i = 1; i < n; i += stretch_length) {
        const std::int64_t end = n - i > stretch_length ? i + stretch_length : n;
        const stretch s = step_by_step ? forward_steps<narrow>(average, prob, i, end)
                                       : forward_blocks<narrow>(average, prob, i, end);
        moved = moved || s.moved != 0;
        step_by_step = dense(s, end - i);
    }
    return moved;
}

// Backward sweep over positions n-1 .. 1: whether any step moved, and
// whether a change it made is known to unsettle prob.
struct backward_result {
    bool moved = false;
    bool unsettled = false;
};

template <bool narrow, class A, class P>
backward_result backward_sweep(const A& average, const P& prob, std::int64_t n) noexcept {
    backward_result result;
    bool step_by_step = false;
    for (std::int64_t i = n - 1; i >= 1; i -= stretch_length) {
        const std::int64_t begin = i - 1 >= stretch_length ? i - stretch_length + 1 : 1;
        // Once a change is known to unsettle prob, no later one is evaluated.
        const stretch s =
            step_by_step ? backward_steps<narrow>(average, prob, i, begin, n, result.unsettled)
                         : backward_blocks<narrow>(average, prob, i, begin, n, result.unsettled);
        result.moved = result.moved || s.moved != 0;
        result.unsettled = s.unsettled;
        step_by_step = dense(s, i - begin + 1);
    }
    return result;
}

template <class A, class P>
void initial_values(const A& average, const P& prob, std::int64_t n) noexcept {
    prob.set(0, average.get(0));
    std::int64_t i = 1;
    const __m128 half = _mm_set1_ps(0.5f);
    for (; n - i >= 4; i += 4) {
        prob.store4(i, _mm_mul_ps(_mm_add_ps(average.load4(i - 1), average.load4(i)), half));
    }
    for (; i < n; ++i) prob.set(i, (average.get(i - 1) + average.get(i)) * 0.5f);
    prob.set(n, average.get(n - 1));
}

template <bool narrow, class A, class P>
int fast_relax_as(const A& average, const P& prob, std::int64_t n) noexcept {
    initial_values(average, prob, n);
    for (int pass = 1;; ++pass) {
        const bool forward_moved = forward_sweep<narrow>(average, prob, n);
        prob.set(n, clamped_estimate<narrow>(average.get(n - 1), prob.get(n - 1)));
        const backward_result backward = backward_sweep<narrow>(average, prob, n);
        const float first = clamped_estimate<narrow>(average.get(0), prob.get(1));
        const bool first_changed = !same_bits(first, prob.get(0));
        prob.set(0, first);
        if (!(forward_moved || backward.moved) || pass == max_passes) return pass;
        // Settled, as `settled` would tell by evaluating everything (see the
        // top): no change of the backward sweep unsettles prob, and neither
        // does the first value's, which the step at 1 reads (or, with one
        // interval, the last value's update).
        const bool unsettled =
            backward.unsettled ||
            (first_changed && (n > 1 ? step_changes<narrow>(average, prob, 1)
                                     : last_changes<narrow>(average, prob, n)));
        if (!unsettled) return pass;
    }
}

// Whether every mean density lies within half the float maximum, so that
// every estimate of the fit may take the float form (a NaN does not).
template <class A>
bool narrow_densities(const A& average, std::int64_t n) noexcept {
    const __m128 sign = _mm_set1_ps(-0.0f), bound = _mm_set1_ps(half_max);
    __m128 outside = _mm_setzero_ps();
    std::int64_t i = 0;
    for (; n - i >= 4; i += 4) {
        outside = _mm_or_ps(outside, _mm_cmpnle_ps(_mm_andnot_ps(sign, average.load4(i)), bound));
    }
    if (_mm_movemask_ps(outside) != 0) return false;
    for (; i < n; ++i) {
        if (!within_half_max(average.get(i))) return false;
    }
    return true;
}

template <class A, class P>
int fast_relax(const A& average, const P& prob, std::int64_t n) noexcept {
    return narrow_densities(average, n) ? fast_relax_as<true>(average, prob, n)
                                        : fast_relax_as<false>(average, prob, n);
}

template <class C, class G, class A>
std::int64_t fast_mean_densities(const C& center, const G& gap, const A& average,
                                 std::int64_t n) noexcept {
    const __m128 zero = _mm_setzero_ps();
    std::int64_t i = 0;
    for (; n - i >= 4; i += 4) {
        const __m128 width = _mm_sub_ps(center.load4(i + 1), center.load4(i));
        // A block with a zero width is left to the element-wise loop below,
        // which writes the values before it and reports its position.
        if (_mm_movemask_ps(_mm_cmpeq_ps(width, zero)) != 0) break;
        average.store4(i, _mm_div_ps(gap.load4(i), width));
    }
    for (; i < n; ++i) {
        const float width = center.get(i + 1) - center.get(i);
        if (width == 0.0f) return i;
        average.set(i, gap.get(i) / width);
    }
    return no_zero_width;
}

#endif  // ZELVANE_KERNELS_SSE2

}  // namespace

std::int64_t mean_densities(const float32_vector& center, const float32_vector& gap,
                            const float32_vector& average) noexcept {
    const std::int64_t n = average.shape;
#if ZELVANE_KERNELS_SSE2
    // Writes to average must not reach center or gap, which the plain loop
    // reads after earlier writes.
    if (n > 0 && layouts::separate(average, n) &&
        !layouts::overlap(average, n, center, n + 1) && !layouts::overlap(average, n, gap, n)) {
        return layouts::dispatch3(center, gap, average, [n](const auto& c, const auto& g,
                                                            const auto& a) {
            return fast_mean_densities(c, g, a, n);
        });
    }
#endif
    return plain_mean_densities(center, gap, average);
}

// The passes make this test as they go (see the top); evaluated alone it is
// the plain one, element by element.
bool settled(const float32_vector& average, const float32_vector& prob) noexcept {
    return plain_settled(average, prob);
}

int relax(const float32_vector& average, const float32_vector& prob) noexcept {
    const std::int64_t n = average.shape;
#if ZELVANE_KERNELS_SSE2
    if (layouts::separate(prob, n + 1) && !layouts::overlap(prob, n + 1, average, n)) {
        return layouts::dispatch2(average, prob, [n](const auto& a, const auto& p) {
            return fast_relax(a, p, n);
        });
    }
#endif
    return plain_relax(average, prob);
}

std::int64_t fit(const float32_vector& center, const float32_vector& gap,
                 const float32_vector& average, const float32_vector& prob) noexcept {
    const std::int64_t zero_width = mean_densities(center, gap, average);
    if (zero_width == no_zero_width) relax(average, prob);
    return zero_width;
}

}  // namespace zelvane::iterative_fit
