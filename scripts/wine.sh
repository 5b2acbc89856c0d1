#!/usr/bin/env bash
# How this host runs Windows programs under Wine: the one place that finds the
# loaders and the server, that decides how 32-bit programs run here, and that
# starts and ends a prefix. CTest's emulator and prefix fixtures, the demo and
# the release tests all go through it.
#
#   wine.sh can-run ARCH             say how this host runs ARCH programs, in one
#                                    line ("x86: native", "x86: emulated by
#                                    qemu-i386 10.0.2"), and exit 0; or say why
#                                    it cannot ("x86: not run: …") and exit 1
#   wine.sh start                    make or update the prefix, and keep a server
#                                    up with Wine's own processes under it
#   wine.sh stop                     end every process of the prefix and wait for
#                                    its server, so that the registry is saved
#   wine.sh run ARCH PROGRAM [ARG…]  run a Windows program for ARCH (x86 or x64);
#                                    PROGRAM may be one of Wine's own (wineboot.exe)
#   wine.sh server [ARG…]            the prefix's wineserver (--kill, --wait, …)
#
# 32-bit programs run natively where the kernel executes 32-bit code; else
# emulated by qemu-i386 (qemu-user 10 or newer), registered for 32-bit x86
# ELF files in a binfmt_misc private to a user namespace, never system-wide;
# else not at all. LOCLISTFIX_X86_ROUTE=native, emulated or none forces one.
# Where 32-bit programs are emulated, every Wine process here (the server,
# wineboot and 64-bit programs too) starts under the registration, since any
# of them may start a 32-bit one.
#
# All but can-run need WINEPREFIX set, and keep Wine quiet, without Mono,
# Gecko or a display.
set -euo pipefail
# shellcheck source=scripts/quietly.sh
. "$(dirname "$0")/quietly.sh"
self=$0

# The first of these that exists. Debian keeps its loaders out of PATH, and its
# `wine` on PATH is a wrapper that prefers the 32-bit loader even for 64-bit
# programs; other distributions put `wine` and `wine64` on PATH.
first_of() {
    local candidate
    for candidate in "$@"; do
        if [[ $candidate == */* ]]; then
            [[ -x $candidate ]] && { echo "$candidate"; return 0; }
        elif command -v "$candidate" >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

loader() {
    case $1 in
        x64) first_of /usr/lib/wine/wine64 wine64 /usr/lib64/wine/wine64 /opt/wine-stable/bin/wine64 ;;
        # A Wine built for the new WoW64 mode has one loader, `wine`, for both.
        x86) first_of /usr/lib/wine/wine /opt/wine-stable/bin/wine wine ;;
        *) fail "unknown architecture '$1' (x86 or x64)" ;;
    esac
}

# Trying the loader is the only sure test: a kernel without 32-bit support
# refuses to execute Debian's 32-bit loader ("Exec format error").
runs_natively() {
    local message
    message=$("$1" --version 2>&1 >/dev/null) && return 0
    why="this host cannot execute Wine's loader ($1: ${message##*: })"
    return 1
}

# qemu-i386 before 10 takes minutes to boot a prefix.
qemu_minimum=10
qemu_path='' qemu_version=''
find_qemu() {
    qemu_path=$(first_of qemu-i386) || { why="qemu-i386 is not installed (qemu-user $qemu_minimum or newer)"; return 1; }
    qemu_version=$("$qemu_path" --version | sed -n '1s/^qemu-i386 version \([0-9][0-9.]*\).*/\1/p')
    [[ ${qemu_version%%.*} -ge $qemu_minimum ]] ||
        { why="qemu-i386 ${qemu_version:-of unknown version} is too old (qemu-user $qemu_minimum or newer)"; return 1; }
}

# The command prefix that hands 32-bit x86 ELF programs to qemu-i386, into
# the array under_qemu. The registration goes into the binfmt_misc instance
# of a user namespace of its own (Linux 6.7 and later), which maps the
# caller's ids onto themselves, so that Wine's files and sockets are the same
# inside and out. Inside a chroot the kernel makes no user namespace (EPERM);
# there a user namespace entered before the chroot takes it, but never the
# initial one, whose instance is the whole system's. Either way the entry
# goes with the last process that mounted it. F makes the kernel open
# qemu-i386 at registration, so that it is found from inside a chroot too.
under_qemu=()
prepare_qemu() {
    local entry namespace=(unshare --map-current-user --keep-caps --mount)
    entry=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    entry+=':\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    entry+=":$qemu_path:F"
    if ! unshare --map-current-user true 2>/dev/null; then
        [[ $(id -u) -eq 0 && $(tr -s ' ' </proc/self/uid_map) != ' 0 0 4294967295' ]] || {
            why="no user namespace can be made here for a private binfmt_misc (in a chroot, enter one before it)"
            return 1
        }
        # A chroot's / is no mount point, whose propagation could be set.
        namespace=(unshare --mount --propagation unchanged)
    fi
    # The capabilities that mounting took are dropped before Wine starts.
    # shellcheck disable=SC2016 # expanded by the inner shell
    under_qemu=("${namespace[@]}" sh -c '
        misc=/proc/sys/fs/binfmt_misc
        mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null || exit 125
        [ -e "$misc/qemu-i386" ] || printf "%s" "$0" >"$misc/register" || exit 125
        exec setpriv --inh-caps=-all --ambient-caps=-all -- "$@"' "$entry")
}

# How 32-bit programs run here: route becomes native or emulated, or why says
# why they cannot and it fails. Tried with Wine's loader itself, unless
# `quick`, where emulation that can be set up is taken to work: every `run`
# decides again, and under emulation the loader takes a moment to start.
route='' why=''
decide_route() {
    local path forced=${LOCLISTFIX_X86_ROUTE:-} status=0
    case $forced in
        '' | native | emulated) ;;
        none) why="LOCLISTFIX_X86_ROUTE=none says not to"; return 1 ;;
        *) fail "LOCLISTFIX_X86_ROUTE is native, emulated or none, not '$forced'" ;;
    esac
    path=$(loader x86) || { why="no Wine loader for x86 programs is installed"; return 1; }
    if [[ $forced != emulated ]]; then
        runs_natively "$path" && { route=native; return 0; }
        [[ $forced != native ]] || return 1
    fi
    find_qemu && prepare_qemu || return 1
    if [[ ${1:-} == quick ]]; then
        "${under_qemu[@]}" true || status=$?
    else
        why=$("${under_qemu[@]}" "$path" --version 2>&1 >/dev/null) || status=$?
    fi
    case $status in
        0) route=emulated ;;
        125) why="this kernel gives a user namespace no binfmt_misc of its own (Linux 6.7 or later does)" ;;
        *) why="Wine's x86 loader failed under qemu-i386 $qemu_version: ${why:-exit status $status}" ;;
    esac
    [[ $route == emulated ]]
}

can_run() {
    local path
    if [[ $1 == x86 ]]; then
        decide_route || { echo "x86: not run: $why"; return 1; }
        case $route in
            native) echo "x86: native" ;;
            emulated) echo "x86: emulated by qemu-i386 $qemu_version" ;;
        esac
    else
        path=$(loader "$1") || { echo "$1: not run: no Wine loader for $1 programs is installed"; return 1; }
        runs_natively "$path" || { echo "$1: not run: $why"; return 1; }
        echo "$1: native"
    fi
}

# Every process of a prefix starts alike: under qemu's registration where
# 32-bit programs are emulated, so that any of them can start a 32-bit one.
exec_wine_process() {
    decide_route quick || true
    [[ $route != emulated ]] || exec "${under_qemu[@]}" "$@"
    exec "$@"
}

server() {
    first_of wineserver /usr/lib/wine/wineserver /opt/wine-stable/bin/wineserver \
        || fail "no wineserver is installed"
}

# The prefix is always one of the project's own, never the user's.
use_private_prefix() {
    [[ -n ${WINEPREFIX:-} ]] || fail "WINEPREFIX is not set; it must name a prefix of the project's own"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
}

# Wine's background processes inherit the standard handles of whichever
# program started them, and with a persistent server they live as long as it
# does. Started here, with output held by quietly, they hold no caller's pipe
# open; started later by a test, they would keep that test "running" until stop.
#
# The prefix is a 64-bit one, made and served through the 64-bit loader, which
# every x86-64 host can execute; it runs 32-bit programs where the host can.
start() {
    # A prefix made where 32-bit programs could not run lacks its 32-bit half,
    # and booting it again does not add it: where they can run, start anew.
    if can_run x86 >/dev/null && [[ -e $WINEPREFIX/system.reg && ! -e $WINEPREFIX/drive_c/windows/syswow64/kernel32.dll ]]; then
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    # A persistent server started on a prefix that does not exist yet races
    # with the prefix's creation (seen: "could not load kernel32.dll"). So the
    # prefix is made first, with a server of its own, which is let go before
    # the persistent one starts and a second boot brings the processes back.
    quietly "creating the Wine prefix $WINEPREFIX" "$self" run x64 wineboot.exe --init
    quietly "waiting for the prefix's first server to exit" "$self" server --wait
    share_wine_files
    quietly "starting a persistent Wine server" "$self" server --persistent
    quietly "starting the prefix's processes" "$self" run x64 wineboot.exe --init
}

# Wine 8 gives each prefix a copy of each of its DLLs and programs, over a
# gigabyte, and links none. The prefixes beside this one (BUILD/*/wineprefix:
# the presets' and the demo's) share the copies that are alike as hard links.
# A file that one prefix's update rewrites in place is rewritten for all, with
# the same Wine's bytes, which each of them would have written anyway.
share_wine_files() {
    local build peer peers=()
    build=$(dirname "$(dirname "$WINEPREFIX")")
    for peer in "$build"/*/wineprefix/drive_c/windows; do
        [[ $peer -ef $WINEPREFIX/drive_c/windows ]] || peers+=("$peer")
    done
    [[ ${#peers[@]} -gt 0 ]] || return 0
    # One at a time: two prefixes made side by side would each link the other.
    flock "$build" hardlink --quiet --ignore-time --minimum-size 64K "$WINEPREFIX/drive_c/windows" "${peers[@]}" ||
        echo "wine.sh: the prefix's copies of Wine's files could not be shared with the prefixes beside it" >&2
}

stop() {
    # --kill fails only when no server is running, which is the state wanted.
    "$self" server --kill >/dev/null 2>&1 || true
    quietly "waiting for the Wine server to exit" "$self" server --wait
}

[[ $# -ge 1 ]] || fail "usage: wine.sh can-run ARCH | start | stop | run ARCH PROGRAM [ARG...] | server [ARG...]"
command=$1
shift
case $command in
    can-run)
        [[ $# -eq 1 ]] || fail "usage: wine.sh can-run ARCH"
        can_run "$1"
        ;;
    start | stop)
        [[ $# -eq 0 ]] || fail "usage: wine.sh $command"
        use_private_prefix
        "$command"
        ;;
    run)
        [[ $# -ge 2 ]] || fail "usage: wine.sh run ARCH PROGRAM [ARG...]"
        use_private_prefix
        path=$(loader "$1") || fail "no Wine loader for $1 programs is installed"
        shift
        # Wine starts the loader named here for the processes a program creates.
        export WINELOADER=$path
        # Wine's Mono is installed by wineboot, and only where mscoree is on:
        # off for wineboot. Other programs have Wine's own mscoree, without
        # which Wine 8 loads no IL-only .NET assembly (the tests' PowerShell
        # engine is a .NET program).
        [[ ${1##*[\\/]} == wineboot.exe ]] || export WINEDLLOVERRIDES="mshtml="
        exec_wine_process "$path" "$@"
        ;;
    server)
        use_private_prefix
        path=$(server)
        exec_wine_process "$path" "$@"
        ;;
    *) fail "unknown command '$command'" ;;
esac
