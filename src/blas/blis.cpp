// BLIS (Debian's libblis-dev, its OpenMP build), for matmul-bench-blis.
#include <blis.h>
#include <cblas.h>

#include "blas/cblas_integer.hpp"
#include "blas/library.hpp"

static_assert(kCblasCountsAre32Bit<decltype(&cblas_dgemm)>,
              "BLIS was built with 64-bit integers (BLIS_INT_TYPE_SIZE 64); this benchmark "
              "needs the CBLAS interface with 32-bit integers");

void library_multiply(const double* A, const double* B, std::int32_t m, std::int32_t k,
                      std::int32_t n, double* C) {
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0, A, k, B, n, 0.0, C, n);
}

const char* library_name() {
  return "BLIS";
}
std::string library_version() {
  return bli_info_get_version_str();
}

std::string library_config() {
  if (bli_info_get_enable_openmp() != 0) {
    return "OpenMP";
  }
  return bli_info_get_enable_pthreads() != 0 ? "pthreads" : "single-threaded";
}

// The sub-configuration its run-time query picked for this CPU: "generic"
// where it does not know the CPU.
std::string library_kernels() {
  return bli_arch_string(bli_arch_query_id());
}
const char* library_kernel_variable() {
  return "BLIS_ARCH_TYPE";
}

// BLIS 0.9 reads BLIS_ARCH_TYPE as a sub-configuration's number, not its
// name (a name reads as 0, skx). The x86-64 build holds Intel's and AMD's
// sub-configurations and the generic one.
std::string library_kernel_choices() {
  std::string choices;
#if defined(__x86_64__)
  for (int id = BLIS_ARCH_SKX; id <= BLIS_ARCH_BULLDOZER; ++id) {
    if (id != BLIS_ARCH_KNC) {
      choices += std::to_string(id) + " " + bli_arch_string(static_cast<arch_t>(id)) + ", ";
    }
  }
#endif
  return choices + std::to_string(BLIS_ARCH_GENERIC) + " " + bli_arch_string(BLIS_ARCH_GENERIC);
}

// Unset means one thread: BLIS does not take the machine's cores by itself.
int library_threads() {
  const dim_t threads = bli_thread_get_num_threads();
  return threads < 1 ? 1 : static_cast<int>(threads);
}
const char* library_thread_variables() {
  return "BLIS_NUM_THREADS OMP_NUM_THREADS";
}

// Measured with BLIS 0.9.0 on Zen 5 (generic, skx and zen3 kernels): the
// multiply maps 17-19 MB of packing buffers on one thread; each further
// thread adds its share of them (about 1 MB) and an OpenMP stack, as large
// as the stack limit (8 MiB by default, up to 32 MiB when unlimited). It
// touches 3-7.5 MB on 1 to 8 threads. Checked against a real multiply by a
// test. Generous, for larger blocks. A worker thread that allocates a block
// itself (which one does depends on timing) gets a malloc arena of its own,
// and glibc reserves 64 MiB of address space for it: under an address-space
// limit that the rest just fits, that reservation left BLIS's next block
// nowhere to go, and BLIS aborts.
MultiplyMemory library_memory() {
  MultiplyMemory memory;
  memory.threads = library_threads();
  constexpr std::int64_t kArenaReserve = std::int64_t{64} << 20;
  memory.call_mapped_bytes =
      (std::int64_t{24} << 20) + (memory.threads - 1) * ((std::int64_t{36} << 20) + kArenaReserve);
  memory.resident_bytes = (std::int64_t{12} << 20) + memory.threads * (std::int64_t{4} << 20);
  return memory;
}
