// The reference BLAS (Debian's libblas-dev, Netlib's), for
// matmul-bench-reference: plain loops, the floor any library should beat.
#include <cblas-netlib.h>

#include "blas/cblas_integer.hpp"
#include "blas/library.hpp"

// Its other facts are fixed at its build: blas/fixed_at_build.cpp.

static_assert(kCblasCountsAre32Bit<decltype(&cblas_dgemm)>,
              "the reference CBLAS was built with 64-bit integers; this benchmark needs "
              "32-bit ones");

void library_multiply(const double* A, const double* B, std::int32_t m, std::int32_t k,
                      std::int32_t n, double* C) {
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0, A, k, B, n, 0.0, C, n);
}

const char* library_name() {
  return "reference BLAS";
}
std::string library_kernels() {
  return "";
}

// Its loops work in place: nothing mapped, next to nothing touched.
MultiplyMemory library_memory() {
  MultiplyMemory memory;
  memory.call_mapped_bytes = 0;
  memory.resident_bytes = std::int64_t{1} << 20;
  return memory;
}
