"""The verifier behind scripts/verify-release.sh, which documents it.

Nothing it reads is trusted. SHA256SUMS, BUILDINFO and the zips are read
once into memory and checked as data: the zips are never unpacked, and no
value from BUILDINFO reaches a shell. The rebuild uses the recorded commit's
own package.sh, and pins the packages that BUILDINFO lists.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

import commit_tree
import release_files
from release_files import Refused

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LARGEST_FILE = 64 << 20
# What the rebuild sees, whatever the caller's environment holds: its locale,
# flags and git settings stay out.
QUIET_ENVIRONMENT = {
    "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
    "LANG": "C.UTF-8",
    "LC_ALL": "C.UTF-8",
    "HOME": "/nonexistent",
    "DEBIAN_FRONTEND": "noninteractive",
}


def read_file(folder, name):
    path = os.path.join(folder, name)
    try:
        with open(path, "rb") as file:
            data = file.read(LARGEST_FILE + 1)
    except OSError as error:
        raise Refused(f"{folder} holds no readable {name} ({error.strerror})") from None
    if len(data) > LARGEST_FILE:
        raise Refused(f"{path} is larger than any release file ({LARGEST_FILE >> 20} MiB)")
    return data


def read_release(folder):
    """The files that SHA256SUMS lists, checked against it: name -> bytes."""
    listed = release_files.parse_sums(read_file(folder, "SHA256SUMS"))
    files = {}
    for name, digest in listed.items():
        data = read_file(folder, name)
        if hashlib.sha256(data).hexdigest() != digest:
            raise Refused(f"the release does not match its SHA256SUMS ({name})")
        files[name] = data
    return files


def command_environment(extra=None):
    environment = dict(QUIET_ENVIRONMENT)
    # Git's own settings for this clone (safe.directory for another user's)
    # may come this way; nothing else of the caller's does.
    environment.update({k: v for k, v in os.environ.items() if k.startswith("GIT_CONFIG_")})
    environment.update(extra or {})
    return environment


def capture(arguments, environment=None, **options):
    """Runs a command in the quiet environment: its exit status and output."""
    result = subprocess.run(
        arguments,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        env=command_environment(environment),
        check=False,
        **options,
    )
    return result.returncode, result.stdout.decode(errors="replace")


def run(arguments, what, **options):
    """Runs a command with its output held back; on failure, Refused with WHAT."""
    status, output = capture(arguments, **options)
    if status != 0:
        output = output.strip()
        if output:
            sys.stderr.write(output + "\n")
        raise Refused(f"{what} failed (exit status {status})")
    return output


def installed_version(package):
    status, output = capture(["dpkg-query", "-W", "-f=${Version}", package])
    return output if status == 0 else ""


def rebuild_here(source, epoch, out):
    run(
        ["bash", "scripts/package.sh", "--out", out],
        "rebuilding the commit (its scripts/package.sh)",
        cwd=source,
        environment={"SOURCE_DATE_EPOCH": epoch, "TMPDIR": os.path.dirname(out)},
    )


def rebuild_in_chroot(info, source, mirror):
    codename = info.single["Build-Codename"]
    if os.geteuid() != 0:
        raise Refused(f"rebuilding in a Debian {codename} chroot needs root: run this as root")
    chroot = [os.path.join(ROOT, "scripts", "chroot.sh")] + (["--mirror", mirror] if mirror else []) + [codename]
    pinned = [f"{name}={version}" for name, version in info.packages.items()]
    # The values are the chroot command's arguments; its text is fixed. A
    # list that fails to update (a release without backports) leaves the rest.
    status, output = capture(
        chroot + ['apt-get update -qq; apt-get install -y -qq --no-install-recommends "$@"', *pinned]
    )
    if status != 0:
        for name, version in info.packages.items():
            offered = run(chroot + ['apt-cache madison "$1"', name], f"asking the {codename} archive for {name}")
            if version not in [line.split("|")[1].strip() for line in offered.splitlines() if line.count("|") >= 2]:
                raise Refused(
                    f"{name} {version} is no longer in the Debian archive: "
                    "name a snapshot mirror that has it with --mirror URL"
                )
        sys.stderr.write(output)
        raise Refused(f"the recorded toolchain cannot be installed in the {codename} chroot")
    inside = f"verify-{os.getpid()}"
    place = os.path.join(ROOT, "build", "chroots", codename, "root", inside)
    shutil.rmtree(place, ignore_errors=True)
    try:
        shutil.copytree(source, place, symlinks=True)
        run(
            chroot + ['cd "$1" && SOURCE_DATE_EPOCH="$2" bash scripts/package.sh --out release', inside, info.epoch],
            f"rebuilding the commit in the {codename} chroot",
        )
        out = os.path.join(os.path.dirname(source), "rebuilt")
        shutil.copytree(os.path.join(place, "release"), out)
        return out
    finally:
        shutil.rmtree(place, ignore_errors=True)


def rebuild(info, work, mirror):
    commit = info.single["Commit"]
    source = os.path.join(work, "source")
    try:
        commit_tree.export(ROOT, commit, source)
    except (subprocess.CalledProcessError, OSError):
        raise Refused(f"cannot export commit {commit[:12]} from this clone") from None
    here = {name: installed_version(name) for name in info.packages}
    differing = [
        f"{name} {here[name] or '(none)'} here, {version} recorded"
        for name, version in info.packages.items()
        if here[name] != version
    ]
    if not differing:
        print(f"== rebuilding commit {commit[:12]} on this host", flush=True)
        out = os.path.join(work, "rebuilt")
        rebuild_here(source, info.epoch, out)
        return out
    print(
        f"== this host's toolchain is not the release's ({differing[0]}): "
        f"rebuilding in a Debian {info.single['Build-Codename']} chroot",
        flush=True,
    )
    return rebuild_in_chroot(info, source, mirror)


def verify(folder, mirror):
    files = read_release(folder)
    info = release_files.parse_buildinfo(files["BUILDINFO"], release_files.zip_names(files))
    architecture = run(["dpkg", "--print-architecture"], "dpkg --print-architecture").strip()
    if info.single["Build-Architecture"] != architecture:
        raise Refused(f"the release was built on {info.single['Build-Architecture']}, this host is {architecture}")
    commit = info.single["Commit"]
    found, _ = capture(["git", "-C", ROOT, "cat-file", "-e", f"{commit}^{{commit}}"])
    if found != 0:
        raise Refused(f"commit {commit[:12]} is not in this clone: fetch it, then verify again")

    run([os.path.join(ROOT, "scripts", "install-deps.sh"), "release"], "installing what the rebuild needs")
    work = tempfile.mkdtemp(prefix="loclistfix-verify.")
    try:
        rebuilt_folder = rebuild(info, work, mirror)
        rebuilt = release_files.read_rebuild(rebuilt_folder)
        return release_files.compare(files, rebuilt, info, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(arguments):
    mirror = None
    if arguments[:1] == ["--mirror"]:
        if len(arguments) < 2:
            raise Refused("--mirror needs a URL")
        mirror, arguments = arguments[1], arguments[2:]
    if len(arguments) != 1:
        raise Refused("usage: verify-release.sh [--mirror URL] DIR")
    folder = arguments[0]
    if not os.path.isdir(folder):
        raise Refused(f"{folder}: no such folder")
    differences, checked, commit = verify(folder, mirror)
    if differences == 0:
        print(f"verdict: verified: all {checked} files are the build of commit {commit[:12]}")
        return 0
    print(f"verdict: NOT verified: {differences} difference(s) from the build of commit {commit[:12]}")
    return 1


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Refused as refusal:
        sys.stderr.write(f"verify-release.sh: {refusal}\n")
        sys.exit(1)
