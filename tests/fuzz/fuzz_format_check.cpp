// libFuzzer target for the format check: any byte string, NUL-terminated in a
// buffer of exactly its size, either passes or is refused with a non-empty,
// NUL-terminated UTF-8 message whose only non-ASCII characters are quoted bytes.
#include "binding/format_check.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// A quoted byte of value 0x80 to 0xFF is the two-byte encoding C2 or C3, then a continuation byte.
bool quotes_bytes_as_utf8(const unsigned char* s) {
    for (; *s != 0; ++s)
        if (*s >= 0x80 && ((*s != 0xC2 && *s != 0xC3) || (*++s & 0xC0) != 0x80)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto format = std::make_unique<char[]>(size + 1);  // zero-filled: format[size] is the NUL
    if (size != 0) std::memcpy(format.get(), data, size);
    zelvane::format_refusal refusal;
    std::memset(refusal.message, 0x7F, sizeof refusal.message);
    if (zelvane::check_float32_format(format.get(), refusal)) return 0;
    if (refusal.message[0] == '\0' || std::memchr(refusal.message, '\0', sizeof refusal.message) == nullptr ||
        !quotes_bytes_as_utf8(reinterpret_cast<const unsigned char*>(refusal.message)))
        std::abort();
    return 0;
}
