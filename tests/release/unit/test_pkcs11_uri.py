"""scripts/pkcs11_uri.py on its own, a row per URI: what the release hands
OpenSSL's engine, and the PIN it takes off; or the reason it refuses."""
import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "scripts"))
import pkcs11_uri  # noqa: E402

PIN_FILE = "/run/pin"

# URI, what it becomes, the PIN taken off it.
READ = [
    ("pkcs11:token=a;object=b", "pkcs11:token=a;object=b", None),
    ("pkcs11:token=a;pin-value=12%33", "pkcs11:token=a?pin-source=file:/run/pin", b"123"),
    ("pkcs11:token=a;PIN-VALUE=9", "pkcs11:token=a?pin-source=file:/run/pin", b"9"),
    ("pkcs11:token=a?pin-value=%41%3b", "pkcs11:token=a?pin-source=file:/run/pin", b"A;"),
    ("pkcs11:token=a?pin-source=file:/x", "pkcs11:token=a?pin-source=file:/x", None),
]
# URI, words of the reason it is refused.
REFUSED = [
    ("pkcs11:token=a b", "holds a space"),
    ("pkcs11:token=a#b", "holds a '#'"),
    ("pkcs12:token=a", "does not begin with pkcs11:"),
    ("pkcs11:token=a&pin-value=1", "path holds a '&'"),
    ("pkcs11:token=a?pin-value=1?x", "second '?'"),
    ("pkcs11:token=a;pin-value=1?pin-source=file:/x", "more than once"),
    ("pkcs11:token=a;pin-value=1%0a", "line break or a NUL"),
]


class Pkcs11Uri(unittest.TestCase):
    def test_read(self):
        for uri, text, pin in READ:
            with self.subTest(uri=uri):
                self.assertEqual(pkcs11_uri.parse(uri, PIN_FILE), (text, pin))

    def test_refused(self):
        for uri, words in REFUSED:
            with self.subTest(uri=uri):
                with self.assertRaises(pkcs11_uri.NotTheUri) as refused:
                    pkcs11_uri.parse(uri, PIN_FILE)
                self.assertIn(words, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
