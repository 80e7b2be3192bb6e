// Before any work: does the run fit under the memory limits in force? A
// run that cannot fit is refused with one line rather than left to hang
// (this OpenBLAS retries a work buffer it cannot map for ever) or to be
// killed without a word (a container's limit).
#pragma once

#include <cstdint>
#include <cstdio>

#include "run.hpp"

static_assert(kMatrixBytes == 112000000, "kMatrixBytesText states the matrices' size");
constexpr const char* kMatrixBytesText = "the matrices need 112000000 bytes";

// What the library touches inside its work buffers for this problem, for
// `threads` threads: measured at about 3.4 MB on one thread and 4.4 MB on
// two (OpenBLAS 0.3.21, Zen and Haswell kernels), and checked against a
// real multiply by a test. Generous, for kernels with larger blocks.
constexpr std::int64_t library_resident_bytes(std::int64_t threads) {
  return (std::int64_t{8} << 20) + threads * (std::int64_t{4} << 20);
}

// True when the run fits under the process's address-space and data limits
// and under its container's memory limit, given the library's thread
// count. Otherwise writes one line on `err` naming the amounts and the
// limit, and returns false.
bool memory_limits_allow_run(int library_threads, std::FILE* err);
