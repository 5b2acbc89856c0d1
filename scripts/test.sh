#!/usr/bin/env bash
# Builds loclistfix and its tests for 32-bit Windows (the shipped build), then
# for 64-bit Windows, and runs every test of each under Wine, in a Wine prefix
# inside each build tree; then tests the release command, signing included.
# On a host that cannot run 32-bit programs, the tests that run them are
# listed as not run, and the last line says so.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
ran=()
not_run=()
for arch in x86 x64; do
    cmake --workflow --preset "mingw-$arch"
    if reason=$(scripts/wine.sh can-run "$arch"); then
        ran+=("$arch")
    else
        not_run+=("$arch: $reason")
    fi
done
tests/release/release_test.sh
if [ ${#not_run[@]} -eq 0 ]; then
    echo "Windows programs run by the tests: ${ran[*]}"
else
    echo "Windows programs run by the tests: ${ran[*]:-none}; not run: ${not_run[*]}"
fi
