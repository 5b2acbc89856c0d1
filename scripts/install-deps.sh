#!/usr/bin/env bash
# Installs, where missing, the Debian packages that building and testing need:
# CMake and Ninja, the MinGW-w64 cross compilers, Wine (32- and 64-bit),
# GoogleTest's sources, clang-format, clang-tidy, shellcheck and pyflakes3,
# Ansible with Debian's collections (ansible.windows among them) and
# ansible-lint, for the playbook's checks, and what releasing, signing and verifying take (zip and
# unzip, OpenSSL, osslsigncode, SoftHSM2, OpenSSL's PKCS#11 engine, and Python
# with pefile, asn1crypto and cryptography), and what verifying takes
# besides (bubblewrap, mmdebstrap, and uidmap's newuidmap). Where this host's kernel runs no
# 32-bit programs, also qemu-user 10 or newer, which emulates them: Debian
# 13's own, or on Debian 12 the one from bookworm-backports (a sources entry
# on this host's mirror at the default priority, so nothing else is upgraded
# from it).
# Needs root, or sudo.
#
#   install-deps.sh           everything
#   install-deps.sh release   only what scripts/package.sh needs: no Wine, no GoogleTest, no Ansible
#   install-deps.sh verify    that, and what scripts/verify-release.sh needs: bubblewrap and mmdebstrap
set -euo pipefail
scripts=$(dirname "$0")
# shellcheck source=scripts/quietly.sh
. "$scripts/quietly.sh"
# shellcheck source=scripts/debian-mirror.sh
. "$scripts/debian-mirror.sh"

release=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
         zip openssl osslsigncode libengine-pkcs11-openssl python3 python3-pefile python3-asn1crypto
         python3-cryptography)
# The verifier's sandbox, and the Debian systems it makes without root.
verify=(bubblewrap mmdebstrap uidmap)
case ${1:-all} in
    release) packages=("${release[@]}") ;;
    verify) packages=("${release[@]}" "${verify[@]}") ;;
    all) packages=("${release[@]}" "${verify[@]}" googletest wine wine32:i386 wine64 clang-format clang-tidy shellcheck pyflakes3
                   unzip softhsm2 ansible-core ansible ansible-lint) ;;
    *) echo "install-deps.sh: unknown group '$1' (all, release or verify)" >&2; exit 1 ;;
esac

as_root=()
become_root() {
    if [ "$(id -u)" -eq 0 ]; then
        as_root=()
    elif command -v sudo >/dev/null; then
        as_root=(sudo)
    else
        echo "missing packages ($*), and neither root nor sudo to install them" >&2
        exit 1
    fi
}
apt_install() {
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
# A mirror caught mid-sync fails one index (seen: the security archive's i386
# list) while the others arrive; the install still has what it needs.
apt_update() {
    quietly "updating the package lists" "${as_root[@]}" apt-get update ||
        echo "apt-get update failed for some lists (above); installing from the lists it has"
}

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    become_root "${missing[@]}"
    echo "installing: ${missing[*]}"
    if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${as_root[@]}" dpkg --add-architecture i386
    fi
    apt_update
    # Without one architecture's security list, 64- and 32-bit copies of a
    # library can no longer be had at the same version; the release's own
    # archive has both.
    codename=$(debian_codename)
    quietly "installing ${missing[*]}" apt_install "${missing[@]}" ||
        { [ -n "$codename" ] && quietly "installing ${missing[*]} from $codename alone" apt_install -t "$codename" "${missing[@]}"; }
fi
[ "${1:-all}" = all ] || exit 0

# qemu-user, where 32-bit programs are to be emulated: where the kernel does
# not run them, or where LOCLISTFIX_X86_ROUTE says so.
case ${LOCLISTFIX_X86_ROUTE:-} in
    native | none) exit 0 ;;
    emulated) ;;
    *) ! LOCLISTFIX_X86_ROUTE=native "$scripts/wine.sh" can-run x86 >/dev/null || exit 0 ;;
esac
version=$(qemu-i386 --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9]*\).*/\1/p') || true
[ "${version:-0}" -lt 10 ] || exit 0
become_root qemu-user
codename=$(debian_codename)
qemu="qemu-user"
if [ "$codename" = bookworm ]; then
    if ! apt-cache policy 2>/dev/null | grep -q 'a=bookworm-backports'; then
        mirror=$(debian_mirror bookworm)
        [ -n "$mirror" ] || { echo "this host's apt sources name no Debian mirror for bookworm-backports" >&2; exit 1; }
        echo "adding bookworm-backports ($mirror) to apt's sources, for qemu-user 10"
        printf 'deb %s bookworm-backports main\n' "$mirror" |
            "${as_root[@]}" tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
        apt_update
    fi
    qemu="qemu-user/bookworm-backports"
fi
echo "installing: $qemu (its qemu-i386 runs the 32-bit programs here)"
# Its recommended qemu-user-binfmt would register it for the whole system.
quietly "installing $qemu" apt_install "$qemu"
