// The benchmark's random inputs: one MT19937 stream, seeded once per run,
// mapped to doubles in [0, 10) by a fixed formula of our own.
#pragma once

#include <cstdint>
#include <random>

// Where the run's one seed comes from. It may throw when it has no value to
// give; the run turns that into an error message.
using SeedSource = std::uint32_t (*)();

// One 32-bit value from the system's nondeterministic source
// (std::random_device). Throws when the source is unavailable.
std::uint32_t nondeterministic_seed();

// The value of one generator output u: u / 2^32 * 10 + 0, each step in
// double precision and exact, so the result is a multiple of 10 / 2^32
// in [0, 10) and never 10 itself.
double uniform_value(std::uint32_t u);

// Writes matrix[0 .. count-1] in index order, one generator output each.
void fill_uniform(std::mt19937& generator, double* matrix, std::int32_t count);
