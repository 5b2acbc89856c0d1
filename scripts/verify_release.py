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
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading

# Started isolated (python3 -I), which leaves this folder off the path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# pylint: disable=wrong-import-position
import authenticode
import buildinfo
import commit_refs
import commit_tree
import debian_systems
import release_files
import sandbox
import signature_chain
import signature_check
import signature_trust
from release_files import Refused
from shown import escaped


class CannotVerify(Exception):
    """The verifier, or this host, could not do its own work (a permission,
    the archive out of reach, a full disk, a limit hit, a tool missing):
    that says nothing about the release, so it is never a refusal."""


# The exit statuses: the release verified, the release not verified (it
# differs, or is refused), no verdict.
VERIFIED, NOT_VERIFIED, NO_VERDICT = 0, 1, 2

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
DIFFOSCOPE_LINES = OUTPUT_LINES = 40
DIFFOSCOPE_LINE = OUTPUT_LINE = 200
OUTPUT_KEPT = 64 << 10


def command_environment(extra=None):
    environment = dict(QUIET_ENVIRONMENT)
    # Git's own settings for this clone (safe.directory for another user's)
    # may come this way; nothing else of the caller's does.
    environment.update({k: v for k, v in os.environ.items() if k.startswith("GIT_CONFIG_")})
    environment.update(extra or {})
    return environment


# The longest a rebuild, or the making of a Debian system for it, may take:
# many times what either takes on a small host.
LONGEST_STEP = 30 * 60


def capture(arguments, environment=None, what="a command", limit=None, **options):
    """Runs a command in the quiet environment: its exit status and output,
    of which only the first and the last OUTPUT_KEPT bytes are kept. The
    rebuild runs the recorded commit's scripts, which may print without end,
    or never end: past LIMIT seconds, its whole process group is killed, and
    that is Refused with WHAT. Given a STDOUT (a file), the command writes
    there, and its standard error is the output."""
    head, tail, dropped, stopped = b"", b"", False, threading.Event()
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.STDOUT}
    if "stdout" in options:
        streams = {"stdout": options.pop("stdout"), "stderr": subprocess.PIPE}

    def stop(process):
        stopped.set()
        os.killpg(process.pid, signal.SIGKILL)

    with subprocess.Popen(arguments, stdin=subprocess.DEVNULL, **streams, env=command_environment(environment),
                          start_new_session=limit is not None, **options) as process:
        said = process.stdout if streams["stdout"] == subprocess.PIPE else process.stderr
        timer = threading.Timer(limit, stop, (process,)) if limit else None
        if timer:
            timer.start()
        try:
            for chunk in iter(lambda: said.read(1 << 16), b""):
                room = OUTPUT_KEPT - len(head)
                head, chunk = head + chunk[:room], chunk[room:]
                dropped = dropped or len(tail) + len(chunk) > OUTPUT_KEPT
                tail = (tail + chunk)[-OUTPUT_KEPT:]
            status = process.wait()
        finally:
            if timer:
                timer.cancel()
    if stopped.is_set():
        raise CannotVerify(f"{what} took more than {limit // 60} minutes and was stopped")
    return status, (head + (b"\n[...]\n" if dropped else b"") + tail).decode(errors="replace")


def print_last_lines(output):
    """A failed command's last lines, escaped and cut, indented under the
    verifier's own."""
    lines = output.strip().splitlines()[-OUTPUT_LINES:]
    print("".join(f"    {escaped(line)[:OUTPUT_LINE]}\n" for line in lines), end="", flush=True)


def run(arguments, what, **options):
    """Runs a command with its output held back; on failure, its last lines
    (escaped and cut) and Refused with WHAT."""
    status, output = capture(arguments, what=what, **options)
    if status != 0:
        print_last_lines(output)
        raise Refused(f"{what} failed (exit status {status})")
    return output


def own_step(arguments, what):
    """A command of the verifier's own, run as run() runs it; its failure is
    this host's, not the release's."""
    try:
        return run(arguments, what)
    except Refused as fault:
        raise CannotVerify(str(fault)) from None


def git(*arguments):
    return capture(["git", "-C", ROOT, *arguments])


def git_whole(*arguments):
    """What git prints, whole, however many refs the clone has; "" where it fails."""
    done = subprocess.run(["git", "-C", ROOT, *arguments], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=command_environment(), check=False)
    return done.stdout.decode(errors="replace") if done.returncode == 0 else ""


def refs_holding(commit):
    """The refs of this clone whose history holds COMMIT, links to refs
    (origin's HEAD) left out."""
    listed = git_whole("for-each-ref", "--contains", commit, "--format=%(refname) %(symref)")
    return {line[:-1] for line in listed.splitlines() if line.endswith(" ")}


def fetch_refspecs():
    """(remote, refspec) for each fetch refspec of this clone's remotes."""
    listed = git_whole("config", "-z", "--get-regexp", r"^remote\..*\.fetch$")
    entries = (entry.partition("\n") for entry in listed.split("\0") if entry)
    return [(key[len("remote.") : -len(".fetch")], value) for key, _, value in entries]


def symbolic(name):
    status, target = git("symbolic-ref", "-q", name)
    return target.strip() if status == 0 else None


def check_commit(info):
    """The recorded commit is a commit of this clone's tags or branches, or
    origin's (commit_refs.py says which count), and the record is dated by
    it: the ref the verdict names."""
    commit = info.commit
    status, kind = git("cat-file", "-t", commit)
    if status == 0 and kind.strip() != "commit":
        raise Refused(f"BUILDINFO's Commit {commit[:12]} is a {kind.strip()} object, not a commit: "
                      "a release records the commit it was built from")
    holding = refs_holding(commit) if status == 0 else set()
    fetch = fetch_refspecs()
    counted = {ref for ref in holding if commit_refs.counts(ref, fetch)}
    if not counted:
        others = sorted(holding, key=lambda ref: (not ref.startswith(commit_refs.REMOTES), ref))
        only = (f", only on {others[0]}, which origin's fetch refspecs do not fill from its branches alone"
                if others else "")
        raise Refused(
            f"commit {commit[:12]} is on no branch or tag of this clone nor any branch of origin{only}: fetch "
            "the project's branches and tags (git fetch --tags origin), then verify again"
        )
    tagged = git_whole("for-each-ref", "--points-at", commit, "--format=%(refname)", "refs/tags")
    ref = commit_refs.named(counted, tagged.split(), symbolic("HEAD"), symbolic("refs/remotes/origin/HEAD"))
    _, date = git("log", "-1", "--format=%ct", commit)
    if date.strip() != info.epoch:
        raise Refused(
            f"BUILDINFO's Source-Date-Epoch {info.epoch} is not the date of commit {commit[:12]} "
            f"({date.strip()}), which dates its release"
        )
    return escaped(ref)


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


def check_signatures(taken, epoch, trusted=()):
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
            signers.append(signature_check.check(signature, exe, epoch, trusted))
        except signature_check.BadSignature as fault:
            raise Refused(f"the signature of {name[:-4]}/loclistfix.exe: {fault}") from None
    if not signers:
        return None
    if len({signer.certificates for signer in signers}) != 1:
        raise Refused("the two executables are signed by different certificates or chains")
    if len({signer.stamp is None for signer in signers}) != 1:
        raise Refused("one executable is time-stamped and the other is not")
    return signers


def rebuild_command(info, stage=False):
    """The commit's own release command, as the sandbox runs it: what it
    says goes to standard error, and the release it makes in the sandbox's
    tmpfs comes out on standard output, as a tar stream, once it is done."""
    inside = sandbox.INSIDE
    return (["sh", "-c", 'bash scripts/package.sh "$@" >&2 && cd "$0" && exec tar -cf - --no-recursion -- *',
             f"{inside}/rebuilt", "--out", f"{inside}/rebuilt", "--signatures", f"{inside}/signatures",
             "--commit", info.commit] + (["--stage", f"{inside}/stage"] if stage else []))


def rebuild_in_sandbox(folder, info, system="/", stage=False):
    """Rebuilds from FOLDER's source and signatures (and stage): the tar
    stream of the rebuild's release, a file in FOLDER."""
    readable = [(os.path.join(folder, part), part) for part in ("source", "signatures", "stage")[: 3 if stage else 2]]
    rebuilt = os.path.join(folder, "rebuilt.tar")
    with open(rebuilt, "wb") as out:
        run(
            sandbox.command(rebuild_command(info, stage), system, readable, start="source"),
            "rebuilding the commit (its scripts/package.sh)",
            environment={"SOURCE_DATE_EPOCH": info.epoch, "TMPDIR": sandbox.PRIVATE_TMP},
            limit=LONGEST_STEP,
            stdout=out,
        )
    return rebuilt


# What the release command needs to run besides the packages it records,
# which install-deps.sh would otherwise install: the Debian system holds them
# too, at the versions its release has.
RUNNING_PACKAGES = ("python3", "openssl", "osslsigncode", "libengine-pkcs11-openssl",
                    "python3-asn1crypto", "python3-cryptography")


def rebuild_in_debian(info, packages, folder, work, mirror):
    """The rebuild, in a Debian system of the recorded release with PACKAGES
    (apt's NAME=VERSION) installed: the one kept for the archive's lists
    of today and these packages, else one made now, without root, and kept
    (scripts/debian_systems.py). The user who makes it runs copies of the
    scripts that do, which it can reach wherever the clone is."""
    top = debian_systems.store()
    os.mkdir(os.path.join(work, "scripts"))
    for script in ("debian-system.sh", "quietly.sh", "debian-mirror.sh"):
        shutil.copy(os.path.join(ROOT, "scripts", script), os.path.join(work, "scripts", script))
    temporary = os.path.join(work, "system-tmp")
    os.mkdir(temporary)
    sandbox.hand_over(temporary)
    packages = [*packages, *RUNNING_PACKAGES]
    key = debian_step(info.codename, "key", packages, [], work, temporary, mirror)
    system = debian_systems.kept(top, key)
    if system:
        print(f"== in the kept Debian {info.codename} system {key[:12]} ({escaped(system)})", flush=True)
    else:
        print(f"== making the Debian {info.codename} system {key[:12]}, to be kept in {escaped(top)}", flush=True)
        made = debian_systems.making(top)
        try:
            key = debian_step(info.codename, "make", packages, [os.path.join(top, "debs"), made], work, temporary,
                              mirror)
        except BaseException:
            debian_systems.remove(made)
            raise
        system = debian_systems.keep(top, made, key)
    return rebuild_in_sandbox(folder, info, system)


def debian_step(codename, step, packages, folders, work, temporary, mirror):
    """debian-system.sh's STEP, run by the unprivileged user: the key it prints last."""
    script = os.path.join(work, "scripts", "debian-system.sh")
    # The values are its arguments, never a shell's text.
    status, output = capture(
        sandbox.unprivileged(confined=False) + [script, step] + (["--mirror", mirror] if mirror else [])
        + [codename, *folders, *packages],
        environment={"TMPDIR": temporary},
        what=f"making a Debian {codename} system",
        limit=LONGEST_STEP,
    )
    key = (output.strip().splitlines() or [""])[-1]
    if status != 0 or not re.fullmatch("[0-9a-f]{64}", key):
        raise debian_failure(codename, status, output)
    return key


# apt's words for an archive it could not reach, and for recorded versions
# that cannot be installed together.
UNREACHABLE = re.compile(r"^E: Failed to fetch (\S+)|Could not connect to|Unable to connect to|"
                         r"Temporary failure resolving|Could not resolve", re.MULTILINE)
UNINSTALLABLE = re.compile(r"^E: Unable to correct problems|unmet dependencies|has no installation candidate",
                           re.MULTILINE)


def debian_failure(codename, status, output):
    """Why the Debian system could not be made: Refused where apt says the
    recorded versions cannot be had from a reachable archive, else what
    stopped it, which is this host's or the archive's business."""
    unreachable = UNREACHABLE.search(output)
    gone = re.search(r"Version '([^']*)' for '([^']*)' was not found", output)
    lines = output.strip().splitlines() or [""]
    if unreachable:
        address = re.search(r"^E: Failed to fetch (\S+)", output, re.MULTILINE)
        at = f" at {address.group(1)[:200]}" if address else ""
        return CannotVerify(f"making a Debian {codename} system: the Debian archive{at} cannot be reached")
    if gone:
        return Refused(f"{gone.group(2)} {gone.group(1)} is no longer in the Debian archive: "
                       "name a snapshot mirror that has it with --mirror URL")
    print_last_lines(output)
    if UNINSTALLABLE.search(output):
        return Refused(f"the recorded toolchain cannot be installed in a Debian {codename} system")
    # debian-system.sh's own fault is its last line, whole; apt's, its first error.
    if lines[-1].startswith("debian-system.sh: "):
        return CannotVerify(lines[-1][len("debian-system.sh: ") :])
    said = next((line for line in lines if line.startswith("E: ")), lines[-1])
    return CannotVerify(f"making a Debian {codename} system failed (exit status {status}): {said[:200]}")


# A release is four files: a rebuild that hands out more is no release.
REBUILT_FILES = 16


def rebuilt_release(rebuilt):
    """The files in the tar stream REBUILT, read as the release's are: the
    rebuild made them, so each must be a regular file of bounded size."""
    files = {}
    try:
        with tarfile.open(rebuilt, "r:") as archive:
            for member in archive:
                if len(files) == REBUILT_FILES or not member.isreg() or "/" in member.name \
                        or member.size > release_files.LARGEST_FILE:
                    raise Refused(f"the rebuild made {escaped(member.name)[:100]}, which is not a file of a release")
                files[member.name] = archive.extractfile(member).read()
    except (tarfile.TarError, OSError):
        raise Refused("the rebuild made no release") from None
    return files


def read_rebuilt(rebuilt, names):
    """The rebuild's files of those NAMES."""
    files = rebuilt_release(rebuilt)
    for name in names:
        if name not in files:
            raise Refused(f"the rebuild made no {escaped(name)}")
    return files


def rebuild(info, taken, work, mirror, stage):
    """The rebuild's release, assembled with the published signatures: its
    tar stream."""
    why = sandbox.unavailable()
    if why:
        raise CannotVerify(f"the sandbox that the rebuild runs in cannot be made here ({escaped(why)}): "
                           "verify on a host that allows user namespaces")
    folder = os.path.join(work, "rebuild")
    source, signatures = os.path.join(folder, "source"), os.path.join(folder, "signatures")
    # Everything here is the verifier's, which the sandbox is shown read-only.
    os.mkdir(folder)
    try:
        commit_tree.export(ROOT, info.commit, source)
    except commit_tree.Unsafe as fault:
        raise Refused(f"commit {info.commit[:12]} cannot be written out: {fault}") from None
    except subprocess.CalledProcessError:
        raise CannotVerify(f"cannot export commit {info.commit[:12]} from this clone") from None
    except OSError as fault:
        raise CannotVerify(f"cannot export commit {info.commit[:12]} from this clone: {failure(fault)}") from None
    os.mkdir(signatures)
    for name, (_, signature) in taken.items():
        if signature is not None:
            with open(os.path.join(signatures, f"{name[:-4]}.p7s"), "wb") as file:
                file.write(signature)
    if stage:
        # Copied into the rebuild's own folder: the sandbox sees no folder of the caller's.
        try:
            shutil.copytree(stage, os.path.join(folder, "stage"), symlinks=True)
        except (OSError, shutil.Error):
            raise CannotVerify(f"--stage {escaped(stage)} cannot be read") from None
        print(f"== assembling the packages staged in {escaped(stage)} with commit {info.commit[:12]}'s scripts, "
              "not a rebuild", flush=True)
        return rebuild_in_sandbox(folder, info, stage=True)
    here = {name: buildinfo.installed_version(name) for name in info.packages}
    differing = [
        f"{name} {here[name]} here, {version} recorded"
        for name, version in info.packages.items()
        if here[name] != version
    ]
    if not differing:
        print(f"== rebuilding commit {info.commit[:12]} on this host", flush=True)
        return rebuild_in_sandbox(folder, info)
    print(
        f"== this host's toolchain is not the release's ({differing[0]}): "
        f"rebuilding in a Debian {info.codename} system with the recorded versions",
        flush=True,
    )
    pinned = [f"{name}={version}" for name, version in info.packages.items()]
    try:
        return rebuild_in_debian(info, pinned, folder, work, mirror)
    except sandbox.Unreachable as fault:
        raise CannotVerify(str(fault)) from None


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
    """In diffoscope's process, before it starts: a process group of its
    own, so that a timeout ends every tool it ran."""
    os.setpgid(0, 0)


# What diffoscope may take besides the sandbox's limits: less memory, and
# files no larger than a release's (what it unpacks, and its report).
DIFFOSCOPE_LIMITS = {"as": DIFFOSCOPE_MEMORY, "fsize": DIFFOSCOPE_FILE}


def diffoscope(released, rebuilt, work):
    """diffoscope's account of two versions of a file, where it is installed:
    its first lines, escaped, for it shows the release's own text."""
    program = shutil.which("diffoscope")
    if not program:
        return ""
    folder = os.path.join(work, "diffoscope")
    os.makedirs(folder, exist_ok=True)
    sides = ("released", "rebuilt")
    for side, content in zip(sides, (released, rebuilt)):
        with open(os.path.join(folder, side), "wb") as file:
            file.write(content)
    # The tools it runs parse the release's bytes: in the rebuild's sandbox,
    # unprivileged and offline, they can write nothing outside it. One that
    # is not the system's is shown to it as a copy.
    if not program.startswith("/usr/"):
        shutil.copy(program, os.path.join(folder, "diffoscope"))
        program = f"{sandbox.INSIDE}/diffoscope/diffoscope"
    arguments = sandbox.command([program, "--text", "-", *(f"{sandbox.INSIDE}/diffoscope/{side}" for side in sides)],
                                readable=[(folder, "diffoscope")], limits=DIFFOSCOPE_LIMITS)
    with tempfile.TemporaryFile(dir=folder) as report:
        with subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=report,
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


def compare(files, rebuilt_stream, taken, work):
    """Prints a line for each file; returns the number that differ."""
    differences = 0
    rebuilt_files = read_rebuilt(rebuilt_stream, files)
    for name in sorted(files):
        rebuilt = rebuilt_files[name]
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


def verify(folder, mirror, stage, trusted=()):
    files = release_files.read_release(folder)
    info = buildinfo.parse(files["BUILDINFO"])
    architecture = own_step(["dpkg", "--print-architecture"], "dpkg --print-architecture").strip()
    if info.architecture != architecture:
        raise CannotVerify(f"the release was built on {info.architecture}, this host is {architecture}: "
                           "verify it on a host of that architecture")
    ref = check_commit(info)
    check_version(info, release_files.version(files))
    taken = take_signatures(files)
    signers = check_signatures(taken, info.epoch, trusted)

    own_step([os.path.join(ROOT, "scripts", "install-deps.sh"), "verify"], "installing what the rebuild needs")
    work = sandbox.workspace("loclistfix-verify.")
    try:
        differences = compare(files, rebuild(info, taken, work, mirror, stage), taken, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return differences, len(files), f"{info.commit[:12]} (on {ref})", signers


certificate = signature_chain.named


def trusted_certificate(path):
    try:
        return signature_trust.read(path)
    except signature_trust.Unreadable as fault:
        raise CannotVerify(f"--trust {escaped(path)}: {fault}") from None


def signed_by(signers):
    """The signer, the top of its chain and each time stamp, for the reader
    to compare with the ones they expect: no trust store vouches for them."""
    if signers is None:
        return "unsigned"
    chain = signers[0].chain
    # A time-stamp server's chain is named by its top too: below a top whose
    # issuer is absent, that top's own bytes are checked by nothing else.
    stamps = sorted({f"{s.stamp.time:%Y-%m-%dT%H:%M:%SZ} by {certificate(s.stamp.chain.signer)}, "
                     f"its chain top: {chain_top(s.stamp.chain)}" for s in signers if s.stamp})
    stamped = f"time-stamped {'; '.join(stamps)}" if stamps else "not time-stamped"
    return f"signed by {certificate(chain.signer)}; chain top: {chain_top(chain)}; {stamped}"


def chain_top(chain):
    if chain.anchor is not None:
        top = f"{certificate(chain.top)}, issued by {certificate(chain.anchor)}, given with --trust"
    elif chain.issuer_absent:
        top = f"{certificate(chain.top)}, whose issuer {signature_chain.subject(chain.top, 'issuer')} is absent"
    else:
        top = f"{certificate(chain.top)}, self-signed"
    if chain.top is chain.signer:
        top = "the signer's certificate itself" + top[len(certificate(chain.top)):]
    return top


USAGE = "usage: verify-release.sh [--mirror URL] [--stage DIR] [--trust FILE]... DIR"


def main(arguments):
    options, trusted = {"--mirror": None, "--stage": None, "--trust": None}, []
    while arguments[:1] and arguments[0] in options:
        if len(arguments) < 2:
            raise CannotVerify(f"{arguments[0]} needs a value")
        options[arguments[0]], arguments = arguments[1], arguments[2:]
        if options["--trust"] is not None:
            trusted.append(trusted_certificate(options["--trust"]))
            options["--trust"] = None
    if len(arguments) != 1:
        raise CannotVerify(USAGE)
    stage = options["--stage"]
    if stage is not None:
        if not os.path.isdir(stage):
            raise CannotVerify(f"--stage {escaped(stage)}: no such folder")
        stage = os.path.abspath(stage)
    # What the verifier writes, the unprivileged rebuild reads.
    os.umask(0o022)
    differences, checked, commit, signers = verify(arguments[0], options["--mirror"], stage, trusted)
    compared = (f"the packages staged in {escaped(stage)}, not a rebuild of commit {commit}" if stage
                else f"the build of commit {commit}")
    if differences == 0:
        print(f"verdict: verified: all {checked} files are {compared}, {signed_by(signers)}")
        return VERIFIED
    print(f"verdict: NOT verified: {differences} of {checked} files differ from {compared}")
    return NOT_VERIFIED


def failure(fault):
    """What stopped the verifier, in a few words: an OSError by its cause and
    file, anything else by its kind and text."""
    if isinstance(fault, CannotVerify):
        return str(fault)
    if isinstance(fault, OSError) and fault.strerror:
        where = f" ({fault.filename})" if fault.filename is not None else ""
        return f"{fault.strerror.lower()}{where}"[:200]
    if isinstance(fault, MemoryError):
        return "out of memory"
    return f"{type(fault).__name__}: {fault}"[:200]


def stop(status, line):
    """LINE on stderr, and exit with STATUS. What the release supplied was
    escaped where LINE was made; anything unprintable that got past that is
    escaped here, without doubling the backslashes of those escapes."""
    sys.stdout.flush()
    shown = "".join(c if c.isprintable() else escaped(c) for c in line)
    sys.stderr.write(f"verify-release.sh: {shown}\n")
    sys.exit(status)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (Refused, buildinfo.Refused) as refusal:
        stop(NOT_VERIFIED, str(refusal))
    except KeyboardInterrupt:
        stop(128 + signal.SIGINT, "interrupted: no verdict")
    except Exception as fault:  # pylint: disable=broad-exception-caught
        # A fault nobody foresaw is the verifier's own, whatever set it off.
        stop(NO_VERDICT, f"could not verify, so no verdict: {failure(fault)}")
