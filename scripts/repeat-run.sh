#!/usr/bin/env bash
# Kept for the scripts that call it: `matmul-results run` with the same
# arguments, which repeats matmul-bench N times (default 5), summarises every
# figure and sets it against this machine's limits.
# Usage: scripts/repeat-run.sh [N] [--export-json FILE] [--export-markdown FILE] [PROGRAM]
exec "$(dirname "${BASH_SOURCE[0]}")/matmul-results" run "$@"
