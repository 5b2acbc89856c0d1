# shellcheck shell=bash
# Sourced by the scripts. quietly WHAT COMMAND [ARG...] runs a command with its
# output held back; if it fails, says what was being done, shows everything
# the command printed, and returns the command's status.
#
# The output goes to a file, not a pipe: programs that the command leaves
# running in the background (Wine's own, say) inherit it, and on a pipe they
# would hold the caller until they end. The file is unlinked as soon as it is
# open, so an interrupted step leaves nothing behind.
quietly() {
    local what=$1 log status=0 write read
    shift
    log=$(mktemp)
    # shellcheck disable=SC2094 # one file, written by the command, read back after
    exec {write}>"$log" {read}<"$log"
    rm -f "$log"
    "$@" >&"$write" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "failed (exit status $status) while $what:" >&2
        cat <&"$read" >&2
    fi
    exec {write}>&- {read}<&-
    return "$status"
}

# A relative TMPDIR names a folder below the one the command was started in,
# wherever the command goes from there.
case ${TMPDIR:-/} in
    /*) ;;
    *) TMPDIR=$PWD/$TMPDIR && export TMPDIR ;;
esac

# fail MESSAGE: the script's one line on standard error, and exit 1. A PIN in
# a PKCS#11 URI never reaches the screen.
fail() {
    printf '%s: %s\n' "${0##*/}" "$*" | sed -E 's/(pin-value=)[^;?&]*/\1(hidden)/gI' >&2
    exit 1
}
