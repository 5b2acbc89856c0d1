#!/usr/bin/env bash
# The release: builds both executables from the commit alone, signs them if
# asked, and assembles into build/packages/ (or --out DIR)
# loclistfix-<version>-win32.zip, loclistfix-<version>-win64.zip, BUILDINFO
# (how they were made: the commit, its date, the Debian release and the
# versions of the packages that make the bytes) and SHA256SUMS over the three.
# The bytes depend on the commit, those packages and the signatures alone:
# every date in them is the commit's, and order and permissions are fixed.
#
#   scripts/package.sh [--out DIR]
#       [--sign-pkcs12 FILE | --sign-pkcs11-module MODULE --sign-key URI --sign-cert FILE]
#       [--timestamp-url URL [--timestamp-timeout SECONDS]] [--info-url URL]
#       [--signatures DIR]
#
# Signing is scripts/signing.sh's; the signature is then taken off each
# signed executable and attached again by the assembly step
# (scripts/assemble.py), which is all a verification repeats. --signatures
# DIR assembles with detached signatures made elsewhere (DIR/<package>.p7s,
# DER PKCS#7), as the verifier does. Outside a checkout of its own, the tree
# is built as it is, dated by SOURCE_DATE_EPOCH; --commit HASH then records
# the commit that the tree was exported from. --stage DIR, for the tests,
# assembles the packages already staged in DIR instead of building them.
#
# Every check comes before the build, and each fault is one line. The output
# folder changes only once the whole release is ready beside it, and then
# only in the release's own files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
. "$root/scripts/quietly.sh"
. "$root/scripts/signing.sh"
# Every signal that ends a process by default ends the whole release, then
# cleans up. Bash runs a trap only once the command in the foreground has
# ended, so a signal sent to this process alone (a CI job cancelled, say)
# would wait for a whole build step, or, with no trap of its own, remove the
# work folder under a running cmake. So the release runs in a child of this
# process, which waits for it in a way that a signal interrupts, and then
# stops every process below it; the child cleans up once they have gone.
release_signals=(HUP INT QUIT PIPE ALRM TERM USR1 USR2)

# The processes below PID, as /proc has them now, parents first.
processes_below() {
    local -A children=()
    local stat line rest pid queue=("$1")
    for stat in /proc/[0-9]*/stat; do
        { read -r line <"$stat"; } 2>/dev/null || continue
        # The command's name, in parentheses, may hold anything.
        line=${line##*) } rest=${line#* }
        pid=${stat#/proc/} pid=${pid%/stat}
        [[ ${line%% *} == Z || $pid == "$BASHPID" ]] || children[${rest%% *}]+=" $pid"
    done
    while [ ${#queue[@]} -gt 0 ]; do
        for pid in ${children[${queue[0]}]:-}; do
            echo "$pid"
            queue+=("$pid")
        done
        queue=("${queue[@]:1}")
    done
}

# end_processes_below PID: SIGTERM to each, again to any that they start
# meanwhile, until none is left; after ten seconds, SIGKILL.
end_processes_below() {
    local pids round=0 signal=TERM
    while pids=$(processes_below "$1") && [ -n "$pids" ] && [ "$round" -lt 100 ]; do
        [ "$round" -lt 50 ] || signal=KILL
        # shellcheck disable=SC2086 # one word per process
        kill -s "$signal" $pids 2>/dev/null || true
        round=$((round + 1))
        sleep 0.2
    done
}

# forward_signal STATUS: on the first signal, SIGINT to every process below,
# once, as Ctrl-C sends it: the build's tools stop cleanly, and bash reports
# no step that SIGINT ended (it prints "Terminated" for SIGTERM). The child
# ends whatever is left below it itself, and must not be stopped while it
# cleans up.
signalled=0
forward_signal() {
    [ "$signalled" -eq 0 ] || return 0
    signalled=$1
    # shellcheck disable=SC2046 # one word per process
    kill -s INT $(processes_below $$) 2>/dev/null || true
}

if [ "${LOCLISTFIX_RELEASE_CHILD:-}" != 1 ]; then
    # Started in the background, the child would ignore SIGINT and SIGQUIT
    # and read no standard input.
    LOCLISTFIX_RELEASE_CHILD=1 /usr/bin/env --default-signal=INT,QUIT "$BASH" "$root/scripts/package.sh" "$@" <&0 &
    child=$!
    for signal in "${release_signals[@]}"; do
        # shellcheck disable=SC2064 # the signal's number, now
        trap "forward_signal $((128 + $(kill -l "$signal")))" "$signal"
    done
    status=0
    wait "$child" || status=$?
    while kill -0 "$child" 2>/dev/null; do
        status=0
        wait "$child" || status=$?
    done
    if [[ $status -ne 0 && $signalled -ne 0 ]]; then
        echo "package.sh: interrupted; the output folder is as it was" >&2
        status=$signalled
    fi
    exit "$status"
fi
unset LOCLISTFIX_RELEASE_CHILD
signing_take_password
# Replace refs and grafts would let a clone show other content under a
# commit's name; a release is the commit as stored.
export GIT_NO_REPLACE_OBJECTS=1 GIT_GRAFT_FILE=/nonexistent/grafts

# Paths mean what they mean where the command was started.
absolute() {
    case $1 in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$PWD/$1" ;; esac
}

out=$root/build/packages
signatures='' stage='' exported_commit=''
while [ $# -gt 0 ]; do
    case $1 in
        --out | --sign-pkcs12 | --sign-pkcs11-module | --sign-key | --sign-cert | --timestamp-url | \
            --timestamp-timeout | --info-url | --signatures | --stage | --commit)
            [[ $# -ge 2 && -n $2 ]] || fail "$1 needs a value"
            case $1 in
                --out) out=$(absolute "$2") ;;
                --sign-pkcs12) sign_pkcs12=$(absolute "$2") ;;
                --sign-pkcs11-module) sign_module=$(absolute "$2") ;;
                --sign-key) sign_key=$2 ;;
                --sign-cert) sign_cert=$(absolute "$2") ;;
                --timestamp-url) timestamp_url=$2 ;;
                --timestamp-timeout) timestamp_timeout=$2 ;;
                --info-url) info_url=$2 ;;
                --signatures) signatures=$(absolute "$2") ;;
                --stage) stage=$(absolute "$2") ;;
                --commit) exported_commit=$2 ;;
            esac
            shift 2 ;;
        # An argument may be a secret given in the wrong place: only an
        # option's name is ever repeated.
        *)
            [[ ! ${1%%=*} =~ ^--[a-z0-9-]+$ || $1 != *=* ]] ||
                fail "${1%%=*}=…: give the value as the next argument, not after '=' (see docs/releasing.md)"
            [[ ! $1 =~ ^--[a-z0-9-]+$ ]] || fail "unknown option $1 (see docs/releasing.md)"
            fail "an unknown argument, not repeated here as it may hold a secret (see docs/releasing.md)" ;;
    esac
done
signing_requested || [ -z "$timestamp_url$info_url" ] || fail "--timestamp-url and --info-url need a signing key"
! signing_requested || [ -z "$signatures" ] || fail "give either a signing key or --signatures, not both"
[ -z "$signatures" ] || [ -d "$signatures" ] || fail "--signatures $signatures: no such folder"
[ -z "$stage" ] || [ -d "$stage" ] || fail "--stage $stage: no such folder"

# Whatever stops the command, it leaves no trace: its own folder goes, and so
# does a half-moved release and any folder it made for --out. A signal first
# ends every process below, so that none writes into the folders as they go.
# Its trap may run where a step's output is held back (see quietly), so the
# parent says what happened.
work='' staging='' made_out=''
cleanup() {
    [ -z "$staging" ] || rm -rf "$staging"
    [ -z "$made_out" ] || rm -rf "$made_out"
    [ -z "$work" ] || rm -rf "$work"
}
interrupted() {
    # Ignored now, and so in what runs from here on: rm is not to be stopped.
    trap '' "${release_signals[@]}"
    end_processes_below $$
    exit "$1"
}
trap cleanup EXIT
for signal in "${release_signals[@]}"; do
    # shellcheck disable=SC2064 # the signal's number, now
    trap "interrupted $((128 + $(kill -l "$signal")))" "$signal"
done

if [ -e "$out" ]; then
    [[ -d $out && -w $out ]] || fail "--out $out: not a folder this command can write to"
else
    # A link, even one that leads nowhere, is the user's and stops the walk.
    parent=$out
    while [[ ! -e $parent && ! -L $parent ]]; do parent=$(dirname "$parent"); done
    [[ -d $parent && -w $parent ]] || fail "cannot make $out: $parent is not a folder this command can write to"
fi

# One release at a time into one folder: a second one stops at once. The lock
# is on the folder itself, made now where missing, and removed again if the
# release fails. Two runs may make it together; only the one that holds the
# lock removes it.
if [ ! -e "$out" ]; then
    made_out=$out
    while [[ ! -e $(dirname "$made_out") && ! -L $(dirname "$made_out") ]]; do made_out=$(dirname "$made_out"); done
    mkdir -p "$out" 2>/dev/null || fail "cannot make $out"
fi
{ exec {out_lock}<"$out"; } 2>/dev/null || fail "cannot open $out to lock it: it must be a folder this command can read"
flock -n "$out_lock" || { made_out='' && fail "another release is being written into $out: try again once it has finished"; }
# A run that failed may have removed the folder between the two steps above.
[ "/dev/fd/$out_lock" -ef "$out" ] || { made_out='' && fail "$out changed while this command locked it: try again"; }

"$root/scripts/install-deps.sh" release

# The release is the commit's, never the work tree's, and is dated by it.
# Outside a checkout of its own (an exported tree, or one inside another
# repository) there is no commit, and the date must be given.
commit=''
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
    [ -z "$exported_commit" ] || fail "--commit is for an exported tree; this checkout releases its own commit"
    commit=$(git -C "$root" rev-parse --verify -q HEAD) || fail "this checkout has no commit to release"
    date=$(git -C "$root" log -1 --format=%ct "$commit")
    [ "${SOURCE_DATE_EPOCH:-$date}" = "$date" ] ||
        fail "SOURCE_DATE_EPOCH is not the date of commit ${commit:0:12} ($date), which dates its release: unset it"
    SOURCE_DATE_EPOCH=$date
else
    [ -n "${SOURCE_DATE_EPOCH:-}" ] ||
        fail "$root is not a git checkout of its own, so no commit dates the release: set SOURCE_DATE_EPOCH"
    [[ -z $exported_commit || $exported_commit =~ ^[0-9a-f]{40}$ ]] || fail "--commit takes a commit's 40 hexadecimal digits"
    commit=$exported_commit
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] ||
    fail "SOURCE_DATE_EPOCH is a number of seconds since 1970, not '$SOURCE_DATE_EPOCH'"
export SOURCE_DATE_EPOCH

# The build's folders are named on command lines that windres hands to a
# shell, so they hold no character a shell would read: a TMPDIR that does
# is passed over for /tmp.
temporary=${TMPDIR:-/tmp}
[[ $temporary =~ ^[A-Za-z0-9/._+,@%=-]+$ ]] || temporary=/tmp
work=$(mktemp -d "$temporary/loclistfix-release.XXXXXX" 2>/dev/null) ||
    fail "cannot make a folder in $temporary (TMPDIR): it must be a folder this command can write to"
if signing_requested; then
    mkdir "$work/signing"
    signing_check "$work/signing"
fi

mkdir "$work/source" "$work/stage" "$work/signatures" "$work/release" "$work/tmp"
if [ -n "$commit" ] && [ -z "$exported_commit" ]; then
    [ -z "$(git -C "$root" status --porcelain)" ] ||
        echo "== the work tree has changes that the release leaves out: it is built from commit ${commit:0:12}"
    # The commit's blobs as stored: the clone's line-end and filter settings
    # would otherwise reach the release.
    exported=$(/usr/bin/python3 -I "$root/scripts/commit_tree.py" "$root" "$commit" "$work/source" 2>&1) ||
        fail "${exported#commit_tree.py: }"
else
    tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -x -C "$work/source" ||
        fail "cannot copy $root"
fi

# The build sees this environment and no other: the caller's CXXFLAGS,
# LDFLAGS, CMAKE_* and the like would change the bytes without a trace.
# BUILDINFO records it; TMPDIR, which changes no byte, is the build's own.
build_environment=(HOME=/nonexistent LANG=C.UTF-8 LC_ALL=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin TZ=UTC)
build_umask=0022
in_build_environment() {
    (umask "$build_umask" && env -i "${build_environment[@]}" TMPDIR="$work/tmp" SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" "$@")
}

if [ -n "$stage" ]; then
    cp -R "$stage/." "$work/stage/" || fail "cannot copy the staged packages in $stage"
else
    for arch in x86 x64; do
        build=$work/build-$arch
        (cd "$work/source" && quietly "configuring the $arch build" \
            in_build_environment cmake --preset "mingw-$arch" -B "$build" -D BUILD_TESTING=OFF)
        quietly "building loclistfix ($arch)" in_build_environment cmake --build "$build" --target loclistfix
        name=$(cat "$build/package-name" 2>/dev/null) || fail "the $arch build names no package (build/package-name): is this commit older than the release command?"
        quietly "staging $name" in_build_environment cmake --install "$build" --prefix "$work/stage/$name"
    done
fi
# A signature is made on the executable, then taken off it: the assembly
# attaches it again, exactly as a verification will.
for exe in "$work/stage"/*/loclistfix.exe; do
    name=$(basename "$(dirname "$exe")")
    if signing_requested; then
        signing_sign "$exe" "$work/signed.exe"
        /usr/bin/python3 -I "$work/source/scripts/authenticode.py" "$work/signed.exe" "$exe" "$work/signatures/$name.p7s" 2>/dev/null ||
            fail "osslsigncode's signature of $name is not the build with one signature attached"
    elif [ -n "$signatures" ] && [ -e "$signatures/$name.p7s" ]; then
        cp "$signatures/$name.p7s" "$work/signatures/" || fail "cannot read $signatures/$name.p7s"
    fi
done
quietly "assembling the release" in_build_environment python3 -I -B "$work/source/scripts/assemble.py" \
    "$work/stage" "$work/signatures" "$work/release" "$commit" "${build_environment[*]}" "$build_umask"

# Written beside the output on its file system first, so that a full disk or
# any other fault stops before a single file of the output has changed; then
# each file takes its place by rename, under the lock and with signals held
# off, so that the folder goes from one whole release to the next.
staging=$(mktemp -d "$out/.loclistfix-release.XXXXXX" 2>/dev/null) || fail "cannot write into $out"
cp "$work/release/"* "$staging/" 2>/dev/null ||
    fail "cannot write the release into $out (is its disk full?): the folder is as it was"
trap '' "${release_signals[@]}"
for file in "$work/release/"loclistfix-*.zip "$work/release/BUILDINFO" "$work/release/SHA256SUMS"; do
    mv -f "$staging/${file##*/}" "$out/"
done
rmdir "$staging"
staging='' made_out=''
trap - "${release_signals[@]}"
cat "$out/SHA256SUMS"
