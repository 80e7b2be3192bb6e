#!/bin/sh
# Runs a Windows program under Wine for the build's tests: wine-run.sh WINE
# PROGRAM [ARGS]. Wine's first program in a prefix starts the prefix's
# background services, and they keep that program's output open for as
# long as they live, so a caller that reads the output to its end (CTest)
# would wait for them. Here a server and its services are started first,
# with their output elsewhere, once for all the tests that run at the same
# time; they stop a minute after the last program.
wine=$1
shift
wineserver=$(dirname "$wine")/wineserver64
[ -x "$wineserver" ] || wineserver=$(dirname "$wine")/wineserver
mkdir -p "$WINEPREFIX"
(
  flock 9
  # The lock is not theirs to keep: the server and services outlive this.
  if "$wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>"$WINEPREFIX.lock"
exec "$wine" "$@"
