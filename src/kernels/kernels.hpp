// The benchmark's own arithmetic over row-major matrices of doubles.
//
// Element (r, c) of an R x C matrix lives at index r * C + c. Counts are
// 32-bit signed; a count <= 0 means "no work". The kernels are compiled with
// floating-point contraction off, so every product is rounded before it is
// added, exactly as written.
#pragma once

#include <cstdint>

// C <- C + A * B, with A M x K, B K x N and C M x N, looping i, p, j.
// C must not overlap A or B. Each element of C receives its K products one
// at a time in increasing p, after its prior value. Runs the build of the
// loop chosen for this CPU (below); every build gives the same bits.
void simple_multiply(const double* A, const double* B, std::int32_t M, std::int32_t K,
                     std::int32_t N, double* C);

// The same loop is built once per instruction-set level, lowest first
// (index 0 runs on any CPU of the target), so that a program built for
// many machines still runs at its best on each. simple_multiply runs the
// highest build this CPU and its OS support, chosen once at start-up.
using MultiplyFunction = void (*)(const double* A, const double* B, std::int32_t M, std::int32_t K,
                                  std::int32_t N, double* C);
int naive_variant_count();
int naive_variant_chosen();
// The level a build targets ("x86-64", "x86-64-v3", "x86-64-v4", or the
// target's one build, e.g. "native") and its compiler flags; nullptr for
// an index out of range, as for naive_variant_function.
const char* naive_variant_level(int index);
const char* naive_variant_flags(int index);
MultiplyFunction naive_variant_function(int index);
bool naive_variant_runs_here(int index);

// Sum of |P[i] - Q[i]| for i = 0 .. n-1, added strictly in index order
// into a single accumulator.
double abs_diff_sum(const double* P, const double* Q, std::int32_t n);
