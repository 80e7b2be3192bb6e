#include "report.hpp"

double elapsed_ms(std::int64_t ta, std::int64_t tb, std::int64_t frequency) {
  const std::int64_t ticks = tb - ta;
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
}

void print_times(std::FILE* out, double simple_ms, double blas_ms) {
  std::fprintf(out, "simple: %f msec\n", simple_ms);
  std::fprintf(out, "blas: %f msec\n", blas_ms);
}

void print_diff(std::FILE* out, double diff) {
  std::fprintf(out, "diff: %f\n", diff);
}

void print_error(std::FILE* err, const char* message, const char* detail) {
  if (detail != nullptr) {
    std::fprintf(err, "matmul-bench: %s: %s\n", message, detail);
  } else {
    std::fprintf(err, "matmul-bench: %s\n", message);
  }
  std::fflush(err);
}
