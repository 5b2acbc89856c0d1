#!/usr/bin/env bash
# Makes, without root, the Debian system that a release of another Debian
# release is rebuilt in: CODENAME's minimal system with apt, the given
# package versions and the other packages named, from the Debian archive,
# unpacked into FOLDER as files of the caller's own. It is made new each
# time; all that is kept between runs is CACHE, the archive's .deb files,
# which apt takes only where they match the archive's signed lists.
#
#   debian-system.sh [--mirror URL] CODENAME CACHE FOLDER PACKAGE[=VERSION]...
#
# mmdebstrap's unshare mode does the work in a user namespace, so the caller
# needs subordinate user and group ids (/etc/subuid and /etc/subgid).
# --mirror names the Debian archive (a snapshot mirror for packages no
# longer current); by default the host's own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=scripts/quietly.sh
. "$root/scripts/quietly.sh"
# shellcheck source=scripts/debian-mirror.sh
. "$root/scripts/debian-mirror.sh"

mirror=''
if [ "${1:-}" = --mirror ]; then
    [ $# -ge 2 ] || fail "--mirror needs a URL"
    mirror=$2
    shift 2
fi
[ $# -ge 4 ] || fail "usage: debian-system.sh [--mirror URL] CODENAME CACHE FOLDER PACKAGE[=VERSION]..."
codename=$1 cache=$2 folder=$3
shift 3
[[ $codename =~ ^[a-z]+$ ]] || fail "'$codename' is no Debian codename"
# mmdebstrap splits a hook's words at white space.
[[ $cache =~ ^/[^[:space:]]*$ ]] || fail "the cache folder $cache must be a whole path without white space"
[ -n "$mirror" ] || mirror=$(debian_mirror "$(debian_codename)")
[ -n "$mirror" ] || fail "this host's apt sources name no Debian mirror: give one with --mirror URL"
user=$(id -un)
{ grep -q "^$user:" /etc/subuid && grep -q "^$user:" /etc/subgid; } ||
    fail "making a Debian $codename system without root needs subordinate ids for the user $user in /etc/subuid and /etc/subgid (usermod --add-subuids FIRST-LAST --add-subgids FIRST-LAST $user)"

# A snapshot mirror's lists are old by design. Backports are installed only
# when named by version.
sources=("deb [check-valid-until=no] $mirror $codename main")
[[ $mirror == *snapshot* ]] || sources+=("deb $mirror $codename-updates main" "deb $mirror $codename-backports main")
mkdir -p "$cache"
packages=$(IFS=, && echo "$*")
# Device files are the sandbox's own; the caller could not make them.
# shellcheck disable=SC2016 # mmdebstrap hands the hook its folder as $1
mmdebstrap --mode=unshare --variant=apt --format=tar --include="$packages" \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
    --setup-hook="sync-in $cache /var/cache/apt/archives/" \
    --customize-hook="sync-out /var/cache/apt/archives $cache" \
    "$codename" - "${sources[@]}" | tar -x -C "$folder" --exclude='./dev/*'
