# shellcheck shell=bash disable=SC2034
# What the release rows and their fixtures share: where they work, the secrets
# of this run, the release command run as from a terminal with a spy beside
# it, and the checks that several rows make. Sourced by fixture.sh and row.sh.
set -euo pipefail
# Builds and forgeries here keep a core busy for seconds on end, while the
# tests of the program wait on Wine starting process after process under the
# registry's lock: those go first.
renice -n 10 -p $$ >/dev/null 2>&1 || true
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$root/build/release-test
keys=$work/keys
# The commits the tests make need a name, which a fresh machine's git lacks.
export GIT_AUTHOR_NAME=release-test GIT_AUTHOR_EMAIL=release-test@example.invalid
export GIT_COMMITTER_NAME=release-test GIT_COMMITTER_EMAIL=release-test@example.invalid
export SOFTHSM2_CONF=$keys/softhsm2.conf
# shellcheck source=scripts/debian-mirror.sh
. "$root/scripts/debian-mirror.sh"
commit=$(git -C "$root" rev-parse HEAD)
commit_date=$(git -C "$root" log -1 --format=%ct "$commit")

# CTest's status for a row that cannot run here, with the reason.
skip() {
    echo "skipped: $*"
    exit 77
}

# The secrets the keys fixture drew for this run, and what rows derive from them.
load_keys() {
    password=$(cat "$keys/password") pin=$(cat "$keys/pin")
    # The PIN as a URI's query may give it: every character percent-encoded.
    encoded_pin=$(printf '%s' "$pin" | od -An -tx1 | tr -d ' \n' | sed 's/../%&/g')
    module=$(cat "$keys/module")
}

# A row's own folder, made anew, and its working directory: its spy's log,
# its TMPDIR and whatever it makes stay in it, so rows may run side by side.
start_row() {
    row_dir=$work/rows/$1
    rm -rf "$row_dir"
    mkdir -p "$row_dir/tmp"
    cd "$row_dir"
}

# The subordinate ids the test gives the user nobody, so that the verifier
# can make a Debian system of another release without root; whether this
# user namespace maps them (a container's may map 65536 ids alone).
subordinate_ids=1879048192-1879113727
subordinate_ids_mapped() {
    awk -v first="${subordinate_ids%-*}" -v last="${subordinate_ids#*-}" \
        '$1 <= first && $1 + $3 > last { found = 1 } END { exit !found }' /proc/self/uid_map
}

# fill WORD: the table's {placeholders} in WORD filled in. Table fields are
# split at spaces before this, so a path with spaces stays one argument.
fill() {
    local word=$1 name
    for name in root work keys row_dir odd_tmp pin_file_uri password pin module commit commit12 commit_ref commit_date win32 win64 \
        tsa_port silent_port signer_fp signer_fp_in_a_name chained_fp ca_fp tsa_fp mirror PATH; do
        [[ $word == *"{$name}"* ]] || continue
        word=${word//"{$name}"/"$(placeholder "$name")"}
    done
    printf '%s' "$word"
}
placeholder() {
    case $1 in
        commit12) echo "${commit:0:12}" ;;
        # The ref the verdict names for this clone's HEAD: a tag on it, else
        # origin's default branch where that holds it, else the branch
        # checked out, else (HEAD detached) main, else the first branch.
        commit_ref)
            local ref refs
            refs=$(
                git -C "$root" tag --points-at "$commit" | sed 's|^|refs/tags/|'
                git -C "$root" symbolic-ref -q refs/remotes/origin/HEAD || true
                git -C "$root" symbolic-ref -q HEAD || true
                echo refs/heads/main
                git -C "$root" for-each-ref --format='%(refname)' refs/heads refs/remotes/origin
            )
            for ref in $refs; do
                ! git -C "$root" merge-base --is-ancestor "$commit" "$ref" || { echo "$ref" && return; }
            done
            ;;
        win32 | win64) (cd "$work/stage" && echo ./*-"$1") | sed 's|^\./||' ;;
        tsa_port) cat "$keys/tsa/port" ;;
        silent_port) cat "$keys/tsa/silent-port" ;;
        signer_fp) fingerprint "$keys/signer.pem" ;;
        # As a certificate's name shows it: a colon escaped, so no name holds a fingerprint.
        signer_fp_in_a_name) fingerprint "$keys/signer.pem" | sed 's/:/\\x3a/g' ;;
        chained_fp) fingerprint "$keys/chained.pem" ;;
        ca_fp) fingerprint "$keys/ca-root.pem" ;;
        tsa_fp) fingerprint "$keys/tsa/tsa.pem" ;;
        odd_tmp) cat "$keys/odd-tmp-path" ;;
        # A URI holds no space or letter beyond ASCII: the PIN file's path, percent-encoded.
        pin_file_uri) /usr/bin/python3 -I -c 'import sys, urllib.parse; print("file:" + urllib.parse.quote(sys.argv[1]))' "$keys/pin" ;;
        # The one a Debian system is made from unless told otherwise.
        mirror) debian_mirror "$(debian_codename)" ;;
        *) printf '%s' "${!1}" ;;
    esac
}
# fill_words FIELD: FIELD split at spaces, each word filled in, into the array `words`.
fill_words() {
    local word
    words=()
    read -ra raw <<<"$1"
    for word in "${raw[@]}"; do words+=("$(fill "$word")"); done
}
# The SHA-256 of a PEM certificate, as the verdict writes it.
fingerprint() {
    openssl x509 -in "$1" -noout -fingerprint -sha256 | cut -d= -f2
}

# What the release command hands its helpers: a spy in front of env (through
# which every build step starts) and of Debian's osslsigncode notes each
# command line, and whether the password is in its environment; at each
# configure step, it notes any small file in the row's TMPDIR that holds the
# password or the PIN. An osslsigncode first on PATH notes that it ran. At the
# first configure, LOCLISTFIX_SPY_WAIT=FILE makes FILE and waits until it is
# gone (five minutes at most); LOCLISTFIX_SPY_SIGNAL=SIGNAL then sends SIGNAL
# to the release's whole process group, as Ctrl-C does, and SIGNAL:command to
# the release command's own process alone. Each row has its own, since the
# build environment holds no variable that could say which row it serves.
make_spy() {
    local tool
    mkdir -p spy
    for tool in env osslsigncode; do
        cat >spy/$tool <<EOF
#!/bin/sh
printf '%s\n' "$tool \$* \${LOCLISTFIX_SIGN_PASSWORD+[password in the environment]}" >>"$row_dir/spy.log"
case " \$* " in *" --preset "*)
    find "$row_dir/tmp" -type f -size -100c -exec grep -lxF -e '$password' -e '$pin' {} + 2>/dev/null |
        sed 's/^/a secret on disk: /' >>"$row_dir/spy.log"
    if [ -n "\${LOCLISTFIX_SPY_WAIT:-}" ]; then
        : >"\$LOCLISTFIX_SPY_WAIT"
        waited=0
        while [ -e "\$LOCLISTFIX_SPY_WAIT" ] && [ \$waited -lt 3000 ]; do sleep 0.1; waited=\$((waited + 1)); done
    fi
    case \${LOCLISTFIX_SPY_SIGNAL:-} in
        '') ;;
        *:command) kill -s "\${LOCLISTFIX_SPY_SIGNAL%:*}" \$(ps -o sid= -p \$\$) ;;
        *) kill -s "\$LOCLISTFIX_SPY_SIGNAL" 0 ;;
    esac ;;
esac
exec "$keys/real-$tool" "\$@"
EOF
        chmod +x spy/$tool
    done
    mv spy/osslsigncode debian-osslsigncode
    printf '#!/bin/sh\necho "osslsigncode from PATH $*" >>"%s"\nexec "%s" "$@"\n' "$row_dir/spy.log" \
        "$keys/real-osslsigncode" >spy/osslsigncode
    chmod +x spy/osslsigncode
    : >spy.log
}

# What the spy must never see: what must hold | an extended regular
# expression for the lines that would break it.
spy_findings() {
    printf '%s\n' \
        "no helper had the password in its environment|password in the environment" \
        "no helper had the password or the PIN on its command line|pin-value|PIN-VALUE|$pin|$encoded_pin|$password" \
        "no helper had the time-stamp server's password on its command line|TOKEN" \
        "no file held the password or the PIN while the release was built|a secret on disk" \
        "every osslsigncode that ran was Debian's, not the one first on PATH|osslsigncode from PATH"
}
# Every finding held in what this row's spy saw; else the lines that break it.
spy_saw_nothing() {
    local finding status=0
    [ -e "$row_dir/spy.log" ] || return 0
    while IFS= read -r finding; do
        if grep -E -e "${finding#*|}" "$row_dir/spy.log"; then
            echo "FAILED: ${finding%%|*}"
            status=1
        fi
    done < <(spy_findings)
    return $status
}

# Run as from a terminal: a session of its own, so that its Ctrl-C reaches it
# alone, and with SIGINT handled even where this row was started in the
# background; with the variables in `environment` (env's arguments) besides;
# and in a mount namespace of its own, where the spy is Debian's osslsigncode.
# A user who is not root makes that namespace inside a user namespace of its
# own, which maps it to root there: mount(8) mounts for root alone.
environment=()
# Inside someone else's chroot, / is no mount point and cannot be made
# private: there /usr/bin is first made a mount point of this namespace's
# own, and private, so that the spy is seen here alone.
# shellcheck disable=SC2016 # expanded by sh
release_command() {
    local propagation=private namespace=(unshare)
    mountpoint -q / || propagation=unchanged
    [ "$(id -u)" -eq 0 ] || namespace+=(--map-root-user)
    [ -e "$row_dir/spy.log" ] || make_spy
    env -u LOCLISTFIX_SIGN_PASSWORD PATH="$row_dir/spy:$PATH" TMPDIR="$row_dir/tmp" "${environment[@]}" \
        "${namespace[@]}" --mount --propagation "$propagation" sh -c '
            { mountpoint -q / || { mount --bind /usr/bin /usr/bin && mount --make-private /usr/bin; }; } &&
            mount --bind "$0" /usr/bin/osslsigncode && exec "$@"' "$row_dir/debian-osslsigncode" \
        python3 -I -c \
        'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.setsid(); os.execvp(sys.argv[1], sys.argv[1:])' \
        "$@"
}
# release TREE OUT [OPTIONS...]: its output is kept in OUT.log.
release() {
    local tree=$1 out=$2
    shift 2
    release_command "$tree/scripts/package.sh" --out "$out" "$@" >"$out.log"
}
# signed_build ZIP [CA]: the zip's executable signed by the throwaway
# certificate (or CA's), and the unsigned release's own without its signature.
signed_build() {
    local zip=$1 dir
    dir=$row_dir/unzipped/${zip##*/}
    rm -rf "$dir" && mkdir -p "$dir" && unzip -q "$zip" -d "$dir" || return
    if ! osslsigncode verify -CAfile "${2:-$keys/signer.pem}" -TSA-CAfile "$keys/tsa/tsa.pem" \
        -in "$dir"/*/loclistfix.exe >"$dir/verify.log" 2>&1 ||
        ! osslsigncode remove-signature -in "$dir"/*/loclistfix.exe -out "$dir/stripped.exe" >/dev/null 2>&1 ||
        ! unzip -p "$work/unsigned/${zip##*/}" '*/loclistfix.exe' | cmp -s "$dir/stripped.exe" -; then
        echo "not signed as it should be, or not the unsigned build beneath: $zip"
        cat "$dir/verify.log"
        return 1
    fi
}
# same_zips A B: B's zips are A's, byte for byte. A tree without a commit
# records none in its BUILDINFO; its zips are the same.
same_zips() {
    local zip
    for zip in "$1"/loclistfix-*.zip; do
        cmp -s "$zip" "$2/${zip##*/}" || { echo "differs from $1: $2/${zip##*/}" && return 1; }
    done
}
