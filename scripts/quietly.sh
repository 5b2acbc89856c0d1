# shellcheck shell=bash
# Sourced by the scripts. quietly WHAT COMMAND [ARG...] runs a command with its
# output held back; if it fails, says what was being done, shows everything
# the command printed, and returns the command's status. The output is held in
# memory, so an interrupted step leaves no log file behind.
quietly() {
    local what=$1 output status=0
    shift
    output=$("$@" 2>&1) || status=$?
    if [ "$status" -ne 0 ]; then
        echo "failed (exit status $status) while $what:" >&2
        printf '%s\n' "$output" >&2
    fi
    return "$status"
}

# fail MESSAGE: the script's one line on standard error, and exit 1. A PIN in
# a PKCS#11 URI never reaches the screen.
fail() {
    printf '%s: %s\n' "${0##*/}" "$*" | sed -E 's/(pin-value=)[^;?&]*/\1(hidden)/g' >&2
    exit 1
}
