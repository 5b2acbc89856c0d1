#!/usr/bin/env bash
# Installs, where missing, the Debian packages that building and testing need:
# CMake and Ninja, the MinGW-w64 cross compilers, Wine (32- and 64-bit),
# GoogleTest's sources, clang-format and clang-tidy, and what releasing and
# signing take (zip and unzip, OpenSSL, osslsigncode, SoftHSM2 and OpenSSL's PKCS#11
# engine). Needs root, or sudo.
set -euo pipefail
. "$(dirname "$0")/quietly.sh"

packages=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
          wine wine32:i386 wine64 clang-format clang-tidy
          zip unzip openssl osslsigncode softhsm2 libengine-pkcs11-openssl)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "missing packages (${missing[*]}), and neither root nor sudo to install them" >&2
    exit 1
fi

echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
quietly "updating the package lists" "${as_root[@]}" apt-get update
quietly "installing ${missing[*]}" "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
