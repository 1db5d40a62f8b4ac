// The memory a run may ask for: the control-group limit files as the kernel
// writes them, read from a made-up tree laid out as /proc/self/cgroup and
// /sys/fs/cgroup are, for the unified hierarchy, version 1 and a container's
// view of both.
#include "rows/memory_limit.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace rows = zelvane::rows;

TEST(MemoryLimit, ParsesWhatTheKernelWrites) {
    EXPECT_EQ(rows::parse_memory_limit("max\n"), -1);
    EXPECT_EQ(rows::parse_memory_limit("1073741824\n"), 1073741824);
    EXPECT_EQ(rows::parse_memory_limit("536870912"), 536870912);
    // Version 1's "no limit": the largest int64 rounded down to whole pages.
    EXPECT_EQ(rows::parse_memory_limit("9223372036854771712\n"), 9223372036854771712);
    for (const char* text : {"", "\n", "-1\n", "12 kB\n", "1e9\n", "9223372036854775808\n",
                             "99999999999999999999\n", "max2\n", "12\n\n"}) {
        EXPECT_EQ(rows::parse_memory_limit(text), -1) << '"' << text << '"';
    }
}

// A directory tree that is removed with the test.
class Tree {
public:
    Tree() {
        char name[] = "/tmp/zelvane-cgroup-XXXXXX";
        const char* made = mkdtemp(name);
        EXPECT_NE(made, nullptr);
        root_ = made != nullptr ? made : "/nonexistent";
    }
    ~Tree() { std::system(("rm -rf '" + root_ + "'").c_str()); }
    // Writes `text` to `path` under the root, making its directories.
    void write(const std::string& path, const std::string& text) {
        std::string dir = root_;
        for (std::size_t at = 1; (at = path.find('/', at)) != std::string::npos; ++at) {
            dir = root_ + path.substr(0, at);
            mkdir(dir.c_str(), 0700);
        }
        std::FILE* file = std::fopen((root_ + path).c_str(), "w");
        ASSERT_NE(file, nullptr) << path;
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
    std::int64_t limit() const {
        return rows::cgroup_memory_limit((root_ + "/self").c_str(), (root_ + "/sys").c_str());
    }

private:
    std::string root_;
};

TEST(MemoryLimit, UnifiedHierarchyTakesTheLowestOfTheGroupAndItsAncestors) {
    Tree tree;
    tree.write("/self", "0::/user.slice/job.scope\n");
    EXPECT_EQ(tree.limit(), -1);  // no files at all
    tree.write("/sys/user.slice/job.scope/memory.max", "max\n");
    tree.write("/sys/memory.max", "max\n");
    EXPECT_EQ(tree.limit(), -1);
    tree.write("/sys/user.slice/memory.max", "8589934592\n");
    EXPECT_EQ(tree.limit(), 8589934592);
    tree.write("/sys/user.slice/job.scope/memory.max", "2147483648\n");
    EXPECT_EQ(tree.limit(), 2147483648);
    tree.write("/sys/user.slice/memory.max", "1073741824\n");
    EXPECT_EQ(tree.limit(), 1073741824);
    // A sibling's limit is not this process's.
    tree.write("/sys/user.slice/other.scope/memory.max", "4096\n");
    EXPECT_EQ(tree.limit(), 1073741824);
}

TEST(MemoryLimit, AContainerSeesItsOwnGroupAsTheRoot) {
    Tree unified;
    unified.write("/self", "0::/\n");
    unified.write("/sys/memory.max", "536870912\n");
    EXPECT_EQ(unified.limit(), 536870912);
    // Version 1 in a container: the file names the group as the host sees it,
    // but the container's memory directory is that group itself.
    Tree first;
    first.write("/self", "12:pids:/docker/abc\n4:memory:/docker/abc\n1:name=systemd:/docker/abc\n0::/\n");
    first.write("/sys/memory/memory.limit_in_bytes", "268435456\n");
    EXPECT_EQ(first.limit(), 268435456);
}

TEST(MemoryLimit, VersionOneReadsOnlyTheMemoryController) {
    Tree tree;
    tree.write("/self", "7:cpu,cpuacct:/batch\n5:blkio:/batch\n3:cpuset,memory:/batch/job\n");
    tree.write("/sys/cpu,cpuacct/batch/memory.limit_in_bytes", "4096\n");  // never read
    tree.write("/sys/memory/memory.limit_in_bytes", "9223372036854771712\n");
    EXPECT_EQ(tree.limit(), 9223372036854771712);
    tree.write("/sys/memory/batch/job/memory.limit_in_bytes", "3221225472\n");
    EXPECT_EQ(tree.limit(), 3221225472);
    // "memoryx" or a name containing "memory" is another controller.
    Tree other;
    other.write("/self", "3:memoryx:/a\n2:name=memory:/a\n");
    other.write("/sys/memory/a/memory.limit_in_bytes", "4096\n");
    EXPECT_EQ(other.limit(), -1);
}

TEST(MemoryLimit, UnreadableOrMalformedFilesAreNoLimit) {
    Tree tree;
    EXPECT_EQ(tree.limit(), -1);  // no /proc file
    tree.write("/self", "no colons here\n::\n0:\n");
    EXPECT_EQ(tree.limit(), -1);
    tree.write("/self", "0::/a\n");
    tree.write("/sys/a/memory.max", "lots\n");
    tree.write("/sys/memory.max", "");
    EXPECT_EQ(tree.limit(), -1);
}

TEST(MemoryLimit, NeverAboveThePhysicalMemory) {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    ASSERT_GT(pages, 0);
    const std::int64_t bytes = rows::memory_bytes();
    EXPECT_GT(bytes, 0);
    EXPECT_LE(bytes, std::int64_t{pages} * size);
    const std::int64_t limit = rows::cgroup_memory_limit("/proc/self/cgroup", "/sys/fs/cgroup");
    if (limit > 0) {
        EXPECT_LE(bytes, limit);
    }
    EXPECT_EQ(rows::memory_bytes(), bytes);
}

}  // namespace
