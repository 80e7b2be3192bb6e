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

using ReadPass = double (*)(const double*, std::int64_t);

// One core reading a buffer the size of B front to back, pass after pass,
// for `seconds`: the bytes over the whole time, as the naive loop streams B
// for the whole of its multiply; and the fastest pass, a burst.
ReadRate sustained_read(const char* build, int load_bits, ReadPass pass,
                        const std::vector<double>& buffer, double seconds) {
  const auto count = static_cast<std::int64_t>(buffer.size());
  const double bytes = static_cast<double>(buffer.size() * sizeof(double));
  double sink = pass(buffer.data(), count);  // warm: pages and the loop's code
  double total = 0.0;
  double best = 0.0;
  const Clock::time_point begin = Clock::now();
  double elapsed = 0.0;
  do {
    const Clock::time_point start = Clock::now();
    sink += pass(buffer.data(), count);
    const double s = seconds_since(start);
    total += bytes;
    best = std::max(best, bytes / s * 1e-9);
    elapsed = seconds_since(begin);
  } while (elapsed < seconds);
  if (sink == -1.0) {  // keeps the sums alive
    std::puts("");
  }
  return {build, load_bits, total / elapsed * 1e-9, best};
}

std::vector<ReadRate> read_rates(double seconds) {
  std::vector<double> buffer(static_cast<std::size_t>(K) * N);
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    buffer[i] = static_cast<double>(i & 1023);
  }
  std::vector<ReadRate> rates;
#ifdef MATMUL_LIMITS_X86
  rates.push_back(sustained_read("x86-64", 128, stream_read_pass, buffer, seconds));
  if (cpu_supports_feature("avx2")) {
    rates.push_back(sustained_read("avx2", 256, stream_read_pass_avx2, buffer, seconds));
  }
  if (cpu_supports_feature("avx512f")) {
    rates.push_back(sustained_read("avx512", 512, stream_read_pass_avx512, buffer, seconds));
  }
#elif defined(MATMUL_LIMITS_ARM64)
  rates.push_back(sustained_read("neon", 128, stream_read_pass, buffer, seconds));
#else
  rates.push_back(sustained_read("generic", 0, stream_read_pass, buffer, seconds));
#endif
  return rates;
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
// on `threads` threads at once, each calling it in short slices until
// `seconds` have passed: what the cores sustain, clock drops under load
// included.
double sustained_gflops(ChainKernel kernel, int lanes, int flops_per_step, int threads,
                        double seconds) {
  // Read at run time, so that no compiler can fold the chains away.
  volatile double m_source = 0.999999;
  volatile double a_source = 1e-6;
  const double m = m_source, a = a_source;
  // About 5 ms a slice at a few GHz.
  const std::int64_t slice = 1000000;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::vector<double> sinks(static_cast<std::size_t>(threads));
  std::vector<std::int64_t> slices(static_cast<std::size_t>(threads));
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      ready.fetch_add(1);
      while (!go.load()) {
      }
      const auto i = static_cast<std::size_t>(t);
      do {
        sinks[i] += kernel(slice, m, a);
        ++slices[i];
      } while (!stop.load());
    });
  }
  while (ready.load() < threads) {
  }
  const Clock::time_point start = Clock::now();
  go.store(true);
  while (seconds_since(start) < seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop.store(true);
  for (std::thread& th : pool) {
    th.join();
  }
  const double s = seconds_since(start);
  double steps = 0.0;
  for (const std::int64_t n : slices) {
    steps += static_cast<double>(n) * static_cast<double>(slice);
  }
  if (sinks[0] == -1.0) {
    std::puts("");
  }
  return steps * kChains * lanes * flops_per_step / s * 1e-9;
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

const ReadRate& MachineLimits::memory_roof() const {
  return *std::max_element(reads.begin(), reads.end(),
                           [](const ReadRate& a, const ReadRate& b) { return a.gbs < b.gbs; });
}

MachineLimits measure_limits(const LimitsRequest& request) {
  MachineLimits limits{};
  limits.compute_seconds = request.compute_seconds;
  limits.memory_seconds = request.memory_seconds;
  // Widths the CPU and OS support, whether each is measured with FMA, and
  // its peak at each thread count.
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
    for (const int threads : request.threads) {
      limits.compute_roofs.push_back(
          {width, fma, threads,
           sustained_gflops(kernel, width / 64, fma ? 2 : 1, threads, request.compute_seconds)});
    }
  }
  limits.fma = fma;
#elif defined(MATMUL_LIMITS_ARM64)
  limits.fma = true;
  for (const int threads : request.threads) {
    limits.compute_roofs.push_back(
        {128, true, threads, sustained_gflops(fma128, 2, 2, threads, request.compute_seconds)});
  }
#endif
  limits.core_clock_ghz = core_clock_ghz();
  limits.reads = read_rates(request.memory_seconds);
  limits.memory_buffer_bytes = static_cast<double>(K) * N * sizeof(double);
  return limits;
}
