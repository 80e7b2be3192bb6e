// Which x86-64 instruction-set levels and features this CPU and its
// operating system support, for choosing among builds of the same code and
// among the limits probe's kernels.
#pragma once

// True when code compiled for `level` runs here: "x86-64-v3" (AVX2, FMA,
// BMI1/2, ...) and "x86-64-v4" (AVX-512 F/BW/CD/DQ/VL) need both the CPU's
// instructions and the OS's saving of their registers. Any other name
// (the x86-64 baseline, a build for another architecture) always runs.
bool cpu_supports_level(const char* level);

// True when this CPU and its OS support `feature`: "avx", "avx2", "fma"
// (with AVX) or "avx512f" on x86-64. False for any other name, and off
// x86-64.
bool cpu_supports_feature(const char* feature);
