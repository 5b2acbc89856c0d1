#!/usr/bin/env bash
# Makes, without root, the Debian system that a release of another Debian
# release is rebuilt in: CODENAME's minimal system with apt, the given
# package versions and the other packages named, from the Debian archive,
# unpacked into FOLDER as files of the caller's own. The archive's .deb
# files are kept in CACHE, which apt takes only where they match the
# archive's signed lists.
#
#   debian-system.sh key [--mirror URL] CODENAME PACKAGE[=VERSION]...
#   debian-system.sh make [--mirror URL] CODENAME CACHE FOLDER PACKAGE[=VERSION]...
#
# A system is known by its key: a hash of the codename, the apt sources, the
# archive's signed lists (each suite's InRelease, as the archive serves it
# now) and the packages asked for. `key` prints the key that `make` would
# make now; `make` prints the key of the lists it was made from, which
# differs only where the archive changed in between.
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

usage="usage: debian-system.sh key|make [--mirror URL] CODENAME [CACHE FOLDER] PACKAGE[=VERSION]..."
step=${1:-}
[[ $step == key || $step == make ]] || fail "$usage"
shift
mirror=''
if [ "${1:-}" = --mirror ]; then
    [ $# -ge 2 ] || fail "--mirror needs a URL"
    mirror=$2
    shift 2
fi
[ $# -ge 2 ] || fail "$usage"
codename=$1
shift
[[ $codename =~ ^[a-z]+$ ]] || fail "'$codename' is no Debian codename"
[ -n "$mirror" ] || mirror=$(debian_mirror "$(debian_codename)")
[ -n "$mirror" ] || fail "this host's apt sources name no Debian mirror: give one with --mirror URL"
mirror=${mirror%/}
user=$(id -un)

# A snapshot mirror's lists are old by design. Backports are installed only
# when named by version.
suites=("$codename")
[[ $mirror == *snapshot* ]] || suites+=("$codename-updates" "$codename-backports")
sources=()
for suite in "${suites[@]}"; do
    sources+=("deb [check-valid-until=no] $mirror $suite main")
done

# key LISTS PACKAGE...: the key of a system made from the InRelease files in LISTS.
key() {
    local lists=$1
    shift
    {
        echo "$codename"
        printf '%s\n' "${sources[@]}"
        (cd "$lists" && sha256sum -- *InRelease | cut -d' ' -f1 | sort)
        printf '%s\n' "$@" | sort
    } | sha256sum | cut -d' ' -f1
}
if [ "$step" = key ]; then
    lists=$(mktemp -d)
    trap 'rm -rf "$lists"' EXIT
    for suite in "${suites[@]}"; do
        # apt's own fetcher, with apt's proxy settings; its errors name the address.
        /usr/lib/apt/apt-helper -o "APT::Sandbox::User=$user" \
            download-file "$mirror/dists/$suite/InRelease" "$lists/$suite.InRelease" >&2
    done
    key "$lists" "$@"
    exit
fi

[ $# -ge 3 ] || fail "$usage"
cache=$1 folder=$2
shift 2
[[ $cache =~ ^/[^[:space:]]*$ ]] || fail "the cache folder $cache must be a whole path without white space"
{ grep -q "^$user:" /etc/subuid && grep -q "^$user:" /etc/subgid; } ||
    fail "making a Debian $codename system without root needs subordinate ids for the user $user in /etc/subuid and /etc/subgid (usermod --add-subuids FIRST-LAST --add-subgids FIRST-LAST $user)"
mkdir -p "$cache"
packages=$(IFS=, && echo "$*")
# Device files are the sandbox's own; the caller could not make them. The
# signed lists apt read come out with the system, in /signed-lists, before
# mmdebstrap clears them, and are taken off once their key is known.
# shellcheck disable=SC2016 # mmdebstrap hands the hook its folder as $1
mmdebstrap --mode=unshare --variant=apt --format=tar --include="$packages" \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
    --setup-hook="sync-in $cache /var/cache/apt/archives/" \
    --customize-hook="sync-out /var/cache/apt/archives $cache" \
    --customize-hook='mkdir "$1"/signed-lists && cp "$1"/var/lib/apt/lists/*_InRelease "$1"/signed-lists/' \
    "$codename" - "${sources[@]}" | tar -x -C "$folder" --exclude='./dev/*'
key "$folder/signed-lists" "$@"
rm -r "$folder/signed-lists"
