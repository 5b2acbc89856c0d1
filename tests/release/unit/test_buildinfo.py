"""scripts/buildinfo.py's grammar on its own: a BUILDINFO that the release
command wrote (kept beside this file) is read, and each row changes it once,
the way a damaged or forged record would, for the reason it is refused."""
import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "scripts"))
import buildinfo  # noqa: E402

GENUINE = (pathlib.Path(__file__).parent / "BUILDINFO").read_text(encoding="ascii")

# Text replaced once in the genuine BUILDINFO, the text in its place, words
# of the reason it is refused.
REFUSED = [
    ("Package: cmake-data ", "Package: cmake ", "cmake is recorded twice"),
    ("python3-pefile", "python3-pefiles", "python3-pefiles is not a package the release command records"),
    ("Package: zip 3.0-13\n", "", "no Package line for zip"),
    ("Build-Umask: 0022\n", "", "no Build-Umask line"),
    ("Build-Umask: 0022", "Build-Release: 12", "Build-Release is given twice"),
    ("6783349\n", "6783349\nPackage: zip 3.0-13\n", "more lines than the release command writes"),
    ("Build-Codename: bookworm", "Build-Codename: sid", "names Debian 12 (sid); the release command runs on"),
    ("Build-Release: 12", "Build-Release: 13", "names Debian 13 (bookworm)"),
    ("Commit: ce770fc0", "Commit: CE770FC0", "a commit is 40 lower-case hexadecimal digits"),
    ("Build-Umask: ", "Build-Umask ", "line 10 ('Build-Umask 0022') is no line of a BUILDINFO"),
    ("Package: zip 3.0-13", "Package: zip 3.0-13-", "a package is a Debian package name and version"),
    ("Format: 3", "Format: 2", "of format 2, from before releases were assembled from their signatures: the "
     "scripts/verify-release.sh of its own commit ce770fc0f3b1 can check it"),
    ("6783349\n", "6783349", "last line is cut short"),
    ("Source: loclistfix", "Source: loclistfíx", "not plain ASCII text"),
]


class BuildInfoGrammar(unittest.TestCase):
    def test_genuine(self):
        for release, codename in (("12", "bookworm"), ("13", "trixie")):
            with self.subTest(codename=codename):
                text = GENUINE.replace("Build-Release: 12\nBuild-Codename: bookworm",
                                       f"Build-Release: {release}\nBuild-Codename: {codename}")
                read = buildinfo.parse(text.encode("utf-8"))
                self.assertEqual((read.commit, read.epoch, read.codename, read.architecture),
                                 ("ce770fc0f3b1b7df5c680a2cf74c672663a81f42", "1796921804", codename, "amd64"))
                self.assertEqual(read.packages["python3-pefile"], "2023.2.7-1")
                self.assertEqual(set(read.packages), set(buildinfo.PACKAGES))

    def test_refused(self):
        for old, new, words in REFUSED:
            with self.subTest(old=old, new=new):
                self.assertIn(old, GENUINE)
                with self.assertRaises(buildinfo.Refused) as refused:
                    buildinfo.parse(GENUINE.replace(old, new, 1).encode("utf-8"))
                self.assertIn(words, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
