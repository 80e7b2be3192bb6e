#include "cpu.hpp"

#include <cstring>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_AMD64))
#include <immintrin.h>
#include <intrin.h>

namespace {
// libgcc's checks, by hand: CPUID's feature bits, and XCR0 for the OS
// saving the YMM (bits 1-2) and opmask/ZMM (bits 5-7) state.
bool supports_v3_or_v4(bool v4) {
  int r[4];
  __cpuid(r, 0);
  if (r[0] < 7) {
    return false;
  }
  __cpuid(r, 1);
  const unsigned ecx1 = static_cast<unsigned>(r[2]);
  const bool osxsave = (ecx1 >> 27) & 1u;
  if (!osxsave || !((ecx1 >> 28) & 1u) || !((ecx1 >> 12) & 1u) || !((ecx1 >> 29) & 1u) ||
      !((ecx1 >> 22) & 1u)) {
    return false;  // AVX, FMA, F16C, MOVBE
  }
  const unsigned long long xcr0 = _xgetbv(0);
  if ((xcr0 & 0x6) != 0x6) {
    return false;
  }
  __cpuid(r, static_cast<int>(0x80000001u));
  if (!((static_cast<unsigned>(r[2]) >> 5) & 1u)) {
    return false;  // LZCNT
  }
  __cpuidex(r, 7, 0);
  const unsigned ebx7 = static_cast<unsigned>(r[1]);
  const unsigned want_v3 = (1u << 3) | (1u << 5) | (1u << 8);  // BMI1, AVX2, BMI2
  if ((ebx7 & want_v3) != want_v3) {
    return false;
  }
  if (!v4) {
    return true;
  }
  const unsigned want_v4 = (1u << 16) | (1u << 17) | (1u << 28) | (1u << 30) | (1u << 31);
  return (xcr0 & 0xe6) == 0xe6 && (ebx7 & want_v4) == want_v4;  // F, DQ, CD, BW, VL
}
}  // namespace

bool cpu_supports_feature(const char* feature) {
  int r[4];
  __cpuid(r, 1);
  const unsigned ecx1 = static_cast<unsigned>(r[2]);
  const bool avx = ((ecx1 >> 27) & 1u) && ((ecx1 >> 28) & 1u) && (_xgetbv(0) & 0x6) == 0x6;
  if (std::strcmp(feature, "avx") == 0) {
    return avx;
  }
  if (std::strcmp(feature, "fma") == 0) {
    return avx && ((ecx1 >> 12) & 1u);
  }
  __cpuidex(r, 7, 0);
  const unsigned ebx7 = static_cast<unsigned>(r[1]);
  if (std::strcmp(feature, "avx2") == 0) {
    return avx && ((ebx7 >> 5) & 1u);
  }
  if (std::strcmp(feature, "avx512f") == 0) {
    return avx && (_xgetbv(0) & 0xe6) == 0xe6 && ((ebx7 >> 16) & 1u);
  }
  return false;
}

bool cpu_supports_level(const char* level) {
  if (std::strcmp(level, "x86-64-v3") == 0) {
    return supports_v3_or_v4(false);
  }
  if (std::strcmp(level, "x86-64-v4") == 0) {
    return supports_v3_or_v4(true);
  }
  return true;
}

#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))

// libgcc's (and compiler-rt's) CPU model checks the OS's register saving too.
bool cpu_supports_feature(const char* feature) {
  __builtin_cpu_init();
  const bool avx = __builtin_cpu_supports("avx");
  if (std::strcmp(feature, "avx") == 0) {
    return avx;
  }
  if (std::strcmp(feature, "fma") == 0) {
    return avx && __builtin_cpu_supports("fma");
  }
  if (std::strcmp(feature, "avx2") == 0) {
    return __builtin_cpu_supports("avx2");
  }
  if (std::strcmp(feature, "avx512f") == 0) {
    return __builtin_cpu_supports("avx512f");
  }
  return false;
}

bool cpu_supports_level(const char* level) {
  __builtin_cpu_init();  // may run from a static initializer, before libgcc's
  if (std::strcmp(level, "x86-64-v3") == 0) {
#if !defined(__clang__) && __GNUC__ >= 12
    return __builtin_cpu_supports("x86-64-v3");
#else
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
           __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#endif
  }
  if (std::strcmp(level, "x86-64-v4") == 0) {
#if !defined(__clang__) && __GNUC__ >= 12
    return __builtin_cpu_supports("x86-64-v4");
#else
    return cpu_supports_level("x86-64-v3") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#endif
  }
  return true;
}

#else

// Not x86-64: a single build for the target, which always runs.
bool cpu_supports_feature(const char* /*feature*/) {
  return false;
}

bool cpu_supports_level(const char* level) {
  return std::strcmp(level, "x86-64-v3") != 0 && std::strcmp(level, "x86-64-v4") != 0;
}

#endif
