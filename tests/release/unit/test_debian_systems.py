"""The kept Debian systems: their key (debian-system.sh key, against an
archive of this test's own on loopback) changes with each signed list and
with the packages; a kept system is taken only where no other user could
have written it, is sealed when kept, and the store keeps only the newest."""
import functools
import http.server
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SCRIPTS = pathlib.Path(__file__).resolve().parents[3] / "scripts"
sys.path.insert(0, str(SCRIPTS))
import debian_systems  # noqa: E402 pylint: disable=wrong-import-position

SUITES = ("trixie", "trixie-updates", "trixie-backports")


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *_):
        pass


class Key(unittest.TestCase):
    def setUp(self):
        self.archive = tempfile.TemporaryDirectory()  # pylint: disable=consider-using-with
        for suite in SUITES:
            os.makedirs(f"{self.archive.name}/dists/{suite}")
            pathlib.Path(f"{self.archive.name}/dists/{suite}/InRelease").write_text(f"Suite: {suite}\n")
        handler = functools.partial(Quiet, directory=self.archive.name)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def tearDown(self):
        self.server.shutdown()
        self.server.server_close()
        self.archive.cleanup()

    def key(self, *packages):
        done = subprocess.run([SCRIPTS / "debian-system.sh", "key", "--mirror",
                               f"http://127.0.0.1:{self.server.server_port}", "trixie", *packages],
                              capture_output=True, text=True, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.strip()

    def test_what_the_key_covers(self):
        first = self.key("cmake=3.31.6-2", "zip=3.0-15")
        # (what changes, whether the key must change with it)
        rows = [
            (lambda: self.key("zip=3.0-15", "cmake=3.31.6-2"), False),
            (lambda: self.key("cmake=3.31.6-2", "zip=3.0-14"), True),
            (lambda: self.key("cmake=3.31.6-2"), True),
        ]
        for suite in SUITES:
            rows.append((functools.partial(self.key_after_change, suite), True))
        for index, (other, changes) in enumerate(rows):
            with self.subTest(row=index):
                self.assertEqual(other() != first, changes)

    def key_after_change(self, suite):
        signed = pathlib.Path(f"{self.archive.name}/dists/{suite}/InRelease")
        before = signed.read_text()
        signed.write_text(before + "Date: later\n")
        try:
            return self.key("cmake=3.31.6-2", "zip=3.0-15")
        finally:
            signed.write_text(before)


class Store(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp()
        for part in ("making", "systems"):
            os.mkdir(os.path.join(self.top, part))

    def tearDown(self):
        debian_systems.remove(self.top)

    def made(self, files):
        folder = tempfile.mkdtemp(dir=os.path.join(self.top, "making"))
        for name, mode in files.items():
            path = os.path.join(folder, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            pathlib.Path(path).write_text(name)
            os.chmod(path, mode)
        return folder

    def test_kept_sealed_and_taken(self):
        made = self.made({"usr/bin/su": 0o4755, "var/local/x": 0o664, "etc/shadow": 0o640})
        os.chmod(os.path.join(made, "var/local"), 0o2775)
        path = debian_systems.keep(self.top, made, "a" * 64)
        self.assertEqual(debian_systems.kept(self.top, "a" * 64), path)
        for folder, folders, names in os.walk(path):
            for name in folders + names:
                mode = os.lstat(os.path.join(folder, name)).st_mode
                self.assertFalse(mode & 0o6022, f"{name}: {oct(mode)}")
        self.assertIsNone(debian_systems.kept(self.top, "b" * 64))

    def test_not_taken_where_another_could_write(self):
        rows = {
            "writable": lambda path: os.chmod(path, 0o777),
            "link": lambda path: (os.rename(path, path + ".real"), os.symlink(path + ".real", path)),
        }
        for name, spoil in rows.items():
            with self.subTest(name=name):
                key = name.ljust(64, "0")
                spoil(debian_systems.keep(self.top, self.made({"usr/bin/cc": 0o755}), key))
                self.assertIsNone(debian_systems.kept(self.top, key))

    def test_only_the_newest_stay_unless_in_use(self):
        old = time.time() - debian_systems.RECENT - 60
        keys = [str(n) * 64 for n in range(6)]
        for index, key in enumerate(keys[:5]):
            path = debian_systems.keep(self.top, self.made({"usr/x": 0o644}), key)
            # The first two were used long ago, the others just now: one more than are kept.
            if index < 2:
                os.utime(path, (old + index, old + index))
        left_over = self.made({"usr/half": 0o644})
        os.utime(left_over, (old, old))
        debian_systems.keep(self.top, self.made({"usr/x": 0o644}), keys[5])
        self.assertEqual(sorted(os.listdir(os.path.join(self.top, "systems"))), sorted(keys[2:]))
        self.assertEqual(os.listdir(os.path.join(self.top, "making")), [])


if __name__ == "__main__":
    unittest.main()
