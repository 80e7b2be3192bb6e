// The platform layer on Windows: QueryPerformanceCounter, the C runtime's
// descriptors. Memory limits (a job object's) show up as allocation
// failures, which the run already handles.
#include "platform.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

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

bool tightest_memory_limit(std::int64_t*, std::int64_t*, const char**) {
  return false;
}

std::int64_t anonymous_blocks_mapped(std::int64_t) {
  return 0;
}

void exit_now(int status) {
  (void)std::fflush(nullptr);
  std::_Exit(status);
}

bool container_memory_limit(std::int64_t*, std::int64_t*) {
  return false;
}
