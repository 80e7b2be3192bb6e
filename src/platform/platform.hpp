// The few things the benchmark needs from the operating system, behind one
// small interface: a high-resolution counter and a check on standard output.
#pragma once

#include <cstdint>

// Ticks per second of counter_ticks(); positive and fixed for the process.
std::int64_t counter_frequency();

// Current reading of a monotonic counter, in ticks.
std::int64_t counter_ticks();

// False when the standard output descriptor is not open at all, so that a
// run whose report could not go anywhere can stop before doing any work.
bool standard_output_is_open();
