// Test support for the kernels: float32 vectors laid out at a byte stride of
// either sign inside a marked byte buffer, and bit-for-bit comparison.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "solvers/float32_vector.hpp"

namespace zelvane::testing {

constexpr char marker = 0x5A;
const float marker_value = std::bit_cast<float>(std::uint32_t{0x5A5A5A5A});
const float nan = std::numeric_limits<float>::quiet_NaN();

// Floats at a byte stride of either sign inside a byte buffer that starts at
// an odd offset and whose every other byte holds a marker, so that unaligned
// access is exercised and stray writes are seen.
struct strided_floats {
    static constexpr std::int64_t pad = 19;
    std::vector<char> bytes, initial;
    float32_vector view;

    strided_floats(const std::vector<float>& values, std::int64_t stride) {
        const std::int64_t n = std::ssize(values);
        const std::int64_t span = n > 0 ? (n - 1) * std::abs(stride) + 4 : 0;
        bytes.assign(static_cast<std::size_t>(span + 2 * pad), marker);
        char* first = bytes.data() + pad + (stride < 0 ? span - 4 : 0);
        view = {n > 0 ? first : nullptr, n, stride};
        for (std::int64_t i = 0; i < n; ++i) view.set(i, values[static_cast<std::size_t>(i)]);
        initial = bytes;
    }
    std::vector<float> values() const {
        std::vector<float> out;
        for (std::int64_t i = 0; i < view.shape; ++i) out.push_back(view.get(i));
        return out;
    }
    // Every byte that belongs to no element still holds the marker.
    bool outside_untouched() const {
        std::vector<bool> inside(bytes.size());
        for (std::int64_t i = 0; i < view.shape; ++i)
            for (std::int64_t b = 0; b < 4; ++b)
                inside[static_cast<std::size_t>(view.data - bytes.data() + i * view.strides + b)] = true;
        for (std::size_t k = 0; k < bytes.size(); ++k)
            if (!inside[k] && bytes[k] != marker) return false;
        return true;
    }
};

// Same bits everywhere; an expected NaN accepts any NaN, since the payload
// that arithmetic propagates is the processor's business.
void expect_bits(const std::vector<float>& expected, const std::vector<float>& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::isnan(expected[i]))
            EXPECT_TRUE(std::isnan(actual[i])) << "at " << i << ": got " << actual[i];
        else
            EXPECT_EQ(std::bit_cast<std::uint32_t>(expected[i]), std::bit_cast<std::uint32_t>(actual[i]))
                << "at " << i << ": expected " << expected[i] << ", got " << actual[i];
    }
}

}  // namespace zelvane::testing
