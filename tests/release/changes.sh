# shellcheck shell=bash
# Each function is called by name from a table or CTest, with what lib.sh and
# row.sh set.
# shellcheck disable=SC2317,SC2154,SC2034
# The changes that verify.table makes to a copy of a release, each a function
# of its folder and the words that follow its name in the table, run in the
# row's folder. Sourced by row.sh.

sums() {
    (cd "$1" && sha256sum loclistfix-*.zip BUILDINFO >SHA256SUMS)
}
win32=$(placeholder win32) win64=$(placeholder win64)
unchanged() { :; }

# signed_as FOLDER WIN32 WIN64: the release in FOLDER assembled anew by the
# release command from the stage, with those signatures (files, named in the
# signatures fixture's folder where not absolute, or - for none).
signed_as() {
    local sigs=$1.signatures
    mkdir "$sigs"
    (cd "$work/signatures" && { [ "$2" = - ] || cp "$2" "$sigs/$win32.p7s"; } && { [ "$3" = - ] || cp "$3" "$sigs/$win64.p7s"; })
    rm "$1"/* && release_command "$root/scripts/package.sh" --stage "${stage:-$work/stage}" --signatures "$sigs" \
        --out "$1" >/dev/null
}
# Bytes after the signature in its certificate entry.
padded() {
    cat "$work/signatures/$win32.p7s" - <<<"HIDDEN PAYLOAD" >padded.p7s && signed_as "$1" "$row_dir/padded.p7s" "$win64.p7s"
}
# One byte of the win32 executable's code changed, signed again with the same key.
patched() {
    cp "$work/stage/$win32/loclistfix.exe" patched.exe
    printf '\x90' | dd of=patched.exe bs=1 seek=$((0x440)) conv=notrunc status=none
    osslsigncode sign -pkcs12 "$keys/signer.p12" -pass "$password" -h sha256 -n loclistfix -time "$commit_date" \
        -in patched.exe -out patched-signed.exe >/dev/null
    cp -R "$work/stage" patched-stage && cp patched.exe "patched-stage/$win32/loclistfix.exe"
    /usr/bin/python3 -I "$root/scripts/authenticode.py" patched-signed.exe patched.exe patched.p7s
    stage=$row_dir/patched-stage signed_as "$1" "$row_dir/patched.p7s" "$win64.p7s"
}
# forged_signature FOLDER KIND [BASE]: both signatures forged by
# forge_signature.py from BASE's (other: signed with chained.p12, its CA
# included) or the pkcs12 release's.
forged_signature() {
    local name
    for name in "$win32" "$win64"; do
        /usr/bin/python3 -I -B "$root/tests/release/forge_signature.py" "$2" "$work/signatures/$name${3:+.$3}.p7s" \
            "$name.$2.p7s" forgers || return
    done
    signed_as "$1" "$row_dir/$win32.$2.p7s" "$row_dir/$win64.$2.p7s"
}

# buildinfo FOLDER SED-SCRIPT: BUILDINFO edited, and SHA256SUMS to match.
buildinfo() { sed -i "$2" "$1/BUILDINFO" && sums "$1"; }
other_commit() { buildinfo "$1" "s/^Commit: .*/Commit: $(printf '%040d' 0)/"; }
# A commit on no branch, dated as recorded.
dangling_commit() {
    local dangling
    dangling=$(GIT_COMMITTER_DATE="@$commit_date +0000" git -C "$root" commit-tree -p HEAD -m 'on no branch' "HEAD^{tree}")
    buildinfo "$1" "s/^Commit: .*/Commit: $dangling/"
}
earlier_epoch() { buildinfo "$1" "s/^Source-Date-Epoch: .*/Source-Date-Epoch: $((commit_date - 1))/"; }
# The record claims the other supported Debian release than the one it was built on.
other_release() {
    if grep -qx 'Build-Codename: trixie' "$1/BUILDINFO"; then
        buildinfo "$1" 's/^Build-Release: .*/Build-Release: 12/; s/^Build-Codename: .*/Build-Codename: bookworm/'
    else
        buildinfo "$1" 's/^Build-Release: .*/Build-Release: 13/; s/^Build-Codename: .*/Build-Codename: trixie/'
    fi
}
no_buildinfo() { rm "$1/BUILDINFO"; }
changed_buildinfo() { echo "Note: added later" >>"$1/BUILDINFO"; }
vanished_version() { buildinfo "$1" 's/^Package: cmake .*/Package: cmake 0.0.1-1/'; }
# The command names the canary in ASCII, as the line must be, whatever the
# clone's path holds; escaped once more for sed.
injected() {
    local canary
    canary=$(LC_ALL=C printf '%q' "$keys/canary/injected")
    canary=${canary//\\/\\\\} canary=${canary//&/\\&} canary=${canary//|/\\|}
    buildinfo "$1" "s|^Package: cmake .*|&; touch $canary; #|"
}
crlf_sums() { sed -i 's/$/\r/' "$1/SHA256SUMS"; }
another_version_first() {
    cp "$1/$win32.zip" "$1/loclistfix-0.9.0-win32.zip"
    (cd "$1" && sha256sum loclistfix-0.9.0-win32.zip loclistfix-*-win32.zip loclistfix-*-win64.zip BUILDINFO |
        awk '!seen[$2]++' >SHA256SUMS)
}
fifo_sums() { rm "$1/SHA256SUMS" && mkfifo "$1/SHA256SUMS"; }
environ_sums() { rm "$1/SHA256SUMS" && ln -s /proc/self/environ "$1/SHA256SUMS"; }
# forged FOLDER KIND: the win32 zip changed by forge.py.
forged() { /usr/bin/python3 -I -B "$root/tests/release/forge.py" "$1" "$2" && sums "$1"; }
renamed() {
    local zip
    for zip in "$1"/loclistfix-*.zip; do mv "$zip" "$1/loclistfix-9.9.9-${zip##*-}"; done
    sums "$1"
}
# An annotated tag of this commit, named where the commit should be.
tag_for_commit() {
    local tag
    tag=$(printf 'object %s\ntype commit\ntag release-test\ntagger release-test <release-test@example.invalid> %s +0000\n\nx\n' \
        "$commit" "$commit_date" | git -C "$root" mktag)
    buildinfo "$1" "s/^Commit: .*/Commit: $tag/"
}
# forged_at FOLDER REF [FIRST]: the win32 zip rewritten and recorded as the
# build of a commit that anyone could push, at REF of a clone that verifies
# (so that this repository's refs stay as they are): its package.sh runs
# FIRST, then writes out the forged release that the commit itself holds,
# recording the commit it is given, after writing wherever root could.
forged_at() {
    local clone=$row_dir/verifier-clone index=$row_dir/forging-index forger=$row_dir/forging-package.sh file
    git clone -q "$root" "$clone" && cp -R "$root"/scripts/. "$clone/scripts/" || return
    cat >"$forger" <<SCRIPT
#!/bin/sh
${3:-}
while [ \$# -gt 0 ]; do case \$1 in --out) out=\$2 ;; --commit) commit=\$2 ;; esac; shift; done
for pid in self \$(ls /proc); do touch "/proc/\$pid/root$keys/canary/by-the-commit" 2>/dev/null; done
mkdir -p "\$out" && cp forged/*.zip "\$out/" && sed "s/^Commit: .*/Commit: \$commit/" forged/BUILDINFO >"\$out/BUILDINFO" &&
    cd "\$out" && sha256sum loclistfix-*.zip BUILDINFO >SHA256SUMS
SCRIPT
    forged "$1" rezipped && GIT_INDEX_FILE=$index git -C "$clone" read-tree HEAD &&
        GIT_INDEX_FILE=$index git -C "$clone" update-index --cacheinfo \
            "100755,$(git -C "$clone" hash-object -w "$forger"),scripts/package.sh" || return
    for file in "$1"/loclistfix-*.zip "$1/BUILDINFO"; do
        GIT_INDEX_FILE=$index git -C "$clone" update-index --add --cacheinfo \
            "100644,$(git -C "$clone" hash-object -w "$file"),forged/${file##*/}" || return
    done
    git -C "$clone" update-ref "$2" "$(GIT_COMMITTER_DATE="@$commit_date +0000" git -C "$clone" \
        commit-tree -p HEAD -m "forging, at $2" "$(GIT_INDEX_FILE=$index git -C "$clone" write-tree)")" &&
        buildinfo "$1" "s/^Commit: .*/Commit: $(git -C "$clone" rev-parse "$2")/" &&
        chmod -R go+rX "$clone" && verifier=$clone
}
on_another_remote() { forged_at "$1" refs/remotes/elsewhere/forging; }
on_a_local_branch() { forged_at "$1" refs/heads/forging; }
# Refs that anyone could fill, named like origin's branches: a pull request
# fetched beside them, and the branch of a remote named origin/fork.
on_a_pull_request() {
    forged_at "$1" refs/remotes/origin/pr/7 &&
        git -C "$verifier" config --add remote.origin.fetch '+refs/pull/*/head:refs/remotes/origin/pr/*'
}
on_origin_fork() {
    forged_at "$1" refs/remotes/origin/fork/main && git -C "$verifier" remote add origin/fork https://example.invalid/f.git
}
# On main and on a branch whose name sorts before it.
on_evil_and_main() { forged_at "$1" refs/heads/evil && git -C "$verifier" update-ref refs/heads/main refs/heads/evil; }
# A commit that prints 200 MB, then fails.
noisy_commit() { forged_at "$1" refs/heads/noisy 'head -c 200000000 /dev/zero; exit 1'; }
# A commit that forges only where every limit holds and every place it can
# write in is a tmpfs of bounded size, as it reads them from inside.
limits_inside() { forged_at "$1" refs/heads/limited 'python3 -I tests/release/inside.py limits >&2 || exit 1'; }
# A commit that reads a file in the caller's home and the verifying clone's
# .git/config, and connects to a socket that the row serves in its own
# folder and in the caller's home, then fails: each holds or answers this
# run's password, which the verifier must not print. A connection also
# leaves a file in the canary folder.
reaching_out() {
    local home=${HOME:-/root} serving
    serving=$(mktemp -d "$home/.loclistfix-row.XXXXXX") || return
    leftovers+=("$serving")
    printf '%s\n' "$password" >"$serving/key"
    /usr/bin/python3 -I -c '
import os, socket, sys, time
password, canary, paths = sys.argv[1].encode(), sys.argv[2], sys.argv[3:]
servers = []
for path in paths:
    server = socket.socket(socket.AF_UNIX)
    server.bind(path)
    os.chmod(path, 0o777)
    server.listen()
    server.setblocking(False)
    servers.append(server)
parent = os.getppid()
while os.getppid() == parent:
    for server in servers:
        try:
            client, _ = server.accept()
        except BlockingIOError:
            continue
        open(os.path.join(canary, "socket"), "w").close()
        client.sendall(password)
        client.close()
    time.sleep(0.1)
' "$password" "$keys/canary" "$row_dir/service.sock" "$serving/service.sock" </dev/null >/dev/null 2>&1 &
    forged_at "$1" refs/heads/reaching "python3 -I tests/release/inside.py reach $serving/key $row_dir/verifier-clone/.git/config $row_dir/service.sock $serving/service.sock; exit 1" &&
        git -C "$verifier" config loclistfix.token "$password" && chmod 755 "$row_dir" "$serving"
}
# BUILDINFO records what the release command does not.
million_packages() { seq 2000000 | sed 's/.*/Package: p& 1.0/' >>"$1/BUILDINFO" && sums "$1"; }
# cmake pinned from trixie-backports, where it has one (a rebuild with it
# makes the same bytes): what that verification installs stays with it.
pinned_backport() {
    local backport apt=$row_dir/apt options
    # Read by this host's apt from lists of the row's own.
    mkdir -p "$apt/lists/partial" "$apt/parts" "$apt/cache"
    echo "deb $(debian_mirror "$(debian_codename)") trixie-backports main" >"$apt/sources.list"
    options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o Acquire::Languages=none
        -o "APT::Sandbox::User=$(id -un)")
    apt-get -qq "${options[@]}" update >/dev/null 2>&1 || true
    backport=$(apt-cache "${options[@]}" madison cmake | awk '$3 ~ /bpo/ { print $3; exit }')
    [ -n "$backport" ] || skip "no cmake in trixie-backports to pin"
    buildinfo "$1" "s/^Package: \(cmake\|cmake-data\) .*/Package: \1 $backport/"
}
