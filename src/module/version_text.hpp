// Interpreter-free helpers of the import-time compatibility checks: reading an
// interpreter version string and formatting the two warning texts. Pure C++,
// so the parsing and the truncation rules are unit-tested directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvane::version {

// A version as a weighted sum: major << 24, minor << 16, micro << 8, then the
// fourth component, added in unsigned 32-bit arithmetic (so it wraps).
using packed = std::uint32_t;

// Reads up to four components from the start of `text` (NUL-terminated),
// such as the "3.11.4 (main, ...)" of the interpreter. A component is the run
// of decimal digits at the current position, read as an unsigned 32-bit number
// (an empty run is 0); the next component is read only when the run is
// followed by '.'. Never reads past the terminating NUL.
packed parse(const char* text) noexcept;

constexpr packed pack(std::uint32_t major, std::uint32_t minor) noexcept {
    return (major << 24) + (minor << 16);
}
constexpr int major_of(packed v) noexcept { return static_cast<int>(v >> 24); }
constexpr int minor_of(packed v) noexcept { return static_cast<int>((v >> 16) & 0xFFu); }

// Major and minor alone decide compatibility: bits 16 to 31 of the sums.
constexpr bool same_major_minor(packed a, packed b) noexcept { return (a >> 16) == (b >> 16); }

// The warnings are formatted into a fixed buffer, so a longer text is cut at
// warning_capacity - 1 characters.
inline constexpr std::size_t warning_capacity = 200;
using warning_text = char[warning_capacity];

// "compile time Python version B.b of module 'M' does not match runtime
// version R.r" (M cut at 100 characters).
void format_version_mismatch(warning_text& out, int built_major, int built_minor,
                             const char* module, int running_major, int running_minor) noexcept;

// "M.N size changed, ... Expected E from C header, got G from PyObject".
void format_size_grew(warning_text& out, const char* module, const char* type,
                      std::ptrdiff_t expected, std::ptrdiff_t got) noexcept;

}  // namespace zelvane::version
