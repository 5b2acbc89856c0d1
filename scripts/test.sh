#!/usr/bin/env bash
# Builds loclistfix and its tests for 32-bit Windows (the shipped build) and
# for 64-bit Windows, and runs every test of each under Wine, in a Wine prefix
# inside each build tree; the 64-bit build's tests also hold the release
# rows, which test the release command, signing included.
# The two builds run side by side, and so do the 32-bit tests (minutes where
# 32-bit programs are emulated) and the rest. Every part runs even when
# another fails; the last line says how 32-bit programs ran (natively, or
# emulated by qemu-i386) or why they could not, and the exit status is 0 only
# if nothing failed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# One decision for the whole run, which every configure and Wine process
# follows. Where x86 programs cannot run, each configure finds that again and
# says why.
x86=$(scripts/wine.sh can-run x86) || true
case $x86 in
    "x86: native"*) export LOCLISTFIX_X86_ROUTE=native ;;
    "x86: emulated"*) export LOCLISTFIX_X86_ROUTE=emulated ;;
esac
echo "== $x86"

failed=()
mkdir -p build
build() {
    cmake --preset "mingw-$1" && cmake --build --preset "mingw-$1"
}
# The 32-bit output waits in a file while the 64-bit one shows.
build x86 >build/mingw-x86.log 2>&1 &
x86_job=$!
x64_built=1 x86_built=1
build x64 || { failed+=(mingw-x64); x64_built=0; }
wait "$x86_job" || { failed+=(mingw-x86); x86_built=0; }
cat build/mingw-x86.log
if [ $x86_built = 1 ]; then
    ctest --preset mingw-x86 >build/mingw-x86.log 2>&1 &
    x86_job=$!
fi
[ $x64_built = 0 ] || ctest --preset mingw-x64 || failed+=(mingw-x64)
if [ $x86_built = 1 ]; then
    wait "$x86_job" || failed+=(mingw-x86)
    cat build/mingw-x86.log
fi

ran=() not_run=()
[[ $x86 == "x86: native" ]] && ran+=(x86)
[[ $x86 == "x86: emulated"* ]] && ran+=("x86 (${x86#x86: })")
[[ $x86 == "x86: not run"* ]] && not_run+=("$x86")
if x64=$(scripts/wine.sh can-run x64); then ran+=(x64); else not_run+=("$x64"); fi
[ ${#failed[@]} -eq 0 ] || echo "FAILED: ${failed[*]}"
echo "Windows programs run by the tests: ${ran[*]:-none}${not_run[*]:+; ${not_run[*]}}"
[ ${#failed[@]} -eq 0 ]
