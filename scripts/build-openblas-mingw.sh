#!/usr/bin/env bash
# Builds OpenBLAS for 64-bit Windows with MinGW-w64 from Debian's source
# package (the same release as the native build's), once, into a cache
# outside the source tree. Reused while the version, the options and the
# compiler stay the same. Prints the install prefix on standard output.
# Needs: apt's deb-src entry (added if missing), the MinGW-w64 posix
# toolchain, make, perl, dpkg-dev. Run as root, or with the sources present.
set -euo pipefail

cache=${MATMUL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/matmul-bench}
jobs=$(nproc 2>/dev/null || echo 2)
host=x86_64-w64-mingw32
cc=$host-gcc-posix

# Double precision and CBLAS only: all the program calls. A dynamic build
# with the generic x86-64 kernels as a fallback, so the package runs on
# any 64-bit Windows machine, with the AVX2 and AVX-512 kernels where the
# CPU has them.
options=(NOFORTRAN=1 ONLY_CBLAS=1 NO_LAPACK=1 NO_LAPACKE=1 BUILD_DOUBLE=1
  BINARY=64 USE_THREAD=1 USE_OPENMP=0 NUM_THREADS=64 INTERFACE64=0
  TARGET=HASWELL NO_SHARED=1 NO_STATIC=0)

log() { echo "build-openblas-mingw: $*" >&2; }

command -v "$cc" >/dev/null || { log "$cc not found (apt-get install g++-mingw-w64-x86-64-posix)"; exit 1; }

# The source package's version, without asking the network when it is
# already known.
ensure_deb_src() {
  if [ -n "$(apt-cache showsrc openblas 2>/dev/null | head -1)" ]; then
    return
  fi
  [ "$(id -u)" -eq 0 ] || { log "apt has no deb-src entry; run as root to add one"; exit 1; }
  log "adding deb-src entries that mirror apt's deb entries"
  local f out=/etc/apt/sources.list.d/matmul-bench-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -n '/^Types:.*\bdeb\b/,/^$/p' /etc/apt/sources.list.d/debian.sources |
      sed 's/^Types:.*/Types: deb-src/' >"$out.sources"
  fi
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    grep -E '^deb ' "$f" | sed 's/^deb /deb-src /' >>"$out.list" || true
  done
  apt-get update -qq
}

ensure_deb_src
version=$(apt-cache showsrc openblas | awk '/^Version:/ { print $2; exit }')
[ -n "$version" ] || { log "no source package for openblas"; exit 1; }
key=$(printf '%s\n' "$version" "${options[@]}" "$($cc -dumpfullversion)" | sha256sum | cut -c1-12)
prefix=$cache/openblas-$version-win64-$key
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/openblas-mingw.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building OpenBLAS $version for Windows (${options[*]}); this takes a while, once"
(cd "$work" && apt-get source -qq --only-source "openblas=$version" >&2)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openblas-*' | head -1)

# OpenBLAS reads the major version from -dumpversion; Debian's MinGW says
# "12-posix", which it takes for a GCC older than 4.6 and so builds without
# AVX2. A wrapper answers with the number alone. It has the toolchain's
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
if grep -q '^NO_AVX2=1' "$src/Makefile.conf"; then
  log "the build disabled AVX2; refusing to install it"
  exit 1
fi
rm -rf "$prefix"
make -C "$src" CC="$bin/$host-gcc" HOSTCC=gcc "${options[@]}" PREFIX="$prefix" install \
  >>"$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; exit 1; }
install -m 644 "$src/LICENSE" "$prefix/LICENSE-OpenBLAS.txt"
touch "$prefix/.complete"
log "installed in $prefix"
echo "$prefix"
