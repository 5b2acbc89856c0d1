#!/usr/bin/env bash
# Builds both executables and packs them: build/packages/ receives
# loclistfix-<version>-win32.zip, loclistfix-<version>-win64.zip and SHA256SUMS.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
out=build/packages
rm -rf "$out"
mkdir -p "$out"
for preset in mingw-x86 mingw-x64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target loclistfix >/dev/null
    cpack --preset "$preset" >/dev/null
    cp "build/$preset"/packages/loclistfix-*.zip "$out"/
done
(cd "$out" && sha256sum loclistfix-*.zip > SHA256SUMS && cat SHA256SUMS)
