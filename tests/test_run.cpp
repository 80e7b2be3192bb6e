#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "file_text.hpp"
#include "run.hpp"

namespace {

std::uint32_t failing_source() {
  throw std::runtime_error("random device not available");
}

std::uint32_t strangely_failing_source() {
  throw 42;  // not a std::exception: nothing in the run expects it
}

// Runs the benchmark with `source`; returns its status and what it wrote.
int run_with(SeedSource source, std::string& out_text, std::string& err_text) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) {
    ADD_FAILURE() << "tmpfile() failed";
    return -1;
  }
  const int status = run_benchmark_guarded(source, out, err);
  out_text = file_text(out);
  err_text = file_text(err);
  std::fclose(out);
  std::fclose(err);
  return status;
}

TEST(Run, FailuresBeforeTheReportGiveOneMessageAndNoReport) {
  std::string out;
  std::string err;
  EXPECT_EQ(run_with(failing_source, out, err), kExitNoSeed);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err,
            "matmul-bench: no random seed: the nondeterministic source failed: "
            "random device not available\n");

  EXPECT_EQ(run_with(strangely_failing_source, out, err), kExitUnexpected);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "matmul-bench: unexpected error\n");
}

}  // namespace
