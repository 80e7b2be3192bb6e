# Shared by the shell tests: a scratch folder `work`, removed on exit, and
# `fail`, which shows what the command under test wrote to work/out and
# work/err before failing, naming `case_name` when the test has set one.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL${case_name:+ ($case_name)}: $*" >&2
  local f
  for f in out err; do
    if [ -s "$work/$f" ]; then
      echo "--- $f:" >&2
      head -c 2000 "$work/$f" >&2
    fi
  done
  exit 1
}

# The program's report in FILE: exactly the three lines, in order and in
# their formats (CR LF ends already removed), with a diff below 1.
check_report_lines() {
  [ "$(wc -l <"$1")" -eq 3 ] || fail "expected 3 report lines, got $(wc -l <"$1")"
  [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ] || fail "last line not terminated"
  grep -Eq '^simple: [0-9]+\.[0-9]{6} msec$' <(sed -n 1p "$1") || fail "bad simple line"
  grep -Eq '^blas: [0-9]+\.[0-9]{6} msec$' <(sed -n 2p "$1") || fail "bad blas line"
  grep -Eq '^diff: [0-9]+\.[0-9]{6}$' <(sed -n 3p "$1") || fail "bad diff line"
  # The library sums in another order, so the results differ by rounding
  # only: far below 1 in total over 3,000,000 elements of size ~1e5.
  awk '/^diff:/ { exit !($2 < 1.0) }' "$1" || fail "diff is not small"
}
