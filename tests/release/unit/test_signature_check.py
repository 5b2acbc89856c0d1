"""scripts/signature_check.py on its own: two signatures that the release
command made (kept beside this file: signed.p7s by the pkcs12 route,
timestamped.p7s by the same key with a time stamp from the test's loopback
authority) are taken, and each row forges one of them for the reason it is
refused. The executable is stood for by its Authenticode digest, which
authenticode.py computes and the release rows check. Where signing changes,
they are taken again from build/release-test (signatures/, and the
timestamped release's win64 executable through scripts/authenticode.py),
and DIGEST, EPOCH and STAMP_TIME with them."""
import datetime
import pathlib
import sys
import tempfile
import unittest
from unittest import mock

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parents[2] / "scripts"), str(HERE.parent)]
import authenticode  # noqa: E402
import forge_signature as forged  # noqa: E402
import signature_check  # noqa: E402
from signature_chain import subject  # noqa: E402

SIGNED, STAMPED = ((HERE / name).read_bytes() for name in ("signed.p7s", "timestamped.p7s"))
# Of the win64 executable of the release that made them, and its commit's time.
DIGEST = bytes.fromhex("ba286bb7a55c6034899cfc3cb40cd21e03d41d55d471aa2e87e635a044e3c8d1")
EPOCH = 1796921804
STAMP_TIME = datetime.datetime(2026, 12, 10, 17, 5, 20, tzinfo=datetime.timezone.utc)


def changed(der, change):
    """DER with CHANGE made to its SignedData and its one SignerInfo."""
    data = forged.signed_data(der)
    info = data["signer_infos"][0]
    change(data, info)
    data["signer_infos"] = [info]
    return forged.wrapped(data)


def stamp_token(der):
    return forged.signed_data(der)["signer_infos"][0]["unsigned_attrs"][0]["values"][0]


def digest_sha384(_, info):
    info["digest_algorithm"] = {"algorithm": "sha384"}


def tsa_certificate_added(data, _):
    forged.with_certificates(data, forged.certificates(data) + forged.certificates(stamp_token(STAMPED)["content"]))


def stamp_of_another_signature(_, info):
    info["unsigned_attrs"] = [{"type": "rfc3161_time_stamp", "values": [stamp_token(STAMPED)]}]


def stamp_twice(_, info):
    info["unsigned_attrs"] = [{"type": "rfc3161_time_stamp", "values": [stamp_token(STAMPED)] * 2}]


def forgery(kind):
    return lambda folder: forged.wrapped(forged.forge(kind, forged.signed_data(SIGNED), folder))


# The forged signature (made in a folder for the forger's keys), the digest
# and epoch it is checked against, words of the reason it is refused.
REFUSED = [
    (lambda _: changed(SIGNED, digest_sha384), DIGEST, EPOCH, "uses a digest other than sha256"),
    (lambda _: changed(SIGNED, tsa_certificate_added), DIGEST, EPOCH, "1 certificate(s) besides its signer's chain"),
    (forgery("digest-parameters"), DIGEST, EPOCH, "its content.digest_algorithms[0] differs"),
    (forgery("signer-parameters"), DIGEST, EPOCH, "its content.signer_infos[0].signature_algorithm differs"),
    (forgery("ec"), DIGEST, EPOCH, "holds an EC key"),
    (forgery("stamp"), DIGEST, EPOCH, "its time stamp says 2001-09-09T01:46:40Z, before the signing"),
    (lambda _: changed(SIGNED, stamp_of_another_signature), DIGEST, EPOCH, "its time stamp is not over this signature"),
    (lambda _: changed(STAMPED, stamp_twice), DIGEST, EPOCH, "more than one time stamp"),
    (lambda _: SIGNED[:-1], DIGEST, EPOCH, "no well-formed Authenticode signature"),
    (lambda _: SIGNED, bytes(32), EPOCH, "the signature of another file"),
    (lambda _: STAMPED, DIGEST, EPOCH + 1, "its signing time is not 2026-12-10T16:56:45Z"),
]


@mock.patch.object(authenticode, "digest", lambda exe, algorithm: exe)
class SignatureCheck(unittest.TestCase):
    def test_taken(self):
        for der, stamp in ((SIGNED, None), (STAMPED, (STAMP_TIME, "CN=loclistfix test TSA"))):
            with self.subTest(stamped=bool(stamp)):
                signer = signature_check.check(der, DIGEST, EPOCH)
                self.assertEqual([subject(c) for c in signer.chain.certificates], ["CN=loclistfix test signer"])
                self.assertFalse(signer.chain.issuer_absent)
                self.assertEqual(signer.stamp and (signer.stamp.time, subject(signer.stamp.chain.signer)), stamp)

    def test_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            for number, (forge, digest, epoch, words) in enumerate(REFUSED, 1):
                with self.subTest(row=number, words=words):
                    with self.assertRaises(signature_check.BadSignature) as refused:
                        signature_check.check(forge(folder), digest, epoch)
                    self.assertIn(words, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
