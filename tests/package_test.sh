#!/usr/bin/env bash
# Builds the Windows ZIP, unpacks it into an empty folder and runs the
# program from there under the emulator, as a Windows user would after
# downloading it. Usage: package_test.sh BUILD_DIR ZIP_NAME OBJDUMP EMULATOR...
set -u
build=$1
zip=$2
objdump=$3
shift 3
# shellcheck source=script_test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_test_lib.sh"

cmake --build "$build" --target package >"$work/out" 2>&1 || fail "cmake --target package"
[ -f "$build/$zip" ] || fail "$zip not written into $build"
mkdir "$work/user"
(cd "$work/user" && cmake -E tar xf "$build/$zip") || fail "cannot unpack $zip"
dir=$work/user/${zip%.zip}
for f in matmul-bench.exe matmul-bench-info.exe README.txt LICENSE-OpenBLAS.txt; do
  [ -f "$dir/$f" ] || fail "$f missing from the package"
done
grep -q 'Redistribution and use in source and binary forms' "$dir/LICENSE-OpenBLAS.txt" ||
  fail "LICENSE-OpenBLAS.txt is not a BSD licence"

# A 64-bit console program that needs no DLL but Windows' own.
"$objdump" -p "$dir/matmul-bench.exe" >"$work/pe" || fail "objdump"
grep -q 'PE32+' "$work/pe" || fail "not PE32+"
grep -q 'Subsystem.*Windows CUI' "$work/pe" || fail "not a console program"
dlls=$(awk '/DLL Name:/ { print tolower($3) }' "$work/pe" | sort -u | tr '\n' ' ')
for dll in $dlls; do
  case $dll in
    kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ucrtbase.dll | api-ms-win-*) ;;
    *) fail "needs $dll, which Windows does not have: $dlls" ;;
  esac
done

# Run from the unpacked folder, with nothing of the build tree at hand.
(cd "$work/user" && timeout 300 "$@" "$dir/matmul-bench.exe") >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 0 ] || fail "status $status"
tr -d '\r' <"$work/out" >"$work/report"
check_report_lines "$work/report"
echo PASS
