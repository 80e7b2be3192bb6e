// This machine's own limits, measured in a few seconds: what matmul-limits
// reports and the harness sets beside its figures. One implementation, so
// that both tools measure the same roofs the same way.
#pragma once

#include <cstdint>
#include <vector>

// One compute roof: the double-precision peak at one vector width.
struct ComputeRoof {
  int width_bits;
  bool fma;  // fused multiply-adds; else separate multiplies and adds
  double gflops;
};

struct MachineLimits {
  int threads;
  bool fma;
  double memory_roof_gbs;  // one core streaming a buffer the size of B
  double memory_buffer_bytes;
  double core_clock_ghz;                   // 0 where not measured
  std::vector<ComputeRoof> compute_roofs;  // narrowest first; none where not measured
};

// Every limit, the compute roofs on `threads` threads at once.
MachineLimits measure_limits(int threads);

// One pass over `count` doubles, front to back with independent
// accumulators, as the naive loop reads B; returns their sum.
double stream_read_pass(const double* data, std::int64_t count);

// `adds` dependent integer adds, one per cycle on any x86-64 core: their
// rate is the core's clock. Returns the final count; 0 elsewhere.
std::uint64_t clock_chain(std::int64_t adds);
