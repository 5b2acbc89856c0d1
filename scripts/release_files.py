"""A release folder's files: SHA256SUMS as the release command writes it,
and, for the verifier, the folder read without trusting it (no links, no
FIFOs, no devices, every file capped) and each zip's executable found.

Nothing else in a published zip is read: the verifier compares every file
byte for byte with its rebuild, which makes any other parse redundant.
"""

import hashlib
import io
import os
import re
import stat
import zipfile
import zlib

VERSION = r"[0-9A-Za-z.+~-]+"
SUMS_LINE = r"([0-9a-f]{64})  "
SUMS = re.compile(
    SUMS_LINE + r"(loclistfix-(" + VERSION + r")-win32\.zip)\n"
    + SUMS_LINE + r"(loclistfix-\3-win64\.zip)\n"
    + SUMS_LINE + r"(BUILDINFO)\n"
)
LARGEST_FILE = 64 << 20
LARGEST_SUMS = 4096
LARGEST_EXECUTABLE = 16 << 20
# A package holds the executable, LICENSE, README.txt and the administrator's
# files: a few members, each named in less than a hundred bytes. zipfile
# builds an object for every central-directory entry before anything can
# look at them, so a zip is refused on its end record's count and size.
MOST_MEMBERS = 64
LARGEST_CENTRAL_DIRECTORY = 64 << 10


class Refused(Exception):
    """Input that is not a release at all: one line, and no verdict."""


def sums(files):
    """SHA256SUMS for FILES (name -> bytes): the zips in name order, then
    BUILDINFO, in sha256sum's own format."""
    names = sorted(name for name in files if name.endswith(".zip")) + ["BUILDINFO"]
    return "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n" for name in names).encode()


def version(files):
    """The version that the release's file names give."""
    zips = sorted(name for name in files if name.endswith("-win32.zip"))
    return zips[0][len("loclistfix-"):-len("-win32.zip")]


def read_regular(folder, name, largest):
    """NAME in the open folder FOLDER: a regular file, never followed through
    a link, never waited on (a FIFO), and at most LARGEST bytes."""
    try:
        descriptor = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=folder)
    except OSError as error:
        raise Refused(f"the release holds no readable {name} ({error.strerror})") from None
    with os.fdopen(descriptor, "rb") as file:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise Refused(f"the release's {name} is not a regular file")
        data = file.read(largest + 1)
    if len(data) > largest:
        raise Refused(f"the release's {name} is larger than any release file ({largest} bytes)")
    return data


def read_release(path):
    """The files that SHA256SUMS lists, each checked against it: name -> bytes.
    SHA256SUMS must be exactly what the release command writes for them."""
    try:
        folder = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as error:
        raise Refused(f"{path}: {error.strerror}") from None
    try:
        listed = read_regular(folder, "SHA256SUMS", LARGEST_SUMS)
        match = SUMS.fullmatch(listed.decode("ascii", errors="replace"))
        if not match:
            raise Refused(
                "SHA256SUMS is not as the release command writes it: three lines, "
                "'SHA-256  NAME' for the win32 zip, the win64 zip and BUILDINFO, of one version"
            )
        files = {}
        for digest, name in zip(match.group(1, 4, 6), match.group(2, 5, 7)):
            files[name] = read_regular(folder, name, LARGEST_FILE)
            if hashlib.sha256(files[name]).hexdigest() != digest:
                raise Refused(f"the release's {name} does not match its SHA256SUMS")
    finally:
        os.close(folder)
    files["SHA256SUMS"] = listed
    return files


def central_directory(name, data):
    """Refuses a zip whose central directory is larger than a release's,
    from its end record alone, as zipfile itself finds and reads it."""
    end = zipfile._EndRecData(io.BytesIO(data))  # pylint: disable=protected-access
    if not end:
        raise Refused(f"{name} cannot be read as a zip (no end of central directory)")
    if end[zipfile._ECD_ENTRIES_TOTAL] > MOST_MEMBERS or end[zipfile._ECD_SIZE] > LARGEST_CENTRAL_DIRECTORY:
        raise Refused(f"{name} lists more members than a release holds (at most {MOST_MEMBERS})")


def executable(name, data):
    """The bytes of the one loclistfix.exe in the zip NAME, read once, capped.
    zip deflates it, and deflate is the one method read here: zipfile hands a
    bzip2 or LZMA member's whole output at once, however large."""
    path = f"{name[:-4]}/loclistfix.exe"
    try:
        central_directory(name, data)
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            members = archive.infolist()
            if len(members) > MOST_MEMBERS:
                raise Refused(f"{name} lists more members than a release holds (at most {MOST_MEMBERS})")
            found = [info for info in members if info.filename == path]
            if len(found) != 1:
                raise Refused(f"{name} holds {len(found)} {path}, not one")
            if found[0].compress_type != zipfile.ZIP_DEFLATED:
                raise Refused(f"{path} in {name} is not deflated, as the release command's zip writes it")
            if found[0].file_size > LARGEST_EXECUTABLE:
                raise Refused(f"{path} in {name} is larger than any build of it")
            with archive.open(found[0]) as file:
                content = file.read(LARGEST_EXECUTABLE + 1)
    except Refused:
        raise
    except (zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, EOFError, NotImplementedError,
            RuntimeError, ValueError, OSError, IndexError, KeyError, MemoryError) as error:
        raise Refused(f"{name} cannot be read as a zip ({str(error)[:100] or type(error).__name__})") from None
    if len(content) > LARGEST_EXECUTABLE:
        raise Refused(f"{path} in {name} is larger than any build of it")
    return content
