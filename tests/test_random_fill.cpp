#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "random_fill.hpp"

namespace {

TEST(Generator, IsTheStandardMt19937) {
  std::mt19937 gen(5489);
  gen.discard(9999);
  EXPECT_EQ(gen(), 4123659995u);
}

TEST(UniformValue, MapsTheExtremesInsideZeroToTen) {
  EXPECT_EQ(uniform_value(0), 0.0);
  EXPECT_EQ(uniform_value(4294967295u), 9.999999997671694);
  EXPECT_LT(uniform_value(4294967295u), 10.0);
  // Outputs from 2^31 up are not mistaken for negative numbers.
  EXPECT_EQ(uniform_value(2147483648u), 5.0);
}

TEST(FillUniform, FillsAThenBFromOneStreamAtTheRealSizes) {
  std::vector<double> A(2000000), B(6000000);
  std::mt19937 gen(5489);
  fill_uniform(gen, A.data(), static_cast<std::int32_t>(A.size()));
  fill_uniform(gen, B.data(), static_cast<std::int32_t>(B.size()));

  EXPECT_EQ(A[0], 8.147236919030547);
  EXPECT_EQ(A[1], 1.3547700410708785);
  EXPECT_EQ(A[2], 9.057919341139495);
  EXPECT_EQ(A.back(), 2.8116551833227277);
  EXPECT_EQ(B.front(), 9.039904228411615);  // output 2,000,001: no restart
  EXPECT_EQ(B.back(), 8.612633042503148);

  // Exactly one output per element: the next output is number 8,000,001.
  std::mt19937 reference(5489);
  reference.discard(8000000);
  EXPECT_EQ(gen(), reference());
}

TEST(FillUniform, WritesExactlyCountElements) {
  std::vector<double> m(5, -1.0);
  std::mt19937 gen(1);
  fill_uniform(gen, m.data(), 3);
  EXPECT_GE(m[2], 0.0);
  EXPECT_EQ(m[3], -1.0);
  fill_uniform(gen, nullptr, 0);
  fill_uniform(gen, nullptr, -5);
}

}  // namespace
