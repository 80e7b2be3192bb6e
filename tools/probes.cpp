#include "probes.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/cpu.hpp"
#include "problem.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MATMUL_LIMITS_X86 1
#elif defined(__aarch64__) && defined(__GNUC__)
#include <arm_neon.h>
#define MATMUL_LIMITS_ARM64 1
#endif

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// --- Memory roof -----------------------------------------------------------

// GB/s of one core reading a buffer the size of B front to back: the best
// pass of those in half a second, since one pass takes only milliseconds
// and this machine's neighbours come and go.
double stream_read_gbs() {
  std::vector<double> buffer(static_cast<std::size_t>(K) * N);
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    buffer[i] = static_cast<double>(i & 1023);
  }
  const auto count = static_cast<std::int64_t>(buffer.size());
  double best = 0.0;
  double sink = 0.0;
  const Clock::time_point begin = Clock::now();
  for (int pass = 0; pass < 8 || seconds_since(begin) < 0.5; ++pass) {
    const Clock::time_point start = Clock::now();
    sink += stream_read_pass(buffer.data(), count);
    const double s = seconds_since(start);
    best = std::max(best, static_cast<double>(buffer.size() * sizeof(double)) / s * 1e-9);
  }
  if (sink == -1.0) {  // keeps the sums alive
    std::puts("");
  }
  return best;
}

// --- Compute roofs -----------------------------------------------------------

#if defined(MATMUL_LIMITS_X86) || defined(MATMUL_LIMITS_ARM64)
// Each kernel runs `iterations` rounds of kChains independent dependency
// chains and returns a value that depends on all of them. Chains: enough
// to cover an FMA latency of 4-5 cycles on two pipes, within the registers.
constexpr int kChains = 12;

// One kernel per vector type and operation: STEP updates chain x[c]; the
// fully unrolled chains stay in registers.
#define MATMUL_CHAIN_KERNEL(NAME, TARGET, VEC, SET1, ADD, STORE, ...) \
  TARGET double NAME(std::int64_t iterations, double m, double a) {   \
    const VEC vm = SET1(m), va = SET1(a);                             \
    VEC x[kChains];                                                   \
    for (int c = 0; c < kChains; ++c) {                               \
      x[c] = SET1(1.0 + c * 1e-3);                                    \
    }                                                                 \
    for (std::int64_t r = 0; r < iterations; ++r) {                   \
      _Pragma("GCC unroll 12") for (int c = 0; c < kChains; ++c) {    \
        x[c] = __VA_ARGS__;                                           \
      }                                                               \
    }                                                                 \
    VEC s = SET1(0.0);                                                \
    for (int c = 0; c < kChains; ++c) {                               \
      s = ADD(s, x[c]);                                               \
    }                                                                 \
    double lanes[8];                                                  \
    STORE(lanes, s);                                                  \
    return lanes[0];                                                  \
  }

#ifdef MATMUL_LIMITS_X86
MATMUL_CHAIN_KERNEL(fma128, __attribute__((target("fma"))), __m128d, _mm_set1_pd, _mm_add_pd,
                    _mm_storeu_pd, _mm_fmadd_pd(x[c], vm, va))
MATMUL_CHAIN_KERNEL(fma256, __attribute__((target("avx,fma"))), __m256d, _mm256_set1_pd,
                    _mm256_add_pd, _mm256_storeu_pd, _mm256_fmadd_pd(x[c], vm, va))
MATMUL_CHAIN_KERNEL(fma512, __attribute__((target("avx512f"))), __m512d, _mm512_set1_pd,
                    _mm512_add_pd, _mm512_storeu_pd, _mm512_fmadd_pd(x[c], vm, va))
// Without FMA: half the chains multiply, half add; each counts one flop.
MATMUL_CHAIN_KERNEL(muladd128, , __m128d, _mm_set1_pd, _mm_add_pd, _mm_storeu_pd,
                    c % 2 == 0 ? _mm_mul_pd(x[c], vm) : _mm_add_pd(x[c], va))
MATMUL_CHAIN_KERNEL(muladd256, __attribute__((target("avx"))), __m256d, _mm256_set1_pd,
                    _mm256_add_pd, _mm256_storeu_pd,
                    c % 2 == 0 ? _mm256_mul_pd(x[c], vm) : _mm256_add_pd(x[c], va))
#else
// AArch64: Advanced SIMD, 128 bits, always there, with FMA.
MATMUL_CHAIN_KERNEL(fma128, , float64x2_t, vdupq_n_f64, vaddq_f64, vst1q_f64,
                    vfmaq_f64(va, x[c], vm))
#endif

using ChainKernel = double (*)(std::int64_t, double, double);

// GFLOP/s of `kernel` (lanes doubles per chain step, flops_per_step each)
// run on `threads` threads at once, best of a few trials.
double peak_gflops(ChainKernel kernel, int lanes, int flops_per_step, int threads) {
  // Read at run time, so that no compiler can fold the chains away.
  volatile double m_source = 0.999999;
  volatile double a_source = 1e-6;
  const double m = m_source, a = a_source;
  // About 0.2 s per trial at a few GHz.
  const std::int64_t iterations = 40000000;
  double best = 0.0;
  for (int trial = 0; trial < 3; ++trial) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<double> sinks(static_cast<std::size_t>(threads));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        ready.fetch_add(1);
        while (!go.load()) {
        }
        sinks[static_cast<std::size_t>(t)] = kernel(iterations, m, a);
      });
    }
    while (ready.load() < threads) {
    }
    const Clock::time_point start = Clock::now();
    go.store(true);
    for (std::thread& th : pool) {
      th.join();
    }
    const double s = seconds_since(start);
    const double flops = static_cast<double>(iterations) * kChains * lanes * flops_per_step *
                         static_cast<double>(threads);
    best = std::max(best, flops / s * 1e-9);
    if (sinks[0] == -1.0) {
      std::puts("");
    }
  }
  return best;
}

#endif  // x86-64 or AArch64

// --- Core clock --------------------------------------------------------------

// GHz: the rate of a chain of dependent integer adds. 0 where unmeasured.
double core_clock_ghz() {
#ifdef MATMUL_LIMITS_X86
  constexpr std::int64_t kAdds = 200000000;
  double best = 0.0;
  for (int trial = 0; trial < 3; ++trial) {
    const Clock::time_point start = Clock::now();
    if (clock_chain(kAdds) == 0) {
      std::puts("");
    }
    best = std::max(best, static_cast<double>(kAdds) / seconds_since(start) * 1e-9);
  }
  return best;
#else
  return 0.0;
#endif
}

}  // namespace

MachineLimits measure_limits(int threads) {
  MachineLimits limits{};
  limits.threads = std::max(1, threads);
  threads = limits.threads;
  // Widths the CPU and OS support, whether each is measured with FMA, and
  // its peak.
#ifdef MATMUL_LIMITS_X86
  const bool fma = cpu_supports_feature("fma");
  std::vector<int> widths{128};
  if (cpu_supports_feature("avx")) {
    widths.push_back(256);
  }
  if (fma && cpu_supports_feature("avx512f")) {
    widths.push_back(512);
  }
  for (const int width : widths) {
    const ChainKernel kernel = width == 512   ? fma512
                               : width == 256 ? (fma ? fma256 : muladd256)
                                              : (fma ? fma128 : muladd128);
    limits.compute_roofs.push_back(
        {width, fma, peak_gflops(kernel, width / 64, fma ? 2 : 1, threads)});
  }
  limits.fma = fma;
#elif defined(MATMUL_LIMITS_ARM64)
  limits.fma = true;
  limits.compute_roofs.push_back({128, true, peak_gflops(fma128, 2, 2, threads)});
#endif
  limits.core_clock_ghz = core_clock_ghz();
  limits.memory_roof_gbs = stream_read_gbs();
  limits.memory_buffer_bytes = static_cast<double>(K) * N * sizeof(double);
  return limits;
}
