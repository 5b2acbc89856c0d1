#!/usr/bin/env bash
# How this host runs Windows programs under Wine: the one place that finds the
# loaders and the server, that tells whether 32-bit programs can run here, and
# that starts and ends a prefix. CTest's emulator and prefix fixtures, the demo
# and the release tests all go through it.
#
#   wine.sh can-run ARCH             exit 0 if this host runs ARCH programs; else
#                                    print why, in one line, and exit 1
#   wine.sh start                    make or update the prefix, and keep a server
#                                    up with Wine's own processes under it
#   wine.sh stop                     end every process of the prefix and wait for
#                                    its server, so that the registry is saved
#   wine.sh run ARCH PROGRAM [ARG…]  run a Windows program for ARCH (x86 or x64);
#                                    PROGRAM may be one of Wine's own (wineboot.exe)
#   wine.sh server [ARG…]            the prefix's wineserver (--kill, --wait, …)
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
can_run() {
    local path message
    path=$(loader "$1") || { echo "no Wine loader for $1 programs is installed"; return 1; }
    if ! message=$("$path" --version 2>&1 >/dev/null); then
        echo "this host cannot execute Wine's $1 loader ($path: ${message##*: })"
        return 1
    fi
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
    quietly "starting a persistent Wine server" "$self" server --persistent
    quietly "starting the prefix's processes" "$self" run x64 wineboot.exe --init
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
        exec "$path" "$@"
        ;;
    server)
        use_private_prefix
        path=$(server)
        exec "$path" "$@"
        ;;
    *) fail "unknown command '$command'" ;;
esac
