#!/usr/bin/env python3
"""Writes a commit's tree into a folder, each file the blob as git stores it.

    commit_tree.py REPOSITORY COMMIT FOLDER

`git archive` and `git checkout` pass files through the clone's own settings
(core.autocrlf, core.eol, filter drivers, .git/info/attributes), so two
clones of one commit can export different bytes. `git cat-file --batch`
hands out the stored blobs untouched. Executable bits and symbolic links are
kept; submodules have no blob here and are left out.
"""

import os
import subprocess
import sys

REGULAR, EXECUTABLE, SYMLINK = b"100644", b"100755", b"120000"


def git(repository, *arguments, **options):
    return subprocess.run(["git", "-C", repository, *arguments], check=True, **options)


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
    for mode, _, path in entries:
        header_end = blobs.index(b"\n", position)
        size = int(blobs[position:header_end].split(b" ")[2])
        content = blobs[header_end + 1 : header_end + 1 + size]
        position = header_end + 1 + size + 1
        target = os.path.join(folder, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if mode == SYMLINK:
            os.symlink(os.fsdecode(content), target)
            continue
        with open(target, "wb") as file:
            file.write(content)
        os.chmod(target, 0o755 if mode == EXECUTABLE else 0o644)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: commit_tree.py REPOSITORY COMMIT FOLDER")
    try:
        export(*sys.argv[1:])
    except (subprocess.CalledProcessError, OSError) as error:
        sys.exit(f"commit_tree.py: cannot export {sys.argv[2]}: {error}")
