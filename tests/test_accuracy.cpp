#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "accuracy.hpp"
#include "kernels/kernels.hpp"
#include "random_fill.hpp"

namespace {

double exact_sum_of(const std::vector<double>& terms) {
  ExactSum s{};
  for (const double t : terms) {
    exact_add(s, t);
  }
  return exact_round(s);
}

TEST(ExactSum, IsExactThenRoundedOnceToNearestEven) {
  const double two53 = std::ldexp(1.0, 53);
  const double tiny = std::ldexp(1.0, -1074);
  // Cancellation that a double accumulator gets wrong in every order.
  EXPECT_EQ(exact_sum_of({1e16, 1.0, -1e16}), 1.0);
  EXPECT_EQ(exact_sum_of({1.0, 1e300, 1.0, -1e300, 1.0}), 3.0);
  EXPECT_EQ(exact_sum_of({-1e16, -1.0, 1e16}), -1.0);
  EXPECT_EQ(exact_sum_of({0.1, -0.1}), 0.0);
  // Ties go to the even neighbour; anything beyond the tie rounds away.
  EXPECT_EQ(exact_sum_of({two53, 1.0}), two53);
  EXPECT_EQ(exact_sum_of({two53, 3.0}), two53 + 4.0);
  EXPECT_EQ(exact_sum_of({two53, 1.0, std::ldexp(1.0, -60)}), two53 + 2.0);
  EXPECT_EQ(exact_sum_of({-two53, -1.0, -std::ldexp(1.0, -60)}), -two53 - 2.0);
  // Subnormals and the top of the range.
  EXPECT_EQ(exact_sum_of({tiny, tiny, tiny}), 3 * tiny);
  EXPECT_EQ(exact_sum_of({1e308, 1e308, -1e308}), 1e308);
  EXPECT_EQ(exact_sum_of({}), 0.0);
}

TEST(ExactSum, AgreesWithIntegerArithmeticOnRandomTerms) {
  // Multiples of 2^-30 below 2^40 in size: their sums are exact in 64-bit
  // integers, and long enough to need rounding as doubles.
  std::mt19937_64 gen(7);
  std::uniform_int_distribution<std::int64_t> value(-(std::int64_t{1} << 40),
                                                    std::int64_t{1} << 40);
  for (int round = 0; round < 200; ++round) {
    std::vector<double> terms;
    std::int64_t exact = 0;
    for (int t = 0; t < 50; ++t) {
      const std::int64_t v = value(gen) * (std::int64_t{1} << (t % 16));
      exact += v;
      terms.push_back(std::ldexp(static_cast<double>(v), -30));
    }
    ASSERT_EQ(exact_sum_of(terms), std::ldexp(static_cast<double>(exact), -30)) << round;
  }
}

TEST(ExactSum, ProductsAreAddedWithoutRounding) {
  // (1 + 2^-30)^2 = 1 + 2^-29 + 2^-60: the last term is lost in a double.
  const double a = 1.0 + std::ldexp(1.0, -30);
  ExactSum s{};
  exact_add_product(s, a, a);
  exact_add(s, -(1.0 + std::ldexp(1.0, -29)));
  EXPECT_EQ(exact_round(s), std::ldexp(1.0, -60));
}

TEST(ErrorMeasures, UlpAndBound) {
  EXPECT_EQ(ulp_of(1.0), std::ldexp(1.0, -52));
  EXPECT_EQ(ulp_of(-1.5), std::ldexp(1.0, -52));
  EXPECT_EQ(ulp_of(2.0), std::ldexp(1.0, -51));
  EXPECT_EQ(ulp_of(0.0), std::ldexp(1.0, -1074));
  const double u = std::ldexp(1.0, -53);
  EXPECT_DOUBLE_EQ(gamma_bound(2000), 2000 * u / (1 - 2000 * u));
}

// The errors of the naive loop's one element of a 1 x K times K x 1 product.
void naive_element(const std::vector<double>& a, const std::vector<double>& b, double* exact,
                   double* error) {
  const auto k = static_cast<std::int32_t>(a.size());
  double c = 0.0;
  simple_multiply(a.data(), b.data(), 1, k, 1, &c);
  double magnitude = 0.0;
  element_errors(a.data(), b.data(), k, 1, 0, 0, &c, 1, exact, &magnitude, error);
}

TEST(ErrorMeasures, KnownNaiveErrors) {
  double exact = 0.0;
  double error = 0.0;
  // Products added in increasing p lose the 1 entirely.
  naive_element({1.0, 1e16, -1e16}, {1.0, 1.0, 1.0}, &exact, &error);
  EXPECT_EQ(exact, 1.0);
  EXPECT_EQ(error, -1.0);
  EXPECT_EQ(std::fabs(error) / ulp_of(exact), std::ldexp(1.0, 52));
  // 1 + 2^-53 ties to 1, twice; the exact 1 + 2^-52 is the next double:
  // the loop is exactly one unit in the last place short.
  const double half_ulp = std::ldexp(1.0, -53);
  naive_element({1.0, half_ulp, half_ulp}, {1.0, 1.0, 1.0}, &exact, &error);
  EXPECT_EQ(exact, 1.0 + std::ldexp(1.0, -52));
  EXPECT_EQ(std::fabs(error) / ulp_of(exact), 1.0);
}

TEST(ErrorMeasures, IntegerProductsAreExactAndTheBoundHoldsOnRandomInputs) {
  std::mt19937 gen(11);
  const std::int32_t m = 7;
  const std::int32_t k = 500;
  const std::int32_t n = 9;
  std::vector<double> A(m * k);
  std::vector<double> B(k * n);
  std::vector<double> C(m * n);
  // Whole numbers below 2^10: every partial sum is exact, so the loop's
  // result is the exact product and both errors are zero.
  std::uniform_int_distribution<int> digit(-1000, 1000);
  for (double& x : A) {
    x = digit(gen);
  }
  for (double& x : B) {
    x = digit(gen);
  }
  simple_multiply(A.data(), B.data(), m, k, n, C.data());
  for (std::int64_t e = 0; e < m * n; ++e) {
    double exact = 0.0;
    double magnitude = 0.0;
    double error = 1.0;
    element_errors(A.data(), B.data(), k, n, e / n, e % n, &C[e], 1, &exact, &magnitude, &error);
    ASSERT_EQ(error, 0.0);
    ASSERT_EQ(exact, C[e]);
  }

  // The benchmark's own kind of values, and signed ones that cancel: the
  // naive loop's error never exceeds gamma_K * sum |a||b|, and is not 0.
  for (const bool signed_values : {false, true}) {
    fill_uniform(gen, A.data(), m * k);
    fill_uniform(gen, B.data(), k * n);
    if (signed_values) {
      for (std::size_t x = 0; x < A.size(); x += 2) {
        A[x] = -A[x];
      }
    }
    std::fill(C.begin(), C.end(), 0.0);
    simple_multiply(A.data(), B.data(), m, k, n, C.data());
    bool some_error = false;
    for (std::int64_t e = 0; e < m * n; ++e) {
      double exact = 0.0;
      double magnitude = 0.0;
      double error = 0.0;
      element_errors(A.data(), B.data(), k, n, e / n, e % n, &C[e], 1, &exact, &magnitude, &error);
      ASSERT_LE(std::fabs(error), gamma_bound(k) * magnitude) << e;
      some_error = some_error || error != 0.0;
    }
    EXPECT_TRUE(some_error) << "random inputs should show rounding errors";
  }
}

}  // namespace
