"""The release's assembly step: the staged, unsigned builds and, optionally,
one detached signature for each executable, made into the release's files.

    assemble.py STAGE SIGNATURES OUT COMMIT ENVIRONMENT UMASK

STAGE holds a folder for each package (loclistfix-<version>-win32, ...) as
`cmake --install` staged it; SIGNATURES may hold <package>.p7s, the DER
PKCS#7 signature of that package's loclistfix.exe. OUT receives the zips,
BUILDINFO and SHA256SUMS. COMMIT, ENVIRONMENT and UMASK are recorded in
BUILDINFO, with SOURCE_DATE_EPOCH, which also dates every file in the zips.

The release command runs it after building and signing; the verifier runs
the recorded commit's own copy with the signatures it took from the
published executables, then compares every file byte for byte. So the
bytes depend on nothing but the builds, the signatures and the packages
that BUILDINFO records.
"""

import hashlib
import os
import shutil
import subprocess
import sys

# Started isolated (python3 -I), which leaves this folder off the path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# pylint: disable=wrong-import-position
import authenticode
import buildinfo
import release_files

EXECUTABLE = "loclistfix.exe"


def place(stage, signatures, folder, name):
    """NAME's files in FOLDER, signed where a signature is given, with the
    modes and dates that the zip records. Returns the unsigned executable."""
    shutil.copytree(os.path.join(stage, name), os.path.join(folder, name), symlinks=True)
    exe_path = os.path.join(folder, name, EXECUTABLE)
    with open(exe_path, "rb") as file:
        unsigned = file.read()
    signature_path = os.path.join(signatures, f"{name}.p7s")
    if os.path.exists(signature_path):
        with open(signature_path, "rb") as file:
            signed = authenticode.attach(unsigned, file.read())
        with open(exe_path, "wb") as file:
            file.write(signed)
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    for directory, folders, files in os.walk(os.path.join(folder, name)):
        for entry in files:
            path = os.path.join(directory, entry)
            if os.path.islink(path):
                raise SystemExit(f"assemble.py: {path} is a link, which a release never holds")
            os.chmod(path, 0o755 if path == exe_path else 0o644)
            os.utime(path, (epoch, epoch))
        for entry in folders:
            os.utime(os.path.join(directory, entry), (epoch, epoch))
    os.utime(os.path.join(folder, name), (epoch, epoch))
    return unsigned


def zip_folder(folder, name, out):
    """zip writes the archive: the files in byte order, no folder entries, no
    extra fields (owner ids and the like would differ between machines)."""
    paths = []
    for directory, _, files in os.walk(os.path.join(folder, name)):
        paths += [os.path.relpath(os.path.join(directory, entry), folder) for entry in files]
    listing = "".join(f"{path}\n" for path in sorted(paths, key=os.fsencode))
    subprocess.run(["zip", "-X", "-D", "-q", os.path.join(out, f"{name}.zip"), "-@"],
                   input=listing.encode(), cwd=folder, check=True)


def main(stage, signatures, out, commit, environment, umask):
    names = sorted(os.listdir(stage))
    unknown = sorted(set(os.listdir(signatures)) - {f"{name}.p7s" for name in names})
    if unknown:
        raise SystemExit(f"assemble.py: {unknown[0]} is the signature of no package here")
    folder = os.path.join(out, ".assembly")
    os.mkdir(folder)
    unsigned = {}
    for name in names:
        unsigned[f"{name}/{EXECUTABLE}"] = hashlib.sha256(place(stage, signatures, folder, name)).hexdigest()
        zip_folder(folder, name, out)
    shutil.rmtree(folder)
    files = {}
    with open(os.path.join(out, "BUILDINFO"), "w", encoding="ascii") as file:
        file.write(buildinfo.write(commit, os.environ["SOURCE_DATE_EPOCH"], environment, umask, unsigned))
    for name in os.listdir(out):
        with open(os.path.join(out, name), "rb") as file:
            files[name] = file.read()
    with open(os.path.join(out, "SHA256SUMS"), "wb") as file:
        file.write(release_files.sums(files))


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit("usage: assemble.py STAGE SIGNATURES OUT COMMIT ENVIRONMENT UMASK")
    try:
        main(*sys.argv[1:])
    except authenticode.NotSigned as fault:
        sys.exit(f"assemble.py: a signature cannot be attached: {fault}")
    except subprocess.CalledProcessError as fault:
        sys.exit(f"assemble.py: zip failed (exit status {fault.returncode})")
    except shutil.Error as fault:
        sys.exit(f"assemble.py: cannot copy the stage: {' '.join(str(fault).split())[:300]}")
    except OSError as fault:
        sys.exit(f"assemble.py: {fault.filename or 'a file'}: {fault.strerror or fault}")
