// A strided, one-dimensional view of float32 elements that live in somebody
// else's memory. The numeric kernels work on these alone: no interpreter
// header, no interpreter call, so they can run with the interpreter lock
// released and be unit-tested as plain C++.
#pragma once

#include <cstdint>
#include <cstring>

namespace zelvane {

struct float32_vector {
    char* data = nullptr;       // element 0; null for the empty view
    std::int64_t shape = 0;     // number of elements
    std::int64_t strides = 0;   // byte distance between elements, any sign

    // Element i lives at data + i * strides. The exporter's stride need not
    // be a multiple of 4, so elements are moved with memcpy, which compiles
    // to a single load or store and is defined for unaligned addresses.
    float get(std::int64_t i) const noexcept {
        float value;
        std::memcpy(&value, data + i * strides, sizeof value);
        return value;
    }
    void set(std::int64_t i, float value) const noexcept {
        std::memcpy(data + i * strides, &value, sizeof value);
    }
};

// What a kernel phase that divides by interval widths reports: the lowest
// position whose width compares equal to zero, or no_zero_width.
inline constexpr std::int64_t no_zero_width = -1;

}  // namespace zelvane
