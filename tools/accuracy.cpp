#include "accuracy.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr std::int64_t kDigit = std::int64_t{1} << 32;

// Carries every limb into [0, 2^32), the sign into the top limb.
void normalise(ExactSum& s) {
  for (int i = 0; i + 1 < kExactSumLimbs; ++i) {
    // Floor division, so that negative limbs borrow from the next one.
    std::int64_t carry = s[i] >> 32;
    s[i] -= carry * kDigit;
    s[i + 1] += carry;
  }
}

// Bit `b` (weight 2^(b - offset)) of a normalised, non-negative sum.
int bit_at(const ExactSum& s, int b) {
  return static_cast<int>((s[b / 32] >> (b % 32)) & 1);
}

bool any_bit_below(const ExactSum& s, int b) {
  for (int i = 0; i < b / 32; ++i) {
    if (s[i] != 0) {
      return true;
    }
  }
  return b % 32 != 0 && (s[b / 32] & ((std::int64_t{1} << (b % 32)) - 1)) != 0;
}

}  // namespace

void exact_add(ExactSum& sum, double x) {
  if (x == 0.0) {
    return;
  }
  // x = mantissa * 2^exponent with a 53-bit integer mantissa.
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(x), &exponent);
  auto mantissa = static_cast<std::int64_t>(std::ldexp(fraction, 53));
  exponent -= 53;
  if (exponent < -1074) {  // subnormal: the mantissa has trailing zeros
    mantissa >>= (-1074 - exponent);
    exponent = -1074;
  }
  const int bit = exponent + kExactSumOffset;
  const int sign = x < 0 ? -1 : 1;
  int limb = bit / 32;
  // 53 bits shifted by up to 31 span three limbs; each piece is < 2^32.
  const auto low = static_cast<std::uint64_t>(mantissa) << (bit % 32);
  const auto high =
      (bit % 32 == 0) ? std::uint64_t{0} : static_cast<std::uint64_t>(mantissa) >> (64 - bit % 32);
  sum[limb] += sign * static_cast<std::int64_t>(low & 0xffffffffu);
  sum[limb + 1] += sign * static_cast<std::int64_t>(low >> 32);
  if (high != 0) {
    sum[limb + 2] += sign * static_cast<std::int64_t>(high);
  }
}

void exact_add_product(ExactSum& sum, double a, double b) {
  const double p = a * b;
  exact_add(sum, p);
  exact_add(sum, std::fma(a, b, -p));  // the rounding error of p, exactly
}

double exact_round(const ExactSum& sum) {
  ExactSum s = sum;
  normalise(s);
  double sign = 1.0;
  if (s[kExactSumLimbs - 1] < 0) {
    for (auto& limb : s) {
      limb = -limb;
    }
    normalise(s);
    sign = -1.0;
  }
  int top = kExactSumLimbs * 32 - 1;
  while (top >= 0 && bit_at(s, top) == 0) {
    --top;
  }
  if (top < 0) {
    return 0.0;
  }
  // Keep 53 bits, or fewer where the result is subnormal.
  const int lowest_subnormal_bit = kExactSumOffset - 1074;
  int lsb = top - 52;
  if (lsb < lowest_subnormal_bit) {
    lsb = lowest_subnormal_bit;
  }
  std::uint64_t q = 0;
  for (int b = top; b >= lsb; --b) {
    q = (q << 1) | static_cast<std::uint64_t>(bit_at(s, b));
  }
  if (lsb > 0 && bit_at(s, lsb - 1) == 1) {
    // Above half, or exactly half with an odd quotient: round up.
    if (any_bit_below(s, lsb - 1) || (q & 1) != 0) {
      ++q;
    }
  }
  return sign * std::ldexp(static_cast<double>(q), lsb - kExactSumOffset);
}

double ulp_of(double x) {
  const double a = std::fabs(x);
  if (a < std::numeric_limits<double>::min()) {
    return std::numeric_limits<double>::denorm_min();
  }
  int exponent = 0;
  (void)std::frexp(a, &exponent);  // a in [2^(exponent-1), 2^exponent)
  return std::ldexp(1.0, exponent - 1 - 52);
}

double gamma_bound(std::int32_t k) {
  const double ku = static_cast<double>(k) * std::ldexp(1.0, -53);
  return ku / (1.0 - ku);
}

void element_errors(const double* A, const double* B, std::int32_t K, std::int32_t N,
                    std::int64_t i, std::int64_t j, const double* candidates, int count,
                    double* exact, double* magnitude, double* error) {
  ExactSum dot{};
  ExactSum abs_dot{};
  for (std::int64_t p = 0; p < K; ++p) {
    const double a = A[i * K + p];
    const double b = B[p * N + j];
    exact_add_product(dot, a, b);
    exact_add_product(abs_dot, std::fabs(a), std::fabs(b));
  }
  *exact = exact_round(dot);
  *magnitude = exact_round(abs_dot);
  for (int c = 0; c < count; ++c) {
    ExactSum difference = dot;
    for (auto& limb : difference) {
      limb = -limb;
    }
    exact_add(difference, candidates[c]);
    error[c] = exact_round(difference);
  }
}
