// The container memory limit, read from trees of files laid out like
// /proc/self and the cgroup filesystems, so no root or real cgroup is needed.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/cgroup.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t MiB = std::int64_t{1} << 20;
// What cgroup v1 shows for "no limit" on x86-64.
const char* const kV1NoLimit = "9223372036854771712";

// A scratch tree, removed at the end of each test.
class CgroupTree : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("cgroup-test-" + std::to_string(rd()));
    fs::create_directories(root_);
  }
  void TearDown() override {
    fs::remove_all(root_);
  }
  void write(const std::string& path, const std::string& text) {
    const fs::path p = root_ / path;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  // Limit and usage of one cgroup, v2 or v1 file names.
  void v2_group(const std::string& dir, const std::string& max, std::int64_t current) {
    write(dir + "/memory.max", max + "\n");
    write(dir + "/memory.current", std::to_string(current) + "\n");
  }
  void v1_group(const std::string& dir, const std::string& limit, std::int64_t usage) {
    write(dir + "/memory.limit_in_bytes", limit + "\n");
    write(dir + "/memory.usage_in_bytes", std::to_string(usage) + "\n");
  }
  bool read(std::int64_t* limit, std::int64_t* in_use) {
    return cgroup_memory_limit(root_.string(), limit, in_use);
  }
  fs::path root_;
};

const char* const kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const char* const kV1MemoryMount =
    "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";

TEST_F(CgroupTree, V2TheTightestOfTheGroupAndItsAncestorsBinds) {
  write("proc/self/cgroup", "0::/a/b\n");
  write("proc/self/mountinfo", std::string("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n") + kV2Mount);
  v2_group("sys/fs/cgroup/a/b", std::to_string(100 * MiB), 10 * MiB);
  // The parent's limit is higher but leaves less room.
  v2_group("sys/fs/cgroup/a", std::to_string(200 * MiB), 195 * MiB);
  std::int64_t limit = -1, in_use = -1;
  ASSERT_TRUE(read(&limit, &in_use));
  EXPECT_EQ(limit, 200 * MiB);
  EXPECT_EQ(in_use, 195 * MiB);

  // With room at the parent again, the group's own limit binds; the
  // inactive file cache does not count as in use.
  v2_group("sys/fs/cgroup/a", std::to_string(200 * MiB), 20 * MiB);
  write("sys/fs/cgroup/a/b/memory.stat", "anon 4194304\ninactive_file 2097152\nactive_file 1\n");
  ASSERT_TRUE(read(&limit, &in_use));
  EXPECT_EQ(limit, 100 * MiB);
  EXPECT_EQ(in_use, 8 * MiB);
}

TEST_F(CgroupTree, V2MaxEverywhereOrNothingReadableMeansNoLimit) {
  std::int64_t limit = -1, in_use = -1;
  EXPECT_FALSE(read(&limit, &in_use)) << "an empty tree";
  write("proc/self/cgroup", "0::/a\n");
  EXPECT_FALSE(read(&limit, &in_use)) << "no mountinfo";
  write("proc/self/mountinfo", kV2Mount);
  EXPECT_FALSE(read(&limit, &in_use)) << "no controller files";
  v2_group("sys/fs/cgroup/a", "max", 10 * MiB);
  EXPECT_FALSE(read(&limit, &in_use)) << "max";
  write("sys/fs/cgroup/a/memory.max", "12abc\n");
  EXPECT_FALSE(read(&limit, &in_use)) << "garbage";
  write("sys/fs/cgroup/a/memory.max", std::to_string(64 * MiB));
  fs::remove(root_ / "sys/fs/cgroup/a/memory.current");
  EXPECT_FALSE(read(&limit, &in_use)) << "a limit without its usage";
  EXPECT_EQ(limit, -1);
  EXPECT_EQ(in_use, -1);
}

TEST_F(CgroupTree, V1MemoryControllerMountedFromInsideTheHierarchy) {
  // A container's view: its own cgroup is the root of what is mounted.
  write("proc/self/cgroup", "5:cpu,cpuacct:/docker/x\n4:memory:/docker/x\n0::/\n");
  write("proc/self/mountinfo",
        "33 32 0:30 /docker/x /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu,cpuacct\n"
        "36 32 0:33 /docker/x /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
  v1_group("sys/fs/cgroup/memory", std::to_string(100 * MiB), 30 * MiB);
  write("sys/fs/cgroup/memory/memory.stat",
        "cache 1\ninactive_file 1048576\ntotal_inactive_file 10485760\n");
  // The cpu hierarchy's files must not be taken for memory's.
  v1_group("sys/fs/cgroup/cpu", std::to_string(1 * MiB), 0);
  std::int64_t limit = -1, in_use = -1;
  ASSERT_TRUE(read(&limit, &in_use));
  EXPECT_EQ(limit, 100 * MiB);
  EXPECT_EQ(in_use, 20 * MiB);

  v1_group("sys/fs/cgroup/memory", kV1NoLimit, 30 * MiB);
  EXPECT_FALSE(read(&limit, &in_use)) << "v1's value for no limit";
}

TEST_F(CgroupTree, V1NestedGroupsAndAnEscapedMountPoint) {
  write("proc/self/cgroup", "4:memory:/jobs/run 1\n");
  write("proc/self/mountinfo", "36 32 0:33 / /cg\\040roups/memory rw - cgroup cgroup rw,memory\n");
  v1_group("cg roups/memory", kV1NoLimit, 500 * MiB);
  v1_group("cg roups/memory/jobs", std::to_string(300 * MiB), 100 * MiB);
  v1_group("cg roups/memory/jobs/run 1", std::to_string(150 * MiB), 40 * MiB);
  std::int64_t limit = -1, in_use = -1;
  ASSERT_TRUE(read(&limit, &in_use));
  EXPECT_EQ(limit, 150 * MiB);
  EXPECT_EQ(in_use, 40 * MiB);
}

TEST_F(CgroupTree, HybridSystemsTakeTheTighterOfV1AndV2) {
  write("proc/self/cgroup", "4:memory:/m\n0::/u\n");
  write("proc/self/mountinfo", std::string(kV1MemoryMount) +
                                   "42 32 0:39 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
  v1_group("sys/fs/cgroup/memory/m", std::to_string(256 * MiB), 16 * MiB);
  v2_group("sys/fs/cgroup/unified/u", std::to_string(128 * MiB), 16 * MiB);
  std::int64_t limit = -1, in_use = -1;
  ASSERT_TRUE(read(&limit, &in_use));
  EXPECT_EQ(limit, 128 * MiB);
  v2_group("sys/fs/cgroup/unified/u", "max", 16 * MiB);
  ASSERT_TRUE(read(&limit, &in_use));
  EXPECT_EQ(limit, 256 * MiB);
}

TEST_F(CgroupTree, ACgroupOutsideTheMountedPartIsNotGuessedAt) {
  write("proc/self/cgroup", "4:memory:/elsewhere\n");
  write("proc/self/mountinfo",
        "36 32 0:33 /docker/x /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
  v1_group("sys/fs/cgroup/memory", std::to_string(100 * MiB), 30 * MiB);
  std::int64_t limit = -1, in_use = -1;
  EXPECT_FALSE(read(&limit, &in_use));
  // Nor a prefix that is not a whole path component.
  write("proc/self/cgroup", "4:memory:/docker/xy\n");
  EXPECT_FALSE(read(&limit, &in_use));
}

}  // namespace
