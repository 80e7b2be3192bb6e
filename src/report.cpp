#include "report.hpp"

#include "problem.hpp"

double elapsed_ms(std::int64_t ta, std::int64_t tb, std::int64_t frequency) {
  const std::int64_t ticks = tb - ta;
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
}

// The report's write results are not checked line by line: a failed write
// sets the stream's error flag, which the run checks once after flushing.
void print_times(std::FILE* out, double simple_ms, double blas_ms) {
  print_simple_time(out, simple_ms);
  (void)std::fprintf(out, kReportBlasFormat, blas_ms);
}

void print_simple_time(std::FILE* out, double simple_ms) {
  (void)std::fprintf(out, kReportSimpleFormat, simple_ms);
}

void print_diff(std::FILE* out, double diff) {
  (void)std::fprintf(out, kReportDiffFormat, diff);
}

// Nothing useful can be done when the error stream itself fails.
void print_error(std::FILE* err, const char* message, const char* detail) {
  if (detail != nullptr) {
    (void)std::fprintf(err, "matmul-bench: %s: %s\n", message, detail);
  } else {
    (void)std::fprintf(err, "matmul-bench: %s\n", message);
  }
  (void)std::fflush(err);
}
