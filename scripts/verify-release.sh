#!/usr/bin/env bash
# Verifies a release folder against its commit: takes the signature off each
# published executable, rebuilds the commit that BUILDINFO names with that
# commit's own scripts/package.sh, at its date and with the package versions
# it records (on this host where they match, else in a Debian system of the
# recorded release, made for it without root, with those versions
# installed), as an unprivileged user in a sandbox; assembles the rebuild
# with the same signatures, and compares every file of the release
# with the rebuild's, byte for byte. Each signature is checked on its own.
#
#   scripts/verify-release.sh [--mirror URL] [--stage STAGE] [--trust FILE]... DIR
#
# The release is the files that DIR/SHA256SUMS lists; anything else in DIR is
# not its business. Prints `verified: FILE` or where a file differs, then a
# verdict that names the signer. Input that is no release is one line. Exits
# 0 when every file matched, 1 when the release is not verified (a file
# differs, or it is refused), 2 when no verdict could be reached (see
# docs/releasing.md). --trust FILE gives a CA certificate (PEM or DER) as the
# issuer of a chain's top that a signature leaves out. --mirror names the
# Debian archive for that system, such as a snapshot mirror, when a recorded
# version has left the current one. --stage compares with the packages staged in STAGE, as
# package.sh --stage takes them, in place of a rebuild; the verdict says so.
# Run from a clone whose tags or branches, or origin's, hold the recorded
# commit. The work is scripts/verify_release.py's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=scripts/quietly.sh
. "$root/scripts/quietly.sh"
# Debian's own Python, with the libraries the verifier reads signatures and
# executables with; not whichever python3 comes first on PATH.
python=/usr/bin/python3
"$python" -I -c 'import asn1crypto, cryptography, pefile' 2>/dev/null ||
    quietly "installing Python and its libraries" "$root/scripts/install-deps.sh" release ||
    { echo "verify-release.sh: could not verify, so no verdict: Debian's python3 and its packages python3-asn1crypto, python3-cryptography and python3-pefile are missing, and could not be installed" >&2 && exit 2; }
# Isolated: neither the caller's PYTHON* variables nor its own site packages
# reach the verifier.
exec "$python" -I -B "$root/scripts/verify_release.py" "$@"
