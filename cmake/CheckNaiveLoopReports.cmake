# Reads the compiler's optimisation reports for the builds of the naive
# loop and fails if any was blocked (unroll-and-jam keeps an element of C in
# a register across two updates) or, with REQUIRE_VECTORISED, not vectorised.
# Every line must be a transformation known to keep the plain loop nest, so
# a blocking that the compiler words anew fails too, rather than slipping by.
# Usage: cmake -DREPORTS=<file;file...> [-DREQUIRE_VECTORISED=1] -P CheckNaiveLoopReports.cmake
if(NOT REPORTS)
  message(FATAL_ERROR "no optimisation reports given")
endif()
set(_keeps_the_nest
    "loop vectorized using [0-9]+ byte vectors"
    "epilogue loop vectorized using [0-9]+ byte vectors"
    "loop versioned for vectorization"
    "loop turned into non-loop; it never loops"
    "loop with [0-9]+ iterations completely unrolled"
    "loop peeled for vectorization")
foreach(report IN LISTS REPORTS)
  if(NOT EXISTS "${report}")
    message(FATAL_ERROR "${report}: missing; rebuild the kernels")
  endif()
  file(STRINGS "${report}" lines)
  foreach(line IN LISTS lines)
    set(_known FALSE)
    foreach(pattern IN LISTS _keeps_the_nest)
      if(line MATCHES "optimized: ${pattern}")
        set(_known TRUE)
      endif()
    endforeach()
    if(NOT _known)
      message(FATAL_ERROR "${report}: the compiler did to the naive loop what is not known to "
                          "keep the plain loop nest (unroll-and-jam, blocking?):\n${line}")
    endif()
  endforeach()
  file(READ "${report}" text)
  if(REQUIRE_VECTORISED AND NOT text MATCHES "loop vectorized")
    message(FATAL_ERROR "${report}: the naive loop's inner loop was not vectorised:\n${text}")
  endif()
  message(STATUS "${report}: the plain loop nest")
endforeach()
