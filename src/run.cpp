#include "run.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <random>
#include <vector>

#include "blas/library.hpp"
#include "kernels/kernels.hpp"
#include "memory_check.hpp"
#include "platform/platform.hpp"
#include "report.hpp"

namespace {
constexpr std::int64_t kElementsA = std::int64_t{M} * K;
constexpr std::int64_t kElementsB = std::int64_t{K} * N;
constexpr std::int64_t kElementsC = std::int64_t{M} * N;
// Zero-filled at exactly `count` elements.
std::vector<double> zero_matrix(std::int64_t count) {
  return std::vector<double>(static_cast<std::size_t>(count), 0.0);
}
}  // namespace

int run_benchmark(SeedSource seed_source, std::FILE* out, std::FILE* err) {
  if (!memory_limits_allow_run(library_memory(), err)) {
    return kExitNoMemory;
  }
  // Declared first so they are released last, in reverse order of creation.
  std::vector<double> A;
  std::vector<double> B;
  std::vector<double> C_blas;
  std::vector<double> C_simple;
  try {
    A = zero_matrix(kElementsA);
    B = zero_matrix(kElementsB);
    C_blas = zero_matrix(kElementsC);
    C_simple = zero_matrix(kElementsC);
  } catch (const std::bad_alloc&) {
    print_error(err, "out of memory", kMatrixBytesText);
    return kExitNoMemory;
  }

  std::uint32_t seed = 0;
  try {
    seed = seed_source();
  } catch (const std::exception& e) {
    print_error(err, "no random seed: the nondeterministic source failed", e.what());
    return kExitNoSeed;
  }
  std::mt19937 generator(seed);
  fill_uniform(generator, A.data(), static_cast<std::int32_t>(kElementsA));
  fill_uniform(generator, B.data(), static_cast<std::int32_t>(kElementsB));

  const std::int64_t frequency = counter_frequency();
  const std::int64_t t0 = counter_ticks();
  simple_multiply(A.data(), B.data(), M, K, N, C_simple.data());
  const std::int64_t t1 = counter_ticks();
  library_multiply(A.data(), B.data(), M, K, N, C_blas.data());
  const std::int64_t t2 = counter_ticks();

  print_times(out, elapsed_ms(t0, t1, frequency), elapsed_ms(t1, t2, frequency));
  const double diff =
      abs_diff_sum(C_blas.data(), C_simple.data(), static_cast<std::int32_t>(kElementsC));
  print_diff(out, diff);

  // A report lost to a full disk or a broken pipe must not pass for success.
  errno = 0;
  const bool flushed = std::fflush(out) == 0;
  const int flush_errno = errno;
  if (!flushed || std::ferror(out) != 0) {
    print_error(err, "cannot write the report to standard output",
                flush_errno != 0 ? std::strerror(flush_errno) : "write error");
    return kExitReportLost;
  }
  return kExitOk;
}

int run_benchmark_guarded(SeedSource seed_source, std::FILE* out, std::FILE* err) {
  try {
    return run_benchmark(seed_source, out, err);
  } catch (const std::exception& e) {
    print_error(err, "unexpected error", e.what());
  } catch (...) {
    print_error(err, "unexpected error");
  }
  return kExitUnexpected;
}
