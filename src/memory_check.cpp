#include "memory_check.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/platform.hpp"
#include "report.hpp"

namespace {
// Whatever else the run maps or touches once the check is passed: allocator
// headers and rounding, the stdio buffer, stacks. Generous, since falling
// short means a hang (address space) or a kill (container).
constexpr std::int64_t kRunReserveBytes = std::int64_t{16} << 20;
// Each worker maps its buffer once, so a few reads always settle.
constexpr int kSnapshotAttempts = 64;

// Address-space and data limits count mappings, touched or not: the whole
// of every library buffer still to be mapped.
bool address_limit_allows_run(const MultiplyMemory& library, std::FILE* err) {
  const std::int64_t block = library.thread_block_bytes;
  // A library's workers may map their buffers at start-up, racing with this
  // check. A size read between two equal buffer counts describes one moment;
  // a buffer mapped in between would be counted twice and refuse a run that
  // fits. Should the counts never settle, the earlier one errs on the safe side.
  std::int64_t mapped = 0;
  std::int64_t limit = 0;
  std::int64_t in_use = 0;
  const char* what = "";
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    mapped = block > 0 ? anonymous_blocks_mapped(block) : 0;
    if (!tightest_memory_limit(&limit, &in_use, &what)) {
      return true;
    }
    if (block == 0 || anonymous_blocks_mapped(block) == mapped) {
      break;
    }
  }
  const std::int64_t threads = std::max(1, library.threads);
  const std::int64_t buffers =
      std::max<std::int64_t>(0, threads - mapped) * block + library.call_mapped_bytes;
  if (in_use + kMatrixBytes + buffers + kRunReserveBytes <= limit) {
    return true;
  }
  char detail[320];
  (void)std::snprintf(detail, sizeof detail,
                      "%s and the library's buffers %lld more, with %lld already in use, but "
                      "the %s limit is %lld bytes",
                      kMatrixBytesText, static_cast<long long>(buffers),
                      static_cast<long long>(in_use), what, static_cast<long long>(limit));
  print_error(err, "out of memory", detail);
  return false;
}

// A container's limit counts pages in memory: the matrices, which are all
// written, and the part of the library's buffers that a multiply touches.
bool container_limit_allows_run(const MultiplyMemory& library, std::FILE* err) {
  std::int64_t limit = 0;
  std::int64_t in_use = 0;
  if (!container_memory_limit(&limit, &in_use)) {
    return true;
  }
  const std::int64_t more = library.resident_bytes + kRunReserveBytes;
  if (in_use + kMatrixBytes + more <= limit) {
    return true;
  }
  char detail[320];
  (void)std::snprintf(detail, sizeof detail,
                      "%s and about %lld more, with %lld in use, but the container's memory "
                      "limit is %lld bytes",
                      kMatrixBytesText, static_cast<long long>(more),
                      static_cast<long long>(in_use), static_cast<long long>(limit));
  print_error(err, "out of memory", detail);
  return false;
}
}  // namespace

bool memory_limits_allow_run(const MultiplyMemory& library, std::FILE* err) {
  return address_limit_allows_run(library, err) && container_limit_allows_run(library, err);
}
