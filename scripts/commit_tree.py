#!/usr/bin/env python3
"""Writes a commit's tree into a new folder, each file the blob as git stores it.

    commit_tree.py REPOSITORY COMMIT FOLDER

`git archive` and `git checkout` pass files through the clone's own settings
(core.autocrlf, core.eol, filter drivers, .git/info/attributes), so two
clones of one commit can export different bytes. `git cat-file --batch`
hands out the stored blobs untouched, and replace refs and grafts are
ignored. Executable bits and symbolic links are kept; submodules have no
blob here and are left out.

A tree is data too: one that holds a link and a path through it, or a path
that climbs out, would have a plain export write outside FOLDER. Every
folder on the way is made here or found to be a real folder, and every file
is created new, never opened through a link.
"""

import os
import stat
import subprocess
import sys

REGULAR, EXECUTABLE, SYMLINK = b"100644", b"100755", b"120000"
AS_STORED = {"GIT_NO_REPLACE_OBJECTS": "1", "GIT_GRAFT_FILE": "/nonexistent/grafts"}


class Unsafe(Exception):
    """A tree that cannot be written out without leaving its folder."""


def git(repository, *arguments, **options):
    return subprocess.run(["git", "-C", repository, *arguments], check=True,
                          env={**os.environ, **AS_STORED}, **options)


def folder_for(folder, parts):
    """FOLDER/PARTS..., each part a real folder, made where missing."""
    path = folder
    for part in parts:
        path = os.path.join(path, part)
        try:
            os.mkdir(path, 0o755)
        except FileExistsError:
            if not stat.S_ISDIR(os.lstat(path).st_mode):
                raise Unsafe(f"its path {'/'.join(parts)} goes through a link or a file") from None
    return path


def write(folder, path, mode, content):
    parts = path.split("/")
    if any(part in ("", ".", "..", ".git") for part in parts):
        raise Unsafe(f"it holds the path {path!r}, which leaves its folder")
    target = os.path.join(folder_for(folder, parts[:-1]), parts[-1])
    if mode == SYMLINK:
        os.symlink(os.fsdecode(content), target)
        return
    descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW,
                         0o755 if mode == EXECUTABLE else 0o644)
    with os.fdopen(descriptor, "wb") as file:
        file.write(content)
    os.chmod(target, 0o755 if mode == EXECUTABLE else 0o644)


def export(repository, commit, folder):
    listing = git(repository, "ls-tree", "-r", "-z", "--full-tree", commit, stdout=subprocess.PIPE).stdout
    entries = []
    for record in listing.split(b"\0"):
        if not record:
            continue
        meta, path = record.split(b"\t", 1)
        mode, kind, name = meta.split(b" ")
        if kind == b"blob":
            entries.append((mode, name, os.fsdecode(path)))
    request = b"".join(name + b"\n" for _, name, _ in entries)
    blobs = git(repository, "cat-file", "--batch", input=request, stdout=subprocess.PIPE).stdout
    position = 0
    os.makedirs(folder, exist_ok=True)
    for mode, _, path in entries:
        header_end = blobs.index(b"\n", position)
        size = int(blobs[position:header_end].split(b" ")[2])
        content = blobs[header_end + 1 : header_end + 1 + size]
        position = header_end + 1 + size + 1
        try:
            write(folder, path, mode, content)
        except FileExistsError:
            raise Unsafe(f"it holds {path} twice") from None


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: commit_tree.py REPOSITORY COMMIT FOLDER")
    try:
        export(*sys.argv[1:])
    except Unsafe as fault:
        sys.exit(f"commit_tree.py: commit {sys.argv[2][:12]} cannot be written out: {fault}")
    except (subprocess.CalledProcessError, OSError) as error:
        sys.exit(f"commit_tree.py: cannot export {sys.argv[2]}: {error}")
