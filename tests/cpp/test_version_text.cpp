#include "module/version_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace v = zelvane::version;

namespace {

struct parse_case {
    const char* text;
    v::packed expected;
};

const parse_case parse_cases[] = {
    {"3.8.18 (default, Jun  1 2023, 10:00:00) \n[GCC 12.2.0]", 0x03081200u},
    {"3.10", 0x030A0000u},
    {"3", 0x03000000u},
    {"", 0u},
    {"3..8", 0x03000800u},            // empty run counts as 0
    {"3.a9", 0x03000000u},            // a non-digit ends the run and the parse
    {"3.11.4.2.9", 0x030B0402u},      // at most four components
    {"4294967299.8", 0x03080000u},    // 2^32 + 3: the digit run wraps to 3
    {"99999999999.1", 0xFF010000u},   // wraps to 0x4876E7FF; only 0xFF survives the shift
    {"3.300", 0x042C0000u},           // 300 << 16 carries into the major byte
    {"256.1", 0x00010000u},           // 256 << 24 falls off the top
};

}  // namespace

TEST(VersionParse, WeightedSumOfComponents) {
    for (const auto& c : parse_cases) {
        EXPECT_EQ(v::parse(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(VersionParse, MajorMinorAndComparison) {
    const v::packed wrapped = v::parse("3.300");
    EXPECT_EQ(v::major_of(wrapped), 4);
    EXPECT_EQ(v::minor_of(wrapped), 44);
    EXPECT_EQ(v::minor_of(v::parse("3.12.1")), 12);

    EXPECT_TRUE(v::same_major_minor(v::parse("3.8.18 (default)"), v::pack(3, 8)));
    EXPECT_TRUE(v::same_major_minor(v::parse("3.8.0.255"), v::pack(3, 8)));
    for (const char* other : {"3.10", "3.9", "2.8", ""}) {
        EXPECT_FALSE(v::same_major_minor(v::parse(other), v::pack(3, 8))) << other;
    }
    EXPECT_FALSE(v::same_major_minor(v::parse("3.10"), v::pack(3, 1)));
}

TEST(WarningText, VersionMismatch) {
    v::warning_text out;
    v::format_version_mismatch(out, 3, 8, "zelvane.bake", 3, 10);
    EXPECT_STREQ(out, "compile time Python version 3.8 of module 'zelvane.bake' does not match "
                      "runtime version 3.10");

    // The module name is cut at 100 characters.
    const std::string name(150, 'm');
    v::format_version_mismatch(out, 3, 8, name.c_str(), 3, 11);
    EXPECT_STREQ(out, ("compile time Python version 3.8 of module '" + std::string(100, 'm') +
                       "' does not match runtime version 3.11")
                          .c_str());

    // Cut at 199 characters when the numbers are long.
    const std::string full = "compile time Python version -2147483647.-2147483647 of module '" +
                             std::string(100, 'm') +
                             "' does not match runtime version -2147483647.-2147483647";
    v::format_version_mismatch(out, -2147483647, -2147483647, name.c_str(), -2147483647,
                               -2147483647);
    EXPECT_EQ(std::string(out), full.substr(0, 199));
}

TEST(WarningText, SizeGrew) {
    v::warning_text out;
    v::format_size_grew(out, "numpy", "generic", 16, 24);
    EXPECT_STREQ(out, "numpy.generic size changed, may indicate binary incompatibility. "
                      "Expected 16 from C header, got 24 from PyObject");

    v::format_size_grew(out, "builtins", "type", 880, -1);
    EXPECT_STREQ(out, "builtins.type size changed, may indicate binary incompatibility. "
                      "Expected 880 from C header, got -1 from PyObject");

    const std::string type(300, 't');
    v::format_size_grew(out, "numpy", type.c_str(), 16, 24);
    EXPECT_EQ(std::string(out), "numpy." + std::string(193, 't'));
}
