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
// at a time in increasing p, after its prior value.
void simple_multiply(const double* A, const double* B, std::int32_t M, std::int32_t K,
                     std::int32_t N, double* C);

// Sum of |P[i] - Q[i]| for i = 0 .. n-1, added strictly in index order
// into a single accumulator.
double abs_diff_sum(const double* P, const double* Q, std::int32_t n);
