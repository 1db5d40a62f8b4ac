// Version-string parsing, the major/minor comparison and the two warning
// texts with their truncation.
#include "module/version_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace v = zelvane::version;

TEST(VersionParse, WeightedSumOfComponents) {
    const std::pair<const char*, v::packed> cases[] = {
        {"3.8.18 (default, Jun  1 2023, 10:00:00) \n[GCC 12.2.0]", 0x03081200u},
        {"3.10", 0x030A0000u},
        {"3", 0x03000000u},
        {"", 0u},
        {"3..8", 0x03000800u},           // an empty run counts as 0
        {"3.a9", 0x03000000u},           // a non-digit ends the run and the parse
        {"3.11.4.2.9", 0x030B0402u},     // at most four components
        {"4294967299.8", 0x03080000u},   // 2^32 + 3: the digit run wraps to 3
        {"99999999999.1", 0xFF010000u},  // wraps to 0x4876E7FF; only 0xFF survives the shift
        {"3.300", 0x042C0000u},          // 300 << 16 carries into the major byte
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(v::parse(text), expected) << '"' << text << '"';
}

TEST(VersionParse, MajorMinorAndComparison) {
    const v::packed wrapped = v::parse("3.300");
    EXPECT_EQ(std::pair(v::major_of(wrapped), v::minor_of(wrapped)), std::pair(4, 44));
    for (const auto& [text, same] : {std::pair{"3.8.18 (default)", true}, {"3.8.0.255", true},
                                     {"3.10", false}, {"3.9", false}, {"2.8", false}, {"", false}}) {
        EXPECT_EQ(v::same_major_minor(v::parse(text), v::pack(3, 8)), same) << '"' << text << '"';
    }
}

TEST(WarningText, VersionMismatch) {
    v::warning_text out;
    v::format_version_mismatch(out, 3, 8, "zelvane.bake", 3, 10);
    EXPECT_STREQ(out, "compile time Python version 3.8 of module 'zelvane.bake' does not match "
                      "runtime version 3.10");
    // The module name is cut at 100 characters, the whole text at 199.
    v::format_version_mismatch(out, -2147483647, -2147483647, std::string(150, 'm').c_str(), -2147483647,
                               -2147483647);
    const std::string full = "compile time Python version -2147483647.-2147483647 of module '" +
                             std::string(100, 'm') +
                             "' does not match runtime version -2147483647.-2147483647";
    EXPECT_EQ(out, full.substr(0, 199));
}

TEST(WarningText, SizeGrew) {
    v::warning_text out;
    v::format_size_grew(out, "numpy", "generic", 16, 24);
    EXPECT_STREQ(out, "numpy.generic size changed, may indicate binary incompatibility. "
                      "Expected 16 from C header, got 24 from PyObject");
    v::format_size_grew(out, "numpy", std::string(300, 't').c_str(), 16, 24);
    EXPECT_EQ(out, "numpy." + std::string(193, 't'));
}
