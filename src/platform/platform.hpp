// The few things the benchmark needs from the operating system, behind one
// small interface: a high-resolution counter, a check on standard output and
// what the process's memory limits leave it. One implementation per OS
// (platform_posix.cpp, platform_windows.cpp), chosen by the build.
#pragma once

#include <cstdint>

// Ticks per second of counter_ticks(); positive and fixed for the process.
std::int64_t counter_frequency();

// Current reading of a monotonic counter, in ticks.
std::int64_t counter_ticks();

// False when the standard output descriptor is not open at all, so that a
// run whose report could not go anywhere can stop before doing any work.
bool standard_output_is_open();

// The memory limit on this process that leaves it the least room: its size
// in bytes, the bytes already counted against it, and what it limits
// ("address-space" or "data"). Returns false where no limit is in force or
// the process cannot read its own size; the outputs are then unchanged.
bool tightest_memory_limit(std::int64_t* limit_bytes, std::int64_t* in_use_bytes,
                           const char** what);

// The memory limit of the container (cgroup) that holds this process, of
// it or of any enclosing one, that leaves the least room: its size in
// bytes and the bytes counted against it. The kernel enforces it by
// killing the process, not by failing an allocation. Returns false where
// none is set or none can be read (another OS, no cgroup filesystem).
bool container_memory_limit(std::int64_t* limit_bytes, std::int64_t* in_use_bytes);

// How many whole blocks of `block_bytes` the process's anonymous, private,
// writable mappings hold now; 0 where the mappings cannot be read.
std::int64_t anonymous_blocks_mapped(std::int64_t block_bytes);

// Ends the process with `status` at once, after flushing the standard
// streams, without running exit handlers: a library's handler may wait on
// worker threads that will never finish.
[[noreturn]] void exit_now(int status);
