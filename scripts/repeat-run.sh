#!/usr/bin/env bash
# Runs matmul-bench N times (default 5) and prints min / median / max of each
# figure, the GFLOP/s of both multiplies, the speedup, the whole process's
# wall time, the time spent outside the two timed intervals and peak memory,
# with what produced them: the machine, the build and OpenBLAS as it
# reports itself (through matmul-bench-info, built beside the program).
# --export-json and --export-markdown write the same, for notebooks and for
# pasting into an issue; they are written only when every run succeeded.
# Usage: scripts/repeat-run.sh [N] [--export-json FILE] [--export-markdown FILE] [PROGRAM]
set -euo pipefail

usage() {
  echo "usage: $0 [N] [--export-json FILE] [--export-markdown FILE] [PROGRAM]" >&2
  exit 2
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
json_out=""
md_out=""
positional=()
while [ $# -gt 0 ]; do
  case $1 in
    --export-json | --export-markdown)
      [ $# -ge 2 ] && [ -n "$2" ] || usage
      if [ "$1" = --export-json ]; then json_out=$2; else md_out=$2; fi
      shift 2
      ;;
    --export-json=?*) json_out=${1#*=}; shift ;;
    --export-markdown=?*) md_out=${1#*=}; shift ;;
    -h | --help)
      echo "usage: $0 [N] [--export-json FILE] [--export-markdown FILE] [PROGRAM]"
      exit 0
      ;;
    -*) usage ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ ${#positional[@]} -le 2 ] || usage
runs=${positional[0]:-5}
exe=${positional[1]:-$root/build/matmul-bench}
[[ $runs =~ ^[1-9][0-9]*$ ]] || usage
[ -x "$exe" ] || { echo "$exe not found: run ./quickstart.sh bench first" >&2; exit 1; }

timer=()
if [ -x /usr/bin/time ]; then
  timer=(/usr/bin/time -f 'maxrss_kib %M' -o)  # GNU time, Debian package "time"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
samples=$work/samples
: >"$samples"
for ((i = 1; i <= runs; i++)); do
  start=$(date +%s%N)
  status=0
  if [ ${#timer[@]} -gt 0 ]; then
    "${timer[@]}" "$work/time" "$exe" >"$work/out" || status=$?
  else
    "$exe" >"$work/out" || status=$?
  fi
  end=$(date +%s%N)
  if [ "$status" -ne 0 ]; then
    # The program has said why on stderr, which is ours.
    echo "repeat-run: run $i of $runs failed with status $status; nothing exported" >&2
    exit "$status"
  fi
  rss=NA
  if [ -f "$work/time" ]; then rss=$(awk '/^maxrss_kib/ { print $2 }' "$work/time"); fi
  if ! awk -v wall_ns=$((end - start)) -v rss="${rss:-NA}" '
    /^simple: [0-9.]+ msec$/ { s = $2; n++ } /^blas: [0-9.]+ msec$/ { b = $2; n++ }
    /^diff: / { d = $2; n++ }
    END { if (n != 3 || NR != 3) exit 1; printf "%s %s %s %.3f %s\n", s, b, d, wall_ns / 1e6, rss }' \
    "$work/out" >>"$samples"; then
    echo "repeat-run: run $i of $runs printed no report:" >&2
    head -c 500 "$work/out" >&2
    echo "repeat-run: nothing exported" >&2
    exit 1
  fi
  echo "run $i: $(tr '\n' ' ' <"$work/out")" >&2
done

# Columns of a run: simple ms, blas ms, diff, wall ms, outside ms, peak RSS
# MB, exit status. 1.2e10 flops per multiply.
awk '{ printf "%s %s %s %s %.3f %s 0\n", $1, $2, $3, $4, $4 - $1 - $2,
       ($5 == "NA") ? "NA" : sprintf("%.1f", $5 * 1024 / 1e6) }' "$samples" >"$work/runs"
# One line per figure: key, label, format, min, median, max.
awk '
  function stat(key, label, fmt, col,    n, i, j, t, v, med) {
    n = 0
    for (i = 1; i <= NR; i++) { if (val[i, col] != "NA") v[++n] = val[i, col] + 0 }
    if (n == 0) { printf "%s|%s|%s|NA|NA|NA\n", key, label, fmt; return }
    for (i = 2; i <= n; i++) { t = v[i]; for (j = i - 1; j >= 1 && v[j] > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
    med = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    printf "%s|%s|%s|%.10g|%.10g|%.10g\n", key, label, fmt, v[1], med, v[n]
  }
  {
    val[NR, 1] = $1; val[NR, 2] = $2; val[NR, 3] = $3
    val[NR, 4] = 12000 / $1; val[NR, 5] = 12000 / $2; val[NR, 6] = $1 / $2
    val[NR, 7] = $4; val[NR, 8] = $5; val[NR, 9] = $6
  }
  END {
    stat("simple_ms", "simple (ms)", "%.1f", 1); stat("blas_ms", "blas (ms)", "%.1f", 2)
    stat("diff", "diff", "%.6f", 3)
    stat("simple_gflops", "simple (GFLOP/s)", "%.2f", 4)
    stat("blas_gflops", "blas (GFLOP/s)", "%.1f", 5)
    stat("speedup", "speedup (simple / blas)", "%.1f", 6)
    stat("wall_ms", "process wall time (ms)", "%.1f", 7)
    stat("outside_ms", "outside timed intervals (ms)", "%.1f", 8)
    stat("peak_rss_mb", "peak resident memory (MB)", "%.1f", 9)
  }' "$work/runs" >"$work/summary"

# --- What produced the figures.
json_str() {  # a JSON string, or null for nothing
  if [ $# -eq 0 ] || [ -z "$1" ]; then echo null; return; fi
  printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g' | tr -d '\000-\037')"
}
info_exe=$(dirname "$exe")/matmul-bench-info
[ -x "$info_exe" ] && "$info_exe" >"$work/info" 2>/dev/null || {
  : >"$work/info"
  echo "repeat-run: $info_exe not found: build and library facts are left out" >&2
}
info() {  # one fact of matmul-bench-info, as the JSON string it printed, or null
  local v
  v=$(sed -n "s/^  \"$1\": \(\".*\"\),\{0,1\}$/\1/p" "$work/info")
  echo "${v:-null}"
}
info_text() {  # the same, unquoted, for Markdown
  info "$1" | sed 's/^"//; s/"$//; s/\\"/"/g; s/\\\\/\\/g; s/^null$/unknown/'
}
cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
cores=$(nproc 2>/dev/null || echo 0)
has_flag() { grep -qw "$1" /proc/cpuinfo 2>/dev/null && echo true || echo false; }
thp=$(sed -n 's/.*\[\(.*\)\].*/\1/p' /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || true)
kernel=$(uname -sr)
commit=""
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  commit=$(git -C "$root" rev-parse --short=12 HEAD)
  git -C "$root" diff --quiet HEAD -- 2>/dev/null || commit="$commit-dirty"
fi
now=$(date -u +%Y-%m-%dT%H:%M:%SZ)
threads=$(info openblas_threads | tr -d '"')

text_table() {
  printf '%-30s %12s %12s %12s\n' "" min median max
  while IFS='|' read -r _ label fmt lo med hi; do
    if [ "$lo" = NA ]; then printf '%-30s %12s\n' "$label" n/a; continue; fi
    printf "%-30s %12${fmt#%} %12${fmt#%} %12${fmt#%}\n" "$label" "$lo" "$med" "$hi"
  done <"$work/summary"
}

echo "runs: $runs   CPU: ${cpu:-unknown}   cores: $cores   OPENBLAS_NUM_THREADS: ${OPENBLAS_NUM_THREADS:-unset}"
echo "OpenBLAS: $(info_text openblas_config) (core $(info_text openblas_core), $(info_text openblas_threads) threads)"
echo "naive loop: $(info_text naive_variant) build (of $(info_text naive_variants_built))"
text_table

if [ -n "$json_out" ]; then
  {
    echo "{"
    echo "  \"program\": $(json_str "$exe"),"
    echo "  \"runs\": ["
    awk '{ printf "%s    {\"simple_ms\": %s, \"blas_ms\": %s, \"diff\": %s, \"wall_ms\": %s, \"outside_ms\": %s, \"peak_rss_mb\": %s, \"exit_status\": %s}",
           (NR > 1 ? ",\n" : ""), $1, $2, $3, $4, $5, ($6 == "NA" ? "null" : $6), $7 } END { print "" }' "$work/runs"
    echo "  ],"
    echo "  \"summary\": {"
    awk -F'|' '{ if ($4 == "NA") v = "null"; else v = sprintf("{\"min\": %s, \"median\": %s, \"max\": %s}", $4, $5, $6)
                 printf "%s    \"%s\": %s", (NR > 1 ? ",\n" : ""), $1, v } END { print "" }' "$work/summary"
    echo "  },"
    echo "  \"environment\": {"
    echo "    \"cpu_model\": $(json_str "$cpu"),"
    echo "    \"cores\": $cores,"
    echo "    \"isa\": {\"avx2\": $(has_flag avx2), \"fma\": $(has_flag fma), \"avx512f\": $(has_flag avx512f)},"
    echo "    \"os_kernel\": $(json_str "$kernel"),"
    echo "    \"transparent_hugepages\": $(json_str "$thp"),"
    echo "    \"compiler\": $(info compiler),"
    echo "    \"kernel_flags\": $(info kernel_flags),"
    echo "    \"naive_variants_built\": $(info naive_variants_built),"
    echo "    \"naive_variant\": $(info naive_variant),"
    echo "    \"naive_variant_flags\": $(info naive_variant_flags),"
    echo "    \"build_type\": $(info build_type),"
    echo "    \"project_version\": $(info project_version),"
    echo "    \"git_commit\": $(json_str "$commit"),"
    echo "    \"date\": $(json_str "$now")"
    echo "  },"
    echo "  \"openblas\": {"
    echo "    \"version\": $(info openblas_version),"
    echo "    \"config\": $(info openblas_config),"
    echo "    \"core\": $(info openblas_core),"
    echo "    \"threads\": ${threads:-null}"
    echo "  },"
    echo "  \"environment_variables\": {"
    echo "    \"OPENBLAS_NUM_THREADS\": $(json_str "${OPENBLAS_NUM_THREADS:-}"),"
    echo "    \"OPENBLAS_CORETYPE\": $(json_str "${OPENBLAS_CORETYPE:-}"),"
    echo "    \"OMP_NUM_THREADS\": $(json_str "${OMP_NUM_THREADS:-}")"
    echo "  }"
    echo "}"
  } >"$work/json"
  mv "$work/json" "$json_out"
fi

if [ -n "$md_out" ]; then
  {
    echo "**matmul-bench**, $runs runs, $now: ${cpu:-unknown CPU}, $cores cores" \
      "(avx2 $(has_flag avx2), fma $(has_flag fma), avx512f $(has_flag avx512f)), $kernel, THP ${thp:-unknown}"
    echo
    echo "- build: $(info_text project_version) ${commit:+($commit) }$(info_text build_type)," \
      "$(info_text compiler), kernels \`$(info_text kernel_flags)\`;" \
      "naive loop built for $(info_text naive_variants_built), running $(info_text naive_variant)" \
      "\`$(info_text naive_variant_flags)\`"
    echo "- OpenBLAS: $(info_text openblas_config); core $(info_text openblas_core)," \
      "$(info_text openblas_threads) threads; OPENBLAS_NUM_THREADS=${OPENBLAS_NUM_THREADS:-unset}," \
      "OPENBLAS_CORETYPE=${OPENBLAS_CORETYPE:-unset}, OMP_NUM_THREADS=${OMP_NUM_THREADS:-unset}"
    echo
    echo "| figure | min | median | max |"
    echo "|---|---:|---:|---:|"
    while IFS='|' read -r _ label fmt lo med hi; do
      if [ "$lo" = NA ]; then echo "| $label | n/a | n/a | n/a |"; continue; fi
      printf "| %s | $fmt | $fmt | $fmt |\n" "$label" "$lo" "$med" "$hi"
    done <"$work/summary"
  } >"$work/md"
  mv "$work/md" "$md_out"
fi
