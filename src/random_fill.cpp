#include "random_fill.hpp"

namespace {
constexpr double kLowerBound = 0.0;
constexpr double kUpperBound = 10.0;
// The generator's span, max - min + 1, as a double: 2^32 for MT19937.
constexpr double kSpan = static_cast<double>(std::mt19937::max() - std::mt19937::min()) + 1.0;
static_assert(kSpan == 4294967296.0, "MT19937 yields full 32-bit outputs");
}  // namespace

std::uint32_t nondeterministic_seed() {
  std::random_device source;
  return static_cast<std::uint32_t>(source());
}

double uniform_value(std::uint32_t u) {
  return static_cast<double>(u) / kSpan * (kUpperBound - kLowerBound) + kLowerBound;
}

void fill_uniform(std::mt19937& generator, double* matrix, std::int32_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    // One output per element: 32 random bits, not a 53-bit draw.
    matrix[i] = uniform_value(static_cast<std::uint32_t>(generator()));
  }
}
