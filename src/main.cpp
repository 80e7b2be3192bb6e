// matmul-bench: times one 1000x2000 by 2000x3000 double-precision product,
// by a plain triple loop and by OpenBLAS, and reports both times and how far
// the two results lie apart. Arguments are ignored.
#include <cstdio>
#include <exception>

#include "platform/platform.hpp"
#include "report.hpp"
#include "run.hpp"

int main() {
  try {
    // Fail before the multiplies rather than after them.
    if (!standard_output_is_open()) {
      print_error(stderr, "cannot write the report: standard output is closed");
      return kExitReportLost;
    }
    return run_benchmark(nondeterministic_seed, stdout, stderr);
  } catch (const std::exception& e) {
    print_error(stderr, "unexpected error", e.what());
  } catch (...) {
    print_error(stderr, "unexpected error");
  }
  return kExitUnexpected;
}
