#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "file_text.hpp"
#include "report.hpp"

namespace {

// What `write` puts on a stream.
std::string captured(const std::function<void(std::FILE*)>& write) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) {
    ADD_FAILURE() << "tmpfile() failed";
    return {};
  }
  write(f);
  std::string text = file_text(f);
  std::fclose(f);
  return text;
}

TEST(ElapsedMs, ConvertsTicksWithoutRounding) {
  EXPECT_EQ(captured([](std::FILE* f) { print_times(f, elapsed_ms(0, 12345, 10000000), 0.0); }),
            "simple: 1.234500 msec\nblas: 0.000000 msec\n");
  EXPECT_EQ(elapsed_ms(5, 5, 3), 0.0);
  EXPECT_EQ(elapsed_ms(0, 3, 3), 1000.0);
}

TEST(ElapsedMs, SubtractsInIntegersBeforeConverting) {
  // Near 2^62 a double cannot tell t and t + 12345 apart exactly.
  const std::int64_t t = std::int64_t{1} << 62;
  EXPECT_EQ(elapsed_ms(t + 1, t + 12346, 10000000), 1.2345);
  EXPECT_EQ(elapsed_ms(t, t + 1, 1000000000), 1e-6);
}

TEST(Report, UsesTheFixedSixDigitFormat) {
  EXPECT_EQ(captured([](std::FILE* f) { print_times(f, 1234.5, 65.25); }),
            "simple: 1234.500000 msec\nblas: 65.250000 msec\n");
  EXPECT_EQ(captured([](std::FILE* f) { print_diff(f, 0.0); }), "diff: 0.000000\n");
  EXPECT_EQ(captured([](std::FILE* f) { print_diff(f, 1.5e-7); }), "diff: 0.000000\n");
  EXPECT_EQ(captured([](std::FILE* f) { print_diff(f, 123456789.0625); }),
            "diff: 123456789.062500\n");
}

TEST(Report, ErrorsAreOnePrefixedLine) {
  EXPECT_EQ(captured([](std::FILE* f) { print_error(f, "out of memory"); }),
            "matmul-bench: out of memory\n");
  EXPECT_EQ(captured([](std::FILE* f) { print_error(f, "no seed", "device gone"); }),
            "matmul-bench: no seed: device gone\n");
}

}  // namespace
