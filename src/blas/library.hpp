// The optimised library behind the benchmark's second product, and what it
// says about itself. One implementation per library (one file each here);
// every program links exactly one, so the rest of the program is the same
// for all of them.
#pragma once

#include <cstdint>
#include <string>

#include "memory_check.hpp"

// C = A * B for row-major A (m x k) and B (k x n), through the library's
// cblas_dgemm with alpha 1 and beta 0.
void library_multiply(const double* A, const double* B, std::int32_t m, std::int32_t k,
                      std::int32_t n, double* C);

// The library's name ("OpenBLAS", "BLIS", ...) and version.
const char* library_name();
std::string library_version();
// How it was built, where it says: OpenBLAS's configuration string.
std::string library_config();
// The kernel set it chose for this CPU at run time (OpenBLAS's core, BLIS's
// sub-configuration) or was built for (ATLAS); empty where it has none.
std::string library_kernels();
// The environment variable that selects another kernel set, and the values
// it takes where they are not the kernel sets' names ("6 zen3, ..."); empty
// if none.
const char* library_kernel_variable();
std::string library_kernel_choices();

// The threads its multiply runs on, and the environment variables that set
// them, in the order the library reads them; empty if the count is fixed.
int library_threads();
const char* library_thread_variables();

// What its multiply adds to the process's memory, for the memory check.
MultiplyMemory library_memory();
