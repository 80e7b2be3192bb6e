#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernels.hpp"
#include "platform/cpu.hpp"

namespace {

bool same_bits(double x, double y) {
  return std::memcmp(&x, &y, sizeof x) == 0;
}

TEST(SimpleMultiply, AddsTheProductIntoC) {
  const double A[] = {1, 2};  // 1 x 2
  const double B[] = {3, 4};  // 2 x 1
  double C[] = {0};
  simple_multiply(A, B, 1, 2, 1, C);
  EXPECT_EQ(C[0], 11.0);
  simple_multiply(A, B, 1, 2, 1, C);
  EXPECT_EQ(C[0], 22.0);
}

TEST(SimpleMultiply, EmptyDimensionsTouchNothing) {
  // Null operands: any read of A or B, or of C when it has no elements,
  // would crash.
  const std::int32_t cases[][3] = {{0, 1, 1},
                                   {1, 0, 1},
                                   {1, 1, 0},
                                   {-1, 2, 2},
                                   {2, -1, 2},
                                   {2, 2, -1},
                                   {std::numeric_limits<std::int32_t>::min(), 2, 2}};
  for (const auto& d : cases) {
    SCOPED_TRACE(testing::Message() << d[0] << "x" << d[1] << "x" << d[2]);
    const bool c_has_elements = d[0] > 0 && d[2] > 0;
    double C[4] = {1.5, -2.5, 3.5, -4.5};
    simple_multiply(nullptr, nullptr, d[0], d[1], d[2], c_has_elements ? C : nullptr);
    EXPECT_EQ(C[0], 1.5);
    EXPECT_EQ(C[1], -2.5);
    EXPECT_EQ(C[2], 3.5);
    EXPECT_EQ(C[3], -4.5);
  }
}

TEST(SimpleMultiply, SumsInIncreasingPAfterThePriorValue) {
  const double ones[] = {1, 1, 1};
  {
    // 0 + 1 + 1e16 - 1e16: the 1 is lost; decreasing p would keep it.
    const double A[] = {1, 1e16, -1e16};
    double C[] = {0};
    simple_multiply(A, ones, 1, 3, 1, C);
    EXPECT_EQ(C[0], 0.0);
  }
  {
    // 1 + 1e16 - 1e16: the prior value goes first and is lost too.
    const double A[] = {1e16, -1e16};
    double C[] = {1};
    simple_multiply(A, ones, 1, 2, 1, C);
    EXPECT_EQ(C[0], 0.0);
  }
}

TEST(SimpleMultiply, RoundsEachProductBeforeAdding) {
  // (1 + 2^-30)^2 = 1 + 2^-29 + 2^-60: rounding the product drops 2^-60,
  // a fused multiply-add would keep it.
  const double a = 1.0 + std::ldexp(1.0, -30);
  const double A[] = {a};
  const double B[] = {a};
  double C[] = {-(1.0 + std::ldexp(1.0, -29))};
  simple_multiply(A, B, 1, 1, 1, C);
  EXPECT_EQ(C[0], 0.0) << "got " << C[0] << ": the kernel fused a multiply-add";
}

// Straightforward reference: same order of operations, no tricks, so it
// must agree bit for bit on any shape, including vector-remainder ones.
void reference_multiply(const std::vector<double>& A, const std::vector<double>& B, int M, int K,
                        int N, std::vector<double>& C) {
  for (int i = 0; i < M; ++i) {
    for (int p = 0; p < K; ++p) {
      for (int j = 0; j < N; ++j) {
        const double product =
            B[static_cast<std::size_t>(p) * N + j] * A[static_cast<std::size_t>(i) * K + p];
        C[static_cast<std::size_t>(i) * N + j] += product;
      }
    }
  }
}

TEST(SimpleMultiply, MatchesAReferenceLoopBitForBitOnOddShapes) {
  std::mt19937 gen(12345);
  std::uniform_real_distribution<double> value(-10.0, 10.0);
  const int shapes[][3] = {{1, 1, 17}, {7, 13, 5}, {3, 64, 33}, {33, 2, 65}, {16, 31, 129}};
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1], N = s[2];
    SCOPED_TRACE(testing::Message() << M << "x" << K << "x" << N);
    std::vector<double> A(static_cast<std::size_t>(M) * K), B(static_cast<std::size_t>(K) * N);
    std::vector<double> C(static_cast<std::size_t>(M) * N);
    for (double& x : A)
      x = value(gen);
    for (double& x : B)
      x = value(gen);
    for (double& x : C)
      x = value(gen);  // a non-zero prior value
    std::vector<double> expected = C;
    reference_multiply(A, B, M, K, N, expected);
    simple_multiply(A.data(), B.data(), M, K, N, C.data());
    for (std::size_t i = 0; i < C.size(); ++i) {
      ASSERT_TRUE(same_bits(C[i], expected[i]))
          << "element " << i << ": " << C[i] << " vs " << expected[i];
    }
  }
}

// Every build of the loop that this CPU runs must give the baseline's bits:
// the level changes the instructions, never the arithmetic.
TEST(NaiveVariants, EveryBuildThatRunsHereMatchesTheBaselineBitForBit) {
  ASSERT_GE(naive_variant_count(), 1);
  ASSERT_TRUE(naive_variant_runs_here(0)) << "the baseline build must run everywhere";
  std::mt19937 gen(2024);
  std::uniform_real_distribution<double> value(-10.0, 10.0);
  // Shapes around every vector width and unroll factor, and a larger one.
  const int shapes[][3] = {{1, 1, 1}, {3, 5, 7}, {5, 17, 31}, {4, 33, 67}, {9, 40, 257}};
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1], N = s[2];
    std::vector<double> A(static_cast<std::size_t>(M) * K), B(static_cast<std::size_t>(K) * N);
    std::vector<double> C0(static_cast<std::size_t>(M) * N);
    for (double& x : A)
      x = value(gen);
    for (double& x : B)
      x = value(gen);
    for (double& x : C0)
      x = value(gen);
    std::vector<double> baseline = C0;
    naive_variant_function(0)(A.data(), B.data(), M, K, N, baseline.data());
    for (int v = 1; v < naive_variant_count(); ++v) {
      SCOPED_TRACE(testing::Message()
                   << naive_variant_level(v) << ", " << M << "x" << K << "x" << N);
      if (!naive_variant_runs_here(v)) {
        continue;
      }
      std::vector<double> C = C0;
      naive_variant_function(v)(A.data(), B.data(), M, K, N, C.data());
      for (std::size_t i = 0; i < C.size(); ++i) {
        ASSERT_TRUE(same_bits(C[i], baseline[i]))
            << "element " << i << ": " << C[i] << " vs " << baseline[i];
      }
    }
  }
}

TEST(NaiveVariants, NoBuildThatRunsHereFusesAMultiplyAdd) {
  const double a = 1.0 + std::ldexp(1.0, -30);
  // Long enough for the vectorised body, not only the scalar remainder.
  const int N = 37;
  const std::vector<double> A = {a};
  const std::vector<double> B(N, a);
  for (int v = 0; v < naive_variant_count(); ++v) {
    if (!naive_variant_runs_here(v)) {
      continue;
    }
    std::vector<double> C(N, -(1.0 + std::ldexp(1.0, -29)));
    naive_variant_function(v)(A.data(), B.data(), 1, 1, N, C.data());
    for (int j = 0; j < N; ++j) {
      ASSERT_EQ(C[j], 0.0) << naive_variant_level(v) << ", element " << j << ": got " << C[j]
                           << ": this build fused a multiply-add";
    }
  }
}

TEST(NaiveVariants, TheChosenBuildIsTheHighestThatRunsHere) {
  const int chosen = naive_variant_chosen();
  ASSERT_GE(chosen, 0);
  ASSERT_LT(chosen, naive_variant_count());
  EXPECT_TRUE(naive_variant_runs_here(chosen));
  for (int v = chosen + 1; v < naive_variant_count(); ++v) {
    EXPECT_FALSE(naive_variant_runs_here(v)) << naive_variant_level(v) << " runs here too";
  }
  EXPECT_EQ(naive_variant_level(naive_variant_count()), nullptr);
  EXPECT_EQ(naive_variant_function(-1), nullptr);
  // Under an emulated CPU the test runner says what that CPU must get.
  const char* expected = std::getenv("MATMUL_EXPECT_NAIVE_LEVEL");
  if (expected != nullptr) {
    EXPECT_EQ(std::string(naive_variant_level(chosen)), expected);
  }
}

// The features the limits probe picks its kernels by agree with the levels
// the naive loop's builds are chosen by, here and on each emulated CPU.
TEST(NaiveVariants, CpuFeaturesAgreeWithTheLevels) {
  const bool avx = cpu_supports_feature("avx");
  const bool fma = cpu_supports_feature("fma");
  const bool avx512f = cpu_supports_feature("avx512f");
  if (cpu_supports_level("x86-64-v3")) {
    EXPECT_TRUE(avx && fma);
  }
  if (cpu_supports_level("x86-64-v4")) {
    EXPECT_TRUE(avx512f);
  }
  EXPECT_TRUE(avx || !fma) << "FMA counts only with AVX";
  EXPECT_FALSE(cpu_supports_feature("not-a-feature"));
  // Nehalem and Sandy Bridge, emulated, get the baseline: neither has FMA.
  const char* expected = std::getenv("MATMUL_EXPECT_NAIVE_LEVEL");
  if (expected != nullptr && std::string(expected) == "x86-64") {
    EXPECT_FALSE(fma);
    EXPECT_FALSE(avx512f);
  }
}

TEST(AbsDiffSum, AddsStrictlyInIndexOrder) {
  const double zeros[9] = {};
  const double big_first[9] = {1e16, 1, 1, 1, 1, 1, 1, 1, 1};
  const double big_last[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1e16};
  EXPECT_EQ(abs_diff_sum(big_first, zeros, 9), 1e16);
  EXPECT_EQ(abs_diff_sum(big_last, zeros, 9), 1e16 + 8);
}

TEST(AbsDiffSum, IsSymmetricBitForBit) {
  std::mt19937 gen(777);
  std::uniform_real_distribution<double> value(-1e6, 1e6);
  std::vector<double> P(1001), Q(1001);
  for (double& x : P)
    x = value(gen);
  for (double& x : Q)
    x = value(gen);
  EXPECT_TRUE(
      same_bits(abs_diff_sum(P.data(), Q.data(), 1001), abs_diff_sum(Q.data(), P.data(), 1001)));
}

TEST(AbsDiffSum, EmptyAndIdenticalInputsGivePositiveZero) {
  for (const std::int32_t n : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
    const double s = abs_diff_sum(nullptr, nullptr, n);  // reads nothing
    EXPECT_EQ(s, 0.0);
    EXPECT_FALSE(std::signbit(s));
  }
  const double P[] = {-0.0, 3.5, -1e300, 5e-324};
  const double s = abs_diff_sum(P, P, 4);
  EXPECT_EQ(s, 0.0);
  EXPECT_FALSE(std::signbit(s));
}

TEST(AbsDiffSum, InfinityOrNaNMakesNaN) {
  const double inf = std::numeric_limits<double>::infinity();
  const double with_inf[] = {1, inf, 2};
  const double with_nan[] = {1, std::numeric_limits<double>::quiet_NaN(), 2};
  EXPECT_TRUE(std::isnan(abs_diff_sum(with_inf, with_inf, 3)));
  EXPECT_TRUE(std::isnan(abs_diff_sum(with_nan, with_nan, 3)));
  const double zeros[3] = {};
  EXPECT_TRUE(std::isnan(abs_diff_sum(with_nan, zeros, 3)));
}

}  // namespace
