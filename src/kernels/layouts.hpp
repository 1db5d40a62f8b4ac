// Element access specialised by storage layout, for the kernels' fast forms:
// `unit` for one float after another (a stride of 4 bytes), `strided` for any
// other stride. Both read and write through memcpy-like accesses that need no
// alignment; four neighbouring elements travel as one SSE2 vector.
//
// The fast forms may read elements in another order than the plain steps, so
// they are only used where the order cannot matter; `separate` and `overlap`
// tell whether it can.
#pragma once

#include <cstdint>

#include "kernels/float32_vector.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define ZELVANE_KERNELS_SSE2 1
#else
#define ZELVANE_KERNELS_SSE2 0
#endif

namespace zelvane::layouts {

// Whether the first `count` elements of v occupy distinct bytes.
inline bool separate(const float32_vector& v, std::int64_t count) noexcept {
    return count <= 1 || v.strides >= 4 || v.strides <= -4;
}

// Whether the byte ranges of the first `na` elements of a and the first `nb`
// elements of b intersect.
inline bool overlap(const float32_vector& a, std::int64_t na, const float32_vector& b,
                    std::int64_t nb) noexcept {
    if (na <= 0 || nb <= 0 || a.data == nullptr || b.data == nullptr) return false;
    auto span = [](const float32_vector& v, std::int64_t count, std::uintptr_t& lo,
                   std::uintptr_t& hi) {
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(v.data);
        const std::int64_t reach = (count - 1) * v.strides;
        lo = reach < 0 ? base - static_cast<std::uintptr_t>(-reach) : base;
        hi = (reach < 0 ? base : base + static_cast<std::uintptr_t>(reach)) + 4;
    };
    std::uintptr_t alo, ahi, blo, bhi;
    span(a, na, alo, ahi);
    span(b, nb, blo, bhi);
    return alo < bhi && blo < ahi;
}

#if ZELVANE_KERNELS_SSE2

struct unit {
    char* data;

    float get(std::int64_t i) const noexcept {
        float value;
        std::memcpy(&value, data + 4 * i, sizeof value);
        return value;
    }
    void set(std::int64_t i, float value) const noexcept {
        std::memcpy(data + 4 * i, &value, sizeof value);
    }
    __m128 load4(std::int64_t i) const noexcept {
        return _mm_loadu_ps(reinterpret_cast<const float*>(data + 4 * i));
    }
    void store4(std::int64_t i, __m128 v) const noexcept {
        _mm_storeu_ps(reinterpret_cast<float*>(data + 4 * i), v);
    }
};

struct strided {
    char* data;
    std::int64_t stride;

    float get(std::int64_t i) const noexcept {
        float value;
        std::memcpy(&value, data + i * stride, sizeof value);
        return value;
    }
    void set(std::int64_t i, float value) const noexcept {
        std::memcpy(data + i * stride, &value, sizeof value);
    }
    __m128 load4(std::int64_t i) const noexcept {
        return _mm_setr_ps(get(i), get(i + 1), get(i + 2), get(i + 3));
    }
    // Lane by lane from the register, without a round trip through memory.
    void store4(std::int64_t i, __m128 v) const noexcept {
        set(i, _mm_cvtss_f32(v));
        set(i + 1, _mm_cvtss_f32(_mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1))));
        set(i + 2, _mm_cvtss_f32(_mm_movehl_ps(v, v)));
        set(i + 3, _mm_cvtss_f32(_mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3))));
    }
};

inline bool is_unit(const float32_vector& v) noexcept { return v.strides == 4; }
inline unit as_unit(const float32_vector& v) noexcept { return {v.data}; }
inline strided as_strided(const float32_vector& v) noexcept { return {v.data, v.strides}; }

// f(a, b) with each vector in its own layout.
template <class F>
auto dispatch2(const float32_vector& a, const float32_vector& b, F f) noexcept {
    if (is_unit(a)) {
        return is_unit(b) ? f(as_unit(a), as_unit(b)) : f(as_unit(a), as_strided(b));
    }
    return is_unit(b) ? f(as_strided(a), as_unit(b)) : f(as_strided(a), as_strided(b));
}

// f(a, b, c): the first two share a layout (unit only when both are), the
// third has its own.
template <class F>
auto dispatch3(const float32_vector& a, const float32_vector& b, const float32_vector& c,
               F f) noexcept {
    if (is_unit(a) && is_unit(b)) {
        return is_unit(c) ? f(as_unit(a), as_unit(b), as_unit(c))
                          : f(as_unit(a), as_unit(b), as_strided(c));
    }
    return is_unit(c) ? f(as_strided(a), as_strided(b), as_unit(c))
                      : f(as_strided(a), as_strided(b), as_strided(c));
}

#endif  // ZELVANE_KERNELS_SSE2

}  // namespace zelvane::layouts
