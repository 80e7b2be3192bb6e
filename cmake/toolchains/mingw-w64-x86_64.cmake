# Cross build for 64-bit Windows with MinGW-w64 (Debian packages
# g++-mingw-w64-x86-64-posix and mingw-w64). Test executables run under Wine
# (package wine64) when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
# The posix flavour: its libstdc++ has std::thread, which GoogleTest uses.
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

# Installs named in CMAKE_PREFIX_PATH (an OpenBLAS built for Windows, see
# scripts/build-openblas-mingw.sh) are Windows roots too.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Keep pkg-config away from the host's Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${_mingw}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Self-contained executables: no MinGW runtime DLLs to find under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Debian installs wine64 outside PATH; its package file list says where.
find_program(MATMUL_WINE64 NAMES wine64 wine)
if(NOT MATMUL_WINE64)
  find_program(_dpkg dpkg)
  if(_dpkg)
    execute_process(COMMAND ${_dpkg} -L wine64 OUTPUT_VARIABLE _wine_files ERROR_QUIET)
    string(REGEX MATCH "[^\n]*/wine64(\n|$)" _wine_line "${_wine_files}")
    string(STRIP "${_wine_line}" _wine_line)
    if(_wine_line AND EXISTS "${_wine_line}")
      set(MATMUL_WINE64 "${_wine_line}" CACHE FILEPATH "Wine loader for 64-bit programs" FORCE)
    endif()
  endif()
endif()
if(MATMUL_WINE64)
  # A prefix of the build's own, quiet: tests must not depend on ~/.wine.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
      sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${MATMUL_WINE64})
endif()
