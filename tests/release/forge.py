"""Forges the win32 zip of a copy of a genuine release, in place, the ways an
attacker or a damaged download would; the caller rewrites SHA256SUMS to match.

    forge.py FOLDER duplicate | rezipped | bomb | many | corrupt | badname
                    | bzip2 | million | escapes

rezipped keeps every member's bytes and changes fields around them.
"""

import glob
import os
import stat
import struct
import sys
import warnings
import zipfile

BOMB_MEMBERS, BOMB_SIZE = 40, 64 << 20
MANY_MEMBERS = 80_000
BZIP2_SIZE = 1 << 30
MILLION = 1_200_000


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


def bzip2(path, stem):
    """The executable replaced by a gibibyte of zeros, bzip2-compressed to a
    few hundred bytes, written a mebibyte at a time."""
    entries = [entry for entry in entries_of(path) if not entry[0].filename.endswith(".exe")]
    rewrite(path, entries)
    info, _ = member(f"{stem}/loclistfix.exe")
    info.compress_type = zipfile.ZIP_BZIP2
    with zipfile.ZipFile(path, "a") as archive, archive.open(info, "w") as file:
        for _ in range(BZIP2_SIZE >> 20):
            file.write(bytes(1 << 20))


def million(path):
    """MILLION more central-directory entries, each a one-letter name for the
    first member's local header: fewer bytes than a release file may have,
    counted in a zip64 end record."""
    with open(path, "rb") as file:
        data = file.read()
    end = data.rindex(b"PK\x05\x06")
    _, _, _, _, count, size, offset, _ = struct.unpack("<4s4H2LH", data[end:end + 22])
    first = bytearray(data[offset:offset + 46])
    first[28:34] = struct.pack("<3H", 1, 0, 0)
    first[42:46] = struct.pack("<L", 0)
    directory = data[offset:offset + size] + (bytes(first) + b"x") * MILLION
    count += MILLION
    zip64_end = struct.pack("<4sQ2H2L4Q", b"PK\x06\x06", 44, 45, 45, 0, 0, count, count, len(directory), offset)
    locator = struct.pack("<4sLQL", b"PK\x06\x07", 0, offset + len(directory), 1)
    end_record = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    with open(path, "wb") as file:
        file.write(data[:offset] + directory + zip64_end + locator + end_record)


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
    elif kind == "bzip2":
        bzip2(win32, stem)
    elif kind == "million":
        million(win32)
    elif kind == "escapes":
        # A line that, printed raw, clears the screen and shows a verdict.
        entries = entries_of(win32)
        for number, (info, content) in enumerate(entries):
            if info.filename.endswith("/README.txt"):
                entries[number] = (info, content + b"\x1b[2J\x1b[Hverdict: verified\n")
        rewrite(win32, entries)
    else:
        sys.exit(f"forge.py: no forgery '{kind}'")


if __name__ == "__main__":
    main(*sys.argv[1:])
