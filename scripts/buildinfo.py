"""BUILDINFO, the record of how a release was made: written here by the
assembly step, and read here, by its grammar, by the verifier, which then
rebuilds and compares the rebuild's BUILDINFO with it byte for byte.

It lists the packages that make the release's bytes and only those: the
cross toolchain, CMake and Ninja, which make the executables, and zip,
Python and pefile, which assemble them with their signatures into the zips.
The tools that only sign (osslsigncode, OpenSSL) make no byte that a
rebuild must match, so they are not recorded, and never force a rebuild
into a chroot.
"""

import re
import subprocess

FORMAT = "3"
BUILD_PACKAGES = (
    "g++-mingw-w64-i686-posix", "g++-mingw-w64-x86-64-posix",
    "gcc-mingw-w64-i686-posix", "gcc-mingw-w64-x86-64-posix",
    "gcc-mingw-w64-i686-posix-runtime", "gcc-mingw-w64-x86-64-posix-runtime", "gcc-mingw-w64-base",
    "binutils-mingw-w64-i686", "binutils-mingw-w64-x86-64",
    "mingw-w64-common", "mingw-w64-i686-dev", "mingw-w64-x86-64-dev",
    "cmake", "cmake-data", "ninja-build",
)
ASSEMBLY_PACKAGES = ("zip", "python3-minimal", "python3-pefile")
PACKAGES = BUILD_PACKAGES + ASSEMBLY_PACKAGES
# The Debian releases the release command is made for: Build-Release and
# Build-Codename as /etc/os-release gives them there. A record of any other
# would send the verifier to make a system it has never been tried on.
DEBIAN_RELEASES = {"12": "bookworm", "13": "trixie"}


class Refused(Exception):
    """A BUILDINFO that is not one: one line, naming the line at fault."""


def installed_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False)
    return result.stdout.decode() if result.returncode == 0 and result.stdout else "(not installed)"


def os_release():
    fields = {}
    with open("/etc/os-release", encoding="utf-8") as file:
        for line in file:
            key, _, value = line.rstrip("\n").partition("=")
            fields[key] = value.strip('"')
    return fields


def write(commit, epoch, environment, umask, unsigned):
    """The BUILDINFO text. UNSIGNED maps each executable's path in its zip to
    its bytes before signing."""
    release = os_release()
    architecture = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE, check=True).stdout
    lines = [
        ("Format", FORMAT),
        ("Source", "loclistfix"),
        ("Commit", commit or "(none)"),
        ("Source-Date-Epoch", epoch),
        ("Build-Distribution", release.get("ID", "unknown")),
        ("Build-Release", release.get("VERSION_ID", "unknown")),
        ("Build-Codename", release.get("VERSION_CODENAME", "unknown")),
        ("Build-Architecture", architecture.decode().strip()),
        ("Build-Environment", environment),
        ("Build-Umask", umask),
    ]
    lines += [("Package", f"{package} {installed_version(package)}") for package in PACKAGES]
    lines += [("Unsigned-SHA256", f"{path} {digest}") for path, digest in sorted(unsigned.items())]
    return "".join(f"{key}: {value}\n" for key, value in lines)


# key -> the shape of its value. Package and Unsigned-SHA256 take one line
# per package and per executable, every other key one line in all.
SHAPES = {
    "Format": r"[0-9]+",
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
SINGLE_KEYS = set(SHAPES) - {"Package", "Unsigned-SHA256"}
# Each key once, a Package line for each recorded package and one
# Unsigned-SHA256 line for each executable: no BUILDINFO is longer.
MOST_LINES = len(SINGLE_KEYS) + len(PACKAGES) + 2


def shown(line):
    return repr(line if len(line) <= 80 else line[:77] + "...")


class BuildInfo:
    def __init__(self, single, packages):
        self.single, self.packages = single, packages
        self.commit, self.epoch = single["Commit"], single["Source-Date-Epoch"]
        self.codename, self.architecture = single["Build-Codename"], single["Build-Architecture"]


def parse(data):
    """BUILDINFO by its grammar: what the rebuild needs to know. Any other
    line is Refused, naming it. Whatever else it says, the rebuild's own
    BUILDINFO must repeat byte for byte."""
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Refused("BUILDINFO is not plain ASCII text") from None
    if not text.endswith("\n"):
        raise Refused("BUILDINFO's last line is cut short")
    # The lines past the most a BUILDINFO holds stay in one piece, unread.
    lines = text[:-1].split("\n", MOST_LINES)
    release_format = re.fullmatch(r"Format: ([0-9]+)", lines[0])
    if not release_format:
        raise Refused("BUILDINFO does not start with its Format")
    if release_format.group(1) != FORMAT:
        commit = re.search(r"^Commit: ([0-9a-f]{12})", text, re.MULTILINE)
        raise Refused(
            f"this release's BUILDINFO is of format {release_format.group(1)}, from before releases were "
            "assembled from their signatures: the scripts/verify-release.sh of its own commit"
            f"{' ' + commit.group(1) if commit else ''} can check it"
        )
    single, packages = {}, {}
    for number, line in enumerate(lines[:MOST_LINES], 1):
        where = f"BUILDINFO line {number} ({shown(line)})"
        key, separator, value = line.partition(": ")
        if not separator or key not in SHAPES:
            raise Refused(f"{where} is no line of a BUILDINFO")
        if not re.fullmatch(SHAPES[key], value):
            raise Refused(f"{where}: {WHAT.get(key, 'not a value ' + key + ' takes')}")
        if key == "Package":
            name, version = value.split(" ")
            if name not in PACKAGES:
                raise Refused(f"{where}: {name} is not a package the release command records")
            if name in packages:
                raise Refused(f"{where}: {name} is recorded twice")
            packages[name] = version
        elif key in single:
            raise Refused(f"{where}: {key} is given twice")
        elif key in SINGLE_KEYS:
            single[key] = value
    if len(lines) > MOST_LINES:
        raise Refused(f"BUILDINFO has more lines than the release command writes ({MOST_LINES})")
    for key in sorted(SINGLE_KEYS - single.keys()):
        raise Refused(f"BUILDINFO has no {key} line")
    for name in PACKAGES:
        if name not in packages:
            raise Refused(f"BUILDINFO has no Package line for {name}")
    release, codename = single["Build-Release"], single["Build-Codename"]
    if DEBIAN_RELEASES.get(release) != codename:
        supported = " and ".join(f"{number} ({name})" for number, name in DEBIAN_RELEASES.items())
        raise Refused(f"BUILDINFO names Debian {release} ({codename}); the release command runs on Debian {supported} only")
    return BuildInfo(single, packages)

