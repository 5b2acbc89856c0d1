# Sourced by the scripts. quietly WHAT COMMAND [ARG...] runs a command with its
# output held back; if it fails, says what was being done, shows everything
# the command printed, and returns the command's status.
quietly() {
    local what=$1 log status=0
    shift
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "failed (exit status $status) while $what:" >&2
        cat "$log" >&2
    fi
    rm -f "$log"
    return "$status"
}
