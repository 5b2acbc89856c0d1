"""Forges the win32 zip of a copy of a genuine release, in place, the ways an
attacker or a damaged download would; the caller rewrites SHA256SUMS to match.

    forge.py FOLDER duplicate | rezipped | bomb | many | corrupt | badname

rezipped keeps every member's bytes and changes fields around them.
"""

import glob
import os
import stat
import sys
import warnings
import zipfile

BOMB_MEMBERS, BOMB_SIZE = 40, 64 << 20
MANY_MEMBERS = 80_000


def entries_of(path):
    with zipfile.ZipFile(path) as archive:
        return [(info, archive.read(info)) for info in archive.infolist()]


def rewrite(path, entries):
    """Writes the zip at PATH anew from (ZipInfo, bytes) pairs, in order."""
    warnings.simplefilter("ignore")  # a duplicate name is the point
    with zipfile.ZipFile(path + ".new", "w", zipfile.ZIP_DEFLATED) as archive:
        for info, content in entries:
            archive.writestr(info, content)
    os.replace(path + ".new", path)


def member(name, content=b""):
    info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
    info.create_system, info.external_attr = 3, (stat.S_IFREG | 0o644) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info, content


def corrupt(path):
    """The executable's deflate stream garbled in its middle; nothing else moves."""
    with zipfile.ZipFile(path) as archive:
        info = next(i for i in archive.infolist() if i.filename.endswith(".exe"))
    with open(path, "r+b") as file:
        file.seek(info.header_offset + 26)
        name_length, extra_length = int.from_bytes(file.read(2), "little"), int.from_bytes(file.read(2), "little")
        file.seek(info.header_offset + 30 + name_length + extra_length + info.compress_size // 2)
        file.write(b"\xff" * 16)


def main(folder, kind):
    win32 = glob.glob(os.path.join(folder, "*-win32.zip"))[0]
    stem = os.path.basename(win32)[:-4]
    if kind == "duplicate":
        rewrite(win32, [member(f"{stem}/loclistfix.exe", b"not the build at all")] + entries_of(win32))
    elif kind == "rezipped":
        # The same members, with central-directory fields that no reader checks.
        entries = entries_of(win32)
        for info, _ in entries:
            info.create_version, info.internal_attr = 63, 1
        rewrite(win32, entries)
    elif kind == "bomb":
        rewrite(win32, entries_of(win32) + [member(f"{stem}/zeros{n}", bytes(BOMB_SIZE)) for n in range(BOMB_MEMBERS)])
    elif kind == "many":
        rewrite(win32, entries_of(win32) + [member(f"{stem}/empty{n}") for n in range(MANY_MEMBERS)])
    elif kind == "corrupt":
        corrupt(win32)
    elif kind == "badname":
        # zipfile flags a non-ASCII name as UTF-8; the name's bytes then stop being UTF-8.
        rewrite(win32, entries_of(win32) + [member(f"{stem}/x\u00e9")])
        with open(win32, "rb") as file:
            data = file.read().replace(b"/x\xc3\xa9", b"/x\xff\xfe")
        with open(win32, "wb") as file:
            file.write(data)
    else:
        sys.exit(f"forge.py: no forgery '{kind}'")


if __name__ == "__main__":
    main(*sys.argv[1:])
