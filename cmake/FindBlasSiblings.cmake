# Finds the CBLAS libraries that the sibling programs (matmul-bench-blis,
# -atlas, -reference) are built against, and provides for each one found an
# imported target: matmul::blis, matmul::atlas, matmul::reference. Each is
# taken from its own folder, never through the names that Debian's
# alternatives switch (libblas.so.3, libblis.so.4, cblas.h), so that each
# program runs the library it is named for, whatever the system default.
# Sets MATMUL_BENCH_SIBLINGS_FOUND (ids) and, for each missing one,
# MATMUL_BENCH_SIBLING_PACKAGE_<id> (the Debian package that brings it).

set(MATMUL_BENCH_SIBLINGS_FOUND "")
set(_arch "${CMAKE_LIBRARY_ARCHITECTURE}")

# The version in the library's real file name (libatlas.so.3.10.3), for
# libraries that cannot tell it at run time.
function(_matmul_sibling_version library out)
  get_filename_component(_real "${library}" REALPATH)
  get_filename_component(_name "${_real}" NAME)
  if(_name MATCHES "\\.so\\.([0-9.]+)$")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "unknown" PARENT_SCOPE)
  endif()
endfunction()

function(_matmul_sibling id package include_dir libraries)
  foreach(_part IN LISTS include_dir libraries)
    if(NOT _part)
      message(STATUS "Sibling ${id}: not found (Debian: ${package})")
      set(MATMUL_BENCH_SIBLING_PACKAGE_${id} ${package} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  add_library(matmul::${id} INTERFACE IMPORTED GLOBAL)
  set_target_properties(matmul::${id} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${include_dir}"
                                                 INTERFACE_LINK_LIBRARIES "${libraries}")
  list(GET libraries 0 _first)
  _matmul_sibling_version("${_first}" _version)
  set_property(TARGET matmul::${id} APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS
               "MATMUL_LIBRARY_VERSION=\"${_version}\"")
  message(STATUS "Sibling ${id}: ${libraries}")
  set(MATMUL_BENCH_SIBLINGS_FOUND ${MATMUL_BENCH_SIBLINGS_FOUND} ${id} PARENT_SCOPE)
endfunction()

# BLIS: Debian builds it three ways, each in a folder of its own; the
# threaded builds first.
foreach(_variant IN ITEMS openmp pthread serial)
  find_path(MATMUL_BLIS_INCLUDE_DIR NAMES blis.h cblas.h
            PATHS /usr/include/${_arch}/blis-${_variant} NO_DEFAULT_PATH)
  find_library(MATMUL_BLIS_LIBRARY NAMES blis
               PATHS /usr/lib/${_arch}/blis-${_variant} NO_DEFAULT_PATH)
endforeach()
_matmul_sibling(blis libblis-dev "${MATMUL_BLIS_INCLUDE_DIR}" "${MATMUL_BLIS_LIBRARY}")

# ATLAS: its CBLAS and the library behind it.
find_path(MATMUL_ATLAS_INCLUDE_DIR NAMES cblas-atlas.h atlas/atlas_buildinfo.h
          PATHS /usr/include/${_arch} NO_DEFAULT_PATH)
find_library(MATMUL_ATLAS_CBLAS_LIBRARY NAMES cblas PATHS /usr/lib/${_arch} NO_DEFAULT_PATH)
find_library(MATMUL_ATLAS_LIBRARY NAMES atlas PATHS /usr/lib/${_arch} NO_DEFAULT_PATH)
_matmul_sibling(atlas libatlas-base-dev "${MATMUL_ATLAS_INCLUDE_DIR}"
                "${MATMUL_ATLAS_LIBRARY};${MATMUL_ATLAS_CBLAS_LIBRARY}")

# The reference BLAS: Debian's libblas3 carries its CBLAS too.
find_path(MATMUL_REFERENCE_INCLUDE_DIR NAMES cblas-netlib.h PATHS /usr/include/${_arch}
          NO_DEFAULT_PATH)
find_library(MATMUL_REFERENCE_LIBRARY NAMES blas PATHS /usr/lib/${_arch}/blas NO_DEFAULT_PATH)
_matmul_sibling(reference libblas-dev "${MATMUL_REFERENCE_INCLUDE_DIR}"
                "${MATMUL_REFERENCE_LIBRARY}")
