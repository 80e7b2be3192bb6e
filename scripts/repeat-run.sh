#!/usr/bin/env bash
# Runs matmul-bench N times (default 5) and prints min / median / max of each
# figure, the GFLOP/s of both multiplies, the speedup, the whole process's
# wall time, the time spent outside the two timed intervals and peak memory.
# Usage: scripts/repeat-run.sh [N] [PROGRAM]
set -euo pipefail

runs=${1:-5}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=${2:-$root/build/matmul-bench}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [N] [PROGRAM]" >&2; exit 2; }
[ -x "$exe" ] || { echo "$exe not found: run ./quickstart.sh bench first" >&2; exit 1; }

timer=()
if [ -x /usr/bin/time ]; then
  timer=(/usr/bin/time -f 'maxrss_kib %M' -o)  # GNU time, Debian package "time"
fi

samples=$(mktemp)
trap 'rm -f "$samples" "$samples.t"' EXIT
for ((i = 1; i <= runs; i++)); do
  start=$(date +%s%N)
  if [ ${#timer[@]} -gt 0 ]; then
    out=$("${timer[@]}" "$samples.t" "$exe")
  else
    out=$("$exe")
  fi
  end=$(date +%s%N)
  rss=$( [ -f "$samples.t" ] && awk '/^maxrss_kib/ { print $2 }' "$samples.t" || echo NA)
  echo "$out" | awk -v wall_ns=$((end - start)) -v rss="$rss" '
    /^simple:/ { s = $2 } /^blas:/ { b = $2 } /^diff:/ { d = $2 }
    END { printf "%s %s %s %s %s\n", s, b, d, wall_ns / 1e6, rss }' >>"$samples"
  echo "run $i: $(tr '\n' ' ' <<<"$out")" >&2
done

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || echo unknown)
echo "runs: $runs   CPU: $cpu   cores: $(nproc)   OPENBLAS_NUM_THREADS: ${OPENBLAS_NUM_THREADS:-unset}"
# Columns: simple ms, blas ms, diff, wall ms, peak RSS KiB. 1.2e10 flops.
awk '
  function show(name, fmt, col,    n, i, j, t, v) {
    n = 0
    for (i = 1; i <= NR; i++) { if (val[i, col] != "NA") v[++n] = val[i, col] }
    if (n == 0) { printf "%-28s %s\n", name, "n/a"; return }
    for (i = 2; i <= n; i++) { t = v[i]; for (j = i - 1; j >= 1 && v[j] > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
    med = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    printf "%-28s " fmt " " fmt " " fmt "\n", name, v[1], med, v[n]
  }
  {
    val[NR, 1] = $1; val[NR, 2] = $2; val[NR, 3] = $3
    val[NR, 4] = 12000 / $1; val[NR, 5] = 12000 / $2; val[NR, 6] = $1 / $2
    val[NR, 7] = $4; val[NR, 8] = $4 - $1 - $2
    val[NR, 9] = ($5 == "NA") ? "NA" : $5 * 1024 / 1e6
  }
  END {
    printf "%-28s %12s %12s %12s\n", "", "min", "median", "max"
    show("simple (ms)", "%12.1f", 1); show("blas (ms)", "%12.1f", 2)
    show("diff", "%12.6f", 3)
    show("simple (GFLOP/s)", "%12.2f", 4); show("blas (GFLOP/s)", "%12.1f", 5)
    show("speedup (simple / blas)", "%12.1f", 6)
    show("process wall time (ms)", "%12.1f", 7)
    show("outside timed intervals (ms)", "%12.1f", 8)
    show("peak resident memory (MB)", "%12.1f", 9)
  }' "$samples"
