"""A release's files read as data, for verify_release.py: SHA256SUMS and
BUILDINFO by their grammars, the zips member by member, and a signed
executable as the unsigned build plus one Authenticode signature."""

import collections
import hashlib
import io
import os
import re
import shutil
import stat
import struct
import subprocess
import zipfile

NAME = r"[A-Za-z0-9][A-Za-z0-9._+~-]*"
ZIP = re.compile(r"loclistfix-([0-9A-Za-z.+~-]+)-(win32|win64)\.zip")
SUMS_LINE = re.compile(r"([0-9a-f]{64}) [ *](" + NAME + r")")
LARGEST_MEMBER = 64 << 20


class Refused(Exception):
    """Input that is not a release at all: one line, and no verdict."""


def shown(line):
    return repr(line if len(line) <= 80 else line[:77] + "...")


def parse_sums(data):
    """SHA256SUMS: name -> digest, for BUILDINFO and one zip of each architecture."""
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Refused("SHA256SUMS is not plain ASCII text") from None
    listed = {}
    for number, line in enumerate(text.splitlines(), 1):
        match = SUMS_LINE.fullmatch(line)
        if not match:
            raise Refused(f"SHA256SUMS line {number} is not 'SHA-256  NAME': {shown(line)}")
        digest, name = match.groups()
        if name in listed:
            raise Refused(f"SHA256SUMS lists {name} twice")
        if name != "BUILDINFO" and not ZIP.fullmatch(name):
            raise Refused(f"SHA256SUMS lists {name}, which is no file of a release")
        listed[name] = digest
    if "BUILDINFO" not in listed:
        raise Refused("SHA256SUMS does not list BUILDINFO")
    zips = zip_names(listed)
    for architecture in ("win32", "win64"):
        if architecture not in zips:
            raise Refused(f"SHA256SUMS lists no {architecture} zip: a release has one for each architecture")
    if len({ZIP.fullmatch(name).group(1) for name in zips.values()}) != 1:
        raise Refused("SHA256SUMS lists zips of two versions")
    return listed


def zip_names(files):
    """architecture -> zip name, for the zips among FILES."""
    return {match.group(2): name for name in files if (match := ZIP.fullmatch(name))}


# key -> the shape of its value; Package and Unsigned-SHA256 take one line per
# package and per executable, every other key one line in all.
SHAPES = {
    "Format": r"[12]",
    "Source": r"loclistfix",
    "Commit": r"[0-9a-f]{40}",
    "Source-Date-Epoch": r"0|[1-9][0-9]{0,11}",
    "Build-Distribution": r"debian",
    "Build-Release": r"[0-9]+(\.[0-9]+)*|unknown",
    "Build-Codename": r"[a-z]+",
    "Build-Architecture": r"[a-z0-9]+(-[a-z0-9]+)*",
    "Build-Environment": r"[A-Z_][A-Z0-9_]*=[A-Za-z0-9_./:+,-]*( [A-Z_][A-Z0-9_]*=[A-Za-z0-9_./:+,-]*)*",
    "Build-Umask": r"0[0-7]{3}",
    # Debian policy: a package name, then [epoch:]upstream[-revision].
    "Package": r"[a-z0-9][a-z0-9+.-]+ ([0-9]+:)?[0-9][A-Za-z0-9.+~-]*(?<!-)",
    "Unsigned-SHA256": r"loclistfix-[0-9A-Za-z.+~-]+-win(32|64)/loclistfix\.exe [0-9a-f]{64}",
}
WHAT = {
    "Commit": "a commit is 40 lower-case hexadecimal digits",
    "Source-Date-Epoch": "an epoch is a whole number of seconds",
    "Build-Distribution": "releases are built on Debian",
    "Package": "a package is a Debian package name and version",
    "Unsigned-SHA256": "an executable's line is its path in the zip and a SHA-256",
}
FORMAT_KEYS = {
    "1": {"Format", "Source", "Commit", "Source-Date-Epoch", "Build-Distribution", "Build-Release",
          "Build-Codename", "Build-Architecture"},
}
FORMAT_KEYS["2"] = FORMAT_KEYS["1"] | {"Build-Environment", "Build-Umask"}


class BuildInfo:
    def __init__(self, single, packages, unsigned):
        self.single, self.packages, self.unsigned = single, packages, unsigned
        self.epoch = single["Source-Date-Epoch"]


def parse_buildinfo(data, zips):
    """BUILDINFO by its grammar; any other line is Refused, naming it."""
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Refused("BUILDINFO is not plain ASCII text") from None
    single, packages, unsigned = {}, {}, {}
    for number, line in enumerate(text.split("\n")[:-1] if text.endswith("\n") else text.split("\n"), 1):
        where = f"BUILDINFO line {number} ({shown(line)})"
        key, separator, value = line.partition(": ")
        if not separator or key not in SHAPES:
            raise Refused(f"{where} is no line of a BUILDINFO")
        if not re.fullmatch(SHAPES[key], value):
            raise Refused(f"{where}: {WHAT.get(key, 'not a value ' + key + ' takes')}")
        if key == "Package":
            name, version = value.split(" ")
            if name in packages:
                raise Refused(f"{where}: {name} is recorded twice")
            packages[name] = version
        elif key == "Unsigned-SHA256":
            path, digest = value.split(" ")
            if path in unsigned:
                raise Refused(f"{where}: {path} is recorded twice")
            unsigned[path] = digest
        elif key in single:
            raise Refused(f"{where}: {key} is given twice")
        else:
            single[key] = value
    if not text.endswith("\n"):
        raise Refused("BUILDINFO's last line is cut short")
    keys = FORMAT_KEYS.get(single.get("Format"))
    if keys is None:
        raise Refused("BUILDINFO gives no Format")
    for key in sorted(keys - single.keys()):
        raise Refused(f"BUILDINFO has no {key} line")
    for key in sorted(single.keys() - keys):
        raise Refused(f"BUILDINFO's {key} line is not one of Format {single['Format']}")
    expected = {f"{name[:-4]}/loclistfix.exe" for name in zips.values()}
    if set(unsigned) != expected:
        raise Refused(f"BUILDINFO's Unsigned-SHA256 lines are not those of {' and '.join(sorted(expected))}")
    return BuildInfo(single, packages, unsigned)


def read_rebuild(folder):
    """The rebuild's own release: name -> bytes, and its BUILDINFO's fields."""
    files = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as file:
            files[name] = file.read()
    fields = {}
    for line in files.get("BUILDINFO", b"").decode().splitlines():
        key, _, value = line.partition(": ")
        fields.setdefault(key, []).append(value)
    return files, fields


class Member:
    def __init__(self, info, local_extra, content):
        self.name, self.info, self.local_extra, self.content = info.filename, info, local_extra, content
        self.mode = info.external_attr >> 16 if info.create_system == 3 else None

    def kind(self):
        if self.name.endswith("/") or (self.mode is not None and stat.S_ISDIR(self.mode)):
            return "a folder entry"
        if self.mode is not None and stat.S_ISLNK(self.mode):
            return "a symbolic link"
        if self.mode is None or not stat.S_ISREG(self.mode):
            return "not a regular file"
        return None

    def attributes(self):
        info = self.info
        return {
            "mode": (info.create_system, info.external_attr),
            "time": info.date_time,
            "extra fields": (info.extra, self.local_extra),
            "comment": info.comment,
            "flags": (info.flag_bits, info.compress_type),
        }


def members(data):
    """The zip's members in order, once every byte of it is accounted for: its
    local entries back to back, then the central directory, then its end
    record with no comment. Raises Refused with what else is there."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        infos = archive.infolist()
        if archive.comment:
            raise Refused("it carries a comment")
        position, found = 0, []
        for info in sorted(infos, key=lambda entry: entry.header_offset):
            if info.header_offset != position:
                raise Refused(f"it holds {info.header_offset - position} bytes that belong to no member")
            if info.flag_bits & 0x9:
                raise Refused(f"{info.filename} is encrypted or has a data descriptor")
            if info.file_size > LARGEST_MEMBER:
                raise Refused(f"{info.filename} is larger than any member of a release")
            if data[position : position + 4] != b"PK\x03\x04":
                raise Refused(f"{info.filename} has no local header")
            name_length, extra_length = struct.unpack_from("<HH", data, position + 26)
            start = position + 30 + name_length
            local_extra = data[start : start + extra_length]
            position = start + extra_length + info.compress_size
            with archive.open(info) as file:
                found.append((info.header_offset, Member(info, local_extra, file.read())))
        end = len(data) - 22
        if data[end : end + 4] != b"PK\x05\x06":
            raise Refused("its end record is not the last 22 bytes")
        directory_size, directory_offset = struct.unpack_from("<II", data, end + 12)
        if directory_offset != position or directory_offset + directory_size != end:
            raise Refused("it holds bytes that belong to no member")
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError, EOFError, struct.error) as error:
        raise Refused(f"it is not a zip that can be read ({error})") from None
    return [member for _, member in sorted(found, key=lambda pair: infos.index(pair[1].info))]


def round8(size):
    return (size + 7) & ~7


def pe_layout(data):
    """(checksum offset, security directory offset, [(section, start, end)]), or None."""
    try:
        header = struct.unpack_from("<I", data, 0x3C)[0]
        if data[:2] != b"MZ" or data[header : header + 4] != b"PE\0\0":
            return None
        sections, optional_size = struct.unpack_from("<H12xH", data, header + 6)
        optional = header + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + {0x10B: 96, 0x20B: 112}[magic]
        table = optional + optional_size
        spans = []
        for index in range(sections):
            name = data[table + 40 * index : table + 40 * index + 8].rstrip(b"\0").decode("ascii", "replace")
            size, start = struct.unpack_from("<II", data, table + 40 * index + 16)
            spans.append((name, start, start + size))
        return optional + 64, directories + 4 * 8, spans
    except (struct.error, KeyError):
        return None


def pe_checksum(data, checksum_offset):
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    total -= struct.unpack_from("<H", data, checksum_offset)[0] + struct.unpack_from("<H", data, checksum_offset + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def where(offset, layout):
    for name, start, end in layout[2] if layout else []:
        if start <= offset < end:
            return f"offset {offset} (0x{offset:x}), in section {name}"
    return f"offset {offset} (0x{offset:x})"


def first_difference(one, other, skip=()):
    for offset in range(min(len(one), len(other))):
        if one[offset] != other[offset] and not any(start <= offset < end for start, end in skip):
            return offset
    return None if len(one) == len(other) else min(len(one), len(other))


def der_length(data):
    """The length of the DER element at the start of DATA, or None."""
    if len(data) < 2 or data[0] != 0x30:
        return None
    if data[1] < 0x80:
        return 2 + data[1]
    count = data[1] & 0x7F
    if count == 0 or count > 4 or len(data) < 2 + count:
        return None
    return 2 + count + int.from_bytes(data[2 : 2 + count], "big")


def signed_build_fault(released, unsigned):
    """Why RELEASED is not UNSIGNED plus one Authenticode signature, or None."""
    layout = pe_layout(unsigned)
    if layout is None or len(released) <= len(unsigned):
        offset = first_difference(released, unsigned)
        return f"first difference at {where(offset, layout)}"
    checksum, security = layout[0], layout[1]
    head = released[: len(unsigned)]
    offset = first_difference(head, unsigned, [(checksum, checksum + 4), (security, security + 8)])
    if offset is not None:
        return f"first difference at {where(offset, layout)}"
    if unsigned[security : security + 8] != bytes(8):
        return "the build is signed already"
    start, size = struct.unpack_from("<II", released, security)
    if start != round8(len(unsigned)) or released[len(unsigned) : start] != bytes(start - len(unsigned)):
        return "its certificate table does not start where the build ends"
    if start + size != len(released):
        return f"it holds {len(released) - start - size} bytes beyond its certificate table"
    table = released[start:]
    if size < 8:
        return "its certificate table is too short for a certificate entry"
    length, revision, kind = struct.unpack_from("<IHH", table)
    signature = der_length(table[8:length]) if 8 <= length <= size else None
    if (revision, kind) != (0x200, 2) or signature is None or 8 + signature > length:
        return "its certificate table does not start with one Authenticode signature"
    if length > round8(8 + signature) or size != round8(length) or table[8 + signature :] != bytes(size - 8 - signature):
        return f"its certificate table holds {size - round8(8 + signature)} bytes besides its one signature"
    if struct.unpack_from("<I", released, checksum)[0] != pe_checksum(released, checksum):
        return "its PE checksum is not the signed file's"
    return None


def diffoscope(released, rebuilt, work):
    """diffoscope's account of two versions of a member, where it is installed."""
    if not shutil.which("diffoscope"):
        return ""
    folder = os.path.join(work, "diffoscope")
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, side) for side in ("released", "rebuilt")]
    for path, content in zip(paths, (released, rebuilt)):
        with open(path, "wb") as file:
            file.write(content)
    try:
        result = subprocess.run(["diffoscope", "--text", "-", *paths], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=300, check=False)
    except subprocess.TimeoutExpired:
        return ""
    lines = result.stdout.decode(errors="replace").splitlines()
    return "".join(f"    {line}\n" for line in lines[:40])


def compare_zip(name, released, ours, work):
    """The differences between a released zip and the rebuild's members, as
    lines; and the members that matched."""
    try:
        theirs = members(released)
    except Refused as fault:
        return [f"{name}: {fault}"], []
    folder = name[:-4] + "/"
    differences, verified = [], []
    counts = collections.Counter(member.name for member in theirs)
    for member_name, count in counts.items():
        if count > 1:
            differences.append(f"{name}: {member_name} is in it {count} times")
    ours_names = [member.name for member in ours]
    for member in theirs:
        if member.kind():
            differences.append(f"{name}: {member.name} is {member.kind()}")
        elif not member.name.startswith(folder):
            differences.append(f"{name}: {member.name} lies outside {folder}")
        elif member.name not in ours_names:
            differences.append(f"{name}: holds {member.name}, which the rebuild's lacks")
    for member_name in ours_names:
        if member_name not in counts:
            differences.append(f"{name}: lacks {member_name}")
    if differences:
        return differences, verified
    if [member.name for member in theirs] != ours_names:
        return [f"{name}: its members are not in the rebuild's order"], verified
    for their, our in zip(theirs, ours):
        expected = our.attributes()
        fields = [key for key, value in their.attributes().items() if expected[key] != value]
        if fields:
            differences.append(f"{their.name}: its {' and '.join(fields)} in the zip are not the rebuild's")
            continue
        if their.name.endswith(".exe"):
            fault = None if their.content == our.content else signed_build_fault(their.content, our.content)
        else:
            offset = first_difference(their.content, our.content)
            fault = None if offset is None else f"first difference at offset {offset}"
        if fault:
            differences.append(f"{their.name}: {fault}\n" + diffoscope(their.content, our.content, work))
        else:
            verified.append(their.name)
    return differences, verified


def compare(files, rebuild, info, work):
    """Prints a line for each member and each difference; returns the number of
    differences, of members, and the commit."""
    rebuilt, fields = rebuild
    differences = 0

    def differs(text):
        nonlocal differences
        differences += 1
        print(f"differs: {text}".rstrip("\n"), flush=True)

    checked = 0
    for _, name in sorted(zip_names(files).items()):
        if name not in rebuilt:
            differs(f"{name}: the rebuild has no such zip (it made {', '.join(sorted(zip_names(rebuilt).values()))})")
            continue
        ours = members(rebuilt[name])
        found, verified = compare_zip(name, files[name], ours, work)
        for text in found:
            differs(text)
        for member in verified:
            print(f"verified: {member}")
        checked += len(verified) + len(found)
        exe = f"{name[:-4]}/loclistfix.exe"
        built = [member.content for member in ours if member.name == exe]
        if not built or hashlib.sha256(built[0]).hexdigest() != info.unsigned[exe]:
            differs(f"BUILDINFO: the rebuild's {exe} is not the Unsigned-SHA256 it records")
    for key in ("Build-Environment", "Build-Umask"):
        if fields.get(key, [None])[0] != info.single.get(key):
            differs(f"BUILDINFO: the rebuild's {key} is {fields.get(key, ['(none)'])[0]}, not the recorded one")
    return differences, checked, info.single["Commit"]
