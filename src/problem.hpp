// The benchmark's fixed problem and its report: the facts every part of the
// project states once, here. matmul-bench-info prints them for the tools
// written in other languages.
#pragma once

#include <cstdint>

// A is M x K, B is K x N, the products are M x N.
constexpr std::int32_t M = 1000;
constexpr std::int32_t K = 2000;
constexpr std::int32_t N = 3000;

// Floating-point operations of one product: a multiply and an add for each
// of the M * K * N terms.
constexpr std::int64_t kFlop = 2 * std::int64_t{M} * K * N;

// The four matrices, A, B, C_blas and C_simple, in bytes.
constexpr std::int64_t kMatrixBytes =
    (std::int64_t{M} * K + std::int64_t{K} * N + 2 * std::int64_t{M} * N) *
    static_cast<std::int64_t>(sizeof(double));

// The report's three lines, in order.
constexpr const char* kReportSimpleFormat = "simple: %f msec\n";
constexpr const char* kReportBlasFormat = "blas: %f msec\n";
constexpr const char* kReportDiffFormat = "diff: %f\n";
