#!/usr/bin/env bash
# Runs the harness's square-size sweep and plots GFLOP/s against size for
# the naive loop and cblas_dgemm (log-log) as an SVG.
# Usage: scripts/plot-sweep.sh [OUTPUT.svg] [HARNESS.json to plot instead of running]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
svg=${1:-$root/build/sweep.svg}
json=${2:-}

need() {  # command, Debian package
  command -v "$1" >/dev/null 2>&1 && return
  if command -v apt-get >/dev/null 2>&1; then
    local sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$2" >&2
  else
    echo "$1 is needed: install $2" >&2
    exit 1
  fi
}
need python3 python3
need gnuplot gnuplot-nox

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$json" ]; then
  harness=$root/build/bench/matmul-harness
  [ -x "$harness" ] || { echo "$harness not found: build with Google Benchmark installed" >&2; exit 1; }
  json=$work/sweep.json
  "$harness" --benchmark_filter=Square --benchmark_out="$json" --benchmark_out_format=json >&2
fi

# One data file per series: size, GFLOP/s.
python3 - "$json" "$work" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
series = {"simple": [], "dgemm": []}
for r in runs:
    if r.get("run_type", "iteration") != "iteration" or "_Square/" not in r["name"]:
        continue
    key = "simple" if r["name"].startswith("BM_Simple") else "dgemm"
    size = int(r["name"].split("/")[1])
    series[key].append((size, r["GFLOP"]))
for key, points in series.items():
    with open(f"{sys.argv[2]}/{key}.dat", "w") as f:
        for size, gflops in sorted(points):
            f.write(f"{size} {gflops}\n")
PY

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || echo "unknown CPU")
gnuplot <<GP
set terminal svg size 800,500 dynamic font "sans,12"
set output "$svg"
set title "C = A·B, n×n doubles: naive i-p-j loop vs OpenBLAS dgemm ($cpu, $(nproc) cores)"
set xlabel "n"
set ylabel "GFLOP/s"
set logscale xy 2
set format y "%g"
set grid
set key top left
plot "$work/dgemm.dat" with linespoints lw 2 pt 7 title "cblas\\\\_dgemm", \
     "$work/simple.dat" with linespoints lw 2 pt 5 title "simple\\\\_multiply (naive)"
GP
echo "wrote $svg"
