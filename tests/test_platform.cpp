#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#ifdef __linux__
#include <sys/mman.h>
#include <sys/resource.h>
#endif

#include "platform/platform.hpp"
#include "report.hpp"

namespace {

TEST(Counter, IsMonotonicWithAPositiveFixedFrequency) {
  const std::int64_t f = counter_frequency();
  ASSERT_GT(f, 0);
  EXPECT_EQ(counter_frequency(), f);
  std::int64_t previous = counter_ticks();
  for (int i = 0; i < 100000; ++i) {
    const std::int64_t now = counter_ticks();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(Counter, MeasuresASleepInMilliseconds) {
  // A sleep lasts at least what was asked; the upper bound is loose
  // because this machine may be busy.
  const std::int64_t f = counter_frequency();
  const std::int64_t t0 = counter_ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::int64_t t1 = counter_ticks();
  const double ms = elapsed_ms(t0, t1, f);
  EXPECT_GE(ms, 49.0);
  EXPECT_LT(ms, 5000.0);
}

#ifdef __linux__
// Sets a soft limit; false where the hard limit forbids it, or where it
// does not take (qemu-user accepts and ignores address-space limits).
bool set_soft_limit(decltype(RLIMIT_AS) resource, rlim_t soft) {
  rlimit l{};
  getrlimit(resource, &l);
  l.rlim_cur = soft;
  rlimit now{};
  return setrlimit(resource, &l) == 0 && getrlimit(resource, &now) == 0 && now.rlim_cur == soft;
}

TEST(MemoryLimit, ReportsTheLimitThatLeavesTheLeastRoom) {
  rlimit as{};
  rlimit data{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &as), 0);
  ASSERT_EQ(getrlimit(RLIMIT_DATA, &data), 0);
  std::int64_t limit[3] = {-1, -1, -1};
  std::int64_t in_use[3] = {-1, -1, -1};
  const char* what[3] = {};
  bool found[3] = {};
  const bool unlimited = as.rlim_cur == RLIM_INFINITY && data.rlim_cur == RLIM_INFINITY;
  const bool none_found = !tightest_memory_limit(&limit[0], &in_use[0], &what[0]);

  // Far above what the process uses, so nothing can fail to allocate while
  // they are in force; restored before anything is asserted.
  const rlim_t roomy = rlim_t{1} << 46;
  const bool set = set_soft_limit(RLIMIT_AS, roomy) && set_soft_limit(RLIMIT_DATA, roomy);
  found[1] = tightest_memory_limit(&limit[1], &in_use[1], &what[1]);
  const bool set_half = set_soft_limit(RLIMIT_DATA, roomy / 2);
  found[2] = tightest_memory_limit(&limit[2], &in_use[2], &what[2]);
  setrlimit(RLIMIT_DATA, &data);
  setrlimit(RLIMIT_AS, &as);

  if (unlimited) {
    EXPECT_TRUE(none_found);
    EXPECT_EQ(limit[0], -1);
  }
  if (!set || !set_half) {
    GTEST_SKIP() << "memory limits cannot be set here";
  }
  // The same limit on both: data is a part of the address space, so the
  // address-space limit leaves less room.
  ASSERT_TRUE(found[1]);
  EXPECT_STREQ(what[1], "address-space");
  EXPECT_EQ(limit[1], static_cast<std::int64_t>(roomy));
  EXPECT_GT(in_use[1], 1 << 20);  // at least the program and its libraries
  EXPECT_LT(in_use[1], limit[1]);
  // Half the limit on data leaves less room than the address space.
  ASSERT_TRUE(found[2]);
  EXPECT_STREQ(what[2], "data");
  EXPECT_EQ(limit[2], static_cast<std::int64_t>(roomy / 2));
  EXPECT_GT(in_use[2], 0);
  EXPECT_LE(in_use[2], in_use[1]);
}

TEST(MemoryLimit, CountsWholeAnonymousWritableBlocks) {
  const std::int64_t block = std::int64_t{64} << 20;
  const auto size = static_cast<std::size_t>(3 * block);
  const std::int64_t before = anonymous_blocks_mapped(block);

  void* writable = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(writable, MAP_FAILED);
  EXPECT_GE(anonymous_blocks_mapped(block), before + 3);
  munmap(writable, size);
  EXPECT_EQ(anonymous_blocks_mapped(block), before);

  // Read-only memory is not a work buffer.
  void* readable = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(readable, MAP_FAILED);
  EXPECT_EQ(anonymous_blocks_mapped(block), before);
  munmap(readable, size);
}
#endif

}  // namespace
