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

// What the library's multiply adds to the process's memory, as its binding
// (blas/) states it for the thread count it will run.
struct MultiplyMemory {
  int threads = 1;
  // A work buffer mapped as one block per thread, some perhaps already at
  // start-up (OpenBLAS's workers map theirs as they start); 0 if none.
  std::int64_t thread_block_bytes = 0;
  // Mapped during the multiply on top of those blocks: packing buffers,
  // the stacks of threads it starts.
  std::int64_t call_mapped_bytes = 0;
  // The pages it touches, which a container's limit counts.
  std::int64_t resident_bytes = 0;
};

// True when the run fits under the process's address-space and data limits
// and under its container's memory limit, given what the library's multiply
// adds. Otherwise writes one line on `err` naming the amounts and the
// limit, and returns false.
bool memory_limits_allow_run(const MultiplyMemory& library, std::FILE* err);
