// matmul-bench: times one 1000x2000 by 2000x3000 double-precision product,
// by a plain triple loop and by OpenBLAS, and reports both times and how far
// the two results lie apart. Arguments are ignored. Its siblings
// (matmul-bench-blis, ...) are this program with another library.
#include <cstdio>

#include "platform/platform.hpp"
#include "report.hpp"
#include "run.hpp"

int main() {
  // Fail before the multiplies rather than after them.
  if (!standard_output_is_open()) {
    print_error(stderr, "cannot write the report: standard output is closed");
    exit_now(kExitReportLost);
  }
  // Not a return: exit handlers would run the library's. OpenBLAS's waits
  // for its worker threads, and under a memory limit a worker can be stuck
  // for ever.
  exit_now(run_benchmark_guarded(nondeterministic_seed, stdout, stderr));
}
