# The Windows package (CPack, ZIP): the program and matmul-bench-info, how
# to run them, and the licence of the OpenBLAS linked into them.
#   cmake --build <build> --target package  ->  matmul-bench-<version>-win64.zip
set(_matmul_openblas_dirs ${MATMUL_OPENBLAS_PC_PREFIX} ${MATMUL_OPENBLAS_PC_LIBDIR}/.. ${CMAKE_PREFIX_PATH})
find_file(MATMUL_OPENBLAS_LICENSE NAMES LICENSE-OpenBLAS.txt LICENSE
          PATHS ${_matmul_openblas_dirs} PATH_SUFFIXES . share/doc/openblas
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MATMUL_OPENBLAS_LICENSE)
  message(WARNING "OpenBLAS's licence was not found beside the library; "
                  "the Windows package cannot be made (set MATMUL_OPENBLAS_LICENSE)")
  return()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/docs/windows-package-readme.txt DESTINATION . RENAME README.txt)
install(FILES ${MATMUL_OPENBLAS_LICENSE} DESTINATION . RENAME LICENSE-OpenBLAS.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME matmul-bench)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME matmul-bench-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
