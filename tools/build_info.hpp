// What produced a figure: the build's own facts, recorded when it was
// configured, and the library's account of itself, asked at run time.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Name and value pairs, in a fixed order: project_version, build_type,
// compiler, kernel_flags (every target's), naive_variants_built,
// naive_variant (the build of the naive loop chosen for this CPU),
// naive_variant_flags (its own flags); for OpenBLAS openblas_version,
// openblas_config, openblas_core and openblas_threads; for any library
// library_name, library_version, library_config, library_kernels (empty:
// none), library_kernel_variable,
// library_kernel_choices, library_threads, library_thread_variables;
// cpu_features (those of avx, avx2, fma and avx512f that this CPU and OS
// support); then the problem, for tools in other
// languages: problem_shape ("M K N"), problem_flop, problem_matrix_bytes
// and report_format (the three lines' printf formats).
std::vector<std::pair<std::string, std::string>> build_facts();
