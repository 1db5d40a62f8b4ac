// Reads the control-group files with plain POSIX I/O into fixed buffers: no
// allocation, nothing that can throw, and any file that cannot be read is a
// limit that is not there.
#include "rows/memory_limit.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zelvane::rows {

namespace {

constexpr std::size_t path_size = 4096;

// The file's first bytes (at most size - 1) as text; false when it cannot be read.
bool read_text(const char* path, char* text, std::size_t size) noexcept {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t got = 0;
    while (got + 1 < size) {
        const ssize_t n = ::read(fd, text + got, size - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text[got] = '\0';
    return got > 0;
}

// The lower of two limits, -1 meaning none.
std::int64_t lower(std::int64_t a, std::int64_t b) noexcept {
    if (a < 0) return b;
    if (b < 0) return a;
    return std::min(a, b);
}

// The lowest limit in file `name` of the directory `mount` + `group` and of
// each of its ancestors up to `mount` itself.
std::int64_t lowest_up_the_tree(const char* mount, const char* group, std::size_t group_length,
                                const char* name) noexcept {
    char path[path_size];
    char text[64];
    std::int64_t limit = -1;
    // group: "/", or "/a/b" (no trailing slash); walk "/a/b", "/a", "".
    std::size_t length = group_length;
    while (length > 0 && group[length - 1] == '/') --length;
    while (true) {
        const int written = std::snprintf(path, sizeof path, "%s%.*s/%s", mount, static_cast<int>(length), group, name);
        if (written > 0 && static_cast<std::size_t>(written) < sizeof path && read_text(path, text, sizeof text)) {
            limit = lower(limit, parse_memory_limit(text));
        }
        if (length == 0) break;
        while (length > 0 && group[length - 1] != '/') --length;  // drop the last name
        while (length > 0 && group[length - 1] == '/') --length;  // and its slash
    }
    return limit;
}

// Whether the comma-separated list names `controller`.
bool lists(const char* list, std::size_t length, const char* controller) noexcept {
    const std::size_t want = std::strlen(controller);
    std::size_t start = 0;
    while (start <= length) {
        std::size_t end = start;
        while (end < length && list[end] != ',') ++end;
        if (end - start == want && std::memcmp(list + start, controller, want) == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

std::int64_t parse_memory_limit(const char* text) noexcept {
    if (std::strcmp(text, "max\n") == 0 || std::strcmp(text, "max") == 0) return -1;
    std::int64_t value = 0;
    const char* c = text;
    if (*c < '0' || *c > '9') return -1;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (__builtin_mul_overflow(value, std::int64_t{10}, &value) ||
            __builtin_add_overflow(value, std::int64_t{*c - '0'}, &value)) {
            return -1;
        }
    }
    return (*c == '\0' || (*c == '\n' && c[1] == '\0')) ? value : -1;
}

std::int64_t cgroup_memory_limit(const char* self, const char* root) noexcept {
    char groups[8192];
    if (!read_text(self, groups, sizeof groups)) return -1;
    char mount[path_size];
    std::int64_t limit = -1;
    // Lines "hierarchy:controllers:path"; the unified hierarchy's is "0::path".
    for (char* line = groups; *line != '\0';) {
        char* end = std::strchr(line, '\n');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - line) : std::strlen(line);
        const char* first = static_cast<const char*>(std::memchr(line, ':', length));
        const char* second = first == nullptr ? nullptr
            : static_cast<const char*>(std::memchr(first + 1, ':', length - static_cast<std::size_t>(first + 1 - line)));
        if (second != nullptr) {
            const char* group = second + 1;
            const std::size_t group_length = length - static_cast<std::size_t>(group - line);
            const std::size_t controllers = static_cast<std::size_t>(second - first - 1);
            const bool unified = first - line == 1 && line[0] == '0' && controllers == 0;
            const bool memory = lists(first + 1, controllers, "memory");
            if (unified || memory) {
                const int written = std::snprintf(mount, sizeof mount, "%s%s", root, unified ? "" : "/memory");
                if (written > 0 && static_cast<std::size_t>(written) < sizeof mount) {
                    limit = lower(limit, lowest_up_the_tree(mount, group, group_length,
                                                            unified ? "memory.max" : "memory.limit_in_bytes"));
                }
            }
        }
        if (end == nullptr) break;
        line = end + 1;
    }
    return limit;
}

std::int64_t memory_bytes() noexcept {
    // Found once; threads that race to find it find the same number.
    static std::atomic<std::int64_t> found{0};
    std::int64_t bytes = found.load(std::memory_order_relaxed);
    if (bytes > 0) return bytes;
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0 || __builtin_mul_overflow(std::int64_t{pages}, std::int64_t{size}, &bytes)) {
        bytes = INT64_MAX;
    }
    const std::int64_t limit = cgroup_memory_limit("/proc/self/cgroup", "/sys/fs/cgroup");
    if (limit > 0) bytes = std::min(bytes, limit);
    found.store(bytes, std::memory_order_relaxed);
    return bytes;
}

}  // namespace zelvane::rows
