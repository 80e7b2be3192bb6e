#!/usr/bin/env bash
# Sets up, builds and runs matmul-bench (`bench`) or its test suite (`test`);
# `libraries` builds it against every CBLAS library Debian ships and runs
# them side by side (scripts/matmul-results libraries); `windows` builds OpenBLAS and matmul-bench.exe for 64-bit Windows and runs
# it under Wine; `arm64` cross-builds for 64-bit Arm Linux and runs the test
# suite under qemu. Installs only what is missing (Debian/Ubuntu, through
# apt-get, as root or with sudo), configures once, rebuilds only what changed.
set -euo pipefail

usage() {
  echo "usage: $0 bench|test|libraries|windows|arm64" >&2
  exit 2
}
[ $# -eq 1 ] || usage
mode=$1
case $mode in bench | test | libraries | windows | arm64) ;; *) usage ;; esac

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${MATMUL_BENCH_BUILD_DIR:-$root/build}
case $build in /*) ;; *) build=$PWD/$build ;; esac  # ctest reads paths from its test folder

case $mode in
  # Python and gnuplot for the results tool, the README's next step.
  bench) packages=(g++ cmake make pkg-config libopenblas-dev nlohmann-json3-dev python3
    gnuplot-nox) ;;
  # The other CBLAS libraries, for the programs built against each; Slurm
  # and munge, for the cluster mode's tests, which start their own; promtool
  # and node_exporter, which read its Prometheus export.
  test) packages=(g++ cmake make pkg-config libopenblas-dev nlohmann-json3-dev googletest libgtest-dev
    libbenchmark-dev python3 python3-scipy python3-pytest gnuplot-nox qemu-user
    libblis-dev libatlas-base-dev libblas-dev slurm-wlm munge prometheus
    prometheus-node-exporter) ;;
  libraries) packages=(g++ cmake make pkg-config libopenblas-dev nlohmann-json3-dev python3
    python3-scipy libblis-dev libatlas-base-dev libblas-dev) ;;
  # OpenBLAS for Windows is built from Debian's source package; its build
  # runs a helper (getarch) compiled for this machine, so gcc needs libc's
  # headers, which apt leaves out without recommends.
  windows) packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64 wine64
    googletest gcc libc6-dev make perl dpkg-dev xz-utils cmake pkg-config python3
    nlohmann-json3-dev) ;;
  arm64) packages=(g++-aarch64-linux-gnu qemu-user libopenblas-dev:arm64 googletest cmake make
    pkg-config python3 nlohmann-json3-dev) ;;
esac

other_systems() {
  cat >&2 <<'MSG'
This set-up installs packages with apt-get (Debian, Ubuntu). Elsewhere,
install a C++17 compiler, CMake 3.20 or later, pkg-config and OpenBLAS
(for the tests also GoogleTest and, optionally, Google Benchmark):
  Fedora: sudo dnf install gcc-c++ cmake pkgconf openblas-devel gtest-devel google-benchmark-devel
  macOS:  brew install cmake pkg-config openblas googletest google-benchmark
  MSYS2:  pacman -S mingw-w64-x86_64-{gcc,cmake,pkgconf,openblas,gtest,benchmark}
then run this script again, or build by hand as the README shows.
MSG
}

install_missing() {
  if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    # No apt: go on if the tools are there (CMake names a missing library).
    if command -v cmake >/dev/null 2>&1 && command -v c++ >/dev/null 2>&1; then
      return
    fi
    other_systems
    exit 1
  fi
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "Missing packages: ${missing[*]}. Run this as root, or install them first." >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "Installing: ${missing[*]}" >&2
  if [ "$mode" = arm64 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${sudo[@]}" dpkg --add-architecture arm64
  fi
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

configure() {
  local args=()
  if [ "$mode" = test ] || [ "$mode" = libraries ]; then
    args+=(-DMATMUL_BENCH_SIBLINGS=ON)
  fi
  if [ "$mode" = test ]; then
    args+=(-DBUILD_TESTING=ON)
  elif [ ! -f "$build/CMakeCache.txt" ]; then
    args+=(-DBUILD_TESTING=OFF)  # the benchmark alone needs no GoogleTest
  fi
  # CI builds with warnings as errors.
  cmake -S "$root" -B "$build" "${args[@]}" "${werror[@]}" >&2
}

jobs=$(nproc 2>/dev/null || echo 2)
werror=()
if [ "${CI:-}" = true ]; then werror=(-DMATMUL_BENCH_WERROR=ON); fi
install_missing
if [ "$mode" = windows ]; then
  # Built once into a cache outside the tree; later runs reuse it.
  openblas=$("$root/scripts/build-openblas-mingw.sh")
  build=$root/build-mingw
  (cd "$root" && cmake --preset mingw -DCMAKE_PREFIX_PATH="$openblas" "${werror[@]}" >&2)
  cmake --build "$build" --target matmul-bench matmul-bench-info -j "$jobs" >&2
  wine=$(sed -n 's/^MATMUL_WINE64:[A-Z]*=//p' "$build/CMakeCache.txt")
  [ -n "$wine" ] || { echo "Wine was not found (apt-get install wine64)" >&2; exit 1; }
  export WINEDEBUG=-all WINEPREFIX=$build/wineprefix
  exec "$wine" "$build/matmul-bench.exe"
elif [ "$mode" = arm64 ]; then
  build=$root/build-aarch64
  (cd "$root" && cmake --preset aarch64 "${werror[@]}" >&2)
  cmake --build "$build" -j "$jobs" >&2
  cd "$root" && exec ctest --preset aarch64 -j "$jobs"
fi
configure
if [ "$mode" = bench ]; then
  # With the tools that the results tool and the cluster mode run beside it.
  cmake --build "$build" --target matmul-bench matmul-bench-info matmul-limits matmul-accuracy \
    -j "$jobs" >&2
  exec "$build/matmul-bench"
elif [ "$mode" = libraries ]; then
  # Every program, with its info and accuracy tools, and the limits probe.
  cmake --build "$build" -j "$jobs" >&2
  exec "$root/scripts/matmul-results" libraries "$build/matmul-bench"
else
  cmake --build "$build" -j "$jobs" >&2
  # One test per core, and the cluster tests, which mostly wait, beside them.
  exec ctest --test-dir "$build" --output-on-failure -j "$((jobs + 4))" \
    --resource-spec-file "$build/ctest-resources.json"
fi
