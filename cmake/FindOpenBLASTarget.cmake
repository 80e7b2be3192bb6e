# Finds OpenBLAS and provides the imported target matmul::openblas.
#
# Tried in order: pkg-config "openblas" (Debian, Fedora, Homebrew, MSYS2),
# an OpenBLAS CMake package (vcpkg, MSYS2, source installs), then CMake's
# FindBLAS restricted to the OpenBLAS vendor. A generic libblas is never
# accepted: it may be the slow reference BLAS.

set(_matmul_openblas_install_hint
    "OpenBLAS (with its CBLAS header) was not found. Install it:\n"
    "  Debian/Ubuntu: sudo apt-get install libopenblas-dev\n"
    "  Fedora:        sudo dnf install openblas-devel\n"
    "  macOS:         brew install openblas   (then set PKG_CONFIG_PATH to its lib/pkgconfig)\n"
    "  Windows:       vcpkg install openblas  (and configure with the vcpkg toolchain)\n"
    "or point CMAKE_PREFIX_PATH at an OpenBLAS installation.")

function(_matmul_openblas_from_parts include_dirs libraries how)
  add_library(matmul::openblas INTERFACE IMPORTED GLOBAL)
  set_target_properties(matmul::openblas PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${include_dirs}"
    INTERFACE_LINK_LIBRARIES "${libraries}")
  message(STATUS "OpenBLAS: ${how}: ${libraries}")
endfunction()

if(NOT TARGET matmul::openblas)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(MATMUL_OPENBLAS_PC QUIET IMPORTED_TARGET GLOBAL openblas)
  endif()

  if(MATMUL_OPENBLAS_PC_FOUND)
    add_library(matmul::openblas ALIAS PkgConfig::MATMUL_OPENBLAS_PC)
    message(STATUS "OpenBLAS: pkg-config openblas ${MATMUL_OPENBLAS_PC_VERSION}")
  else()
    find_package(OpenBLAS CONFIG QUIET)
    if(TARGET OpenBLAS::OpenBLAS)
      add_library(matmul::openblas ALIAS OpenBLAS::OpenBLAS)
      message(STATUS "OpenBLAS: CMake package ${OpenBLAS_VERSION} (target OpenBLAS::OpenBLAS)")
    elseif(OpenBLAS_FOUND AND OpenBLAS_LIBRARIES AND OpenBLAS_INCLUDE_DIRS)
      _matmul_openblas_from_parts("${OpenBLAS_INCLUDE_DIRS}" "${OpenBLAS_LIBRARIES}"
                                  "CMake package ${OpenBLAS_VERSION}")
    else()
      set(BLA_VENDOR OpenBLAS)
      find_package(BLAS QUIET)
      find_path(MATMUL_OPENBLAS_INCLUDE_DIR cblas.h
                PATH_SUFFIXES openblas openblas-pthread openblas-openmp include/openblas)
      if(BLAS_FOUND AND MATMUL_OPENBLAS_INCLUDE_DIR)
        _matmul_openblas_from_parts("${MATMUL_OPENBLAS_INCLUDE_DIR}" "${BLAS_LIBRARIES}"
                                    "FindBLAS (BLA_VENDOR=OpenBLAS)")
      endif()
    endif()
  endif()
endif()

if(NOT TARGET matmul::openblas)
  string(JOIN "" _matmul_openblas_message ${_matmul_openblas_install_hint})
  if(MATMUL_BENCH_REQUIRE_OPENBLAS)
    message(FATAL_ERROR "${_matmul_openblas_message}")
  endif()
  message(WARNING "${_matmul_openblas_message}\n"
                  "The program's sources are compiled but matmul-bench is not linked.")
endif()
