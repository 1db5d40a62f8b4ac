// libFuzzer target for the format check: any byte string, made NUL-terminated
// in a buffer of exactly its size, must either pass or be refused with a
// non-empty, NUL-terminated, well-formed UTF-8 message.
#include "binding/format_check.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool is_utf8(const unsigned char* s) {
    while (*s != 0) {
        const unsigned char lead = *s++;
        const int tail = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : -1;
        if (tail < 0 || lead == 0xC0 || lead == 0xC1) {
            return false;
        }
        for (int i = 0; i < tail; ++i) {
            if ((*s++ & 0xC0) != 0x80) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    char* format = static_cast<char*>(std::malloc(size + 1));
    if (format == nullptr) {
        return 0;
    }
    if (size != 0) {
        std::memcpy(format, data, size);
    }
    format[size] = '\0';

    zelvane::format_refusal refusal;
    std::memset(refusal.message, 0x7F, sizeof refusal.message);
    if (!zelvane::check_float32_format(format, refusal)) {
        if (refusal.message[0] == '\0' ||
            std::memchr(refusal.message, '\0', sizeof refusal.message) == nullptr ||
            !is_utf8(reinterpret_cast<const unsigned char*>(refusal.message))) {
            std::abort();
        }
    }
    std::free(format);
    return 0;
}
