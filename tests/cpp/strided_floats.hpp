// Kernel test support: float32 vectors at any byte stride in a marked buffer; bit-for-bit comparison.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/float32_vector.hpp"

namespace zelvane::testing {
constexpr char marker = 0x5A;
const float marker_value = std::bit_cast<float>(std::uint32_t{0x5A5A5A5A});
const float nan = NAN;

// Elements start at an odd offset (unaligned access); every byte around them holds the marker.
struct strided_floats {
    std::vector<char> bytes, initial;
    float32_vector view;
    strided_floats(const std::vector<float>& values, std::int64_t stride) {
        const std::int64_t n = std::ssize(values), span = n > 0 ? (n - 1) * std::max(stride, -stride) + 4 : 0;
        bytes.assign(static_cast<std::size_t>(span + 38), marker);
        view = {n > 0 ? bytes.data() + 19 + (stride < 0 ? span - 4 : 0) : nullptr, n, stride};
        for (std::int64_t i = 0; i < n; ++i) view.set(i, values[static_cast<std::size_t>(i)]);
        initial = bytes;
    }
    std::vector<float> values() const {
        std::vector<float> out;
        for (std::int64_t i = 0; i < view.shape; ++i) out.push_back(view.get(i));
        return out;
    }
    bool outside_untouched() const {
        std::vector<char> rest = bytes;
        for (std::int64_t i = 0; i < view.shape; ++i)
            std::memset(rest.data() + (view.data - bytes.data()) + i * view.strides, marker, 4);
        return rest == std::vector<char>(bytes.size(), marker);
    }
};

// Same bits everywhere; an expected NaN accepts any NaN (the payload is the processor's business).
inline ::testing::AssertionResult same_bits(const std::vector<float>& want, const std::vector<float>& got) {
    ::testing::AssertionResult result(std::ranges::equal(want, got, [](float e, float g) {
        return std::isnan(e) ? std::isnan(g) : std::bit_cast<int>(e) == std::bit_cast<int>(g);
    }));
    for (const float x : got) result << ' ' << x;
    return result;
}
}  // namespace zelvane::testing
