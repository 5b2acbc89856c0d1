#!/usr/bin/env bash
# Prints the size of loclistfix.exe beside the floor: an empty main built with
# the same toolchain and options. Usage: scripts/size-report.sh [preset]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-mingw-x86}

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target loclistfix size_floor >/dev/null
bin="build/$preset/bin"
program=$(stat -c %s "$bin/loclistfix.exe")
floor=$(stat -c %s "$bin/size_floor.exe")
echo "loclistfix.exe $program bytes"
echo "empty main     $floor bytes"
awk -v p="$program" -v f="$floor" 'BEGIN { printf "ratio          %.3f\n", p / f }'
