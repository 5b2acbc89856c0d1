#!/usr/bin/env bash
# Runs a command as root in a Debian chroot of the project's own, under
# build/chroots/CODENAME, made with debootstrap on first use and kept for the
# next. The host sees none of it but that folder: the mounts the command needs
# live in a private mount namespace and end with it.
#
#   scripts/chroot.sh [--mirror URL] CODENAME COMMAND [ARGUMENT...]
#
# COMMAND is a bash command line, run in the chroot's /root, with the
# ARGUMENTs as its "$1", "$2" and so on: values go there, never into COMMAND.
# --mirror names the Debian archive to use (a snapshot mirror for packages no
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
[ $# -ge 2 ] || fail "usage: chroot.sh [--mirror URL] CODENAME COMMAND [ARGUMENT...]"
codename=$1 command=$2
shift 2
[[ $codename =~ ^[a-z]+$ ]] || fail "'$codename' is no Debian codename"
[ "$(id -u)" -eq 0 ] || fail "a Debian $codename chroot needs root: run this as root"

[ -n "$mirror" ] || mirror=$(debian_mirror "$(debian_codename)")
[ -n "$mirror" ] || fail "this host's apt sources name no Debian mirror: give one with --mirror URL"

dir=$root/build/chroots/$codename
if [ ! -e "$dir/.complete" ]; then
    command -v debootstrap >/dev/null ||
        quietly "installing debootstrap" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap
    echo "== making a Debian $codename chroot in $dir (once; later runs reuse it)"
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    # In a user namespace, such as a chroot entered with one, debootstrap
    # cannot make device files; told it is in a container, it binds /dev.
    container=${container:-}
    [[ $(tr -s ' ' </proc/self/uid_map) == ' 0 0 4294967295' ]] || container=lxc
    quietly "making the $codename chroot from $mirror" env ${container:+container=$container} \
        debootstrap --variant=minbase --include=ca-certificates "$codename" "$dir" "$mirror"
    cp /etc/resolv.conf "$dir/etc/resolv.conf"
    touch "$dir/.complete"
fi
# A snapshot mirror's lists are old by design. Backports (a release's
# osslsigncode may come from there) are installed only when named by version.
printf 'deb [check-valid-until=no] %s %s main\n' "$mirror" "$codename" >"$dir/etc/apt/sources.list"
[[ $mirror == *snapshot* ]] ||
    printf 'deb %s %s-%s main\n' "$mirror" "$codename" updates "$mirror" "$codename" backports >>"$dir/etc/apt/sources.list"

# Inside someone else's chroot, / is no mount point and cannot be made
# private; the mounts there are that chroot's own.
propagation=private
mountpoint -q / || propagation=unchanged
# shellcheck disable=SC2016 # expanded by the inner shell
exec unshare --mount --propagation "$propagation" --fork sh -c '
    dir=$1 && shift &&
    mount --rbind /dev "$dir/dev" && mount -t proc proc "$dir/proc" &&
    mount -t tmpfs tmpfs "$dir/tmp" &&
    exec chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin bash -c "cd /root && $1" "$@"' _ "$dir" "$command" "$@"
