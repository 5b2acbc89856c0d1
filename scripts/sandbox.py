"""Where the verifier runs the recorded commit's own scripts: code that
anyone who could push to the clone's branches wrote.

bubblewrap gives them user, mount, PID, IPC, UTS and network namespaces of
their own, and a file system made for them: the system folders a build
needs, read-only (/usr and the links into it, the parts of /etc that a build
reads, dpkg's database), a fresh tmpfs of a fixed size over every folder
where something could be written or found (/tmp, /home, /root, /run, /var,
/srv, /mnt, /media, /dev/shm), a /proc of their own (so no /proc/PID/root of
a process outside), no network, and the files they are given, read-only,
under INSIDE. Nothing else of the host is there: not the caller's home, not
the clone, no socket of a host service. A verifier started as root first
drops to the unprivileged user nobody, whom bubblewrap then maps to itself:
the rebuild never holds root's rights, in the namespaces or out of them.

Every process in it is limited too (LIMITS), so that a fork bomb, a runaway
allocation or a fill ends the rebuild, not the host.
"""

import glob
import os
import resource
import stat
import subprocess
import tempfile

UNPRIVILEGED = 65534
# The sandbox's own temporary folder, a tmpfs; the files it is given appear
# in it, at the same path whatever system the sandbox shows.
PRIVATE_TMP = "/tmp"
INSIDE = f"{PRIVATE_TMP}/rebuild"

# What a build reads of a system besides /usr: the links into /usr (or the
# folders, on a system whose /usr is not merged), and these parts of /etc.
SYSTEM_TOP = ("bin", "sbin", "lib", "lib32", "lib64", "libx32")
SYSTEM_ETC = ("alternatives", "os-release", "ld.so.cache", "ld.so.conf", "ld.so.conf.d", "nsswitch.conf", "passwd",
              "group", "localtime", "dpkg", "ssl", "python3", "python3.*")
# Folders a program might write in, or find the host's files and sockets in:
# each an empty tmpfs of its own.
EMPTY = ("/home", "/root", "/run", "/var", "/srv", "/mnt", "/media")

# Generous for a release build (two MinGW builds, a compiler or two per core,
# a few hundred MB of build trees), far below what takes a host down.
PROCESSES = 4096
ADDRESS_SPACE = 4 << 30
FILE_SIZE = 256 << 20
LIMITS = {"nproc": PROCESSES, "as": ADDRESS_SPACE, "fsize": FILE_SIZE}
WORK_SPACE = 2 << 30  # /tmp, where the build works
SMALL_SPACE = 16 << 20  # each of the others


class Unreachable(Exception):
    """A folder that the unprivileged user cannot write in."""


def unprivileged(confined=True):
    """What runs a command as the unprivileged user: nothing where the
    verifier is not root. Unless CONFINED is false, no program it starts
    gains a privilege either; Debian's own tools that map subordinate ids
    take newuidmap's."""
    if os.geteuid() != 0:
        return []
    confinement = ["--inh-caps=-all", "--bounding-set=-all", "--no-new-privs"] if confined else []
    return ["setpriv", f"--reuid={UNPRIVILEGED}", f"--regid={UNPRIVILEGED}", "--clear-groups", *confinement]


def passable(path):
    """Whether any user may pass through PATH and every folder above it."""
    path = os.path.realpath(path)
    while True:
        try:
            if not os.stat(path).st_mode & stat.S_IXOTH:
                return False
        except OSError:
            return False
        if path == "/":
            return True
        path = os.path.dirname(path)


def workspace(prefix):
    """A new folder of the caller's for one verification, mode 711, where
    the unprivileged user (and the subordinate ids that make a Debian
    system) can reach what they are handed: in TMPDIR where any user may
    pass through it, as through /tmp; a private one (mode 700, as mktemp -d
    or libpam-tmpdir make) gives way to /var/tmp, then /tmp."""
    for base in (tempfile.gettempdir(), "/var/tmp", "/tmp"):
        if passable(base) and os.access(base, os.W_OK | os.X_OK):
            break
    work = os.path.abspath(tempfile.mkdtemp(prefix=prefix, dir=base))
    # Passed through, not into: the unprivileged user reaches what it is
    # handed inside, and nothing else here.
    os.chmod(work, 0o711)
    return work


def hand_over(folder):
    """FOLDER, made by the verifier, becomes the unprivileged user's to write in."""
    if os.geteuid() != 0:
        return
    os.chown(folder, UNPRIVILEGED, UNPRIVILEGED)
    reached = subprocess.run([*unprivileged(), "test", "-w", folder, "-a", "-x", folder],
                             stdin=subprocess.DEVNULL, check=False).returncode == 0
    if not reached:
        raise Unreachable(f"the folder {folder} is out of reach of the unprivileged user (uid {UNPRIVILEGED})")


def unavailable():
    """Why the sandbox cannot be made on this system, or None. A process in
    a chroot, for one, may make no user namespace, and one that is not root
    no other namespace without one."""
    probe = subprocess.run([*unprivileged(), "bwrap", "--unshare-all", "--die-with-parent", *system_binds("/"),
                            "true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           check=False)
    if probe.returncode == 0:
        return None
    said = probe.stderr.decode(errors="replace").strip().splitlines() or ["bubblewrap failed"]
    return said[0].split(". ")[0]


def system_binds(system):
    """bubblewrap's options that show SYSTEM's folders a build reads, read-only,
    at their places: a link as the same link."""
    binds = ["--ro-bind", os.path.join(system, "usr"), "/usr"]
    etc = os.path.join(system, "etc")
    parts = [os.path.join(system, top) for top in SYSTEM_TOP]
    parts += sorted({found for pattern in SYSTEM_ETC for found in glob.glob(os.path.join(etc, pattern))})
    for path in parts:
        place = "/" + os.path.relpath(path, system)
        if os.path.islink(path):
            binds += ["--symlink", os.readlink(path), place]
        elif os.path.exists(path):
            binds += ["--ro-bind", path, place]
    return binds


def command(arguments, system="/", readable=(), start=".", limits=None):
    """ARGUMENTS run in the sandbox, with SYSTEM's folders as its system,
    each (PATH, NAME) of READABLE shown read-only as INSIDE/NAME, starting
    in INSIDE/START, within LIMITS, or as LIMITS (nproc, as, fsize) says. It writes only in
    its tmpfs folders and to the descriptors it is given."""
    limits = dict(LIMITS, **(limits or {}))
    for name, value in limits.items():
        # Never above this process's own, which only root could raise.
        _, hard = resource.getrlimit(getattr(resource, f"RLIMIT_{name.upper()}"))
        limits[name] = value if hard == resource.RLIM_INFINITY else min(value, hard)
    empty = []
    for folder in EMPTY:
        empty += ["--size", str(SMALL_SPACE), "--tmpfs", folder]
    given = []
    for path, name in readable:
        given += ["--ro-bind", path, f"{INSIDE}/{name}"]
    return [
        *unprivileged(), "prlimit", *(f"--{name}={value}" for name, value in limits.items()), "--",
        "bwrap", "--unshare-all", "--die-with-parent", "--new-session", *system_binds(system), *empty,
        "--ro-bind", os.path.join(system, "var/lib/dpkg"), "/var/lib/dpkg",
        "--size", str(WORK_SPACE), "--tmpfs", PRIVATE_TMP, "--dir", INSIDE, *given,
        "--dev", "/dev", "--size", str(SMALL_SPACE), "--tmpfs", "/dev/shm", "--remount-ro", "/dev",
        "--proc", "/proc", "--remount-ro", "/", "--chdir", f"{INSIDE}/{start}", "--", *arguments,
    ]
