// The integer type of a CBLAS's dgemm counts, read off its declaration, so
// that each binding can refuse a CBLAS that would be miscalled: the program
// passes 32-bit counts.
#pragma once

#include <cstdint>

template <typename Order, typename Trans, typename Int, typename... Rest>
Int cblas_count_type(void (*)(Order, Trans, Trans, Int, Rest...));

template <typename Dgemm>
constexpr bool kCblasCountsAre32Bit =
    sizeof(decltype(cblas_count_type(static_cast<Dgemm>(nullptr)))) == sizeof(std::int32_t);
