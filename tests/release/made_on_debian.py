"""A release made on another Debian release, as the verifier rebuilds one:

    made_on_debian.py CODENAME COMMIT EPOCH OUT

The commit, exported as the verifier exports it, is released by its own
scripts/package.sh --commit in the verifier's sandbox, inside a Debian
CODENAME system that the verifier's own means make without root for this
release alone, from its .deb cache, with today's versions of the packages a
release records; on a CODENAME host, on the host itself. The release is
left in OUT. Where the sandbox cannot be made, it says why in one line
starting "skipped:" and exits 77.
"""

import os
import shutil
import sys
import types

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "scripts"))

# pylint: disable=wrong-import-position
import buildinfo
import commit_tree
import sandbox
import verify_release

SKIPPED = 77


def release(info, out):
    work = sandbox.workspace("loclistfix-made-on-debian.")
    try:
        folder = os.path.join(work, "rebuild")
        os.mkdir(folder)
        commit_tree.export(verify_release.ROOT, info.commit, os.path.join(folder, "source"))
        os.mkdir(os.path.join(folder, "signatures"))
        if buildinfo.os_release().get("VERSION_CODENAME") == info.codename:
            rebuilt = verify_release.rebuild_in_sandbox(folder, info)
        else:
            rebuilt = verify_release.rebuild_in_debian(info, buildinfo.PACKAGES, folder, work, None)
        os.mkdir(out)
        for name, content in verify_release.rebuilt_release(rebuilt).items():
            with open(os.path.join(out, name), "wb") as file:
                file.write(content)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(arguments):
    codename, commit, epoch, out = arguments
    why = sandbox.unavailable()
    if why:
        print(f"skipped: a release made on Debian {codename}: the verifier's sandbox cannot be made here ({why})")
        return SKIPPED
    os.umask(0o022)
    release(types.SimpleNamespace(codename=codename, commit=commit, epoch=epoch), os.path.abspath(out))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (verify_release.Refused, verify_release.CannotVerify, sandbox.Unreachable) as refusal:
        sys.stderr.write(f"made_on_debian.py: {refusal}\n")
        sys.exit(1)
