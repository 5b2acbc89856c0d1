#!/usr/bin/env bash
# Builds loclistfix, then runs it once on a demo registry: a Wine prefix of its
# own, seeded with a version-2 location list, shown before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86 --target loclistfix >/dev/null

export WINEPREFIX="$PWD/build/demo/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver --kill 2>/dev/null || true' EXIT

key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Locations'
echo "== preparing a demo registry in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot --init >/dev/null 2>&1
wine reg delete "$key" /f >/dev/null 2>&1 || true
wine reg import "$(winepath -w scripts/demo-locations.reg)" >/dev/null 2>&1

echo "== before"
wine reg query "$key" /s | tr -d '\r'
echo "== running loclistfix.exe"
status=0
wine build/mingw-x86/bin/loclistfix.exe || status=$?
echo "exit status: $status"
echo "== after"
wine reg query "$key" /s | tr -d '\r'
