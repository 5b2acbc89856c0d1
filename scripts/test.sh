#!/usr/bin/env bash
# Builds loclistfix and its tests for 32-bit Windows and runs every test under
# Wine, in a Wine prefix inside the build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset mingw-x86
cmake --build --preset mingw-x86
ctest --preset mingw-x86
