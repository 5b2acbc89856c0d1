#!/usr/bin/env bash
# One release row, as CTest runs it: row.sh GROUP NAME, where GROUP is a
# table (sign, refuse, verify: NAME is its row), check (NAME is a function
# of checks.sh) or end-to-end (NAME is x86 or x64). A row fails with what
# went wrong; the release command's spy must have seen nothing of the secrets.
set -euo pipefail
# shellcheck source=tests/release/lib.sh
. "$(dirname "$0")/lib.sh"
group=$1 name=$2
load_keys
start_row "$group.$name"

# The row NAME of TABLE, its fields in the array `fields`.
table_row() {
    local line
    line=$(awk -v name="$2 | " 'index($0, name) == 1' "$root/tests/release/$1.table")
    [ -n "$line" ] || { echo "no row $2 in $1.table" && return 2; }
    IFS=$'\x1f' read -r -a fields <<<"${line// | /$'\x1f'}"
}

# The output folder of a release also holds another version's zip and a file of the user's.
other_files() {
    echo "an older version" >"$1/loclistfix-0.9.0-win32.zip"
    echo "the user's own" >"$1/notes.txt"
}

sign_row() {
    local tree ca=$keys/${fields[4]} says=${fields[5]:-} zip
    tree=$(fill "${fields[2]}")
    fill_words "${fields[1]}"
    environment=("${words[@]}")
    fill_words "${fields[3]}"
    cp "$keys/signer.p12" .
    release "$tree" out "${words[@]}" || { cat out.log && return 1; }
    for zip in out/loclistfix-*.zip; do signed_build "$zip" "$ca" || return; done
    [ "$ca" != "$keys/signer.pem" ] || same_zips "$work/pkcs12" out || return
    [ -z "$says" ] || grep -qF "$says" out.log || { echo "its output does not say: $says" && return 1; }
    [ -z "$(ls -A "$keys/canary")" ] || { echo "the release ran what it was given: $(ls "$keys/canary")" && return 1; }
}

# Every entry of the folder, with its time and, for a file, its SHA-256.
snapshot() {
    (cd "$1" && find . -mindepth 1 -exec ls -ld --time-style=+%s {} + && find . -type f -exec sha256sum {} +)
}
# beside-another.sh --out OUT [OPTIONS...]: the release command, while another
# one into OUT waits at its first configure step; that one is then
# interrupted, as from a terminal of its own, and leaves no trace either.
beside_another() {
    cat >beside-another.sh <<SCRIPT
#!/bin/sh
LOCLISTFIX_SPY_WAIT="$row_dir/waiting" LOCLISTFIX_SPY_SIGNAL=INT \\
    setsid /usr/bin/env --default-signal=INT "$root/scripts/package.sh" "\$@" >/dev/null 2>&1 &
other=\$!
while [ ! -e "$row_dir/waiting" ]; do sleep 0.1; done
status=0
"$root/scripts/package.sh" "\$@" || status=\$?
rm "$row_dir/waiting"
wait \$other
exit \$status
SCRIPT
    chmod +x beside-another.sh
}
# One line that says WORDS and no secret; the output folder (an earlier
# release and files of the user's), the temporary folder and the exit status
# as they should be, and no process of the release left running.
refuse_row() {
    local says=${fields[1]} out=$row_dir/out status=0 refused=1 errors before assignment arguments=() i
    environment=()
    fill_words "${fields[2]:-}"
    for assignment in "${words[@]}"; do
        printf -v assignment '%b' "$assignment" && environment+=("$assignment")
    done
    fill_words "${fields[3]:-}"
    [[ ${words[0]:-} == */*.sh ]] || words=("$root/scripts/package.sh" "${words[@]}")
    [[ ${words[0]} != */beside-another.sh ]] || beside_another
    for ((i = 1; i < ${#words[@]}; i++)); do
        if [ "${words[i]}" = --out ]; then
            out=${words[i + 1]} && i=$((i + 1))
            mountpoint -q "$out" || skip "no full disk: no tmpfs could be mounted"
        else
            arguments+=("${words[i]}")
        fi
    done
    mkdir -p "$out" && cp "$work"/unsigned/* "$out/" && other_files "$out"
    before=$(snapshot "$out")
    errors=$(release_command "${words[0]}" --out "$out" "${arguments[@]}" 2>&1 >/dev/null) || status=$?
    if ! [[ $status -ne 0 && $(printf '%s\n' "$errors" | wc -l) -eq 1 && $errors == *"$says"* &&
        $errors != *"$pin"* && $errors != *"$password"* && $errors != *TOKEN* && $before == "$(snapshot "$out")" &&
        -z $(ls -A tmp) && -z $(pgrep -f "$row_dir/tmp/") ]]; then
        echo "exit status $status, said: $errors"
        refused=0
    fi
    [ "$out" = "$row_dir/out" ] || rm -rf "${out:?}"/* "$out"/.[!.]* 2>/dev/null || true
    [ "$refused" -eq 1 ]
}

# The verdict, or a failure's one line, says WORDS, with exit status STATUS;
# nothing reached the canary folder, and no rebuild printed this run's
# password, which a change may put where the rebuild must not see it. The
# memory a verification may take is capped, and so is its time.
verify_row() {
    local from=${fields[1]} change=${fields[2]} user=${fields[3]} status=${fields[4]} says output errors code=0 as=()
    local verifier release=$row_dir/verify shared=''
    local options=() assignments=() leftovers=()
    says=$(fill "${fields[5]}")
    fill_words "${fields[6]:-}" && options=("${words[@]}")
    fill_words "${fields[7]:-}" && assignments=("${words[@]}")
    [ -d "$work/$from" ] || skip "no $from release to verify"
    # A Debian 13 system is made where this host is not Debian 13, or for a backport.
    if [[ $from == trixie && ($(debian_codename) != trixie || $change == pinned_backport) ]]; then
        subordinate_ids_mapped ||
            skip "a Debian 13 system cannot be made without root here: this user namespace maps no subordinate ids"
    fi
    # A change may name another clone to verify from.
    verifier=$root
    # shellcheck source=tests/release/changes.sh
    . "$root/tests/release/changes.sh"
    cp -r "$work/$from" "$release"
    fill_words "$change"
    "${words[0]}" "$release" "${words[@]:1}" || { echo "the release to verify could not be made" && return 1; }
    # Verifying without root: as root, the user nobody verifies, from a
    # clone of the verifier's branches and the release's copy in a folder
    # it can reach, wherever this clone is; Git serves another user's clone
    # only when told that it may. Any other user verifies as itself.
    if [[ $user != root && $(id -u) -eq 0 ]]; then
        shared=$(mktemp -d /var/tmp/loclistfix-row.XXXXXX) && leftovers+=("$shared")
        if ! { git clone -q --no-checkout "$verifier" "$shared/clone" &&
            git -C "$shared/clone" fetch -q --update-head-ok "$verifier" '+refs/heads/*:refs/heads/*' &&
            cp -R "$root/scripts" "$shared/clone/" && cp -R "$release" "$shared/" && chmod -R go+rX "$shared"; }; then
            echo "no clone for $user to verify from" && rm -rf "$shared" && return 1
        fi
        verifier=$shared/clone release=$shared/verify
        as=(setpriv --reuid="$user" --regid=nogroup --clear-groups
            env HOME=/tmp TMPDIR=/tmp XDG_CACHE_HOME=/var/tmp/loclistfix-nobody GIT_CONFIG_COUNT=1 GIT_CONFIG_KEY_0=safe.directory GIT_CONFIG_VALUE_0='*')
    fi
    output=$(ulimit -v $((2 << 20)) && timeout 900 "${as[@]}" env "${assignments[@]}" \
        "$verifier/scripts/verify-release.sh" "${options[@]}" "$release" 2>"$row_dir/verify.err") || code=$?
    rm -rf "${leftovers[@]}"
    errors=$(cat verify.err)
    [[ $errors != *"the sandbox that the rebuild runs in cannot be made here"* ]] || skip "${errors#*: }"
    if [ -n "$(ls -A "$keys/canary")" ]; then
        echo "the verifier wrote outside its own folder: $(ls -A "$keys/canary")"
        rm -rf "$keys"/canary/*
        return 1
    fi
    if [[ $output$errors == *PATH=* || $output$errors == *$'\e'* ]]; then
        echo "the verifier printed its environment or an escape code: $output $errors"
        return 1
    fi
    if [[ $output$errors == *"$password"* ]]; then
        echo "the rebuild reached what it must not see: $output $errors"
        return 1
    fi
    if [[ $code -eq $status && $output == *"$says"* && -z $errors ]]; then
        [[ $status -eq 0 || $output == *"verdict: NOT verified"* ]] && return 0
    elif [[ $code -eq $status && $status -ne 0 && $errors == *"$says"* ]]; then
        [ "$(wc -l <verify.err)" -eq 1 ] && return 0
    fi
    echo "exit status $code, printed: $output $errors"
    return 1
}

# What ships is the signed file, and signed_build proves it the build's own
# bytes with a certificate table beside them, which no loader runs; so one
# state of the end-to-end tests, run on the signed file in place of the
# build's own in the 64-bit preset's Wine prefix (which runs both), shows
# that it still runs as the build did. The preset's tests prove the rest.
end_to_end_row() {
    local arch=$1 package status=0 tests=$root/build/mingw-$1/bin/program_test.exe reason
    local state=States/ListStates.CheckAnswersAndProgramActsAsTheTableSays/ManyArguments
    reason=$("$root/scripts/wine.sh" can-run "$arch") || skip "end-to-end tests of the signed $arch executable: $reason"
    [ -e "$tests" ] || skip "end-to-end tests of the signed $arch executable: build the mingw-$arch preset first"
    package=win32 && [ "$arch" = x86 ] || package=win64
    cp "$tests" .
    signed_build "$(echo "$work/pkcs12/loclistfix-"*-$package.zip)" || return
    unzip -q -j "$work/pkcs12/loclistfix-"*-$package.zip '*/loclistfix.exe' -d .
    "$root/scripts/wine.sh" run "$arch" ./program_test.exe --gtest_filter="$state" >log 2>&1 || status=$?
    grep -q '^\[  PASSED  \] 1 test\.' log || status=1
    [ $status -eq 0 ] || { grep -A8 ': Failure' log | head -n 60; tail -n 5 log; }
    return $status
}

status=0
case $group in
    sign) table_row sign "$name" && sign_row || status=$? ;;
    refuse) table_row refuse "$name" && refuse_row || status=$? ;;
    verify) table_row verify "$name" && verify_row || status=$? ;;
    check)
        # shellcheck source=tests/release/checks.sh
        . "$root/tests/release/checks.sh"
        "${name//-/_}" || status=$?
        ;;
    end-to-end) end_to_end_row "$name" || status=$? ;;
    *) echo "row.sh: no group '$group'" && status=2 ;;
esac
spy_saw_nothing || status=1
exit $status
