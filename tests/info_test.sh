#!/usr/bin/env bash
# matmul-bench-info names what the program beside it runs: an OpenBLAS that
# chooses its kernels at run time (DYNAMIC_ARCH), the kernels it chose, and
# the build of the naive loop chosen for this CPU among those built.
# Usage: info_test.sh [EMULATOR...] PROGRAM
set -u
# shellcheck source=script_test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_test_lib.sh"

timeout 120 "$@" >"$work/out" 2>"$work/err" || fail "status $?"
tr -d '\r' <"$work/out" >"$work/info"
# One fact, as the string matmul-bench-info printed for it.
fact() { sed -n "s/^  \"$1\": \"\(.*\)\",\{0,1\}$/\1/p" "$work/info"; }
config=$(fact openblas_config)
core=$(fact openblas_core)
built=$(fact naive_variants_built)
chosen=$(fact naive_variant)
case " $config " in *" DYNAMIC_ARCH "*) ;; *) fail "the library does not choose its kernels at run time: $config" ;; esac
[ -n "$core" ] || fail "no kernel set named"
case " $config " in *" $core "*) ;; *) fail "core $core is not the one the library's config names: $config" ;; esac
[ -n "$chosen" ] || fail "no naive build named"
case " $built " in *" $chosen "*) ;; *) fail "naive build $chosen is not among those built: $built" ;; esac
echo "PASS: OpenBLAS core $core; naive loop $chosen of $built"
