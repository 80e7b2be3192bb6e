#!/usr/bin/env bash
# Builds OpenBLAS for 64-bit Windows with MinGW-w64 from the source package
# of Debian 13 (trixie), once, into a cache outside the source tree. Reused
# while the version, the options and the compiler stay the same. Prints the
# install prefix on standard output. Needs: a deb-src entry for trixie
# (added if missing: sources only, never trixie's binaries), the MinGW-w64
# posix toolchain, make, perl, dpkg-dev. Run as root, or with the entry there.
#
# Why trixie: Debian 12's 0.3.21 cannot build the run-time kernel choice
# (DYNAMIC_ARCH) with double precision alone for Windows; later releases
# can. trixie is a stable release, so its version, our cache key and the
# figures measured with it stay put; unstable's would move under us.
set -euo pipefail

cache=${MATMUL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/matmul-bench}
jobs=$(nproc 2>/dev/null || echo 2)
host=x86_64-w64-mingw32
cc=$host-gcc-posix

suite=trixie
# Double precision and CBLAS only: all the program calls. The kernels are
# chosen at run time, from one set per x86-64 level: SSE3 (PRESCOTT, always
# built), AVX (SANDYBRIDGE), AVX2 (HASWELL, ZEN) and AVX-512 (SKYLAKEX,
# COOPERLAKE). A CPU whose own set is not built gets the nearest one below
# it. The full list (21 sets) would take about four times as long to build.
cores=(SANDYBRIDGE HASWELL ZEN SKYLAKEX COOPERLAKE)
options=(NOFORTRAN=1 ONLY_CBLAS=1 NO_LAPACK=1 NO_LAPACKE=1 BUILD_DOUBLE=1
  BINARY=64 USE_THREAD=1 USE_OPENMP=0 NUM_THREADS=64 INTERFACE64=0
  DYNAMIC_ARCH=1 TARGET=GENERIC "DYNAMIC_LIST=${cores[*]}" NO_SHARED=1 NO_STATIC=0)

log() { echo "build-openblas-mingw: $*" >&2; }

command -v "$cc" >/dev/null || { log "$cc not found (apt-get install g++-mingw-w64-x86-64-posix)"; exit 1; }

# The source package's version in $suite, from apt's lists (no network when
# the entry is already there).
source_version() {
  apt-get source --print-uris -qq "openblas/$suite" 2>/dev/null |
    sed -n "s/.* openblas_\(.*\)\.dsc .*/\1/p" | head -1
}

ensure_deb_src() {
  [ -z "$(source_version)" ] || return 0
  [ "$(id -u)" -eq 0 ] || { log "apt has no deb-src entry for $suite; run as root to add one"; exit 1; }
  log "adding a deb-src entry for $suite (sources only)"
  cat >/etc/apt/sources.list.d/matmul-bench-$suite-src.sources <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt-get update -qq
}

ensure_deb_src
version=$(source_version)
[ -n "$version" ] || { log "no openblas source package in $suite"; exit 1; }
key=$(printf '%s\n' "$version" "${options[@]}" "$($cc -dumpfullversion)" | sha256sum | cut -c1-12)
prefix=$cache/openblas-$version-win64-$key
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/openblas-mingw.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building OpenBLAS $version for Windows (${options[*]}); this takes a while, once"
(cd "$work" && apt-get source -qq --only-source "openblas/$suite" >&2)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openblas-*' | head -1)

# OpenBLAS reads the major version from -dumpversion; Debian's MinGW says
# "12-posix", which it takes for a GCC older than 4.6 and so builds without
# AVX2 and AVX-512. A wrapper answers with the number alone. It has the toolchain's
# prefixed name, so that OpenBLAS finds the other tools beside it.
bin=$work/bin
mkdir -p "$bin"
real_cc=$(command -v "$cc")
cat >"$bin/$host-gcc" <<EOF
#!/bin/sh
for a in "\$@"; do
  if [ "\$a" = -dumpversion ]; then "$real_cc" "\$@" | sed 's/-.*//'; exit; fi
done
exec "$real_cc" "\$@"
EOF
chmod +x "$bin/$host-gcc"
for tool in ar as ld nm ranlib strip objcopy objdump dlltool windres; do
  if command -v "$host-$tool" >/dev/null; then
    ln -s "$(command -v "$host-$tool")" "$bin/$host-$tool"
  fi
done

make -C "$src" -j "$jobs" CC="$bin/$host-gcc" HOSTCC=gcc "${options[@]}" libs \
  >"$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; exit 1; }
if grep -Eq '^NO_AVX(2|512)=1' "$src/Makefile.conf"; then
  log "the build disabled AVX2 or AVX-512; refusing to install it"
  exit 1
fi
# Every kernel set asked for must be in the library, not mapped to another.
"$host-nm" "$src/libopenblas.a" >"$work/symbols" 2>/dev/null || true
for core in PRESCOTT "${cores[@]}"; do
  grep -Eq " [DdRrBb] gotoblas_$core\$" "$work/symbols" ||
    { log "kernel set $core missing from the library; refusing to install it"; exit 1; }
done
rm -rf "$prefix"
make -C "$src" CC="$bin/$host-gcc" HOSTCC=gcc "${options[@]}" PREFIX="$prefix" install \
  >>"$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; exit 1; }
install -m 644 "$src/LICENSE" "$prefix/LICENSE-OpenBLAS.txt"
touch "$prefix/.complete"
log "installed in $prefix"
echo "$prefix"
