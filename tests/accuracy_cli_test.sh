#!/usr/bin/env bash
# Runs matmul-accuracy as a user would: bad arguments are refused with a
# usage line, and a small sample prints both rows and valid JSON.
# Usage: accuracy_cli_test.sh TOOL
set -u
tool=$1
# shellcheck source=script_test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_test_lib.sh"

for args in "--sample 0" "--sample 3000001" "--sample x" "--seed -1" "--seed 4294967296" \
  "--seed" "--json" "--bogus"; do
  # shellcheck disable=SC2086  # the arguments are meant to split
  timeout 60 "$tool" $args >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -eq 2 ] || fail "'$args': status $status, expected 2"
  [ ! -s "$work/out" ] || fail "'$args': output on stdout"
  grep -q '^usage: matmul-accuracy' "$work/err" || fail "'$args': no usage line"
done

timeout 300 "$tool" --seed 1 --sample 300 --json "$work/r.json" >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "status $status"
grep -Eq '^simple +[0-9.]+ +[0-9.]+ ' "$work/out" || fail "no simple row"
grep -Eq '^blas +[0-9.]+ +[0-9.]+ ' "$work/out" || fail "no blas row"
python3 - "$work/r.json" <<'PY' || fail "bad JSON"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["seed"] == 1 and r["sampled"] == 300, r
for side in ("simple", "blas"):
    s = r[side]
    # Within the a-priori bound, and consistent: max >= median >= 0.
    assert 0 <= s["median_of_bound"] <= s["max_of_bound"] <= 1, s
    assert 0 <= s["median_ulp"] <= s["max_ulp"], s
assert 0 <= r["blas_closer_share"] + r["tie_share"] <= 1
assert 0 < r["diff"] < 1, r["diff"]
PY
echo "PASS"
