#!/usr/bin/env bash
# Builds loclistfix and its tests for 32-bit Windows (the shipped build), then
# for 64-bit Windows, and runs every test of each under Wine, in a Wine prefix
# inside each build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in mingw-x86 mingw-x64; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
