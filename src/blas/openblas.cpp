// OpenBLAS, the library of the program of record (matmul-bench).
#include <cblas.h>

#include "blas/cblas_integer.hpp"
#include "blas/library.hpp"
#include "blas/text.hpp"

// The dgemm call passes 32-bit counts. An OpenBLAS built with 64-bit
// integers has a different ABI, so refuse it here rather than miscall it.
#ifndef OPENBLAS_VERSION
#error "cblas.h is not OpenBLAS's: point the build at OpenBLAS (see README)"
#endif
static_assert(sizeof(blasint) == sizeof(std::int32_t) &&
                  kCblasCountsAre32Bit<decltype(&cblas_dgemm)>,
              "OpenBLAS was built with 64-bit integers (INTERFACE64); this benchmark needs "
              "the CBLAS interface with 32-bit integers");

namespace {
// OpenBLAS maps one work buffer for each of its threads: its workers' as
// they start, the calling thread's inside its first call. The size is the
// library's build constant BUFFER_SIZE, which differs by architecture.
#if defined(__aarch64__)
constexpr std::int64_t kBufferBytes = std::int64_t{32} << 20;
#else
constexpr std::int64_t kBufferBytes = std::int64_t{32} << 22;
#endif
}  // namespace

void library_multiply(const double* A, const double* B, std::int32_t m, std::int32_t k,
                      std::int32_t n, double* C) {
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0, A, k, B, n, 0.0, C, n);
}

const char* library_name() {
  return "OpenBLAS";
}

// The version macro reads " OpenBLAS 0.3.21 ": the number alone.
std::string library_version() {
  std::string version = squeezed(OPENBLAS_VERSION);
  const std::string prefix = "OpenBLAS ";
  return version.rfind(prefix, 0) == 0 ? version.substr(prefix.size()) : version;
}

std::string library_config() {
  return squeezed(openblas_get_config());
}
std::string library_kernels() {
  return squeezed(openblas_get_corename());
}
const char* library_kernel_variable() {
  return "OPENBLAS_CORETYPE";
}
std::string library_kernel_choices() {
  return "";
}
int library_threads() {
  return openblas_get_num_threads();
}
const char* library_thread_variables() {
  return "OPENBLAS_NUM_THREADS GOTO_NUM_THREADS OMP_NUM_THREADS";
}

// What the multiply touches inside the work buffers: measured at about
// 3.4 MB on one thread and 4.4 MB on two (OpenBLAS 0.3.21, Zen and Haswell
// kernels), and checked against a real multiply by a test. Generous, for
// kernels with larger blocks.
MultiplyMemory library_memory() {
  MultiplyMemory memory;
  memory.threads = library_threads();
  memory.thread_block_bytes = kBufferBytes;
  // Beside the buffers its first call maps a little more: nothing seen on
  // x86-64, 0.4 MB on arm64 (armv8 kernels, under qemu).
  memory.call_mapped_bytes = std::int64_t{1} << 20;
  memory.resident_bytes = (std::int64_t{8} << 20) + memory.threads * (std::int64_t{4} << 20);
  return memory;
}
