// The reference BLAS (Debian's libblas-dev, Netlib's), for
// matmul-bench-reference: plain loops, the floor any library should beat.
#include <cblas-netlib.h>

#include "blas/cblas_integer.hpp"
#include "blas/library.hpp"

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
// It cannot tell its version at run time: the build reads it off the
// library's file name.
std::string library_version() {
  return MATMUL_LIBRARY_VERSION;
}
std::string library_config() {
  return "";
}
std::string library_kernels() {
  return "";
}
const char* library_kernel_variable() {
  return "";
}
std::string library_kernel_choices() {
  return "";
}
int library_threads() {
  return 1;
}
const char* library_thread_variables() {
  return "";
}

// Its loops work in place: nothing mapped, next to nothing touched.
MultiplyMemory library_memory() {
  MultiplyMemory memory;
  memory.call_mapped_bytes = 0;
  memory.resident_bytes = std::int64_t{1} << 20;
  return memory;
}
