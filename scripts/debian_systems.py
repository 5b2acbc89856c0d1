"""Where the verifier keeps the Debian systems that it rebuilds releases of
another Debian release in, so that each is made once, not at every
verification.

A system is kept under its key (scripts/debian-system.sh makes both): a
hash of the codename, the apt sources, the archive's signed lists (each
suite's InRelease) and the packages asked for. Before each verification the
archive's lists are fetched again; a system is used only under the key
they give with the packages recorded, so no verification changes what a
later one installs, and a new archive state makes a new system.

The store is /var/cache/loclistfix for root and
${XDG_CACHE_HOME:-~/.cache}/loclistfix for anyone else: debs/ (the
archive's .deb files), making/ (a system while it is made, by the
unprivileged user where the verifier is root) and systems/KEY. Once made, a
system is sealed: root's become root's own, with no file that another user
may write and no set-id bit; then it is moved under its key. The rebuild
sees it read-only. The KEPT most recently used stay; a new system removes
older ones, unless one was used within RECENT seconds (a verification may
still be in it).
"""

import os
import shutil
import subprocess
import tempfile
import time

import sandbox

KEPT = 3
RECENT = 2 * 60 * 60


def store():
    """The store's folder, made where it is missing. Root's is root's own,
    its .deb cache the unprivileged user's."""
    if os.geteuid() != 0:
        home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ.get("HOME", "/"), ".cache")
        top = os.path.join(os.path.abspath(home), "loclistfix")
        for part in ("debs", "making", "systems"):
            os.makedirs(os.path.join(top, part), exist_ok=True)
        return top
    top = "/var/cache/loclistfix"
    for part, owner, mode in (("", 0, 0o755), ("debs", sandbox.UNPRIVILEGED, 0o755), ("making", 0, 0o711),
                              ("systems", 0, 0o755)):
        path = os.path.join(top, part)
        os.makedirs(path, mode=mode, exist_ok=True)
        # An older verifier left the cache the unprivileged user's.
        os.chown(path, owner, owner)
        os.chmod(path, mode)
    return top


def kept(top, key):
    """The system kept under KEY, or None. One that is not the caller's own,
    or that another user could write at its top (a link, for one), is not
    taken."""
    path = os.path.join(top, "systems", key)
    try:
        found = os.lstat(path)
    except FileNotFoundError:
        return None
    if not os.path.isdir(path) or found.st_uid != os.geteuid() or found.st_mode & 0o022:
        return None
    # Its time is when it was last used, for prune().
    os.utime(path)
    return path


def making(top):
    """A new folder for a system to be made in, for the user who makes it."""
    folder = tempfile.mkdtemp(dir=os.path.join(top, "making"))
    os.chmod(folder, 0o755)
    sandbox.hand_over(folder)
    return folder


def keep(top, folder, key):
    """FOLDER's system, sealed and kept under KEY: its path. Where another
    verification kept one under KEY first, that one is used."""
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", "--no-dereference", "0:0", folder], check=True)
    subprocess.run(["chmod", "-R", "go-w,ug-s", folder], check=True)
    path = os.path.join(top, "systems", key)
    try:
        os.rename(folder, path)
    except OSError:
        remove(folder)
    prune(top)
    return kept(top, key) or path


def remove(path):
    """A system, or what was made of one; some of its folders are not even
    their owner's to write."""
    subprocess.run([*sandbox.unprivileged(), "chmod", "-R", "u+w", path], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    shutil.rmtree(path, ignore_errors=True)


def prune(top):
    """All but the KEPT systems used last, and what a stopped verification
    left in making/, unless used within RECENT seconds."""
    now = time.time()
    systems = os.path.join(top, "systems")
    used = sorted(((os.lstat(os.path.join(systems, name)).st_mtime, os.path.join(systems, name))
                   for name in os.listdir(systems)), reverse=True)
    left = [os.path.join(top, "making", name) for name in os.listdir(os.path.join(top, "making"))]
    for path in [path for _, path in used[KEPT:]] + left:
        if now - os.lstat(path).st_mtime > RECENT:
            remove(path)
