"""The verifier behind scripts/verify-release.sh, which documents it.

A release is the build of its commit plus, at most, one signature for each
executable. The verifier takes those signatures off the published
executables, rebuilds the recorded commit with its own scripts/package.sh,
which assembles the rebuild with the same signatures, and compares every
file of the release with the rebuild's byte for byte. The signatures, the
one part no rebuild makes, are checked on their own.

Nothing it reads is trusted: no value from the release reaches a shell, and
nothing in a zip is read but its executable.
"""

import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile

# Started isolated (python3 -I), which leaves this folder off the path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# pylint: disable=wrong-import-position
import authenticode
import buildinfo
import commit_tree
import release_files
import signature_chain
import signature_check
from release_files import Refused
from shown import escaped

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# What the rebuild sees, whatever the caller's environment holds: its locale,
# flags and git settings stay out, and so do replace refs and grafts.
QUIET_ENVIRONMENT = {
    "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
    "LANG": "C.UTF-8",
    "LC_ALL": "C.UTF-8",
    "HOME": "/nonexistent",
    "DEBIAN_FRONTEND": "noninteractive",
    **commit_tree.AS_STORED,
}
# diffoscope unpacks what it is given with many tools; a forged zip may make
# any of them run long or take all the memory.
DIFFOSCOPE_SECONDS = 120
DIFFOSCOPE_MEMORY = 2 << 30
DIFFOSCOPE_FILE = release_files.LARGEST_FILE
DIFFOSCOPE_BYTES = 16 << 10
DIFFOSCOPE_LINES = 40
DIFFOSCOPE_LINE = 200


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
            sys.stderr.write("".join(f"{escaped(line)}\n" for line in output.splitlines()))
        raise Refused(f"{what} failed (exit status {status})")
    return output


def git(*arguments):
    return capture(["git", "-C", ROOT, *arguments])


def check_commit(info):
    """The recorded commit is one of this clone's branches or tags, and the
    record is dated by it."""
    commit = info.commit
    found, _ = git("cat-file", "-e", f"{commit}^{{commit}}")
    status, refs = git("for-each-ref", "--count=1", "--format=%(refname)", "--contains", commit,
                       "refs/heads", "refs/remotes", "refs/tags")
    if found != 0 or status != 0 or not refs.strip():
        raise Refused(
            f"commit {commit[:12]} is on no branch or tag of this clone: fetch the project's branches "
            "and tags (git fetch --tags origin), then verify again"
        )
    _, date = git("log", "-1", "--format=%ct", commit)
    if date.strip() != info.epoch:
        raise Refused(
            f"BUILDINFO's Source-Date-Epoch {info.epoch} is not the date of commit {commit[:12]} "
            f"({date.strip()}), which dates its release"
        )


def check_version(info, version):
    """The version in the release's file names is the one its commit's
    CMakeLists.txt gives, the version's one home."""
    _, text = git("show", f"{info.commit}:CMakeLists.txt")
    found = re.search(r"project\(\s*loclistfix\s+VERSION\s+([0-9A-Za-z.+~-]+)", text)
    if not found or found.group(1) != version:
        stated = found.group(1) if found else "none"
        raise Refused(f"the release's files are named for version {version}, commit {info.commit[:12]} "
                      f"is version {stated}")


def take_signatures(files):
    """zip name -> (the published executable, its signature or None)."""
    taken = {}
    for name in sorted(n for n in files if n.endswith(".zip")):
        exe = release_files.executable(name, files[name])
        try:
            taken[name] = (exe, authenticode.take(exe))
        except authenticode.NotSigned as fault:
            raise Refused(f"{name[:-4]}/loclistfix.exe: {fault}") from None
    if len({signature is None for _, signature in taken.values()}) > 1:
        raise Refused("one executable is signed and the other is not: a release signs both or neither")
    return taken


def check_signatures(taken, epoch):
    """The one signer of both executables, or None for an unsigned release.

    Each signature must carry the digest of the published executable; once
    that executable is the rebuild's with the signature attached, as the
    comparison shows, that is the digest of the rebuilt one too.
    """
    signers = []
    for name, (exe, signature) in taken.items():
        if signature is None:
            continue
        try:
            signers.append(signature_check.check(signature, exe, epoch))
        except signature_check.BadSignature as fault:
            raise Refused(f"the signature of {name[:-4]}/loclistfix.exe: {fault}") from None
    if not signers:
        return None
    if len({signer.certificates for signer in signers}) != 1:
        raise Refused("the two executables are signed by different certificates or chains")
    if len({signer.stamp is None for signer in signers}) != 1:
        raise Refused("one executable is time-stamped and the other is not")
    return signers


def rebuild_command(signatures, out, info, stage=None):
    return (["bash", "scripts/package.sh", "--out", out, "--signatures", signatures, "--commit", info.commit]
            + (["--stage", stage] if stage else []))


def rebuild_here(source, signatures, info, work, stage=None):
    out = os.path.join(work, "rebuilt")
    run(
        rebuild_command(signatures, out, info, stage),
        "rebuilding the commit (its scripts/package.sh)",
        cwd=source,
        environment={"SOURCE_DATE_EPOCH": info.epoch, "TMPDIR": work},
    )
    return out


def rebuild_in_chroot(info, source, signatures, work, mirror):
    codename = info.codename
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
        shutil.copytree(source, os.path.join(place, "source"), symlinks=True)
        shutil.copytree(signatures, os.path.join(place, "signatures"))
        command = rebuild_command(f"/root/{inside}/signatures", f"/root/{inside}/rebuilt", info)
        run(
            chroot + ['cd "$1/source" && SOURCE_DATE_EPOCH="$2" exec "${@:3}"', inside, info.epoch, *command],
            f"rebuilding the commit in the {codename} chroot",
        )
        out = os.path.join(work, "rebuilt")
        shutil.copytree(os.path.join(place, "rebuilt"), out)
        return out
    finally:
        shutil.rmtree(place, ignore_errors=True)


def rebuild(info, taken, work, mirror, stage):
    """The rebuild's release, assembled with the published signatures."""
    source, signatures = os.path.join(work, "source"), os.path.join(work, "signatures")
    try:
        commit_tree.export(ROOT, info.commit, source)
    except commit_tree.Unsafe as fault:
        raise Refused(f"commit {info.commit[:12]} cannot be written out: {fault}") from None
    except (subprocess.CalledProcessError, OSError):
        raise Refused(f"cannot export commit {info.commit[:12]} from this clone") from None
    os.mkdir(signatures)
    for name, (_, signature) in taken.items():
        if signature is not None:
            with open(os.path.join(signatures, f"{name[:-4]}.p7s"), "wb") as file:
                file.write(signature)
    if stage:
        print(f"== assembling the packages staged in {stage} with commit {info.commit[:12]}'s scripts, "
              "not a rebuild", flush=True)
        return rebuild_here(source, signatures, info, work, stage)
    here = {name: buildinfo.installed_version(name) for name in info.packages}
    differing = [
        f"{name} {here[name]} here, {version} recorded"
        for name, version in info.packages.items()
        if here[name] != version
    ]
    if not differing:
        print(f"== rebuilding commit {info.commit[:12]} on this host", flush=True)
        return rebuild_here(source, signatures, info, work)
    print(
        f"== this host's toolchain is not the release's ({differing[0]}): "
        f"rebuilding in a Debian {info.codename} chroot",
        flush=True,
    )
    return rebuild_in_chroot(info, source, signatures, work, mirror)


def first_difference(one, other):
    for offset, (mine, theirs) in enumerate(zip(one, other)):
        if mine != theirs:
            return offset
    return None if len(one) == len(other) else min(len(one), len(other))


def where(offset, exe=None):
    """OFFSET, and the section of EXE that holds it, where it is in one."""
    place = f"offset {offset} (0x{offset:x})"
    section = authenticode.section_at(exe, offset) if exe is not None else None
    return f"{place}, in section {section}" if section else place


def limited():
    """In diffoscope's process, before it starts: its memory and the files it
    writes (what it unpacks, and its report) capped, and a process group of
    its own, so that a timeout ends every tool it ran."""
    for limit, most in ((resource.RLIMIT_AS, DIFFOSCOPE_MEMORY), (resource.RLIMIT_FSIZE, DIFFOSCOPE_FILE)):
        _, hard = resource.getrlimit(limit)
        most = most if hard == resource.RLIM_INFINITY else min(most, hard)
        resource.setrlimit(limit, (most, most))
    os.setpgid(0, 0)


def diffoscope(released, rebuilt, work):
    """diffoscope's account of two versions of a file, where it is installed:
    its first lines, escaped, for it shows the release's own text."""
    program = shutil.which("diffoscope")
    if not program:
        return ""
    folder = os.path.join(work, "diffoscope")
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, side) for side in ("released", "rebuilt")]
    for path, content in zip(paths, (released, rebuilt)):
        with open(path, "wb") as file:
            file.write(content)
    with tempfile.TemporaryFile(dir=folder) as report:
        with subprocess.Popen([program, "--text", "-", *paths], stdin=subprocess.DEVNULL, stdout=report,
                              stderr=subprocess.DEVNULL, env=command_environment(),
                              preexec_fn=limited) as process:  # pylint: disable=subprocess-popen-preexec-fn
            try:
                process.wait(timeout=DIFFOSCOPE_SECONDS)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                return "\n    (diffoscope took too long, and was stopped)"
        report.seek(0)
        lines = report.read(DIFFOSCOPE_BYTES).decode(errors="replace").splitlines()
    return "".join(f"\n    {escaped(line)[:DIFFOSCOPE_LINE]}" for line in lines[:DIFFOSCOPE_LINES])


def executable_difference(name, theirs, ours):
    """Where the executables differ, past the checksum, which differs with
    any other byte."""
    checksum = authenticode.checksum_offset(ours)
    unchecked = [theirs, ours]
    if checksum is not None:
        unchecked = [exe[:checksum] + bytes(4) + exe[checksum + 4 :] for exe in unchecked]
    offset = first_difference(*unchecked)
    if offset is None:
        same = first_difference(theirs, ours) is None
        return "" if same else f"\ndiffers: {name[:-4]}/loclistfix.exe: its checksum alone"
    differs_too = checksum is not None and theirs[checksum : checksum + 4] != ours[checksum : checksum + 4]
    checksum_too = " (and the checksum)" if differs_too else ""
    return f"\ndiffers: {name[:-4]}/loclistfix.exe: first difference at {where(offset, ours)}{checksum_too}"


def compare(files, rebuilt_folder, taken, work):
    """Prints a line for each file; returns the number that differ."""
    differences = 0
    for name in sorted(files):
        try:
            with open(os.path.join(rebuilt_folder, name), "rb") as file:
                rebuilt = file.read()
        except OSError:
            raise Refused(f"the rebuild made no {name}") from None
        offset = first_difference(files[name], rebuilt)
        if offset is None:
            print(f"verified: {name}", flush=True)
            continue
        differences += 1
        line = f"differs: {name}: first difference at {where(offset)}"
        if name in taken:
            line += executable_difference(name, taken[name][0], release_files.executable(name, rebuilt))
        print(line + diffoscope(files[name], rebuilt, work), flush=True)
    return differences


def verify(folder, mirror, stage):
    files = release_files.read_release(folder)
    info = buildinfo.parse(files["BUILDINFO"])
    architecture = run(["dpkg", "--print-architecture"], "dpkg --print-architecture").strip()
    if info.architecture != architecture:
        raise Refused(f"the release was built on {info.architecture}, this host is {architecture}")
    check_commit(info)
    check_version(info, release_files.version(files))
    taken = take_signatures(files)
    signers = check_signatures(taken, info.epoch)

    run([os.path.join(ROOT, "scripts", "install-deps.sh"), "release"], "installing what the rebuild needs")
    work = tempfile.mkdtemp(prefix="loclistfix-verify.")
    try:
        differences = compare(files, rebuild(info, taken, work, mirror, stage), taken, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return differences, len(files), info.commit, signers


def certificate(cert):
    """A certificate as the verdict names it: its SHA-256 first, which no
    name can imitate, then its subject, escaped."""
    return f"certificate SHA-256 {signature_chain.fingerprint(cert)} ({signature_chain.subject(cert)})"


def signed_by(signers):
    """The signer, the top of its chain and each time stamp, for the reader
    to compare with the ones they expect: no trust store vouches for them."""
    if signers is None:
        return "unsigned"
    chain = signers[0].chain
    if chain.issuer_absent:
        top = f"{certificate(chain.top)}, whose issuer {signature_chain.subject(chain.top, 'issuer')} is absent"
    else:
        top = f"{certificate(chain.top)}, self-signed"
    if chain.top is chain.signer:
        top = "the signer's certificate itself" + top[len(certificate(chain.top)):]
    stamps = sorted({f"{s.stamp.time:%Y-%m-%dT%H:%M:%SZ} by {certificate(s.stamp.chain.signer)}"
                     for s in signers if s.stamp})
    stamped = f"time-stamped {'; '.join(stamps)}" if stamps else "not time-stamped"
    return f"signed by {certificate(chain.signer)}; chain top: {top}; {stamped}"


USAGE = "usage: verify-release.sh [--mirror URL] [--stage DIR] DIR"


def main(arguments):
    options = {"--mirror": None, "--stage": None}
    while arguments[:1] and arguments[0] in options:
        if len(arguments) < 2:
            raise Refused(f"{arguments[0]} needs a value")
        options[arguments[0]], arguments = arguments[1], arguments[2:]
    if len(arguments) != 1:
        raise Refused(USAGE)
    stage = options["--stage"]
    if stage is not None:
        if not os.path.isdir(stage):
            raise Refused(f"--stage {stage}: no such folder")
        stage = os.path.abspath(stage)
    differences, checked, commit, signers = verify(arguments[0], options["--mirror"], stage)
    compared = (f"the packages staged in {stage}, not a rebuild of commit {commit[:12]}" if stage
                else f"the build of commit {commit[:12]}")
    if differences == 0:
        print(f"verdict: verified: all {checked} files are {compared}, {signed_by(signers)}")
        return 0
    print(f"verdict: NOT verified: {differences} of {checked} files differ from {compared}")
    return 1


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (Refused, buildinfo.Refused) as refusal:
        sys.stderr.write(f"verify-release.sh: {escaped(str(refusal))}\n")
        sys.exit(1)
    except Exception as fault:  # pylint: disable=broad-exception-caught
        sys.stderr.write(f"verify-release.sh: cannot verify {escaped(' '.join(sys.argv[1:]))[:200]}: "
                         f"{type(fault).__name__}: {escaped(str(fault))[:200]}\n")
        sys.exit(1)
