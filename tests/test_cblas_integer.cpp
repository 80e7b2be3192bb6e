// Each library's binding refuses, at compile time, a CBLAS whose dgemm
// takes 64-bit counts: the check reads the count type off the declaration.
// The check is a constant, so these assertions are the test: a check that
// goes wrong fails the build of the tests, which fails the suite.
#include <cstdint>

#include "blas/cblas_integer.hpp"

namespace {
enum Order { kRowMajor = 101 };
enum Trans { kNoTrans = 111 };
// The shapes of cblas_dgemm as the libraries declare it: const and plain
// counts, with 32 and with 64 bits.
using Dgemm32 = void (*)(const Order, const Trans, const Trans, const std::int32_t,
                         const std::int32_t, const std::int32_t, const double, const double*,
                         const std::int32_t, const double*, const std::int32_t, const double,
                         double*, const std::int32_t);
using Dgemm64 = void (*)(Order, Trans, Trans, std::int64_t, std::int64_t, std::int64_t, double,
                         const double*, std::int64_t, const double*, std::int64_t, double, double*,
                         std::int64_t);

static_assert(kCblasCountsAre32Bit<Dgemm32>, "32-bit counts are accepted");
static_assert(!kCblasCountsAre32Bit<Dgemm64>, "64-bit counts are refused");
}  // namespace
