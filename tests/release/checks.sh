# shellcheck shell=bash
# Each function is called by name from a table or CTest, with what lib.sh and
# row.sh set.
# shellcheck disable=SC2317,SC2154,SC2034
# The release rows that are no table's, one function each, run in the row's
# folder. Sourced by row.sh.

# A full build's fixture is kept under a key that stays while nothing
# changes, and changes when a package that BUILDINFO records is upgraded.
fixture_key() {
    local key
    mkdir upgraded
    printf '#!/bin/sh\nprintf 99:0-upgraded\n' >upgraded/dpkg-query && chmod +x upgraded/dpkg-query
    key=$(bash "$root/tests/release/fixture.sh" key)
    [ "$key" = "$(bash "$root/tests/release/fixture.sh" key)" ] || { echo "the key changes by itself" && return 1; }
    [ "$key" != "$(PATH=$row_dir/upgraded:$PATH bash "$root/tests/release/fixture.sh" key)" ] ||
        { echo "the key stays when the toolchain is upgraded" && return 1; }
}
# What the administrator unpacks: each zip holds the guide as README.txt and
# every file of deploy/ under its own name, byte for byte, and no word of how
# the release was built. (Wine is named: the guide says what the tests ran,
# and check.cmd where Wine's cmd differs from Windows'.)
guide_in_zips() {
    local zip source member
    for zip in "$work"/unsigned/loclistfix-*.zip; do
        for source in "$root/docs/administrator-guide.md" "$root"/deploy/*; do
            member=${source##*/}
            [ "$member" != administrator-guide.md ] || member=README.txt
            if ! unzip -p "$zip" "*/$member" | cmp -s "$source" - ||
                unzip -p "$zip" "*/$member" | grep -qiE 'chroot|softhsm|cmake'; then
                echo "$zip: $member is not $source as it is, or names how the release was built"
                return 1
            fi
        done
    done
}
# A caller's build flags, a relative TMPDIR and a PYTHONPATH with a
# sitecustomize.py, which no Python of the release imports, from the build to
# the signing (through a token), in a clone that replaces the licence's blob,
# as git shows; and, as this is a second full build of the commit, every file
# of it (BUILDINFO and SHA256SUMS too) is the pkcs12 fixture's.
caller_environment() {
    local status=0 licence
    git clone -q "$root" replaced && cp "$root"/scripts/*.sh "$root"/scripts/*.py replaced/scripts/
    licence=$(git -C replaced rev-parse HEAD:LICENSE)
    git -C replaced replace "$licence" "$( (git -C replaced cat-file blob "$licence" && echo "a line of the replacement") |
        git -C replaced hash-object -w --stdin)"
    git -C replaced show HEAD:LICENSE | grep -qx "a line of the replacement" ||
        { echo "git shows no replaced licence in the clone" && return 1; }
    environment=(CXXFLAGS='-g -fno-inline' 'LDFLAGS=-Wl,--no-gc-sections' TMPDIR=tmp "PYTHONPATH=$keys/site")
    release "$row_dir/replaced" "$row_dir/out" --sign-pkcs11-module "$module" --sign-cert "$keys/signer.pem" \
        --sign-key "pkcs11:token=loclistfix;object=signer;type=private;pin-value=$pin" && diff -r "$work/pkcs12" out || status=$?
    [ $status -eq 0 ] || echo "a caller's flags, PYTHONPATH or TMPDIR, a replace ref, or the build itself, changed the release"
    [ -z "$(ls -A "$keys/canary")" ] || { echo "a Python imported it: $(ls "$keys/canary")" && status=1; }
    return $status
}
# The time stamp is the server's own time, so only the signatures are checked.
timestamped() {
    signed_build "$(echo "$work"/timestamped/loclistfix-*-win32.zip)" &&
        grep -q 'Timestamp Server Signature verification: ok' unzipped/*-win32.zip/verify.log
}
# A tree that holds a link and a path through it: the export stops at the link.
link_through() {
    local repository=$row_dir/link-tree blob tree
    git init -q "$repository"
    blob=$(printf '%s' "$keys/canary" | git -C "$repository" hash-object -w --stdin)
    tree=$(printf '100644 blob %s\tpayload\n' "$(echo written | git -C "$repository" hash-object -w --stdin)" |
        git -C "$repository" mktree)
    tree=$(printf '120000 blob %s\tx\n040000 tree %s\tx\n' "$blob" "$tree" | git -C "$repository" mktree)
    ! /usr/bin/python3 -I "$root/scripts/commit_tree.py" "$repository" \
        "$(git -C "$repository" commit-tree -m x "$tree")" "$row_dir/link-export" 2>link.err &&
        grep -q 'goes through a link' link.err && [ -z "$(ls -A "$keys/canary")" ]
}
# --out through a link of the user's that leads nowhere: one line, the link stays.
dangling_out() {
    local errors status=0
    mkdir links && ln -s "$row_dir/nowhere" links/mine
    errors=$(release_command "$root/scripts/package.sh" --out links/mine/out 2>&1 >/dev/null) || status=$?
    [[ $status -ne 0 && $(printf '%s\n' "$errors" | wc -l) -eq 1 && -L links/mine && ! -e nowhere ]] && return 0
    echo "exit status $status, said: $errors"
    return 1
}
