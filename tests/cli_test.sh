#!/usr/bin/env bash
# Runs the built program as a user or a script would and checks what it
# prints and how it exits.  Usage: cli_test.sh PROGRAM CASE
# MATMUL_TEST_EMULATOR, when set, is the command that runs PROGRAM (Wine).
set -u

exe=$1
case_name=$2
# shellcheck disable=SC2206  # a command and its arguments, split on blanks
prog=(${MATMUL_TEST_EMULATOR:-} "$exe")
# shellcheck source=script_test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_test_lib.sh"

# The three report lines, in order, each newline-terminated, nothing else.
check_report() {
  # A Windows program's standard output is in text mode: CR LF line ends.
  if [ -n "${MATMUL_TEST_EMULATOR:-}" ]; then sed -i 's/\r$//' "$work/out"; fi
  check_report_lines "$work/out"
  [ ! -s "$work/err" ] || fail "unexpected output on stderr"
}

expect_status() {
  [ "$1" -eq "$2" ] || fail "exit status $1, expected $2"
}

expect_error() {
  grep -q "^matmul-bench: .*$1" "$work/err" || fail "stderr lacks '$1'"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "expected one line on stderr"
}

# The two endings a limited run may have: status 0 with the report, or 2
# with nothing on stdout and our one line matching $1. Returns 1 for any
# other `status`, for the caller to judge.
check_report_or_refusal() {
  case $status in
    0) check_report ;;
    2)
      [ ! -s "$work/out" ] || fail "stdout is not empty"
      expect_error "$1"
      ;;
    *) return 1 ;;
  esac
}

# Runs the program under `ulimit FLAG KIB` (-v address space, -d data) and
# fails unless it ends within 30 s in one of the allowed ways: the report and
# status 0, or our one-line refusal and status 2. Below about 48 MB and a
# thread stack per core, the loader may refuse to map a library (127), or
# OpenBLAS to start its threads (130), before any of our code runs. Sets
# `status`.
stack_kib=$(ulimit -s)
# glibc gives threads 32 MiB each when the stack is unlimited.
[ "$stack_kib" != unlimited ] || stack_kib=32768
# OpenBLAS starts a thread per core it may use; OMP_* would change nproc's answer.
before_main_kib=$((48000 + $(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc) * stack_kib))
# Once a run has reported under a limit, a larger limit of the same kind
# leaves the run more room and nothing else: it only has to be admitted.
# The check admits or refuses before any work, so such a run is stopped
# half a second in (status 124) rather than timed in full, and a refusal
# (status 2, within milliseconds) fails it. One full multiply per sweep.
declare -A reported_at=()
admitted_run() {
  local what=$1
  shift
  timeout -k 2 0.5 "$@" >"$work/out" 2>"$work/err"
  status=$?
  case $status in
    0 | 124) status=0 ;;
    *) fail "status $status under $what, more room than a run that reported had" ;;
  esac
}
limited_run() {
  local flag=$1 kib=$2
  if [ -n "${reported_at[$flag]:-}" ] && [ "$kib" -gt "${reported_at[$flag]}" ]; then
    admitted_run "ulimit $flag $kib" bash -c 'ulimit -c 0 && ulimit "$1" "$2" && exec "$3"' _ \
      "$flag" "$kib" "$exe"
    return
  fi
  timeout -k 5 30 bash -c 'ulimit -c 0 && ulimit "$1" "$2" && exec "$3"' _ "$flag" "$kib" "$exe" \
    >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -ne 0 ] || reported_at[$flag]=$kib
  case_name="$case_name, ulimit $flag $kib"
  check_report_or_refusal "out of memory: the matrices need 112000000 bytes" || case $status in
    124 | 137) fail "no end within 30 s" ;;
    127 | 130)
      [ "$kib" -lt "$before_main_kib" ] || fail "status $status at a limit our code should have handled"
      grep -Eq 'error while loading shared libraries|blas_thread_init: pthread_create failed' \
        "$work/err" || fail "status $status without the loader's or the library's message"
      ;;
    *) fail "status $status" ;;
  esac
  case_name=${case_name%, ulimit*}
}

# A child memory cgroup of the one this test runs in, for cgroup_run:
# cgroup v1's memory controller where it is mounted, else v2's. Needs root
# and a writable hierarchy; sets `cgroup` (removed on exit) and `cgroup_v2`,
# or returns 1 with the reason in `cgroup_why`.
cgroup_setup() {
  cgroup_why="not root"
  [ "$(id -u)" -eq 0 ] || return 1
  local mount path
  mount=$(awk '$(NF-2) == "cgroup" && $NF ~ /(^|,)memory(,|$)/ { print $5; exit }' /proc/self/mountinfo)
  path=$(sed -n 's/^[0-9]*:\([^:]*,\)\{0,1\}memory\(,[^:]*\)\{0,1\}:\(.*\)/\3/p' /proc/self/cgroup)
  cgroup_v2=false
  if [ -z "$mount" ] || [ -z "$path" ]; then
    mount=$(awk '$(NF-2) == "cgroup2" { print $5; exit }' /proc/self/mountinfo)
    path=$(sed -n 's/^0:://p' /proc/self/cgroup)
    cgroup_v2=true
    cgroup_why="no cgroup filesystem with a memory controller"
    [ -n "$mount" ] && [ -n "$path" ] || return 1
    # v2 lets a child have the controller only where the parent passes it on.
    grep -qw memory "$mount$path/cgroup.subtree_control" 2>/dev/null ||
      echo +memory >"$mount$path/cgroup.subtree_control" 2>/dev/null || {
      cgroup_why="cgroup v2's memory controller cannot be enabled under $mount$path"
      return 1
    }
  fi
  cgroup=$mount${path%/}/matmul-bench-test-$$
  mkdir "$cgroup" 2>/dev/null || { cgroup_why="cannot create a cgroup under $mount$path"; return 1; }
  # Ours to remove even when a check fails; every run has ended by then.
  trap 'rmdir "$cgroup" 2>/dev/null; rm -rf "$work"' EXIT
}

# Runs the program in the cgroup under a limit of $1 bytes, with no swap
# to escape into, and fails unless it ends within 30 s with the report and
# 0 or our one line and 2. Sets `status`.
cgroup_run() {
  local bytes=$1
  if [ "$cgroup_v2" = true ]; then
    echo "$bytes" >"$cgroup/memory.max" || fail "cannot set memory.max"
    [ ! -e "$cgroup/memory.swap.max" ] || echo 0 >"$cgroup/memory.swap.max"
    bytes=$(cat "$cgroup/memory.max")  # as the kernel rounded it, to pages
  else
    # The memory+swap limit may not fall below the memory limit.
    [ ! -e "$cgroup/memory.memsw.limit_in_bytes" ] || echo -1 >"$cgroup/memory.memsw.limit_in_bytes"
    echo "$bytes" >"$cgroup/memory.limit_in_bytes" || fail "cannot set memory.limit_in_bytes"
    [ ! -e "$cgroup/memory.memsw.limit_in_bytes" ] ||
      echo "$bytes" >"$cgroup/memory.memsw.limit_in_bytes"
    bytes=$(cat "$cgroup/memory.limit_in_bytes")
  fi
  if [ -n "${reported_at[cgroup]:-}" ] && [ "$bytes" -gt "${reported_at[cgroup]}" ]; then
    admitted_run "a container limit of $bytes bytes" bash -c \
      'echo $$ >"$1/cgroup.procs" && exec "$2"' _ "$cgroup" "$exe"
    return
  fi
  timeout -k 5 30 bash -c 'echo $$ >"$1/cgroup.procs" && exec "$2"' _ "$cgroup" "$exe" \
    >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -ne 0 ] || reported_at[cgroup]=$bytes
  case_name="$case_name, container limit $bytes bytes"
  check_report_or_refusal "out of memory: the matrices need 112000000 bytes and about [0-9]* more, with [0-9]* in use, but the container's memory limit is $bytes bytes" ||
    case $status in
    124) fail "no end within 30 s" ;;
    137) fail "killed (status 137): the kernel's OOM killer, not our check, ended the run" ;;
    *) fail "status $status" ;;
  esac
  case_name=${case_name%, container limit*}
}

case $case_name in
  report)
    "${prog[@]}" >"$work/out" 2>"$work/err"
    expect_status $? 0
    check_report
    ;;
  arguments-ignored)
    "${prog[@]}" --help -n 5 /nonexistent >"$work/out" 2>"$work/err"
    expect_status $? 0
    check_report
    ;;
  stdout-full)
    [ -w /dev/full ] || { echo "SKIP: no /dev/full here"; exit 77; }
    "${prog[@]}" >/dev/full 2>"$work/err"
    expect_status $? 4
    if [ -n "${MATMUL_TEST_EMULATOR:-}" ]; then
      # The Windows C runtime sets no errno for the failed flush.
      expect_error "cannot write the report to standard output: write error"
    else
      expect_error "cannot write the report to standard output: No space left on device"
    fi
    ;;
  stdout-closed)
    "${prog[@]}" >&- 2>"$work/err"
    expect_status $? 4
    if [ -n "${MATMUL_TEST_EMULATOR:-}" ]; then
      # Wine hands the program a standard output handle even for a closed
      # descriptor, so the loss shows only when the report is written.
      expect_error "cannot write the report to standard output"
    else
      expect_error "standard output is closed"
    fi
    ;;
  pipe-closed-early)
    # A reader that has gone: with SIGPIPE at its default the program dies
    # of it, as command-line tools do (128 + 13) ... A shell that inherited
    # SIGPIPE ignored cannot restore it, so that half needs a default start.
    sig_ignored=$(awk '/^SigIgn:/ { print $2 }' /proc/$$/status 2>/dev/null || echo 0)
    if (( (16#${sig_ignored:-0} >> 12) & 1 )); then
      echo "SIGPIPE is ignored by the caller: only the ignored case is checked"
    else
      "$exe" 2>"$work/err" | true
      expect_status "${PIPESTATUS[0]}" 141
    fi
    # ... and where SIGPIPE is ignored the write error is reported instead.
    (trap '' PIPE; "$exe" 2>"$work/err" | true; exit "${PIPESTATUS[0]}")
    expect_status $? 4
    expect_error "cannot write the report to standard output: Broken pipe"
    ;;
  memory-limits)
    # Every limit from too small to load the program up to 1 GiB: the run
    # either reports or refuses with our message, and never hangs.
    for kib in 16384 20000 24000 32000 40000 44000 48000 52000 56000 64000 96000 128000 \
      160000 180000 200000 230000 260000 300000 350000 400000; do
      limited_run -v "$kib"
      # The check's own refusal states what the run needs: keep the last.
      if [ "$status" -eq 2 ] && grep -q "already in use" "$work/err"; then
        cp "$work/err" "$work/refusal"
      fi
    done
    # The edge of the band we refuse, from what the message says the run
    # needs: every library's program refuses some limit of the sweep (those
    # below the matrices, at least) with its amounts.
    [ -s "$work/refusal" ] || fail "no limit was refused with the amounts the run needs"
    need_kib=$(sed -E 's/.*need ([0-9]+) bytes and the library.s buffers ([0-9]+) more, with ([0-9]+) already.*/\1 \2 \3/' \
      "$work/refusal" | awk '{ print int(($1 + $2 + $3) / 1024) }')
    [ -n "$need_kib" ] && [ "$need_kib" -gt $((112000000 / 1024)) ] || fail "no amounts in the message"
    limited_run -v $((need_kib - 4096))
    [ "$status" -eq 2 ] || fail "$((need_kib - 4096)) KiB, below what the run needs, was not refused"
    for kib in "$need_kib" $((need_kib + 8192)) $((need_kib + 16384)); do
      limited_run -v "$kib"
    done
    for kib in $((need_kib + 32768)) $((need_kib + 1048576)); do
      limited_run -v "$kib"
      [ "$status" -eq 0 ] || fail "no report under a $kib KiB address-space limit"
    done
    # The library's workers map their buffers while the check runs, so one
    # run proves little: start it again and again and stop each one once the
    # check is long past. A refusal comes within milliseconds.
    kib=$((need_kib + 32768))
    for attempt in $(seq 24); do
      timeout -k 2 0.5 bash -c 'ulimit -v "$1" && exec "$2"' _ "$kib" "$exe" \
        >"$work/out" 2>"$work/err"
      status=$?
      [ "$status" -eq 124 ] || [ "$status" -eq 0 ] ||
        fail "start $attempt under a $kib KiB limit ended with status $status"
    done
    # The data-segment limit counts the same mappings.
    for kib in 8192 20000 300000 $((need_kib + 1048576)); do
      limited_run -d "$kib"
    done
    [ "$status" -eq 0 ] || fail "no report under a $kib KiB data limit"
    ;;
  cgroup-limits)
    # A container's memory limit (the cgroup memory controller), from too
    # small to load the program up to 512 MiB: the run reports or refuses
    # with our message, never killed (137) and never hung.
    cgroup_setup || { echo "SKIP: $cgroup_why"; exit 77; }
    for mib in 16 24 32 40 48 56 64 80 96 100 112 128 136 144 160 192 256 320 384 512; do
      cgroup_run $((mib << 20))
    done
    # The edge, from the amounts the message states.
    cgroup_run $((100 << 20))
    [ "$status" -eq 2 ] || fail "a 100 MiB container limit was not refused"
    need=$(sed -E 's/.*need ([0-9]+) bytes and about ([0-9]+) more, with ([0-9]+) in use.*/\1 \2 \3/' \
      "$work/err" | awk '{ print $1 + $2 + $3 }')
    [ -n "$need" ] && [ "$need" -gt 112000000 ] || fail "no amounts in the message"
    cgroup_run $((need - (4 << 20)))
    [ "$status" -eq 2 ] || fail "$((need - (4 << 20))) bytes, below what the run needs, was not refused"
    cgroup_run $((need + (64 << 20)))
    [ "$status" -eq 0 ] || fail "no report under a $((need + (64 << 20)))-byte container limit"
    ;;
  cpu-limits)
    # One CPU, one library thread, more threads than cores, lowest priority.
    # MATMUL_TEST_THREADS_VARIABLE sets the library's threads (OpenBLAS's
    # when unset; empty for a library whose count is fixed).
    threads_variable=${MATMUL_TEST_THREADS_VARIABLE-OPENBLAS_NUM_THREADS}
    hows=("taskset -c 0" "nice -n 19")
    if [ -n "$threads_variable" ]; then
      hows+=("env $threads_variable=1" "env $threads_variable=8")
    fi
    for how in "${hows[@]}"; do
      # shellcheck disable=SC2086  # $how is a command and its arguments
      timeout -k 5 120 $how "$exe" >"$work/out" 2>"$work/err"
      status=$?
      [ "$status" -ne 124 ] || fail "no end within 120 s under '$how'"
      expect_status "$status" 0
      check_report
    done
    ;;
  out-of-memory-windows)
    # Windows has no address-space limit that a test could set from here (a
    # job object would need a launcher of its own), and Wine maps its own
    # memory under any ulimit, so the allocation failure cannot be shown.
    echo "SKIP: Wine cannot show the program running out of memory"
    exit 77
    ;;
  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac
echo "PASS ($case_name)"
