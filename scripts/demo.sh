#!/usr/bin/env bash
# Builds loclistfix, then runs it once on a demo registry: a Wine prefix of its
# own, seeded with a version-2 location list, shown before and after. It runs
# the 32-bit build, the one users get (emulated where the kernel runs no
# 32-bit programs), or the 64-bit one where 32-bit programs cannot run at all.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/quietly.sh
wine=scripts/wine.sh

scripts/install-deps.sh
arch=x86
if ! how=$("$wine" can-run x86); then
    echo "== $how: the demo runs the 64-bit build"
    arch=x64
    how=$("$wine" can-run x64)
fi
preset=mingw-$arch
quietly "configuring the $preset build" cmake --preset "$preset"
quietly "building loclistfix ($preset)" cmake --build --preset "$preset" --target loclistfix

export WINEPREFIX="$PWD/build/demo/wineprefix"
trap '"$wine" stop >/dev/null 2>&1 || true' EXIT
# Wine's own tools are 64-bit; the list is the same in both registry views.
reg() {
    "$wine" run x64 reg.exe "$@" | tr -d '\r'
}

key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Locations'
echo "== preparing a demo registry in $WINEPREFIX"
"$wine" start
# Absent on a first run.
reg delete "$key" /f >/dev/null 2>&1 || true
list=$("$wine" run x64 winepath.exe -w scripts/demo-locations.reg | tr -d '\r')
quietly "importing scripts/demo-locations.reg" reg import "$list"

echo "== before"
reg query "$key" /s
echo "== running loclistfix.exe ($how)"
status=0
"$wine" run "$arch" "build/$preset/bin/loclistfix.exe" || status=$?
echo "exit status: $status"
echo "== after"
reg query "$key" /s
