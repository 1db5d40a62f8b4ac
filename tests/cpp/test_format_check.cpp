// The float32 format check: accepted formats, every refusal message, and robustness on hostile input.
#include "binding/format_check.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
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
    if (zelvane::check_float32_format(copy.get(), refusal)) return "";
    EXPECT_NE(std::memchr(refusal.message, '\0', sizeof refusal.message), nullptr) << format;
    return refusal.message;
}

struct refusal_case { std::string format, message; };

void expect_refusals(std::initializer_list<refusal_case> cases) {
    for (const auto& c : cases)
        EXPECT_EQ(refusal_of(c.format), c.message) << '"' << c.format.substr(0, 40) << '"';
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

TEST(FormatCheck, AcceptsOneFloatAtOffsetZero) {
    for (const char* format : {
             "f", "@f", "=f", "<f", "^f", " f", "\r\nf\n", "1f", "001f", "T{f}", "T{f:x:}", "()f", "( \t)f",
             "f()", ":a:f:b:", "T{T{f}}", "T{f",  // the end of the format closes open structs
             "f:cut", "0ff", "f0f",               // merged counts sum to 1
             "f3x=x", "f}>e(",                    // pads after the float; a stray '}' ends the format unread
             "0T{i}f", "2T{ :x: }f", "f2T{x}", "3T{<}f"}) {
        EXPECT_EQ(refusal_of(format), "") << '"' << format << '"';
    }
}

TEST(FormatCheck, FirstItemOtherThanTheFloat) {
    expect_refusals({
        {"?", got("'bool'")},           {"c", got("'char'")},            {"b", got("'signed char'")},
        {"B", got("'unsigned char'")},  {"h", got("'short'")},           {"H", got("'unsigned short'")},
        {"i", got("'int'")},            {"I", got("'unsigned int'")},    {"l", got("'long'")},
        {"L", got("'unsigned long'")},  {"q", got("'long long'")},       {"Q", got("'unsigned long long'")},
        {"d", got("'double'")},         {"g", got("'long double'")},     {"=g", got("'long double'")},
        {"Zf", got("'complex float'")}, {"Zd", got("'complex double'")}, {"Zg", got("'complex long double'")},
        {"O", got("Python object")},    {"s", got("a string")},          {"p", got("a string")},
        {"if", got("'int'")},           {"0i", got("'int'")},            {"2T{i}", got("'int'")},
        {"", got("end")},               {" :a: 3x T{}", got("end")},     {":no end", got("end")},
        {"T{", got("end")},             {"T{0T{f}}", got("end")},
    });
}

TEST(FormatCheck, WrongCountFurtherItemAndOffset) {
    expect_refusals({
        {"2f", end_got("'float'")},   {"ff", end_got("'float'")},  {"0f", end_got("'float'")},
        {"x2f", end_got("'float'")},  {"0fxf", end_got("'float'")}, {"0f<f", end_got("'float'")},
        {"T{2}f", end_got("'float'")}, {"fd", end_got("'double'")}, {"fxi", end_got("'int'")},
        {"fZf", end_got("'complex float'")}, {"fss", end_got("a string")},
        {"2T{f}", end_got("'float'")}, {"2T{fi}", end_got("'int'")}, {"2T{fx}", end_got("'float'")},
        {"2T{f", end_got("'float'")},
        {"xf", offset("4")},           {"=xf", offset("1")},        {"^3xf", offset("3")},
        {"5xf", offset("8")},          {"<2x@f", offset("4")},      {"T{x}T{f}", offset("4")},
        {"2T{xf}", offset("4")},       {"=3T{2T{x}x}f", offset("9")}, {"=0T{5x}xf", offset("1")},
        {"0T{=}xf", offset("4")},
    });
}

TEST(FormatCheck, TokenAndSubArrayErrors) {
    expect_refusals({
        {">f", big_endian},    {"!f", big_endian},     {"f>", big_endian},    {"0T{>}f", big_endian},
        {"Zq", bad_z},         {"Z", bad_z},           {"T", brace},          {"T {f}", brace},
        {"e", unknown("e")},   {"\tf", unknown("\t")}, {"ie", unknown("e")},
        {"(2)f", dims(1)},     {"1(2)f", dims(1)},     {"(2, 3)f", dims(2)},  {"f(4)", dims(1)},
        {"2(1)f", repeated},   {"2()f", repeated},     {"0(", repeated},
        {"(-1)f", unknown("-")}, {"(2,)f", unknown(")")}, {"(2 )f", comma(" ")},
        {"(", unclosed},       {"(  ", unclosed},      {"(2", unclosed},      {"(2,", unclosed},
    });
}

TEST(FormatCheck, HugeCountsSaturateAndDeepNestingIsIterative) {
    const std::string huge = "99999999999999999999999999", cap = "9223372036854775807";
    const int deep = 100000;
    expect_refusals({
        {huge + "f", end_got("'float'")},          {huge + "f" + huge + "f", end_got("'float'")},
        {"(" + huge + ")f", dims(1)},              {huge + "x" + huge + "xf", offset(cap)},  // aligned in "@"
        {"=18446744073709551615x18446744073709551615xf", offset(cap)},
        {"=18446744073709551617xf", offset(cap)},  // 2^64 + 1 must not wrap to 1
        {"=" + huge + "T{3x}f", offset(cap)},      // the repeated struct's size saturates too
        {times("T{", deep) + "f" + times("}", deep), ""},
        {times("T{", deep) + "f", ""},             {times("T{:", deep), got("end")},
        {times("0T{", deep) + "i" + times("}", deep) + "f", ""},
        {times("2T{", 64) + times("}", 64) + "f", ""},  // nested repeat counts: a table of 64
        {times("2T{", 65), repeated},
    });
}

// A byte of the format is quoted as the UTF-8 of the code point of its value.
TEST(FormatCheck, QuotedBytesAreCodePoints) {
    expect_refusals({{"\xe9", unknown("\xc3\xa9")}, {"f\x7f", unknown("\x7f")},
                     {"(\xff)", unknown("\xc3\xbf")}, {"(1\x80", comma("\xc2\x80")}});
}

}  // namespace
