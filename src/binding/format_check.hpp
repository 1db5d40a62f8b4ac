// The format check of a buffer conversion: does a buffer format string (the
// struct-module syntax of the buffer protocol) describe exactly one native or
// little-endian float32? Pure C++, so it is unit-tested and fuzzed directly.
#pragma once

#include <cstddef>

namespace zelvane {

struct format_refusal {
    // The ValueError message, UTF-8, NUL-terminated. A byte of the format
    // quoted in a message is shown as the code point of its value.
    char message[192];
};

// True when `format` (NUL-terminated) passes. Otherwise fills `refusal` and
// returns false. Never reads past the terminating NUL.
bool check_float32_format(const char* format, format_refusal& refusal) noexcept;

}  // namespace zelvane
