#!/usr/bin/env bash
# Verifies a release folder against its commit: rebuilds the commit that its
# BUILDINFO names, at its SOURCE_DATE_EPOCH, with the package versions it
# records (on this host where they match, else in a chroot of the recorded
# Debian release with those versions installed), and compares the zips with
# the rebuild's member by member, without unpacking them.
#
#   scripts/verify-release.sh [--mirror URL] DIR
#
# The release is the files that DIR/SHA256SUMS lists: BUILDINFO and one zip
# for each architecture; anything else in DIR is not its business. Prints
# one line per member, `verified` or where it differs, and a verdict; exits 0
# only when every member matched. Input that is no release is one line.
# --mirror names the Debian archive for the chroot, such as a snapshot
# mirror, when a recorded version has left the current one. Run from a clone
# that holds the recorded commit. The work is scripts/verify_release.py's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=scripts/quietly.sh
. "$root/scripts/quietly.sh"
command -v python3 >/dev/null || quietly "installing python3" "$root/scripts/install-deps.sh" release ||
    fail "python3 is missing, and could not be installed"
# -E -s: neither the caller's PYTHON* variables nor its own site packages
# reach the verifier, which imports only from its own folder.
exec python3 -E -s -B "$root/scripts/verify_release.py" "$@"
