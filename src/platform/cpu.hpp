// Which x86-64 instruction-set levels this CPU and its operating system
// support, for choosing among builds of the same code.
#pragma once

// True when code compiled for `level` runs here: "x86-64-v3" (AVX2, FMA,
// BMI1/2, ...) and "x86-64-v4" (AVX-512 F/BW/CD/DQ/VL) need both the CPU's
// instructions and the OS's saving of their registers. Any other name
// (the x86-64 baseline, a build for another architecture) always runs.
bool cpu_supports_level(const char* level);
