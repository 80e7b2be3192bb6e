#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "run.hpp"

namespace {

std::string contents(std::FILE* f) {
  std::rewind(f);
  std::string text;
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}

std::uint32_t failing_source() {
  throw std::runtime_error("random device not available");
}

TEST(Run, AFailingSeedSourceEndsTheRunWithAMessageAndNoReport) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(run_benchmark(failing_source, out, err), kExitNoSeed);
  EXPECT_EQ(contents(out), "");
  EXPECT_EQ(contents(err),
            "matmul-bench: no random seed: the nondeterministic source failed: "
            "random device not available\n");
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
