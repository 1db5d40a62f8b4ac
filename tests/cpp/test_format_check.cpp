#include "binding/format_check.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// Runs the check on an exact-size heap copy, so that a sanitized build
// catches any read past the terminating NUL. Returns "" on acceptance.
std::string refusal_of(const std::string& format) {
    const auto copy = std::make_unique<char[]>(format.size() + 1);
    std::memcpy(copy.get(), format.c_str(), format.size() + 1);
    zelvane::format_refusal refusal;
    std::memset(refusal.message, 'X', sizeof refusal.message);
    if (zelvane::check_float32_format(copy.get(), refusal)) {
        return "";
    }
    EXPECT_NE(std::memchr(refusal.message, '\0', sizeof refusal.message), nullptr) << format;
    return refusal.message;
}

std::string got(const std::string& what) { return "Buffer dtype mismatch, expected 'float' but got " + what; }
std::string end_got(const std::string& what) { return "Buffer dtype mismatch, expected end but got " + what; }
std::string offset(const std::string& at) {
    return "Buffer dtype mismatch; next field is at offset " + at + " but 0 expected";
}
std::string unknown(const std::string& c) {
    return "Does not understand character buffer dtype format string ('" + c + "')";
}
std::string comma(const std::string& c) { return "Expected a comma in format string, got '" + c + "'"; }
std::string dims(int n) { return "Expected 0 dimension(s), got " + std::to_string(n); }
const std::string big_endian = "Big-endian buffer not supported on little-endian compiler";
const std::string brace = "Buffer acquisition: Expected '{' after 'T'";
const std::string repeated = "Cannot handle repeated arrays in format string";
const std::string unclosed = "Unexpected end of format string, expected ')'";
const std::string bad_z = "Unexpected format string character: 'Z'";

std::string times(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

struct refusal_case {
    std::string format;
    std::string message;
};

}  // namespace

TEST(FormatCheck, AcceptsOneFloatAtOffsetZero) {
    const char* const accepted[] = {
        "f", "@f", "=f", "<f", "^f", " f", "\r\nf\n", "1f", "001f", "T{f}", "T{f:x:}", "()f", "( \t)f",
        "f()", ":a:f:b:", "T{T{f}}", "T{f",   // the end of the format closes open structs
        "f:cut", "0ff", "f0f",                  // merged counts sum to 1
        "fx", "f3x=x",                          // pads after the float
        "f}", "f}>e(",                          // a stray '}' ends the format unread
        "0T{i}f", "2T{}f", "2T{ :x: }f", "f2T{x}", "3T{<}f"};
    for (const char* format : accepted) {
        EXPECT_EQ(refusal_of(format), "") << '"' << format << '"';
    }
}

TEST(FormatCheck, FirstItemOtherThanTheFloat) {
    const refusal_case cases[] = {
        {"?", got("'bool'")},          {"c", got("'char'")},
        {"b", got("'signed char'")},   {"B", got("'unsigned char'")},
        {"h", got("'short'")},         {"H", got("'unsigned short'")},
        {"i", got("'int'")},           {"I", got("'unsigned int'")},
        {"l", got("'long'")},          {"L", got("'unsigned long'")},
        {"q", got("'long long'")},     {"Q", got("'unsigned long long'")},
        {"d", got("'double'")},        {"g", got("'long double'")},
        {"=g", got("'long double'")},  {"Zf", got("'complex float'")},
        {"Zd", got("'complex double'")}, {"Zg", got("'complex long double'")},
        {"O", got("Python object")},   {"s", got("a string")},
        {"p", got("a string")},        {"if", got("'int'")},
        {"0i", got("'int'")},          {"T{i}", got("'int'")},
        {"", got("end")},              {" :a: 3x T{}", got("end")},
        {":no end", got("end")},       {"T{", got("end")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refusal_of(c.format), c.message) << '"' << c.format << '"';
    }
}

TEST(FormatCheck, WrongCountFurtherItemAndOffset) {
    const refusal_case cases[] = {
        {"2f", end_got("'float'")},   {"ff", end_got("'float'")},  {"0f", end_got("'float'")},
        {"f f", end_got("'float'")},  {"x2f", end_got("'float'")}, {"0fxf", end_got("'float'")},
        {"0f<f", end_got("'float'")},  {"fd", end_got("'double'")}, {"fxi", end_got("'int'")},
        {"fZf", end_got("'complex float'")}, {"fss", end_got("a string")}, {"T{2}f", end_got("'float'")},
        {"xf", offset("4")},           {"=xf", offset("1")},        {"^3xf", offset("3")},
        {"5xf", offset("8")},          {"x=f", offset("1")},        {"<2x@f", offset("4")},
        {"T{x}T{f}", offset("4")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refusal_of(c.format), c.message) << '"' << c.format << '"';
    }
}

TEST(FormatCheck, TokenAndSubArrayErrors) {
    const refusal_case cases[] = {
        {">f", big_endian},    {"!f", big_endian},    {"f>", big_endian},    {"0T{>}f", big_endian},
        {"Zq", bad_z},         {"Z", bad_z},          {"fZ", bad_z},
        {"T", brace},          {"Tf", brace},         {"T {f}", brace},
        {"e", unknown("e")},   {"\tf", unknown("\t")}, {"fe", unknown("e")}, {"ie", unknown("e")},
        {"(2)f", dims(1)},     {"1(2)f", dims(1)},    {"(2, 3)f", dims(2)},  {"f(4)", dims(1)},
        {"2(1)f", repeated},   {"2()f", repeated},    {"0(", repeated},
        {"(a)f", unknown("a")}, {"(,)f", unknown(",")}, {"(2,)f", unknown(")")}, {"(-1)f", unknown("-")},
        {"(1x)f", comma("x")}, {"(2 )f", comma(" ")},
        {"(", unclosed},       {"(  ", unclosed},     {"(2", unclosed},      {"(2,", unclosed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refusal_of(c.format), c.message) << '"' << c.format << '"';
    }
}

TEST(FormatCheck, RepeatedStructs) {
    const refusal_case cases[] = {
        {"2T{f}", end_got("'float'")},  {"2T{i}", got("'int'")},       {"2T{fi}", end_got("'int'")},
        {"2T{fx}", end_got("'float'")}, {"2T{xf}", offset("4")},       {"f2T{i}", end_got("'int'")},
        {"2T{f", end_got("'float'")},   {"=2T{x}f", offset("2")},      {"=3T{2T{x}x}f", offset("9")},
        {"=0T{5x}xf", offset("1")},     {"0T{=}xf", offset("4")},      {"T{0T{f}}", got("end")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refusal_of(c.format), c.message) << '"' << c.format << '"';
    }
}

TEST(FormatCheck, HugeCountsSaturate) {
    const std::string huge = "99999999999999999999999999";
    const std::string cap = "9223372036854775807";
    const refusal_case cases[] = {
        {huge + "f", end_got("'float'")},
        {"=" + huge + "xf", offset(cap)},
        {"=18446744073709551615x18446744073709551615xf", offset(cap)},
        {huge + "x" + huge + "xf", offset(cap)},                // aligned in "@" mode
        {"=" + huge + "T{x}" + huge + "T{3x}f", offset(cap)},
        {huge + "f" + huge + "f", end_got("'float'")},
        {"(" + huge + ")f", dims(1)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refusal_of(c.format), c.message) << c.format;
    }
}

TEST(FormatCheck, DeepNestingIsIterative) {
    const int deep = 100000;
    EXPECT_EQ(refusal_of(times("T{", deep) + "f" + times("}", deep)), "");
    EXPECT_EQ(refusal_of(times("T{", deep) + "f"), "");
    EXPECT_EQ(refusal_of(times("T{", deep) + "i" + times("}", deep)), got("'int'"));
    EXPECT_EQ(refusal_of(times("0T{", deep) + "i" + times("}", deep) + "f"), "");
    EXPECT_EQ(refusal_of(times("T{:", deep)), got("end"));
    // Nested repeat counts are tracked in a fixed table of 64.
    EXPECT_EQ(refusal_of(times("2T{", 64) + times("}", 64) + "f"), "");
    EXPECT_EQ(refusal_of(times("2T{", 65)), repeated);
}

TEST(FormatCheck, QuotedBytesAreCodePoints) {
    const refusal_case cases[] = {
        {"\xe9", unknown("\xc3\xa9")},     // U+00E9
        {"f\x7f", unknown("\x7f")},
        {"(\xff)", unknown("\xc3\xbf")},
        {"(1\x80", comma("\xc2\x80")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refusal_of(c.format), c.message) << c.format;
    }
}
