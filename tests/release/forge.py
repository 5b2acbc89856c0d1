"""Forges a copy of a genuine release, in place, the ways an attacker would;
the caller rewrites SHA256SUMS to match.

    forge.py FOLDER symlink TARGET | overlap | duplicate | padded
"""

import glob
import os
import stat
import struct
import sys
import warnings
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from release_files import pe_checksum, pe_layout  # noqa: E402  the PE layout the verifier reads

PAYLOAD = (b"HIDDEN PAYLOAD, " * 4)[:56]


def rewrite(path, entries):
    """Writes the zip at PATH anew from (ZipInfo, bytes) pairs, in order."""
    warnings.simplefilter("ignore")  # a duplicate name is the point
    with zipfile.ZipFile(path + ".new", "w", zipfile.ZIP_DEFLATED) as archive:
        for info, content in entries:
            archive.writestr(info, content)
    os.replace(path + ".new", path)


def entries_of(path):
    with zipfile.ZipFile(path) as archive:
        return [(info, archive.read(info)) for info in archive.infolist()]


def member(name, content, mode=stat.S_IFREG | 0o644):
    info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
    info.create_system, info.external_attr = 3, mode << 16
    return info, content


def padded(content):
    """The signed executable with PAYLOAD inside its certificate table, the
    entry's length, the security directory and the checksum to match."""
    data = bytearray(content)
    checksum, security, _ = pe_layout(content)
    start, size = struct.unpack_from("<II", data, security)
    struct.pack_into("<II", data, security, start, size + len(PAYLOAD))
    length = struct.unpack_from("<I", data, start)[0]
    struct.pack_into("<I", data, start, length + len(PAYLOAD))
    data += PAYLOAD
    struct.pack_into("<I", data, checksum, pe_checksum(bytes(data), checksum))
    return bytes(data)


def main(folder, kind, *arguments):
    win32 = glob.glob(os.path.join(folder, "*-win32.zip"))[0]
    win64 = glob.glob(os.path.join(folder, "*-win64.zip"))[0]
    stem32, stem64 = (os.path.basename(path)[:-4] for path in (win32, win64))
    if kind == "symlink":
        rewrite(win32, entries_of(win32) + [member("x", arguments[0].encode(), stat.S_IFLNK | 0o777)])
        rewrite(win64, entries_of(win64) + [member("x/payload", b"written through the link\n")])
    elif kind == "overlap":
        rewrite(win32, entries_of(win32) + [member(f"{stem64}/loclistfix.exe", b"not the build at all")])
    elif kind == "duplicate":
        rewrite(win32, [member(f"{stem32}/loclistfix.exe", b"not the build at all")] + entries_of(win32))
    elif kind == "padded":
        rewrite(win32, [(info, padded(content) if info.filename.endswith(".exe") else content)
                        for info, content in entries_of(win32)])
    else:
        sys.exit(f"forge.py: no forgery '{kind}'")


if __name__ == "__main__":
    main(*sys.argv[1:])
