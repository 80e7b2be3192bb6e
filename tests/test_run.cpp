#include <gtest/gtest.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "blas/library.hpp"
#include "file_text.hpp"
#include "memory_check.hpp"
#include "platform/platform.hpp"
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
// A field of /proc/self/status in bytes ("VmRSS:", "VmSize:"), or -1.
std::int64_t status_bytes(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) {
    return -1;
  }
  char line[256];
  long long kib = -1;
  const std::size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, length) == 0 && std::sscanf(line + length, "%lld", &kib) == 1) {
      break;
    }
  }
  (void)std::fclose(f);
  return kib < 0 ? -1 : kib * 1024;
}

// The memory check's estimates of what the library maps and touches must
// cover what its first multiply really maps and touches, with the library's
// own thread count and kernels on this machine.
TEST(MemoryCheck, TheLibrarysEstimatesCoverARealMultiply) {
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's allocator maps regions of its own: only what the
  // library touches can be measured.
  const bool measure_mapped = false;
#else
  const bool measure_mapped = true;
#endif
#ifdef __GLIBC__
  // The allocator's arenas for new threads (64 MiB each) are left out: they
  // are optional, and under a limit that leaves no room it does without.
  ASSERT_TRUE(!measure_mapped || mallopt(M_ARENA_MAX, 1) == 1);
#endif
  // Blocks counted as the memory check counts them: before the matrices,
  // which on arm64 are larger than a block (32 MiB) themselves.
  const MultiplyMemory memory = library_memory();
  const std::int64_t blocks_mapped =
      memory.thread_block_bytes > 0 ? anonymous_blocks_mapped(memory.thread_block_bytes) : 0;
  std::vector<double> A(static_cast<std::size_t>(M) * K, 1.0);
  std::vector<double> B(static_cast<std::size_t>(K) * N, 1.0);
  std::vector<double> C(static_cast<std::size_t>(M) * N, 0.0);
  const std::int64_t resident_before = status_bytes("VmRSS:");
  const std::int64_t mapped_before = status_bytes("VmSize:");
  ASSERT_GT(resident_before, 0);
  library_multiply(A.data(), B.data(), M, K, N, C.data());
  const std::int64_t touched = status_bytes("VmRSS:") - resident_before;
  const std::int64_t mapped = status_bytes("VmSize:") - mapped_before;
  const std::int64_t mapped_estimate =
      std::max<std::int64_t>(0, memory.threads - blocks_mapped) * memory.thread_block_bytes +
      memory.call_mapped_bytes;
  RecordProperty("library_resident_bytes", std::to_string(touched));
  RecordProperty("library_mapped_bytes", std::to_string(mapped));
  const std::string library = std::string(library_name()) + " on " +
                              std::to_string(memory.threads) + " threads (" + library_kernels() +
                              " kernels)";
  EXPECT_LE(touched, memory.resident_bytes) << library << " touched " << touched << " bytes";
  if (measure_mapped) {
    EXPECT_LE(mapped, mapped_estimate) << library << " mapped " << mapped << " bytes";
  }
  EXPECT_EQ(C[0], static_cast<double>(K));
}
#endif

}  // namespace
