#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

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

}  // namespace
