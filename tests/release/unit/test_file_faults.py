"""The release's helpers that read and write files, given a file that is
missing or no file: one line that names it, never a traceback."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = pathlib.Path(__file__).resolve().parents[3] / "scripts"

# The script, its arguments ({d} is a scratch folder holding the folder
# stage/loclistfix-1.0.0-win32 with no executable, an empty signatures/ and
# out/), and words of its one line.
ROWS = [
    ("authenticode.py", ["{d}/missing.exe", "{d}/missing.exe", "{d}/out.p7s"], "missing.exe: No such file"),
    ("authenticode.py", ["{d}/stage", "{d}/stage", "{d}/out.p7s"], "stage: Is a directory"),
    ("assemble.py", ["{d}/missing", "{d}/signatures", "{d}/out", "", "", "0022"], "missing: No such file"),
    ("assemble.py", ["{d}/stage", "{d}/signatures", "{d}/out", "", "", "0022"],
     "win32/loclistfix.exe: No such file"),
]


class FileFaults(unittest.TestCase):
    def test_one_line(self):
        for script, arguments, words in ROWS:
            with self.subTest(script=script, arguments=arguments), tempfile.TemporaryDirectory() as folder:
                for made in ("stage/loclistfix-1.0.0-win32", "signatures", "out"):
                    (pathlib.Path(folder) / made).mkdir(parents=True)
                done = subprocess.run(
                    [sys.executable, "-I", "-B", str(SCRIPTS / script), *(a.format(d=folder) for a in arguments)],
                    capture_output=True, text=True, env={"SOURCE_DATE_EPOCH": "1700000000"}, check=False)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(words, done.stderr)


if __name__ == "__main__":
    unittest.main()
