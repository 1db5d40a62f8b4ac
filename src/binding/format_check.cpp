// The format check: one left-to-right pass over a buffer format string that
// decides whether it describes exactly one float32 at offset 0.
//
// Items are held back as "pending" until the next item, pad or the end shows
// that no further item of the same kind follows (consecutive equal items merge
// into one with the summed count); settling the pending item compares it with
// what is expected at that point: the float first, the end after it.
//
// Nested structs are tracked with counters rather than recursion, and the few
// structs that carry a repeat count get a slot in a small fixed array, so the
// pass allocates nothing and its stack use does not grow with the nesting.
#include "binding/format_check.hpp"

#include "binding/texts.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace zelvane {
namespace {

using count_t = std::uint64_t;
using signed_size = std::make_signed_t<std::size_t>;

// Counts and offsets saturate at this bound: digit runs of any length stay
// defined, and every value still prints as a signed size.
constexpr count_t count_cap = static_cast<count_t>(PTRDIFF_MAX);

count_t add_sat(count_t a, count_t b) { return b > count_cap - a ? count_cap : a + b; }
count_t mul_sat(count_t a, count_t b) { return b != 0 && a > count_cap / b ? count_cap : a * b; }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

bool is_type_code(unsigned char c) {
    return c != '\0' && std::strchr("?cbBhHiIlLqQfdgOsp", c) != nullptr;
}

// Whitespace allowed in front of a number inside a sub-array shape.
bool is_shape_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// How a mismatch message names an item.
const char* describe(char code, bool complex) {
    if (complex) {
        return code == 'f' ? "'complex float'" : code == 'd' ? "'complex double'" : "'complex long double'";
    }
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'O': return "Python object";
        default: return "a string";  // 's' and 'p'
    }
}

constexpr char nothing_description[] = "end";

struct item {
    char code = '\0';  // '\0': no item
    bool complex = false;
    char mode = '@';
    count_t count = 0;
    count_t offset = 0;  // byte offset where the item starts, before alignment
};

// A struct with a repeat count of 2 or more whose '}' is still ahead.
struct repeat_frame {
    std::size_t depth;   // nesting depth of the struct
    count_t times;       // its repeat count
    count_t offset;      // the offset when it opened
    std::size_t items;   // items seen before it opened
};

constexpr std::size_t max_repeat_frames = 64;

class checker {
public:
    checker(const char* format, format_refusal& refusal) : p_(format), refusal_(refusal) {}

    bool run() {
        for (;;) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '\0') {
                return close_all_structs() && finish();
            }
            ++p_;
            if (!step(c)) {
                return false;
            }
            if (done_) {
                return true;
            }
        }
    }

private:
    // One token, starting with `c` (already consumed). False on a refusal.
    bool step(unsigned char c) {
        switch (c) {
            case ' ':
            case '\r':
            case '\n':
                return true;
            case '@':
            case '^':
            case '=':
            case '<':
                if (!suppressed()) {
                    mode_ = static_cast<char>(c);
                }
                return true;
            case '>':
            case '!':
                return refuse(texts::big_endian);
            case 'x': return add_pad(take_count());
            case 'T': {
                const count_t times = take_count();
                if (*p_ != '{') {
                    return refuse(texts::expected_brace);
                }
                ++p_;
                return open_struct(times);
            }
            case '}':
                if (depth_ == 0) {
                    // Closes nothing: the format ends here.
                    done_ = true;
                    return finish();
                }
                return close_struct();
            case ':':
                // A field name; one cut off by the end of the format runs to it.
                while (*p_ != '\0' && *p_ != ':') {
                    ++p_;
                }
                if (*p_ == ':') {
                    ++p_;
                }
                return true;
            case '(': return read_shape();
            case 'Z': {
                const char code = *p_;
                if (code != 'f' && code != 'd' && code != 'g') {
                    return refuse_quoting(texts::unexpected_format_char, 'Z');
                }
                ++p_;
                return add_item(code, true);
            }
            default:
                if (is_digit(c)) {
                    count_ = read_number(c);
                    return true;
                }
                if (is_type_code(c)) {
                    return add_item(static_cast<char>(c), false);
                }
                return refuse_quoting(texts::unknown_format_char, c);
        }
    }

    // Decimal digits, the first already consumed; saturates.
    count_t read_number(unsigned char first) {
        count_t n = static_cast<count_t>(first - '0');
        while (is_digit(static_cast<unsigned char>(*p_))) {
            n = add_sat(mul_sat(n, 10), static_cast<count_t>(*p_ - '0'));
            ++p_;
        }
        return n;
    }

    count_t take_count() {
        const count_t n = count_;
        count_ = 1;
        return n;
    }

    // Inside a struct repeated zero times nothing counts, but the text must
    // still be well formed.
    bool suppressed() const { return suppressed_at_ != 0; }

    bool add_item(char code, bool complex) {
        const count_t n = take_count();
        if (suppressed()) {
            return true;
        }
        ++items_seen_;
        // Equal neighbours merge. Only the float's count is ever looked at (any
        // other item is refused whatever its count), so strings, which never
        // merge, need no exception here.
        if (pending_.code == code && pending_.complex == complex && pending_.mode == mode_) {
            pending_.count = add_sat(pending_.count, n);
            return true;
        }
        if (!settle()) {
            return false;
        }
        pending_ = item{code, complex, mode_, n, offset_};
        return true;
    }

    bool add_pad(count_t n) {
        if (suppressed()) {
            return true;
        }
        if (!settle()) {
            return false;
        }
        offset_ = add_sat(offset_, n);
        return true;
    }

    // Compares the pending item, if any, with what is expected at this point.
    bool settle() {
        if (pending_.code == '\0') {
            return true;
        }
        const item it = pending_;
        pending_ = item{};
        if (matched_) {
            return refuse_mismatch(false, describe(it.code, it.complex));
        }
        if (it.code != 'f' || it.complex) {
            return refuse_mismatch(true, describe(it.code, it.complex));
        }
        if (it.count != 1) {
            return refuse_mismatch(false, describe('f', false));
        }
        count_t at = it.offset;
        if (it.mode == '@') {
            // Native alignment: the float starts at the next multiple of 4.
            at = at > count_cap - 3 ? count_cap : (at + 3) & ~count_t{3};
        }
        if (at != 0) {
            return refuse_offset(at);
        }
        matched_ = true;
        return true;
    }

    bool finish() {
        if (!settle()) {
            return false;
        }
        return matched_ || refuse_mismatch(true, nothing_description);
    }

    bool open_struct(count_t times) {
        ++depth_;
        if (suppressed() || times == 1) {
            return true;
        }
        if (times == 0) {
            suppressed_at_ = depth_;
            return true;
        }
        if (frame_count_ == max_repeat_frames) {
            return refuse(texts::repeated_array);
        }
        frames_[frame_count_++] = repeat_frame{depth_, times, offset_, items_seen_};
        return true;
    }

    bool close_struct() {
        const std::size_t depth = depth_--;
        if (suppressed_at_ == depth) {
            suppressed_at_ = 0;
            return true;
        }
        if (frame_count_ == 0 || frames_[frame_count_ - 1].depth != depth) {
            return true;
        }
        const repeat_frame f = frames_[--frame_count_];
        if (items_seen_ != f.items) {
            // The contents hold an item, so the repetition describes more
            // items than one float. Settling may already refuse; if it does
            // not, the float has just matched or was matched before, and the
            // next copy of the contents starts with a float again.
            return settle() && refuse_mismatch(false, describe('f', false));
        }
        // Pads only: each further copy adds the same number of bytes.
        offset_ = add_sat(offset_, mul_sat(f.times - 1, offset_ - f.offset));
        return true;
    }

    // The end of the format closes the structs that are still open.
    bool close_all_structs() {
        while (depth_ != 0) {
            if (!close_struct()) {
                return false;
            }
        }
        return true;
    }

    // A sub-array shape "(n, m, ...)". The float has no dimensions, so only
    // the empty shape passes; it is held to that wherever it stands.
    bool read_shape() {
        if (take_count() != 1) {
            return refuse(texts::repeated_array);
        }
        int dims = 0;
        for (;;) {
            while (is_shape_space(static_cast<unsigned char>(*p_))) {
                ++p_;
            }
            auto c = static_cast<unsigned char>(*p_);
            if (c == '\0') {
                return refuse(texts::unclosed_subarray);
            }
            if (c == ')' && dims == 0) {
                ++p_;
                return true;
            }
            if (!is_digit(c)) {
                return refuse_quoting(texts::unknown_format_char, c);
            }
            while (is_digit(static_cast<unsigned char>(*p_))) {
                ++p_;
            }
            dims = dims < INT_MAX ? dims + 1 : dims;
            c = static_cast<unsigned char>(*p_);
            if (c == ',') {
                ++p_;
            } else if (c == ')') {
                ++p_;
                return refuse_dims(dims);
            } else if (c == '\0') {
                return refuse(texts::unclosed_subarray);
            } else {
                return refuse_quoting(texts::expected_comma, c);
            }
        }
    }

    // ---- Refusals: each fills the message and returns false. ----

    bool refuse(const char* text) {
        std::snprintf(refusal_.message, sizeof refusal_.message, "%s", text);
        return false;
    }

    // `pattern` holds one "%c"; the byte is shown as the code point of its
    // value, so bytes from 0x80 up become two UTF-8 bytes.
    bool refuse_quoting(const char* pattern, unsigned char byte) {
        char quoted[3] = {};
        if (byte < 0x80) {
            quoted[0] = static_cast<char>(byte);
        } else {
            quoted[0] = static_cast<char>(0xC0 | (byte >> 6));
            quoted[1] = static_cast<char>(0x80 | (byte & 0x3F));
        }
        const char* mark = std::strstr(pattern, "%c");
        const int head = static_cast<int>(mark - pattern);
        std::snprintf(refusal_.message, sizeof refusal_.message, "%.*s%s%s", head, pattern, quoted, mark + 2);
        return false;
    }

    // The float mismatch (expected the float) or the end mismatch.
    bool refuse_mismatch(bool expected_float, const char* got) {
        const char* quote = expected_float ? "'" : "";
        const char* what = expected_float ? texts::element_name : nothing_description;
        std::snprintf(refusal_.message, sizeof refusal_.message, texts::dtype_mismatch, quote, what, quote, got);
        return false;
    }

    bool refuse_offset(count_t at) {
        std::snprintf(refusal_.message, sizeof refusal_.message, texts::offset_mismatch,
                      static_cast<signed_size>(at), signed_size{0});
        return false;
    }

    bool refuse_dims(int dims) {
        std::snprintf(refusal_.message, sizeof refusal_.message, texts::wrong_subarray_dims, 0, dims);
        return false;
    }

    const char* p_;
    format_refusal& refusal_;
    char mode_ = '@';
    count_t offset_ = 0;
    count_t count_ = 1;          // repeat count for the next item, pad or struct
    item pending_;
    bool matched_ = false;       // the float has been settled
    bool done_ = false;          // a stray '}' ended the format
    std::size_t items_seen_ = 0;
    std::size_t depth_ = 0;          // open structs
    std::size_t suppressed_at_ = 0;  // depth of the struct repeated zero times, 0 if none
    repeat_frame frames_[max_repeat_frames];
    std::size_t frame_count_ = 0;
};

}  // namespace

bool check_float32_format(const char* format, format_refusal& refusal) noexcept {
    return checker(format, refusal).run();
}

}  // namespace zelvane
