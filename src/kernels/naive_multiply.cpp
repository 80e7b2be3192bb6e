// The naive loop, compiled once for each instruction-set level the build
// offers (see naive.cpp): MATMUL_NAIVE_FUNCTION names this build's copy.
#include <cstdint>

#ifndef MATMUL_NAIVE_FUNCTION
#error "MATMUL_NAIVE_FUNCTION must name this build of the naive loop"
#endif

// __restrict lets the compiler keep A[i*K + p] in a register and vectorise
// the j loop without runtime overlap checks; it changes no result.
#if defined(_MSC_VER) || defined(__GNUC__)
#define MATMUL_RESTRICT __restrict
#else
#define MATMUL_RESTRICT
#endif

void MATMUL_NAIVE_FUNCTION(const double* MATMUL_RESTRICT A, const double* MATMUL_RESTRICT B,
                           std::int32_t M, std::int32_t K, std::int32_t N,
                           double* MATMUL_RESTRICT C) {
  // With any dimension empty nothing may be read, not even A[0].
  if (M <= 0 || K <= 0 || N <= 0) {
    return;
  }
  // 64-bit indices: M * K etc. may exceed the range of a 32-bit count.
  const std::int64_t k = K;
  const std::int64_t n = N;
  for (std::int64_t i = 0; i < M; ++i) {
    for (std::int64_t p = 0; p < k; ++p) {
      const double a = A[i * k + p];
      for (std::int64_t j = 0; j < n; ++j) {
        C[i * n + j] = C[i * n + j] + B[p * n + j] * a;
      }
    }
  }
}
