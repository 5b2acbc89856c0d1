#!/usr/bin/env bash
# Verifies a release folder against its commit: rebuilds the commit that its
# BUILDINFO names, at its SOURCE_DATE_EPOCH, with the toolchain versions it
# records (on this host where they match, else in a chroot of the recorded
# Debian release with those versions installed), takes the signatures off the
# released executables, and compares every file of the zips with the rebuild.
#
#   scripts/verify-release.sh [--mirror URL] DIR
#
# Prints one line per file, `verified` or where it differs, and a verdict;
# exits 0 only when every file matched. --mirror names the Debian archive for
# the chroot, such as a snapshot mirror, when a recorded version has left the
# current one. Run from a clone that holds the recorded commit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=scripts/quietly.sh
. "$root/scripts/quietly.sh"
# shellcheck source=scripts/toolchain.sh
. "$root/scripts/toolchain.sh"

mirror=()
if [ "${1:-}" = --mirror ]; then
    [ $# -ge 2 ] || fail "--mirror needs a URL"
    mirror=(--mirror "$2")
    shift 2
fi
[ $# -eq 1 ] || fail "usage: verify-release.sh [--mirror URL] DIR"
release=$(cd "$1" 2>/dev/null && pwd -P) || fail "$1: no such folder"

[ -r "$release/SHA256SUMS" ] || fail "$release holds no readable SHA256SUMS"
[ -r "$release/BUILDINFO" ] || fail "$release holds no readable BUILDINFO: it says how the release was made"
grep -Eq '^[0-9a-f]{64}  BUILDINFO$' "$release/SHA256SUMS" || fail "SHA256SUMS does not list BUILDINFO"
compgen -G "$release/loclistfix-*.zip" >/dev/null || fail "$release holds no loclistfix zip"
mismatch=$(cd "$release" && sha256sum -c SHA256SUMS 2>/dev/null | grep -v ': OK$' | head -n 1) || true
[ -z "$mismatch" ] || fail "the release does not match its SHA256SUMS ($mismatch)"

field() {
    sed -n "s/^$1: //p" "$release/BUILDINFO" | head -n 1
}
commit=$(field Commit) epoch=$(field Source-Date-Epoch) codename=$(field Build-Codename)
[[ $commit =~ ^[0-9a-f]{40}$ ]] || fail "BUILDINFO names no commit (its Commit: line)"
[[ $epoch =~ ^[0-9]+$ ]] || fail "BUILDINFO gives no Source-Date-Epoch"
[[ $codename =~ ^[a-z]+$ ]] || fail "BUILDINFO names no Debian release (its Build-Codename: line)"
[ "$(field Build-Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "the release was built on $(field Build-Architecture), this host is $(dpkg --print-architecture)"
declare -A recorded
while read -r package version; do
    recorded[$package]=$version
done < <(sed -n 's/^Package: //p' "$release/BUILDINFO")
for package in "${toolchain_build_packages[@]}"; do
    [ -n "${recorded[$package]:-}" ] || fail "BUILDINFO records no version of $package"
done
git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null ||
    fail "commit ${commit:0:12} is not in this clone: fetch it, then verify again"

"$root/scripts/install-deps.sh" release
work=''
trap '[ -z "$work" ] || rm -rf "$work"' EXIT
work=$(mktemp -d "${TMPDIR:-/tmp}/loclistfix-verify.XXXXXX")

# Where this host has the recorded toolchain, the rebuild runs here.
differing=''
for package in "${toolchain_build_packages[@]}"; do
    here=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || here=''
    [ "$here" = "${recorded[$package]}" ] || { differing="$package ${here:-(none)} here, ${recorded[$package]} recorded"; break; }
done
here_codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mkdir "$work/rebuilt" "$work/released"
if [ -z "$differing" ]; then
    echo "== rebuilding commit ${commit:0:12} on this host"
    git -C "$root" archive "$commit" | tar -x -C "$work/rebuilt"
    (cd "$work/rebuilt" && SOURCE_DATE_EPOCH=$epoch quietly "rebuilding commit ${commit:0:12}" \
        scripts/package.sh --out "$work/rebuilt/release")
else
    echo "== this host's toolchain is not the release's ($differing; Debian $here_codename here, $codename recorded):" \
        "rebuilding in a Debian $codename chroot"
    [ "$(id -u)" -eq 0 ] || fail "rebuilding in a Debian $codename chroot needs root: run this as root"
    pinned=()
    for package in "${toolchain_build_packages[@]}"; do pinned+=("$package=${recorded[$package]}"); done
    inside=verify-$$
    in_chroot() {
        "$root/scripts/chroot.sh" "${mirror[@]}" "$codename" "$1"
    }
    # The rest of what the release needs, the commit's own package.sh installs.
    if ! in_chroot "apt-get update -qq >/dev/null 2>&1; apt-get install -y -qq --no-install-recommends ${pinned[*]} >/dev/null 2>&1"; then
        for package in "${toolchain_build_packages[@]}"; do
            in_chroot "apt-cache madison $package | cut -d'|' -f2 | tr -d ' ' | grep -qxF '${recorded[$package]}'" ||
                fail "$package ${recorded[$package]} is no longer in the Debian archive: name a snapshot mirror that has it with --mirror URL"
        done
        fail "the recorded toolchain cannot be installed in the $codename chroot"
    fi
    chroot_dir=$root/build/chroots/$codename
    rm -rf "${chroot_dir:?}/root/$inside"
    mkdir -p "$chroot_dir/root/$inside"
    trap 'rm -rf "$chroot_dir/root/$inside"; [ -z "$work" ] || rm -rf "$work"' EXIT
    git -C "$root" archive "$commit" | tar -x -C "$chroot_dir/root/$inside"
    in_chroot "cd $inside && SOURCE_DATE_EPOCH=$epoch scripts/package.sh --out /root/$inside/release >/dev/null" ||
        fail "rebuilding commit ${commit:0:12} in the $codename chroot failed"
    mkdir -p "$work/rebuilt/release"
    cp "$chroot_dir/root/$inside/release/"* "$work/rebuilt/release/"
fi

# Every file of the released zips against the rebuild's, executables with
# their signatures taken off.
files=0 differs=0
for zip in "$release"/loclistfix-*.zip; do
    [ -f "$work/rebuilt/release/${zip##*/}" ] || { echo "differs: ${zip##*/}: the rebuild has no such zip"; differs=$((differs + 1)); continue; }
    unzip -q -o "$zip" -d "$work/released"
    unzip -q -o "$work/rebuilt/release/${zip##*/}" -d "$work/rebuilt/files"
done
if ! diff <(cd "$work/released" && find . -type f | sort) <(cd "$work/rebuilt/files" && find . -type f | sort) >/dev/null; then
    echo "differs: the zips do not hold the same files as the rebuild's"
    differs=$((differs + 1))
fi
while read -r file; do
    files=$((files + 1))
    released=$work/released/$file
    if [[ $file == *.exe ]] && osslsigncode remove-signature -in "$released" -out "$released.unsigned" >/dev/null 2>&1; then
        released=$released.unsigned
    fi
    if ! [ -f "$work/rebuilt/files/$file" ]; then
        echo "differs: $file: the rebuild has no such file"
    elif offset=$(cmp "$released" "$work/rebuilt/files/$file" 2>&1); then
        echo "verified: $file"
        continue
    else
        offset=${offset#* differ: }
        echo "differs: $file: first difference at ${offset%%,*}"
    fi
    differs=$((differs + 1))
done < <(cd "$work/released" && find . -type f ! -name '*.unsigned' | sed 's|^\./||' | LC_ALL=C sort)

if [ "$differs" -eq 0 ]; then
    echo "verdict: verified: all $files files are the build of commit ${commit:0:12}"
else
    echo "verdict: NOT verified: $differs of the release's files differ from the build of commit ${commit:0:12}"
    exit 1
fi
