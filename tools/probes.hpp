// This machine's own limits: what matmul-limits reports and the harness
// sets beside its figures. One implementation, so that both tools measure
// the same roofs the same way.
//
// Each roof is sustained: the rate over a stretch of work as long as the
// figure it bounds, not the best of a few short bursts, so that a figure
// and its roof are the same kind of number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One build of the streaming read: the loads it is compiled for, and what
// it sustained.
struct ReadRate {
  std::string build;  // "x86-64", "avx2", "avx512", "neon"
  int load_bits;
  double gbs;        // bytes over seconds across the whole stretch
  double burst_gbs;  // its fastest single pass: a burst, never a roof
};

// One compute roof: the double-precision peak at one vector width on one
// count of threads.
struct ComputeRoof {
  int width_bits;
  bool fma;  // fused multiply-adds; else separate multiplies and adds
  int threads;
  double gflops;
};

struct LimitsRequest {
  std::vector<int> threads{1};   // a compute roof for each count
  double memory_seconds = 1.5;   // per build of the read loop
  double compute_seconds = 0.3;  // per width and thread count
};

struct MachineLimits {
  bool fma;
  double memory_buffer_bytes;
  double memory_seconds;
  double compute_seconds;
  std::vector<ReadRate> reads;             // every build this CPU runs
  double core_clock_ghz;                   // 0 where not measured
  std::vector<ComputeRoof> compute_roofs;  // narrowest first; none where not measured

  // The roof is the hardware's, not one compiler's: the best build's.
  const ReadRate& memory_roof() const;
};

MachineLimits measure_limits(const LimitsRequest& request);

// One pass over `count` doubles, front to back with independent
// accumulators, as the naive loop reads B; returns their sum. Built for
// the x86-64 baseline (128-bit loads).
double stream_read_pass(const double* data, std::int64_t count);
#if defined(__x86_64__) && defined(__GNUC__)
// The same pass with 256-bit (AVX2) and 512-bit (AVX-512) loads; call
// only where the CPU has them.
double stream_read_pass_avx2(const double* data, std::int64_t count);
double stream_read_pass_avx512(const double* data, std::int64_t count);
#endif

// `adds` dependent integer adds, one per cycle on any x86-64 core: their
// rate is the core's clock. Returns the final count; 0 elsewhere.
std::uint64_t clock_chain(std::int64_t adds);
