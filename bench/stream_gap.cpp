// matmul-stream-gap: where the naive loop's share of the memory roof goes.
// It streams B as the naive loop does (front to back, once per row of A)
// four ways, built like the naive loop's highest build, in interleaved
// rounds, each sustained for as long as one naive multiply:
//   read       only B, into independent accumulators (the memory roof's loop)
//   naive row  C[j] += B[p][j] * a over one row of C: the naive loop itself
//   add row    C[j] += B[p][j]: the same traffic without the multiply
//   read C     sum += B[p][j] * C[j]: the row of C read beside B, never written
// and prints each as a share of the read's rate in the same round. Run by
// hand: matmul-stream-gap [ROUNDS] [SECONDS].
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "problem.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kK = K;
constexpr std::int64_t kN = N;

__attribute__((noinline)) double read_b(const double* b) {
  double acc[16] = {};
  for (std::int64_t i = 0; i + 16 <= kK * kN; i += 16) {
    for (int u = 0; u < 16; ++u) {
      acc[u] += b[i + u];
    }
  }
  double s = 0.0;
  for (const double a : acc) {
    s += a;
  }
  return s;
}

__attribute__((noinline)) double naive_row(const double* __restrict b, double* __restrict c) {
  for (std::int64_t p = 0; p < kK; ++p) {
    const double a = 1e-9 * static_cast<double>(p);
    for (std::int64_t j = 0; j < kN; ++j) {
      c[j] = c[j] + b[p * kN + j] * a;
    }
  }
  return c[7];
}

__attribute__((noinline)) double add_row(const double* __restrict b, double* __restrict c) {
  for (std::int64_t p = 0; p < kK; ++p) {
    for (std::int64_t j = 0; j < kN; ++j) {
      c[j] = c[j] + b[p * kN + j];
    }
  }
  return c[7];
}

__attribute__((noinline)) double read_c(const double* __restrict b, const double* __restrict c) {
  double acc[16] = {};
  for (std::int64_t p = 0; p < kK; ++p) {
    for (std::int64_t j = 0; j + 16 <= kN; j += 16) {
      for (int u = 0; u < 16; ++u) {
        acc[u] += b[p * kN + j + u] * c[j + u];
      }
    }
  }
  double s = 0.0;
  for (const double a : acc) {
    s += a;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 1.5;
  if (rounds < 1 || !(seconds > 0)) {
    std::fprintf(stderr, "usage: matmul-stream-gap [ROUNDS] [SECONDS]\n");
    return 2;
  }
  std::vector<double> b(static_cast<std::size_t>(kK * kN), 1.0);
  std::vector<double> c(static_cast<std::size_t>(kN), 1.0);
  const double bytes = 8.0 * static_cast<double>(kK * kN);
  double sink = 0.0;
  std::printf("round  read GB/s  naive row  add row  read C   (shares of the read)\n");
  for (int round = 0; round < rounds; ++round) {
    double rate[4];
    for (int way = 0; way < 4; ++way) {
      int passes = 0;
      double elapsed = 0.0;
      const Clock::time_point start = Clock::now();
      do {
        sink += way == 0   ? read_b(b.data())
                : way == 1 ? naive_row(b.data(), c.data())
                : way == 2 ? add_row(b.data(), c.data())
                           : read_c(b.data(), c.data());
        ++passes;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      } while (elapsed < seconds);
      rate[way] = passes * bytes / elapsed * 1e-9;
    }
    std::printf("%5d  %9.1f  %8.0f%%  %6.0f%%  %5.0f%%\n", round + 1, rate[0],
                100 * rate[1] / rate[0], 100 * rate[2] / rate[0], 100 * rate[3] / rate[0]);
  }
  return sink == -1.0 ? 1 : 0;  // keeps the sums alive
}
