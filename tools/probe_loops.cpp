// The probes' timed loops, in a file of their own so that no caller inlines
// them: the one copy of each that runs is the one the placement test reads.
#include <cstdint>

#include "probes.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define MATMUL_LIMITS_X86 1
#endif

namespace {

// One body for every build: each caller's target decides its loads.
__attribute__((always_inline)) inline double read_pass(const double* data, std::int64_t count) {
  constexpr int kLanes = 16;
  double acc[kLanes] = {};
  for (std::int64_t i = 0; i + kLanes <= count; i += kLanes) {
    for (int j = 0; j < kLanes; ++j) {
      acc[j] += data[i + j];
    }
  }
  double sum = 0.0;
  for (const double a : acc) {
    sum += a;
  }
  return sum;
}

}  // namespace

double stream_read_pass(const double* data, std::int64_t count) {
  return read_pass(data, count);
}

#ifdef MATMUL_LIMITS_X86
__attribute__((target("avx2"))) double stream_read_pass_avx2(const double* data,
                                                             std::int64_t count) {
  return read_pass(data, count);
}

__attribute__((target("avx512f,prefer-vector-width=512"))) double stream_read_pass_avx512(
    const double* data, std::int64_t count) {
  return read_pass(data, count);
}
#endif

std::uint64_t clock_chain(std::int64_t adds) {
  std::uint64_t x = 0;
#ifdef MATMUL_LIMITS_X86
  for (std::int64_t i = 0; i < adds; i += 10) {
    asm volatile(
        "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
        "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
        : "+r"(x));
  }
#else
  (void)adds;
#endif
  return x;
}
