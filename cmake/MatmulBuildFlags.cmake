# matmul::build_flags carries the settings every target of ours shares.
include(CheckCXXCompilerFlag)

add_library(matmul_build_flags INTERFACE)
add_library(matmul::build_flags ALIAS matmul_build_flags)
target_compile_features(matmul_build_flags INTERFACE cxx_std_17)

if(MSVC)
  # /fp:precise keeps every product rounded before it is added.
  target_compile_options(matmul_build_flags INTERFACE /W4 /fp:precise
                         $<$<BOOL:${MATMUL_BENCH_WERROR}>:/WX>)
else()
  # No fused multiply-add anywhere: results must be exactly what the source
  # says, whatever instruction set the compiler targets.
  target_compile_options(matmul_build_flags INTERFACE -Wall -Wextra -Wpedantic
                         -ffp-contract=off $<$<BOOL:${MATMUL_BENCH_WERROR}>:-Werror>)
endif()

# The naive loop is the baseline the library is measured against, so it is
# compiled as well as the compiler can compile it for the CPU that runs it.
# On x86-64 it is built once per instruction-set level and the best one the
# CPU supports runs (MATMUL_NAIVE_LEVELS below): as fast as a build for the
# host (measured: docs/performance.md), and the same program runs anywhere.
# Elsewhere a build tunes for the host CPU, unless it is portable or cross.
set(_matmul_x86_64 FALSE)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64)$")
  set(_matmul_x86_64 TRUE)
endif()
set(MATMUL_BENCH_ARCH_FLAG "")
if(NOT _matmul_x86_64 AND NOT MATMUL_BENCH_PORTABLE AND NOT CMAKE_CROSSCOMPILING AND NOT MSVC)
  check_cxx_compiler_flag(-march=native MATMUL_HAVE_MARCH_NATIVE)
  if(MATMUL_HAVE_MARCH_NATIVE)
    set(MATMUL_BENCH_ARCH_FLAG -march=native)
  endif()
endif()
# std::vector storage is only 16-byte aligned, so 512-bit loads would
# straddle two cache lines on every access; 256-bit ones straddle half as
# often and stream B faster (measured: docs/performance.md). A no-op on
# CPUs without AVX-512.
check_cxx_compiler_flag(-mprefer-vector-width=256 MATMUL_HAVE_PREFER_VECTOR_WIDTH)
set(_matmul_prefer_256 "")
if(MATMUL_HAVE_PREFER_VECTOR_WIDTH)
  set(_matmul_prefer_256 -mprefer-vector-width=256)
endif()

# The naive loop's builds, lowest level first: MATMUL_NAIVE_LEVELS, and for
# each level its compiler flags in MATMUL_NAIVE_FLAGS_<level>. simple_multiply
# runs the highest one that the CPU and OS support (src/kernels/naive.cpp).
set(MATMUL_NAIVE_LEVELS "")
macro(_matmul_naive_variant level)
  list(APPEND MATMUL_NAIVE_LEVELS ${level})
  set(MATMUL_NAIVE_FLAGS_${level} ${ARGN})
endmacro()
if(_matmul_x86_64)
  if(MSVC)
    _matmul_naive_variant(x86-64)
    _matmul_naive_variant(x86-64-v3 /arch:AVX2)
    _matmul_naive_variant(x86-64-v4 /arch:AVX512)
  else()
    # Named, so that no toolchain default can raise the baseline.
    _matmul_naive_variant(x86-64 -march=x86-64 -mtune=generic)
    check_cxx_compiler_flag(-march=x86-64-v3 MATMUL_HAVE_MARCH_V3)
    check_cxx_compiler_flag(-march=x86-64-v4 MATMUL_HAVE_MARCH_V4)
    if(MATMUL_HAVE_MARCH_V3)
      _matmul_naive_variant(x86-64-v3 -march=x86-64-v3)
    endif()
    if(MATMUL_HAVE_MARCH_V4)
      _matmul_naive_variant(x86-64-v4 -march=x86-64-v4 ${_matmul_prefer_256})
    endif()
  endif()
  message(STATUS "Code generation: x86-64 baseline; the naive loop for ${MATMUL_NAIVE_LEVELS}, "
                 "chosen at run time")
elseif(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$" AND NOT MSVC)
  # A cross build for 64-bit Arm targets the architecture's baseline, named
  # so that no toolchain default can raise it.
  target_compile_options(matmul_build_flags INTERFACE -march=armv8-a)
  _matmul_naive_variant(armv8-a)
  message(STATUS "Code generation: portable (-march=armv8-a)")
elseif(MATMUL_BENCH_ARCH_FLAG)
  list(APPEND MATMUL_BENCH_ARCH_FLAG ${_matmul_prefer_256})
  target_compile_options(matmul_build_flags INTERFACE ${MATMUL_BENCH_ARCH_FLAG})
  _matmul_naive_variant(native)
  message(STATUS "Code generation: tuned for this machine (${MATMUL_BENCH_ARCH_FLAG})")
else()
  _matmul_naive_variant(baseline)
  message(STATUS "Code generation: portable")
endif()

# GCC's -O3 unroll-and-jam would keep C[i*N + j] in a register across two
# updates (two p at once): a blocked loop, not the plain one. Off in every
# build of it; a test reads the compiler's report to see that it stays off.
check_cxx_compiler_flag(-fno-loop-unroll-and-jam MATMUL_HAVE_NO_UNROLL_AND_JAM)
set(MATMUL_NAIVE_LOOP_FLAGS "")
if(MATMUL_HAVE_NO_UNROLL_AND_JAM)
  list(APPEND MATMUL_NAIVE_LOOP_FLAGS -fno-loop-unroll-and-jam)
endif()
check_cxx_compiler_flag(-fopt-info-loop-optimized MATMUL_HAVE_OPT_INFO)

# A short hot loop that straddles a 64-byte boundary is fetched as two
# blocks on every pass: measured, a fifth of the naive loop's speed on
# Zen 5, so the figure moved with wherever the linker put the loop
# (docs/performance.md). Every loop of the naive loop's builds and of the
# streaming probes starts on a 64-byte boundary instead, whatever the
# layout; a test reads the linked programs to check it. MSVC has no such
# option (docs/building.md).
set(MATMUL_HOT_LOOP_FLAGS "")
if(MATMUL_BENCH_ALIGN_HOT_LOOPS AND NOT MSVC)
  check_cxx_compiler_flag(-falign-loops=64 MATMUL_HAVE_ALIGN_LOOPS)
  if(MATMUL_HAVE_ALIGN_LOOPS)
    set(MATMUL_HOT_LOOP_FLAGS -falign-loops=64)
  endif()
endif()
list(APPEND MATMUL_NAIVE_LOOP_FLAGS ${MATMUL_HOT_LOOP_FLAGS})

if(MATMUL_BENCH_SANITIZE)
  if(MSVC)
    target_compile_options(matmul_build_flags INTERFACE /fsanitize=address)
  else()
    set(_matmul_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_compile_options(matmul_build_flags INTERFACE ${_matmul_san})
    target_link_options(matmul_build_flags INTERFACE ${_matmul_san})
  endif()
endif()
