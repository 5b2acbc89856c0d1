#!/usr/bin/env bash
# Prints the size of loclistfix.exe beside its floors: an empty main built with
# the same toolchain, options and resources, and the same without resources.
# Usage: scripts/size-report.sh [preset...]   (default: mingw-x86 mingw-x64)
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- mingw-x86 mingw-x64

for preset in "$@"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target loclistfix size_floor size_floor_bare >/dev/null
    bin="build/$preset/bin"
    program=$(stat -c %s "$bin/loclistfix.exe")
    echo "$preset"
    for floor in size_floor size_floor_bare; do
        size=$(stat -c %s "$bin/$floor.exe")
        awk -v n="$floor" -v p="$program" -v f="$size" \
            'BEGIN { printf "  loclistfix.exe %6d bytes  %-16s %6d bytes  ratio %.3f\n", p, n, f, p / f }'
    done
done
