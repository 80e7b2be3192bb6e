// The three-line report and the conversion of counter ticks to milliseconds.
#pragma once

#include <cstdint>
#include <cstdio>

// Milliseconds between two counter readings: the tick difference in 64-bit
// integers, then (double)diff * 1000.0 / (double)frequency. No rounding to
// whole ticks or milliseconds.
double elapsed_ms(std::int64_t ta, std::int64_t tb, std::int64_t frequency);

// "simple: %f msec\n" then "blas: %f msec\n".
void print_times(std::FILE* out, double simple_ms, double blas_ms);

// The first of those lines alone, for tools that time only the naive loop.
void print_simple_time(std::FILE* out, double simple_ms);

// "diff: %f\n".
void print_diff(std::FILE* out, double diff);

// One line on the error stream: "matmul-bench: message" or, with a detail,
// "matmul-bench: message: detail". Allocates nothing, so it works when
// memory has run out.
void print_error(std::FILE* err, const char* message, const char* detail = nullptr);
