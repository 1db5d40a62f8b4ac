// Reading interpreter version strings and formatting the compatibility
// warnings; see version_text.hpp for the rules.
#include "module/version_text.hpp"

#include <cstdio>

#include "binding/texts.hpp"

namespace zelvane::version {

namespace {
constexpr unsigned component_shift[] = {24, 16, 8, 0};
}

packed parse(const char* text) noexcept {
    packed sum = 0;
    const char* p = text;
    for (unsigned shift : component_shift) {
        std::uint32_t value = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            value = value * 10u + static_cast<std::uint32_t>(*p - '0');
        }
        sum += value << shift;
        if (*p != '.') break;
        ++p;
    }
    return sum;
}

void format_version_mismatch(warning_text& out, int built_major, int built_minor,
                             const char* module, int running_major, int running_minor) noexcept {
    std::snprintf(out, sizeof out, texts::version_mismatch, built_major, built_minor, module,
                  texts::does_not_match, running_major, running_minor);
}

void format_size_grew(warning_text& out, const char* module, const char* type,
                      std::ptrdiff_t expected, std::ptrdiff_t got) noexcept {
    std::snprintf(out, sizeof out, texts::size_grew, module, type, expected, got);
}

}  // namespace zelvane::version
