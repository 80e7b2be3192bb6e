// The platform layer on Linux and other POSIX systems: a monotonic clock,
// descriptors, and what the process's limits (rlimits, a container's
// cgroup) leave it, read from /proc and the cgroup filesystem.
#include "platform.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ratio>

#include "cgroup.hpp"

namespace {
// steady_clock is CLOCK_MONOTONIC on Linux; its period gives the frequency.
using Clock = std::chrono::steady_clock;
static_assert(Clock::is_steady, "the benchmark needs a monotonic clock");
static_assert(Clock::period::num == 1, "the clock period must be 1/frequency seconds");
}  // namespace

std::int64_t counter_frequency() {
  return static_cast<std::int64_t>(Clock::period::den);
}

std::int64_t counter_ticks() {
  return static_cast<std::int64_t>(Clock::now().time_since_epoch().count());
}

bool standard_output_is_open() {
  return fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

namespace {
// A "Name:   N kB" field of /proc/self/status in bytes, or -1.
std::int64_t status_field_bytes(const char* name) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) {
    return -1;
  }
  const std::size_t name_length = std::strlen(name);
  char line[256];
  std::int64_t bytes = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    long long kib = 0;
    if (std::strncmp(line, name, name_length) == 0 && line[name_length] == ':' &&
        std::sscanf(line + name_length + 1, "%lld", &kib) == 1) {
      bytes = static_cast<std::int64_t>(kib) * 1024;
      break;
    }
  }
  (void)std::fclose(f);
  return bytes;
}
}  // namespace

// Linux counts an address-space limit against VmSize and a data limit
// against VmData (private writable mappings, since Linux 4.7).
bool tightest_memory_limit(std::int64_t* limit_bytes, std::int64_t* in_use_bytes,
                           const char** what) {
  const decltype(RLIMIT_AS) resources[] = {RLIMIT_AS, RLIMIT_DATA};
  const char* const fields[] = {"VmSize", "VmData"};
  const char* const names[] = {"address-space", "data"};
  bool found = false;
  std::int64_t best_room = 0;
  for (int i = 0; i < 2; ++i) {
    rlimit limit{};
    if (getrlimit(resources[i], &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
      continue;
    }
    const std::int64_t used = status_field_bytes(fields[i]);
    if (used < 0) {
      continue;
    }
    const auto cap = static_cast<std::int64_t>(
        limit.rlim_cur > static_cast<rlim_t>(INT64_MAX) ? INT64_MAX : limit.rlim_cur);
    const std::int64_t room = cap - used;
    if (!found || room < best_room) {
      found = true;
      best_room = room;
      *limit_bytes = cap;
      *in_use_bytes = used;
      *what = names[i];
    }
  }
  return found;
}

std::int64_t anonymous_blocks_mapped(std::int64_t block_bytes) {
  std::FILE* f = std::fopen("/proc/self/maps", "r");
  if (f == nullptr || block_bytes <= 0) {
    if (f != nullptr) {
      (void)std::fclose(f);
    }
    return 0;
  }
  std::int64_t blocks = 0;
  char line[512];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    // start-end perms offset dev inode [path]; anonymous ones have inode 0
    // and no path (the kernel adjoins blocks mapped side by side).
    std::uintmax_t start = 0;
    std::uintmax_t end = 0;
    char perms[8] = {};
    unsigned long long inode = 1;
    int path_at = 0;
    if (std::sscanf(line, "%jx-%jx %7s %*s %*s %llu %n", &start, &end, perms, &inode, &path_at) <
        4) {
      continue;
    }
    const bool has_path = line[path_at] != '\0' && line[path_at] != '\n';
    if (inode == 0 && !has_path && std::strcmp(perms, "rw-p") == 0) {
      blocks += static_cast<std::int64_t>((end - start) / static_cast<std::uintmax_t>(block_bytes));
    }
  }
  (void)std::fclose(f);
  return blocks;
}

bool container_memory_limit(std::int64_t* limit_bytes, std::int64_t* in_use_bytes) {
  return cgroup_memory_limit("/", limit_bytes, in_use_bytes);
}

void exit_now(int status) {
  (void)std::fflush(nullptr);
  std::_Exit(status);
}
