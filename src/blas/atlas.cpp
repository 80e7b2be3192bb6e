// ATLAS (Debian's libatlas-base-dev), for matmul-bench-atlas.
extern "C" {
#include <cblas-atlas.h>
}
#include <atlas/atlas_buildinfo.h>

#include "blas/cblas_integer.hpp"
#include "blas/library.hpp"

// Its other facts are fixed at its build: blas/fixed_at_build.cpp.

static_assert(kCblasCountsAre32Bit<decltype(&cblas_dgemm)>,
              "this ATLAS's CBLAS takes 64-bit integers; this benchmark needs 32-bit ones");

void library_multiply(const double* A, const double* B, std::int32_t m, std::int32_t k,
                      std::int32_t n, double* C) {
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0, A, k, B, n, 0.0, C, n);
}

const char* library_name() {
  return "ATLAS";
}
// ATLAS tunes itself when it is built, not when it runs: the architecture
// it was built for (Debian's is the SSE2 baseline).
std::string library_kernels() {
  return ATL_ARCH;
}

// Measured with ATLAS 3.10.3 on Zen 5: the multiply maps and touches 7.5
// to 9.5 MB of copies of its operands' blocks. Checked against a real
// multiply by a test.
MultiplyMemory library_memory() {
  MultiplyMemory memory;
  memory.threads = 1;
  memory.call_mapped_bytes = std::int64_t{16} << 20;
  memory.resident_bytes = std::int64_t{16} << 20;
  return memory;
}
