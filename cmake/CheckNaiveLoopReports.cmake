# Reads the compiler's optimisation reports for the builds of the naive
# loop and fails if any was blocked (unroll-and-jam keeps an element of C in
# a register across two updates) or, with REQUIRE_VECTORISED, not vectorised.
# Usage: cmake -DREPORTS=<file;file...> [-DREQUIRE_VECTORISED=1] -P CheckNaiveLoopReports.cmake
if(NOT REPORTS)
  message(FATAL_ERROR "no optimisation reports given")
endif()
foreach(report IN LISTS REPORTS)
  if(NOT EXISTS "${report}")
    message(FATAL_ERROR "${report}: missing; rebuild the kernels")
  endif()
  file(READ "${report}" text)
  if(text MATCHES "unroll and jam")
    message(FATAL_ERROR "${report}: the compiler applied unroll-and-jam to the naive loop:\n${text}")
  endif()
  if(REQUIRE_VECTORISED AND NOT text MATCHES "loop vectorized")
    message(FATAL_ERROR "${report}: the naive loop's inner loop was not vectorised:\n${text}")
  endif()
  message(STATUS "${report}: not jammed")
endforeach()
