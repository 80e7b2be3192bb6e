#include <cblas.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_text.hpp"
#include "memory_check.hpp"
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

#ifdef __linux__
// The process's resident memory in bytes, or -1.
std::int64_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) {
    return -1;
  }
  char line[256];
  long long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0 && std::sscanf(line + 6, "%lld", &kib) == 1) {
      break;
    }
  }
  (void)std::fclose(f);
  return kib < 0 ? -1 : kib * 1024;
}

// The container check's estimate of what the library touches must cover
// what it really touches in the run's multiply, with the library's own
// thread count and kernels on this machine.
TEST(MemoryCheck, TheLibrarysResidentEstimateCoversARealMultiply) {
  std::vector<double> A(static_cast<std::size_t>(M) * K, 1.0);
  std::vector<double> B(static_cast<std::size_t>(K) * N, 1.0);
  std::vector<double> C(static_cast<std::size_t>(M) * N, 0.0);
  const std::int64_t before = resident_bytes();
  ASSERT_GT(before, 0);
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, M, N, K, 1.0, A.data(), K, B.data(), N,
              0.0, C.data(), N);
  const std::int64_t grown = resident_bytes() - before;
  const int threads = openblas_get_num_threads();
  RecordProperty("library_resident_bytes", std::to_string(grown));
  EXPECT_LE(grown, library_resident_bytes(threads))
      << "cblas_dgemm touched " << grown << " bytes on " << threads << " threads ("
      << openblas_get_corename() << " kernels)";
  EXPECT_EQ(C[0], static_cast<double>(K));
}
#endif

}  // namespace
