"""What a commit's code sees from inside the verifier's sandbox, run by a
forging commit's package.sh there:

    inside.py limits             the limits and every place it can write in;
                                 exit status 1 if any is unbounded
    inside.py reach PATH...      each file read and each socket connected
                                 to, and what came back
"""

import os
import re
import socket
import stat
import sys

LIMITS = ("Max processes", "Max address space", "Max file size")
# Kinds of mount that hold no files of their own to fill.
NO_STORAGE = ("proc", "devpts", "mqueue", "sysfs")


def limits():
    faults = []
    with open("/proc/self/limits", encoding="ascii") as file:
        text = file.read()
    for name in LIMITS:
        found = re.search(f"^{name} +(\\S+)", text, re.M)
        print(f"{name}: {found.group(1) if found else 'absent'}")
        if not found or found.group(1) == "unlimited":
            faults.append(name)
    with open("/proc/self/mountinfo", encoding="utf-8") as file:
        for line in file:
            mine, theirs = line.split(" - ")
            point, options = mine.split()[4], mine.split()[5].split(",")
            kind, settings = theirs.split()[0], theirs.split()[2].split(",")
            device = os.path.exists(point) and stat.S_ISCHR(os.stat(point).st_mode)
            if "ro" in options or kind in NO_STORAGE or device:
                continue
            size = os.statvfs(point)
            print(f"writable: {point} ({kind}, {size.f_blocks * size.f_frsize >> 20} MiB)")
            if kind != "tmpfs" or not any(s.startswith("size=") for s in settings):
                faults.append(point)
    if faults:
        print(f"unbounded: {', '.join(faults)}")
    return 1 if faults else 0


def reach(paths):
    for path in paths:
        try:
            if stat.S_ISSOCK(os.stat(path).st_mode):
                with socket.socket(socket.AF_UNIX) as client:
                    client.connect(path)
                    print(f"{path} answered: {client.recv(200).decode(errors='replace')}")
            else:
                with open(path, encoding="utf-8", errors="replace") as file:
                    print(f"{path} holds: {file.read(2000)}")
        except OSError as error:
            print(f"{path}: {error.strerror}")
    return 0


if __name__ == "__main__":
    sys.exit(limits() if sys.argv[1] == "limits" else reach(sys.argv[2:]))
