#!/usr/bin/env bash
# Installs, where missing, the Debian packages that building and testing need:
# CMake and Ninja, the MinGW-w64 cross compilers, Wine (32- and 64-bit),
# GoogleTest's sources, clang-format and clang-tidy, and what releasing and
# signing take (zip and unzip, OpenSSL, osslsigncode, SoftHSM2 and OpenSSL's PKCS#11
# engine). Needs root, or sudo.
#
#   install-deps.sh           everything
#   install-deps.sh release   only what scripts/package.sh needs: no Wine, no GoogleTest
set -euo pipefail
# shellcheck source=scripts/quietly.sh
. "$(dirname "$0")/quietly.sh"

release=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
         zip openssl osslsigncode libengine-pkcs11-openssl)
case ${1:-all} in
    release) packages=("${release[@]}") ;;
    all) packages=("${release[@]}" googletest wine wine32:i386 wine64 clang-format clang-tidy shellcheck
                   unzip softhsm2 python3) ;;
    *) echo "install-deps.sh: unknown group '$1' (all or release)" >&2; exit 1 ;;
esac

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
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one index (seen: the security archive's i386
# list) while the others arrive; the install below still has what it needs.
quietly "updating the package lists" "${as_root[@]}" apt-get update ||
    echo "apt-get update failed for some lists (above); installing from the lists it has"
install() {
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" "${missing[@]}"
}
# Without one architecture's security list, 64- and 32-bit copies of a library
# can no longer be had at the same version; the release's own archive has both.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
quietly "installing ${missing[*]}" install ||
    { [ -n "$codename" ] && quietly "installing ${missing[*]} from $codename alone" install -t "$codename"; }
