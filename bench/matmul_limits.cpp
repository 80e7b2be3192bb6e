// matmul-limits: this machine's own limits for the benchmark's two figures,
// measured in a few seconds:
//   - the memory roof: one core's streaming read rate over a buffer the size
//     of B, which bounds the naive loop (it streams B once per row of A);
//   - the compute roofs: the double-precision peak of fused multiply-adds
//     (or, without FMA, of separate multiplies and adds) at each vector
//     width that the CPU and OS support, on as many threads as the library
//     uses, one per thread;
//   - the core clock.
// It prints a table and, with --json FILE, writes the same as JSON.
//
// Usage: matmul-limits [--threads N] [--json FILE]
#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MATMUL_LIMITS_X86 1
#elif defined(__aarch64__) && defined(__GNUC__)
#include <arm_neon.h>
#define MATMUL_LIMITS_ARM64 1
#endif

#include "run.hpp"

namespace {

constexpr const char* kUsage = "usage: matmul-limits [--threads N] [--json FILE]";
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// --- Memory roof -----------------------------------------------------------

// GB/s of one core reading a buffer the size of B front to back with
// independent accumulators: the best pass of those in half a second, since
// one pass takes only milliseconds and this machine's neighbours come and go.
// Kept out of main, so that a test can find its loop in the linked program.
#if defined(__GNUC__)
#define MATMUL_NOINLINE __attribute__((noinline))
#else
#define MATMUL_NOINLINE
#endif
MATMUL_NOINLINE double stream_read_gbs() {
  std::vector<double> buffer(static_cast<std::size_t>(K) * N);
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    buffer[i] = static_cast<double>(i & 1023);
  }
  constexpr int kLanes = 16;
  double best = 0.0;
  double sink = 0.0;
  const Clock::time_point begin = Clock::now();
  for (int pass = 0; pass < 8 || seconds_since(begin) < 0.5; ++pass) {
    double acc[kLanes] = {};
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i + kLanes <= buffer.size(); i += kLanes) {
      for (int j = 0; j < kLanes; ++j) {
        acc[j] += buffer[i + j];
      }
    }
    const double s = seconds_since(start);
    for (const double a : acc) {
      sink += a;
    }
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

// GHz: a chain of dependent integer adds retires one per cycle on any
// x86-64 core, so its rate is the core's actual clock. 0 where unmeasured.
double core_clock_ghz() {
#ifdef MATMUL_LIMITS_X86
  constexpr std::int64_t kAdds = 200000000;
  double best = 0.0;
  for (int trial = 0; trial < 3; ++trial) {
    std::uint64_t x = 0;
    const Clock::time_point start = Clock::now();
    for (std::int64_t i = 0; i < kAdds; i += 10) {
      asm volatile(
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
          : "+r"(x));
    }
    best = std::max(best, static_cast<double>(kAdds) / seconds_since(start) * 1e-9);
  }
  return best;
#else
  return 0.0;
#endif
}

int usage_error(const char* why, const char* what) {
  std::fprintf(stderr, "matmul-limits: %s%s%s\n%s\n", why, what[0] != '\0' ? ": " : "", what,
               kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int threads = openblas_get_num_threads();
  const char* json_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      const long v = std::strtol(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || end == argv[i] || v < 1 || v > 1024) {
        return usage_error("--threads needs a count from 1 to 1024", argv[i]);
      }
      threads = static_cast<int>(v);
    } else if (arg == "--json" && i + 1 < argc && argv[i + 1][0] != '\0') {
      json_path = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::printf("%s\n", kUsage);
      return 0;
    } else {
      return usage_error("unknown or incomplete argument", argv[i]);
    }
  }
  threads = std::max(1, threads);

  // Widths the CPU and OS support (libgcc checks the OS's register saving),
  // whether each is measured with FMA, and its peak.
  std::vector<int> widths;
  std::vector<double> peaks;
  bool have_fma = false;
#ifdef MATMUL_LIMITS_X86
  __builtin_cpu_init();
  have_fma = __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx");
  widths.push_back(128);
  if (__builtin_cpu_supports("avx")) {
    widths.push_back(256);
  }
  if (have_fma && __builtin_cpu_supports("avx512f")) {
    widths.push_back(512);
  }
  for (const int width : widths) {
    const ChainKernel kernel = width == 512   ? fma512
                               : width == 256 ? (have_fma ? fma256 : muladd256)
                                              : (have_fma ? fma128 : muladd128);
    peaks.push_back(peak_gflops(kernel, width / 64, have_fma ? 2 : 1, threads));
  }
#elif defined(MATMUL_LIMITS_ARM64)
  have_fma = true;
  widths.push_back(128);
  peaks.push_back(peak_gflops(fma128, 2, 2, threads));
#endif
  const double clock_ghz = core_clock_ghz();
  const double stream_gbs = stream_read_gbs();
  const double buffer_bytes = static_cast<double>(K) * N * sizeof(double);

  std::printf("memory roof (one core reading %.0f MB)   %10.1f GB/s\n", buffer_bytes * 1e-6,
              stream_gbs);
  for (std::size_t i = 0; i < widths.size(); ++i) {
    std::printf("compute roof, %3d-bit %s, %d threads %10.1f GFLOP/s\n", widths[i],
                have_fma ? "FMA      " : "mul + add", threads, peaks[i]);
  }
  if (widths.empty()) {
    std::printf("compute roofs: not measured on this architecture\n");
  } else if (!have_fma) {
    std::printf("no fused multiply-add on this CPU: separate multiplies and adds measured\n");
  }
  if (clock_ghz > 0) {
    std::printf("core clock                               %10.2f GHz\n", clock_ghz);
  }

  if (json_path != nullptr) {
    const std::string tmp = std::string(json_path) + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
      std::fprintf(stderr, "matmul-limits: cannot write %s: %s\n", json_path, std::strerror(errno));
      return 1;
    }
    std::fprintf(f, "{\n  \"threads\": %d,\n  \"fma\": %s,\n", threads,
                 have_fma ? "true" : "false");
    std::fprintf(f, "  \"memory_roof_gbs\": %.3f,\n  \"memory_buffer_bytes\": %.0f,\n", stream_gbs,
                 buffer_bytes);
    if (clock_ghz > 0) {
      std::fprintf(f, "  \"core_clock_ghz\": %.3f,\n", clock_ghz);
    } else {
      std::fprintf(f, "  \"core_clock_ghz\": null,\n");
    }
    std::fprintf(f, "  \"compute_roofs\": [");
    for (std::size_t i = 0; i < widths.size(); ++i) {
      std::fprintf(f, "%s\n    {\"width_bits\": %d, \"fma\": %s, \"gflops\": %.3f}",
                   i == 0 ? "" : ",", widths[i], have_fma ? "true" : "false", peaks[i]);
    }
    std::fprintf(f, "%s]\n}\n", widths.empty() ? "" : "\n  ");
    const bool written = std::fflush(f) == 0 && std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), json_path) != 0) {
      std::fprintf(stderr, "matmul-limits: cannot write %s\n", json_path);
      (void)std::remove(tmp.c_str());
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
