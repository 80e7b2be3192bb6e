#include "platform.hpp"

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>

#include <cstdio>

std::int64_t counter_frequency() {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return f.QuadPart;
}

std::int64_t counter_ticks() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

bool standard_output_is_open() {
  // -1: no handle behind descriptor 1; -2: not associated with a stream.
  const intptr_t handle = _get_osfhandle(_fileno(stdout));
  return handle != -1 && handle != -2;
}

#else

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <ratio>

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

#endif
