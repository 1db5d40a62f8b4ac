// How much memory this process may have: the machine's physical memory, or
// less where a control group (a container, a systemd slice) sets a lower
// limit. A run refuses scratch beyond it, rather than have the system hand the
// memory out and kill the process once the fit touches it.
#pragma once

#include <cstdint>

namespace zelvane::rows {

// A control group's memory limit as its file states it: a number of bytes, or
// "max" for none, then a newline. -1 for none, for text that is neither, and
// for numbers beyond std::int64_t.
std::int64_t parse_memory_limit(const char* text) noexcept;

// The lowest memory limit set on the control groups of this process and
// their ancestors, as `self` (normally /proc/self/cgroup) names the groups
// under `root` (normally /sys/fs/cgroup): memory.max on the unified hierarchy,
// memory.limit_in_bytes under the version 1 memory controller's "memory"
// directory. A group whose directory is not there (a container sees its own
// group as the root) adds nothing. -1 where no limit is set or none can be read.
std::int64_t cgroup_memory_limit(const char* self, const char* root) noexcept;

// The machine's physical memory, or the control groups' limit where it is
// lower (std::int64_t's largest where neither is known). Found once per process.
std::int64_t memory_bytes() noexcept;

}  // namespace zelvane::rows
