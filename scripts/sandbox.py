"""Where the verifier runs the recorded commit's own scripts: code that
anyone who could push to the clone's branches wrote.

bubblewrap gives them user, mount, PID, IPC, UTS and network namespaces of
their own: the host's files read-only, a /tmp and a /proc of their own (so
no /proc/PID/root of a process outside), no network, and one folder to
write in. A verifier started as root first drops to the unprivileged user
nobody, whom bubblewrap then maps to itself: the rebuild never holds root's
rights, in the namespaces or out of them.
"""

import os
import subprocess

UNPRIVILEGED = 65534
# The sandbox's own temporary folder, a tmpfs; the rebuild's folder appears
# in it, at the same path whatever system the sandbox shows, since a
# read-only system can hold a mount point there.
PRIVATE_TMP = "/tmp"
INSIDE = f"{PRIVATE_TMP}/rebuild"


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


def hand_over(folder):
    """FOLDER, made by the verifier, becomes the rebuild's to write in."""
    if os.geteuid() != 0:
        return
    os.chown(folder, UNPRIVILEGED, UNPRIVILEGED)
    reached = subprocess.run([*unprivileged(), "test", "-w", folder, "-a", "-x", folder],
                             stdin=subprocess.DEVNULL, check=False).returncode == 0
    if not reached:
        raise Unreachable(f"the rebuild's folder {folder} is out of reach of the unprivileged user "
                          f"(uid {UNPRIVILEGED}) that rebuilds: set TMPDIR to a folder it can reach, such as /tmp")


def unavailable():
    """Why the sandbox cannot be made on this system, or None. A process in
    a chroot, for one, may make no user namespace, and one that is not root
    no other namespace without one."""
    probe = subprocess.run([*unprivileged(), "bwrap", "--unshare-all", "--die-with-parent", "--ro-bind", "/", "/",
                            "true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           check=False)
    if probe.returncode == 0:
        return None
    said = probe.stderr.decode(errors="replace").strip().splitlines() or ["bubblewrap failed"]
    return said[0].split(". ")[0]


def command(folder, arguments, system="/", start="source"):
    """ARGUMENTS run in the sandbox, with SYSTEM as its root file system,
    and able to write in FOLDER alone, which it sees as INSIDE, starting in
    its folder START."""
    return [
        *unprivileged(), "bwrap", "--unshare-all", "--die-with-parent", "--new-session",
        "--ro-bind", system, "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", PRIVATE_TMP,
        "--bind", folder, INSIDE, "--chdir", f"{INSIDE}/{start}", "--", *arguments,
    ]
