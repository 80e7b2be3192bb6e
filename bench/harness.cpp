// Google Benchmark harness: the naive loop and cblas_dgemm at the program's
// shape and over square sizes, plus a streaming-read probe that gives the
// memory bound the naive loop runs into, all measured in one run.
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <cstdint>
#include <random>
#include <vector>

#include "build_info.hpp"
#include "kernels/kernels.hpp"
#include "probes.hpp"
#include "random_fill.hpp"
#include "run.hpp"

namespace {

std::vector<double> random_matrix(std::int64_t count, std::uint32_t seed) {
  std::vector<double> m(static_cast<std::size_t>(count));
  std::mt19937 gen(seed);
  fill_uniform(gen, m.data(), static_cast<std::int32_t>(count));
  return m;
}

void set_counters(benchmark::State& state, std::int64_t m, std::int64_t k, std::int64_t n,
                  bool streams_b) {
  const double flops =
      2.0 * static_cast<double>(m) * static_cast<double>(k) * static_cast<double>(n);
  state.counters["GFLOP"] =
      benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
  if (streams_b) {
    // The i-p-j loop reads all of B once for every row of A.
    const double b_bytes =
        static_cast<double>(m) * static_cast<double>(k) * static_cast<double>(n) * sizeof(double);
    state.counters["B_GB"] =
        benchmark::Counter(b_bytes * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
  }
}

void run_simple(benchmark::State& state, std::int32_t m, std::int32_t k, std::int32_t n) {
  const auto A = random_matrix(std::int64_t{m} * k, 1);
  const auto B = random_matrix(std::int64_t{k} * n, 2);
  std::vector<double> C(static_cast<std::size_t>(std::int64_t{m} * n));
  // Repeated calls keep accumulating into C; the values stay finite and
  // normal, so the time per call is unaffected.
  for (auto _ : state) {
    simple_multiply(A.data(), B.data(), m, k, n, C.data());
    benchmark::DoNotOptimize(C.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, m, k, n, true);
}

void run_dgemm(benchmark::State& state, std::int32_t m, std::int32_t k, std::int32_t n) {
  const auto A = random_matrix(std::int64_t{m} * k, 1);
  const auto B = random_matrix(std::int64_t{k} * n, 2);
  std::vector<double> C(static_cast<std::size_t>(std::int64_t{m} * n));
  for (auto _ : state) {
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0, A.data(), k, B.data(), n,
                0.0, C.data(), n);
    benchmark::DoNotOptimize(C.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, m, k, n, false);
}

void BM_Simple_Program(benchmark::State& state) {
  run_simple(state, M, K, N);
}
void BM_Dgemm_Program(benchmark::State& state) {
  run_dgemm(state, M, K, N);
}

void BM_Simple_Square(benchmark::State& state) {
  const auto s = static_cast<std::int32_t>(state.range(0));
  run_simple(state, s, s, s);
}
void BM_Dgemm_Square(benchmark::State& state) {
  const auto s = static_cast<std::int32_t>(state.range(0));
  run_dgemm(state, s, s, s);
}

// Reads a buffer the size of B (48 MB, more than most last-level caches)
// front to back with independent accumulators, as the naive loop reads B:
// the rate it reaches is the bound for that loop on this machine.
void BM_StreamRead(benchmark::State& state) {
  const auto buffer = random_matrix(std::int64_t{K} * N, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(stream_read_pass(buffer.data(), std::int64_t{K} * N));
  }
  state.counters["B_GB"] =
      benchmark::Counter(static_cast<double>(buffer.size() * sizeof(double)) * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate);
}

// The program's work outside its two timed intervals, piece by piece.
void BM_Outside_CreateMatrices(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> A(std::size_t{M} * K), B(std::size_t{K} * N);
    std::vector<double> C_blas(std::size_t{M} * N), C_simple(std::size_t{M} * N);
    benchmark::DoNotOptimize(C_simple.data());
  }
}
void BM_Outside_RandomFill(benchmark::State& state) {
  std::vector<double> A(std::size_t{M} * K), B(std::size_t{K} * N);
  std::mt19937 gen(5489);
  for (auto _ : state) {
    fill_uniform(gen, A.data(), M * K);
    fill_uniform(gen, B.data(), K * N);
    benchmark::DoNotOptimize(B.data());
  }
}
void BM_Outside_AbsDiffSum(benchmark::State& state) {
  const auto P = random_matrix(std::int64_t{M} * N, 4);
  const auto Q = random_matrix(std::int64_t{M} * N, 5);
  for (auto _ : state) {
    benchmark::DoNotOptimize(abs_diff_sum(P.data(), Q.data(), M * N));
  }
}
BENCHMARK(BM_Outside_CreateMatrices)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Outside_RandomFill)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Outside_AbsDiffSum)->Unit(benchmark::kMillisecond);

#if defined(__x86_64__) && defined(__GNUC__)
// The core's actual clock (turbo included), which the FP64 peak of the
// library's kernels is stated against.
void BM_CoreClock(benchmark::State& state) {
  constexpr std::int64_t kAdds = 100000000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(clock_chain(kAdds));
  }
  state.counters["GHz"] = benchmark::Counter(static_cast<double>(kAdds) * 1e-9,
                                             benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CoreClock)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK(BM_StreamRead)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Simple_Program)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Dgemm_Program)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Simple_Square)
    ->RangeMultiplier(2)
    ->Range(64, 2048)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Dgemm_Square)
    ->RangeMultiplier(2)
    ->Range(64, 2048)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// BENCHMARK_MAIN, plus what produced the figures in the output's context.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  for (const auto& fact : build_facts()) {
    benchmark::AddCustomContext(fact.first, fact.second);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
