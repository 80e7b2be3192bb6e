// One benchmark run: create and fill the matrices, time the naive multiply
// and cblas_dgemm on them, print the report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "problem.hpp"
#include "random_fill.hpp"

// Exit statuses, so that scripts can tell the failures apart.
constexpr int kExitOk = 0;
constexpr int kExitUnexpected = 1;  // anything not listed below
constexpr int kExitNoMemory = 2;    // the matrices could not be created
constexpr int kExitNoSeed = 3;      // the random source gave no seed
constexpr int kExitReportLost = 4;  // the report could not be written

// Performs the run once, writing the report to `out` and any failure as one
// line on `err`. Returns the exit status.
int run_benchmark(SeedSource seed_source, std::FILE* out, std::FILE* err);

// run_benchmark, with any exception that escapes it turned into a message
// and kExitUnexpected instead of std::terminate.
int run_benchmark_guarded(SeedSource seed_source, std::FILE* out, std::FILE* err);
