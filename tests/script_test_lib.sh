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
