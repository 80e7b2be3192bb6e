#!/usr/bin/env bash
# Checks scripts/matmul-results beyond `run` (which repeat_run_test.sh
# covers): `compare` on made-up exports, every kind of bad input, and the
# roofline plot's content. Usage: results_test.sh TOOL
set -u
tool=$1
# shellcheck source=script_test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_test_lib.sh"
results() { timeout 120 "$tool" "$@" >"$work/out" 2>"$work/err"; }

# Exports of N runs whose simple and blas times are BASE + 0..N-1 ms.
export_of() {  # FILE N SIMPLE_BASE BLAS_BASE CORE
  /usr/bin/env python3 - "$@" <<'PY'
import json, sys
path, n, simple, blas, core = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
runs = [{"simple_ms": simple + i, "blas_ms": blas + i, "diff": 0.000151, "wall_ms": simple + blas + 100 + i,
         "outside_ms": 100.0, "peak_rss_mb": 122.0, "exit_status": 0,
         "simple_gflops": 12000 / (simple + i), "blas_gflops": 12000 / (blas + i),
         "speedup": (simple + i) / (blas + i)} for i in range(n)]
json.dump({"runs": runs, "summary": {}, "environment": {"cpu_model": "Test CPU", "naive_variant": "x86-64-v3"},
           "openblas": {"version": "OpenBLAS 0.3.29", "core": core}}, open(path, "w"))
PY
}

# Clearly different: the new naive loop is 2x slower, the library the same.
export_of "$work/old.json" 8 1000 100 Haswell
export_of "$work/slow.json" 8 2000 100 Haswell
results compare "$work/old.json" "$work/slow.json" || fail "compare: status $?"
grep -Eq '^simple \(ms\) .* 1\.99[0-9] +0\.0[0-9]+ +slower$' "$work/out" || fail "simple not slower"
grep -Eq '^blas \(ms\) .* 1\.000 +1\.0000 +no significant difference$' "$work/out" ||
  fail "blas should not differ"
grep -Eq '^simple \(GFLOP/s\) .* slower$' "$work/out" || fail "a lower rate is slower"
results compare "$work/slow.json" "$work/old.json" || fail "compare: status $?"
grep -Eq '^simple \(ms\) .* faster$' "$work/out" || fail "simple not faster the other way round"
! grep -q '^differs:' "$work/out" || fail "same machine and library reported as different"

# The same figures: no verdict either way, for every figure.
results compare "$work/old.json" "$work/old.json" || fail "compare: status $?"
! grep -Eq ' (faster|slower)$' "$work/out" || fail "identical exports judged different"
grep -q 'no significant difference$' "$work/out" || fail "no verdict for identical exports"

# What differs between the two is named before the table.
export_of "$work/skx.json" 8 1000 60 SkylakeX
results compare "$work/old.json" "$work/skx.json" || fail "compare: status $?"
[ "$(head -1 "$work/out")" = "differs: library core: Haswell -> SkylakeX" ] || fail "core change not named first"
grep -Eq '^blas \(ms\) .* faster$' "$work/out" || fail "the faster library not found faster"

# Too few runs for any p-value below 0.05: said, and no verdict given.
export_of "$work/two.json" 2 1000 100 Haswell
export_of "$work/two-slow.json" 2 3000 300 Haswell
results compare "$work/two.json" "$work/two-slow.json" || fail "compare: status $?"
grep -q '^too few runs for a verdict' "$work/out" || fail "too few runs not said"
! grep -Eq ' (faster|slower)$' "$work/out" || fail "a verdict from two runs each"

# Bad input: one line naming the file and the problem, status 2, no table.
printf '{"runs": [{"simple_ms": 1' >"$work/truncated.json"
printf '{"benchmarks": []}\n' >"$work/other.json"
printf '\377\376garbage' >"$work/binary.json"
mkdir "$work/folder.json"
for bad in missing truncated other binary folder; do
  case_name=$bad
  results compare "$work/old.json" "$work/$bad.json"
  status=$?
  [ "$status" -eq 2 ] || fail "status $status, expected 2"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "not one line on stderr"
  grep -q "^matmul-results: $work/$bad.json: " "$work/err" || fail "the file is not named"
  [ ! -s "$work/out" ] || fail "output despite bad input"
done
case_name=""

# The roofline: from a run against stand-ins with known limits, every roof
# and both points as text in the SVG, and nothing left but the SVG.
if command -v gnuplot >/dev/null; then
  cat >"$work/matmul-bench" <<'STUB'
#!/bin/sh
printf 'simple: 1600.000000 msec\nblas: 100.000000 msec\ndiff: 0.000151\n'
STUB
  cat >"$work/matmul-limits" <<'STUB'
#!/bin/sh
printf '{"threads": 2, "fma": true, "memory_roof_gbs": 40, "memory_buffer_bytes": 48000000, "core_clock_ghz": 3.0, "compute_roofs": [{"width_bits": 128, "fma": true, "gflops": 60}, {"width_bits": 256, "fma": true, "gflops": 120}, {"width_bits": 512, "fma": true, "gflops": 240}]}\n' >"$2"
STUB
  chmod +x "$work/matmul-bench" "$work/matmul-limits"
  results run 1 --plot "$work/roof.svg" "$work/matmul-bench" || fail "run --plot: status $?"
  for text in "memory roof, 40.0 GB/s" "128-bit FMA peak, 60.0 GFLOP/s" \
    "256-bit FMA peak, 120.0 GFLOP/s" "512-bit FMA peak, 240.0 GFLOP/s" \
    "simple (naive loop): 7.5 GFLOP/s" "blas (cblas_dgemm): 120.0 GFLOP/s" \
    "arithmetic intensity (FLOP per byte of memory traffic)"; do
    # Whole, as the content of a text element: searchable, not drawn as paths.
    grep -qF ">$text</text>" "$work/roof.svg" || fail "'$text' is not text in the SVG"
  done
  grep -q '<svg' "$work/roof.svg" || fail "not an SVG"
  ls -A "$work" | grep -q '^\.matmul-results-' && fail "a temporary file was left behind"
  # A run that fails leaves no plot.
  printf '#!/bin/sh\nexit 3\n' >"$work/matmul-bench"
  results run 1 --plot "$work/none.svg" "$work/matmul-bench"
  [ $? -eq 3 ] && [ ! -e "$work/none.svg" ] || fail "a failed run left a plot or lost its status"
else
  echo "roofline not checked: gnuplot is not installed"
fi
echo PASS
