// matmul-plain-loop: the naive loop alone, in a program with nothing else
// linked around it. It fills and times exactly as matmul-bench does and
// prints only the simple line, so the two figures can be paired: the
// program's must match this one whatever its own layout.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "kernels/kernels.hpp"
#include "platform/platform.hpp"
#include "random_fill.hpp"
#include "report.hpp"
#include "run.hpp"

int main() {
  // Created in the program's order, so that the matrices sit as they do there.
  std::vector<double> A(static_cast<std::size_t>(M) * K, 0.0);
  std::vector<double> B(static_cast<std::size_t>(K) * N, 0.0);
  std::vector<double> C_blas(static_cast<std::size_t>(M) * N, 0.0);
  std::vector<double> C_simple(static_cast<std::size_t>(M) * N, 0.0);
  std::mt19937 generator(nondeterministic_seed());
  fill_uniform(generator, A.data(), M * K);
  fill_uniform(generator, B.data(), K * N);

  const std::int64_t frequency = counter_frequency();
  const std::int64_t t0 = counter_ticks();
  simple_multiply(A.data(), B.data(), M, K, N, C_simple.data());
  const std::int64_t t1 = counter_ticks();
  print_simple_time(stdout, elapsed_ms(t0, t1, frequency));
  // The result must be used, or the multiply could be dropped.
  return std::fflush(stdout) == 0 && C_simple[0] >= 0.0 ? 0 : 1;
}
