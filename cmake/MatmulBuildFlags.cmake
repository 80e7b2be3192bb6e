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

# Tuning for the host CPU makes the naive baseline as fast as the compiler
# can make it; a portable build is for packagers and cross builds.
set(MATMUL_BENCH_ARCH_FLAG "")
if(NOT MATMUL_BENCH_PORTABLE AND NOT CMAKE_CROSSCOMPILING AND NOT MSVC)
  check_cxx_compiler_flag(-march=native MATMUL_HAVE_MARCH_NATIVE)
  if(MATMUL_HAVE_MARCH_NATIVE)
    set(MATMUL_BENCH_ARCH_FLAG -march=native)
  endif()
endif()
# A cross build for 64-bit Arm targets the architecture's baseline, named
# so that no toolchain default can raise it.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$" AND NOT MSVC)
  target_compile_options(matmul_build_flags INTERFACE -march=armv8-a)
  message(STATUS "Code generation: portable (-march=armv8-a)")
elseif(MATMUL_BENCH_ARCH_FLAG)
  # std::vector storage is only 16-byte aligned, so 512-bit loads would
  # straddle two cache lines on every access; 256-bit ones straddle half as
  # often and stream B faster (measured: README, Performance). A no-op on
  # CPUs without AVX-512.
  check_cxx_compiler_flag(-mprefer-vector-width=256 MATMUL_HAVE_PREFER_VECTOR_WIDTH)
  if(MATMUL_HAVE_PREFER_VECTOR_WIDTH)
    list(APPEND MATMUL_BENCH_ARCH_FLAG -mprefer-vector-width=256)
  endif()
  target_compile_options(matmul_build_flags INTERFACE ${MATMUL_BENCH_ARCH_FLAG})
  message(STATUS "Code generation: tuned for this machine (${MATMUL_BENCH_ARCH_FLAG})")
else()
  message(STATUS "Code generation: portable")
endif()

if(MATMUL_BENCH_SANITIZE)
  if(MSVC)
    target_compile_options(matmul_build_flags INTERFACE /fsanitize=address)
  else()
    set(_matmul_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_compile_options(matmul_build_flags INTERFACE ${_matmul_san})
    target_link_options(matmul_build_flags INTERFACE ${_matmul_san})
  endif()
endif()
