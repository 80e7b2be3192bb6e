# Cross build for 64-bit Arm Linux (Debian packages g++-aarch64-linux-gnu,
# and libopenblas-dev:arm64 after `dpkg --add-architecture arm64`). Test
# executables run under qemu-aarch64 (package qemu-user) when it is there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${_triple})

# Debian's multiarch layout: the arm64 libraries live beside the host's,
# under /usr/lib/aarch64-linux-gnu and /usr/include/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Keep pkg-config on the arm64 libraries, away from the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_triple}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

find_program(MATMUL_QEMU_AARCH64 qemu-aarch64)
if(MATMUL_QEMU_AARCH64)
  # -L: the cross toolchain's runtime (libstdc++), beside the multiarch
  # libraries Debian installs. One OpenBLAS thread: under qemu-user this
  # OpenBLAS spins for ever while it starts its threads, before main.
  set(CMAKE_CROSSCOMPILING_EMULATOR env OPENBLAS_NUM_THREADS=1 ${MATMUL_QEMU_AARCH64} -L
                                    /usr/${_triple})
endif()
