#!/usr/bin/env bash
# Checks scripts/repeat-run.sh with stand-in programs (fast, known figures)
# and once with the real program. Usage: repeat_run_test.sh SCRIPT [PROGRAM]
set -u
script=$1
program=${2:-}
# shellcheck source=script_test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_test_lib.sh"
run() { timeout 300 bash "$script" "$@" >"$work/out" 2>"$work/err"; }

# A stand-in whose k-th run reports k * 100 ms, k * 10 ms and k / 10000.
cat >"$work/stub" <<STUB
#!/bin/sh
k=\$(( \$(cat "$work/count" 2>/dev/null || echo 0) + 1 )); echo \$k >"$work/count"
printf 'simple: %d.000000 msec\nblas: %d.000000 msec\ndiff: 0.%06d\n' \$((k * 100)) \$((k * 10)) \$((k * 100))
STUB
cat >"$work/failing" <<'STUB'
#!/bin/sh
echo "matmul-bench: no random seed: the nondeterministic source failed: test" >&2
exit 3
STUB
printf '#!/bin/sh\necho hello\n' >"$work/garbled"
# Beside the stand-in, as beside the real program: its facts and this
# "machine's" limits, round numbers so that the percentages are known.
cat >"$work/matmul-bench-info" <<'STUB'
#!/bin/sh
printf '{\n  "openblas_version": "OpenBLAS 0.3.99",\n  "openblas_config": "OpenBLAS 0.3.99 DYNAMIC_ARCH Haswell",\n  "openblas_core": "Haswell",\n  "openblas_threads": "2",\n  "naive_variants_built": "x86-64 x86-64-v3",\n  "naive_variant": "x86-64-v3"\n}\n'
STUB
cat >"$work/matmul-limits" <<'STUB'
#!/bin/sh
[ "$1" = --json ] || exit 2
printf '{"threads": 2, "fma": true, "memory_roof_gbs": 960, "memory_buffer_bytes": 48000000, "core_clock_ghz": 3.0, "compute_roofs": [{"width_bits": 128, "fma": true, "gflops": 600}, {"width_bits": 256, "fma": true, "gflops": 1200}, {"width_bits": 512, "fma": true, "gflops": 2400}]}\n' >"$2"
STUB
chmod +x "$work/stub" "$work/failing" "$work/garbled" "$work/matmul-bench-info" "$work/matmul-limits"

# Bad arguments: a usage line and status 2, and no run.
for args in "0" "x" "3 --export-json" "--export-markdown" "--bogus" "3 $work/stub extra"; do
  # shellcheck disable=SC2086  # the arguments are meant to split
  run $args
  status=$?
  [ "$status" -eq 2 ] || fail "'$args': status $status, expected 2"
  grep -q '^usage: ' "$work/err" || fail "'$args': no usage line"
done
[ ! -e "$work/count" ] || fail "a run started despite bad arguments"

# Exports: valid JSON whose summary agrees with its runs, and a Markdown table.
run 4 --export-json "$work/r.json" --export-markdown "$work/r.md" "$work/stub" ||
  fail "status $? with a stand-in that succeeds"
python3 - "$work/r.json" <<'PY' || fail "JSON export"
import json, statistics, sys
r = json.load(open(sys.argv[1]))
runs = r["runs"]
assert len(runs) == 4, runs
assert [x["simple_ms"] for x in runs] == [100, 200, 300, 400], runs
assert all(x["exit_status"] == 0 for x in runs)
for key in ("simple_ms", "blas_ms", "diff", "wall_ms", "outside_ms"):
    values = [x[key] for x in runs]
    s = r["summary"][key]
    assert abs(s["median"] - statistics.median(values)) < 1e-9, (key, s, values)
    assert s["min"] == min(values) and s["max"] == max(values), (key, s, values)
    for x in runs:
        assert abs(x["outside_ms"] - (x["wall_ms"] - x["simple_ms"] - x["blas_ms"])) < 1e-2
assert abs(r["summary"]["speedup"]["median"] - 10) < 1e-9, r["summary"]["speedup"]
for key in ("cpu_model", "cores", "isa", "os_kernel", "date", "kernel_flags"):
    assert key in r["environment"], key
assert set(r["environment_variables"]) == {"OPENBLAS_NUM_THREADS", "OPENBLAS_CORETYPE", "OMP_NUM_THREADS"}
# Run k streams 48 GB in k * 100 ms (480/k GB/s, of a 960 GB/s roof) and
# does 1.2e10 flops in k * 10 ms (1200/k GFLOP/s, of 2400 at 512 bits and
# 1200 at the 256 bits of the Haswell kernels).
assert r["limits"]["memory_roof_gbs"] == 960 and r["limits"]["kernel_width_bits"] == 256, r["limits"]
for k, x in enumerate(runs, 1):
    assert abs(x["simple_pct_of_stream"] - 50 / k) < 1e-9, x
    assert abs(x["blas_pct_of_peak"] - 50 / k) < 1e-9, x
    assert abs(x["blas_pct_of_peak_at_kernel_width"] - 100 / k) < 1e-9, x
s = r["summary"]
assert abs(s["simple_pct_of_stream"]["median"] - (50 / 2 + 50 / 3) / 2) < 1e-9, s
assert abs(s["blas_pct_of_peak_at_kernel_width"]["max"] - 100) < 1e-9, s
assert r["openblas"]["core"] == "Haswell" and r["environment"]["naive_variant"] == "x86-64-v3"
PY
grep -q '^| figure | min | median | max |$' "$work/r.md" || fail "no Markdown table header"
grep -q '^| simple (ms) | 100.0 | 250.0 | 400.0 |$' "$work/r.md" || fail "Markdown simple row"
grep -q "^| blas, % of the peak at its kernels' width | 25.0 | 41.7 | 100.0 |\$" "$work/r.md" ||
  fail "Markdown row of the library's share of the peak"
grep -q '^- limits (matmul-limits): memory roof 960.0 GB/s' "$work/r.md" || fail "Markdown limits"

# A failing run stops the script with its message and status, exports nothing.
for stand_in in failing garbled; do
  rm -f "$work/f.json" "$work/f.md"
  run 3 --export-json "$work/f.json" --export-markdown "$work/f.md" "$work/$stand_in"
  status=$?
  [ "$status" -ne 0 ] || fail "$stand_in: status 0"
  [ ! -e "$work/f.json" ] && [ ! -e "$work/f.md" ] || fail "$stand_in: exported after a failure"
  grep -q 'nothing exported' "$work/err" || fail "$stand_in: no word of the failure"
done
[ "$status" -eq 1 ] || fail "garbled output: status $status"
run 3 "$work/failing"
[ $? -eq 3 ] || fail "the program's own status is not passed on"
grep -q 'no random seed' "$work/err" || fail "the program's message is lost"

# The real program: the library's own account and the kernels' flags.
if [ -n "$program" ]; then
  run 1 --export-json "$work/p.json" "$program" || fail "status $? with the real program"
  python3 - "$work/p.json" <<'PY' || fail "real program's JSON"
import json, sys
r = json.load(open(sys.argv[1]))
b = r["openblas"]
assert b["version"].startswith("OpenBLAS 0."), b
assert b["core"] and b["core"] in b["config"], b
assert b["threads"] >= 1, b
e = r["environment"]
assert "-ffp-contract=off" in e["kernel_flags"], e
assert e["naive_variant"] in e["naive_variants_built"].split(), e
assert r["summary"]["diff"]["max"] < 1, r["summary"]
PY
fi
echo PASS
