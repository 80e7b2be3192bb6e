// How far a computed matrix product lies from the exact one: an exact
// accumulator for sums of doubles and the error measures built on it.
#pragma once

#include <array>
#include <cstdint>

// An exact sum of finite doubles: base-2^32 digits in signed 64-bit limbs,
// limb i weighing 2^(32 i - kExactSumOffset). It spans every double's
// bits, with room for 2^31 terms of the largest magnitude.
constexpr int kExactSumOffset = 1088;  // 2^-1074, the least subnormal, is bit 14
constexpr int kExactSumLimbs = 70;
using ExactSum = std::array<std::int64_t, kExactSumLimbs>;

// Adds x exactly. x must be finite.
void exact_add(ExactSum& sum, double x);

// Adds the product a * b exactly (as the double pair that a fused
// multiply-add splits it into). a * b must not overflow.
void exact_add_product(ExactSum& sum, double a, double b);

// The sum rounded once to the nearest double, ties to even.
double exact_round(const ExactSum& sum);

// The spacing of the doubles at |x|: 2^(e - 52) for a normal x in
// [2^e, 2^(e+1)), the least subnormal for a subnormal or zero x.
double ulp_of(double x);

// gamma_K = K u / (1 - K u), u = 2^-53: the a-priori relative bound for a
// dot product of length K computed in any order, fused or not.
double gamma_bound(std::int32_t k);

// One element's errors against the exact product.
//   exact:     sum_p A[i K + p] B[p N + j], correctly rounded
//   magnitude: sum_p |A[i K + p]| |B[p N + j]|, correctly rounded
//   error[c]:  candidates[c] - exact sum, correctly rounded (signed)
void element_errors(const double* A, const double* B, std::int32_t K, std::int32_t N,
                    std::int64_t i, std::int64_t j, const double* candidates, int count,
                    double* exact, double* magnitude, double* error);
