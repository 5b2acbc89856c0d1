#!/usr/bin/env bash
# The release: builds both executables and writes, into build/packages/ (or
# --out DIR), loclistfix-<version>-win32.zip, loclistfix-<version>-win64.zip
# and SHA256SUMS over the two. Built twice from the same commit, they are the
# same bytes: every date in them is the commit's (SOURCE_DATE_EPOCH), and
# order and permissions are fixed.
#
# Given a signing key, the executables in the zips are signed, as
# scripts/sign.sh describes; without one, they are not:
#   scripts/package.sh [--out DIR]
#       [--sign-pkcs12 FILE | --sign-pkcs11-module MODULE --sign-key URI --sign-cert FILE]
#       [--timestamp-url URL] [--info-url URL]
# A bad key, password or certificate is reported before anything is built,
# and a failure at any step leaves no release behind.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/quietly.sh

out=build/packages
signing=()
while [ $# -gt 0 ]; do
    case $1 in
        --out)
            [ $# -ge 2 ] || { echo "package.sh: --out needs a folder" >&2; exit 1; }
            out=$2
            shift 2 ;;
        *) signing+=("$1"); shift ;;
    esac
done

scripts/install-deps.sh
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
if [ ${#signing[@]} -gt 0 ]; then
    if [[ " ${signing[*]} " != *" --info-url "* ]]; then
        origin=$(git remote get-url origin 2>/dev/null || true)
        case $origin in
            http://* | https://*) signing+=(--info-url "${origin%.git}") ;;
            *) echo "== no --info-url, and the origin remote is no web address: the signatures carry no URL" ;;
        esac
    fi
    scripts/sign.sh --check "${signing[@]}"
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# Only the release's own files go; the folder may hold others.
rm -f "$out"/loclistfix-*-win32.zip "$out"/loclistfix-*-win64.zip "$out/SHA256SUMS"
mkdir -p "$stage/release"
for preset in mingw-x86 mingw-x64; do
    quietly "configuring the $preset build" cmake --preset "$preset"
    quietly "building loclistfix ($preset)" cmake --build --preset "$preset" --target loclistfix
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$preset/CMakeCache.txt")
    case $preset in mingw-x86) arch=win32 ;; *) arch=win64 ;; esac
    name=loclistfix-$version-$arch
    quietly "staging $name" cmake --install "build/$preset" --prefix "$stage/$name"
    if [ ${#signing[@]} -gt 0 ]; then
        scripts/sign.sh "${signing[@]}" "build/$preset/bin/loclistfix.exe" "$stage/$name/loclistfix.exe"
    fi
    (
        cd "$stage"
        find "$name" -type f -exec chmod 644 {} +
        chmod 755 "$name/loclistfix.exe"
        find "$name" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
        # zip writes local time, so the zone is fixed too.
        find "$name" -type f | LC_ALL=C sort | quietly "zipping $name" env TZ=UTC zip -X -D -q "release/$name.zip" -@
    )
done
(cd "$stage/release" && sha256sum loclistfix-*.zip > SHA256SUMS)
mkdir -p "$out"
mv "$stage/release"/* "$out"/
cat "$out/SHA256SUMS"
