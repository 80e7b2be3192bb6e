#!/usr/bin/env bash
# Runs matmul-limits as the results tool does and checks its JSON: every
# field, in its unit and within what the hardware can do, and compute peaks
# that grow with the vector width. Usage: limits_test.sh TOOL
set -u
tool=$1
# shellcheck source=script_test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_test_lib.sh"

for args in "--threads 0" "--threads x" "--threads" "--json" "--bogus"; do
  # shellcheck disable=SC2086  # the arguments are meant to split
  timeout 60 "$tool" $args >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -eq 2 ] || fail "'$args': status $status, expected 2"
  grep -q '^usage: matmul-limits' "$work/err" || fail "'$args': no usage line"
done

timeout 120 "$tool" --json "$work/limits.json" >"$work/out" 2>"$work/err" || fail "status $?"
grep -q '^memory roof' "$work/out" || fail "no table"
/usr/bin/env python3 - "$work/limits.json" "$(uname -m)" <<'PY' || fail "limits JSON"
import json, sys
d = json.load(open(sys.argv[1]))
assert set(d) == {"threads", "fma", "memory_roof_gbs", "memory_buffer_bytes", "core_clock_ghz",
                  "compute_roofs"}, d
assert isinstance(d["threads"], int) and d["threads"] >= 1, d
assert d["memory_buffer_bytes"] == 48000000, d
# One core streams somewhere between a slow laptop's and a fast server's rate.
assert 0.5 < d["memory_roof_gbs"] < 1000, d
clock = d["core_clock_ghz"]
assert clock is None or 0.3 < clock < 8, d
roofs = d["compute_roofs"]
if sys.argv[2] == "x86_64":
    assert clock is not None and roofs, d
widths = [r["width_bits"] for r in roofs]
assert widths == sorted(set(widths)) and set(widths) <= {128, 256, 512}, widths
for r in roofs:
    assert r["fma"] == d["fma"], r
    # At most 4 vector pipes per core, each a multiply-add (2 flops) per lane
    # per cycle: anything above that is a unit error, not a fast machine.
    bound = d["threads"] * (clock or 8) * 1.1 * (r["width_bits"] // 64) * 2 * 4
    assert 0 < r["gflops"] < bound, (r, bound)
# Wider vectors never lose (within noise), and the widest is well ahead of
# 128 bits (a CPU that splits wide operations would be the exception).
for narrow, wide in zip(roofs, roofs[1:]):
    assert wide["gflops"] > 0.85 * narrow["gflops"], roofs
if len(roofs) > 1:
    assert roofs[-1]["gflops"] > 1.5 * roofs[0]["gflops"], roofs
print("limits:", d)
PY
echo PASS
