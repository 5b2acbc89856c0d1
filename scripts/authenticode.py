"""An executable's Authenticode signature, apart from the executable: taken
out of a signed file, attached to an unsigned one, and the digest that a
signature must carry. pefile finds the places in the PE header; the bytes
around them are this module's.

A signed file is the unsigned build, zeros up to a multiple of 8 bytes, then
its certificate table: one WIN_CERTIFICATE entry (revision 2.0, PKCS#7)
whose length counts its zero padding to 8 bytes, as osslsigncode writes it.
The header's security directory names the table, and its checksum covers
the whole file.
"""

import hashlib
import struct

import pefile

CERTIFICATE_HEADER = struct.Struct("<IHH")
REVISION_2_0, PKCS_SIGNED_DATA = 0x0200, 0x0002
CHECKSUM_OFFSET = 0x40  # in the optional header, for PE32 and PE32+ alike
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


class NotSigned(Exception):
    """The bytes are no executable that holds, or can take, one signature."""


def _headers(exe):
    try:
        pe = pefile.PE(data=exe, fast_load=True)
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    except (pefile.PEFormatError, IndexError, AttributeError):
        raise NotSigned("it is not a Windows executable") from None
    checksum = pe.OPTIONAL_HEADER.get_file_offset() + CHECKSUM_OFFSET
    return checksum, directory.get_file_offset(), directory.VirtualAddress, directory.Size


def _padding(size):
    return b"\0" * (-size % 8)


def take(exe):
    """The DER signature in EXE's certificate table, or None for an unsigned
    file. Whatever else the table holds is left behind: attaching the
    signature again shows whether there was any."""
    _, _, start, size = _headers(exe)
    if size == 0:
        return None
    if start + size > len(exe) or size < CERTIFICATE_HEADER.size:
        raise NotSigned("its certificate table lies outside the file")
    length, revision, kind = CERTIFICATE_HEADER.unpack_from(exe, start)
    if (revision, kind) != (REVISION_2_0, PKCS_SIGNED_DATA) or not CERTIFICATE_HEADER.size < length <= size:
        raise NotSigned("its certificate table does not start with an Authenticode signature")
    entry = exe[start + CERTIFICATE_HEADER.size : start + length]
    # Only taking a signature needs asn1crypto; assembling needs pefile alone.
    from asn1crypto import parser  # pylint: disable=import-outside-toplevel

    try:
        _, _, _, header, contents, trailer = parser.parse(entry, strict=False)
    except ValueError:
        raise NotSigned("its certificate entry holds no DER signature") from None
    return entry[: len(header) + len(contents) + len(trailer)]


def attach(exe, signature):
    """EXE, which must be unsigned, with SIGNATURE as its one certificate entry."""
    _, directory, _, size = _headers(exe)
    if size != 0:
        raise NotSigned("it is signed already")
    entry = CERTIFICATE_HEADER.size + len(signature)
    table = CERTIFICATE_HEADER.pack(entry + len(_padding(entry)), REVISION_2_0, PKCS_SIGNED_DATA)
    table += signature + _padding(entry)
    signed = bytearray(exe + _padding(len(exe)))
    struct.pack_into("<II", signed, directory, len(signed), len(table))
    signed += table
    pe = pefile.PE(data=bytes(signed), fast_load=True)
    struct.pack_into("<I", signed, pe.OPTIONAL_HEADER.get_file_offset() + CHECKSUM_OFFSET, pe.generate_checksum())
    return bytes(signed)


def digest(exe, algorithm):
    """The Authenticode digest of EXE: every byte but the checksum, the
    security directory entry and the certificate table, with the zeros that
    signing pads the file with."""
    checksum, directory, start, size = _headers(exe)
    end = start if size else len(exe)
    hashed = hashlib.new(algorithm)
    hashed.update(exe[:checksum])
    hashed.update(exe[checksum + 4 : directory])
    hashed.update(exe[directory + 8 : end])
    if not size:
        hashed.update(_padding(len(exe)))
    return hashed.digest()


def checksum_offset(exe):
    """Where EXE's header keeps its checksum, or None if it is no executable."""
    try:
        return _headers(exe)[0]
    except NotSigned:
        return None


def section_at(exe, offset):
    """The name of EXE's section that holds the file offset OFFSET, or None."""
    try:
        sections = pefile.PE(data=exe, fast_load=True).sections
    except pefile.PEFormatError:
        return None
    for section in sections:
        if section.PointerToRawData <= offset < section.PointerToRawData + section.SizeOfRawData:
            return section.Name.rstrip(b"\0").decode("ascii", "replace")
    return None


def main(signed_path, unsigned_path, out_path):
    """Writes the signature of SIGNED, once SIGNED is shown to be UNSIGNED
    with that one signature attached and nothing else."""
    with open(signed_path, "rb") as file:
        signed = file.read()
    with open(unsigned_path, "rb") as file:
        unsigned = file.read()
    signature = take(signed)
    if signature is None or attach(unsigned, signature) != signed:
        raise NotSigned("it is not the build with one signature attached")
    with open(out_path, "wb") as file:
        file.write(signature)


if __name__ == "__main__":
    import sys

    if len(sys.argv) != 4:
        sys.exit("usage: authenticode.py SIGNED UNSIGNED SIGNATURE-OUT")
    try:
        main(*sys.argv[1:])
    except NotSigned as fault:
        sys.exit(f"{sys.argv[1]}: {fault}")
    except OSError as fault:
        sys.exit(f"authenticode.py: {fault.filename or 'a file'}: {fault.strerror or fault}")
