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
import signature_trust  # noqa: E402
from cryptography import x509  # noqa: E402
from signature_chain import subject  # noqa: E402

SIGNED, STAMPED = ((HERE / name).read_bytes() for name in ("signed.p7s", "timestamped.p7s"))
# Of the win64 executable of the release that made them, and its commit's time.
DIGEST = bytes.fromhex("ba286bb7a55c6034899cfc3cb40cd21e03d41d55d471aa2e87e635a044e3c8d1")
EPOCH = 1796921804
STAMP_TIME = datetime.datetime(2026, 12, 10, 17, 5, 20, tzinfo=datetime.timezone.utc)
# Checked while their certificates are valid, or years after they expired.
NOW = datetime.datetime(2026, 12, 11, tzinfo=datetime.timezone.utc)
LATER = datetime.datetime(2030, 1, 1, tzinfo=datetime.timezone.utc)


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


def by_chain(*links, carried=None):
    """SIGNED re-signed by a chain made to LINKS (forge_signature.made_chain's)."""
    return lambda folder: forged.wrapped(forged.resigned_by_chain(forged.signed_data(SIGNED), folder, links, carried))


def issuer_of(*links):
    """The certificate that issued the signer of the chain made to LINKS, read
    as --trust reads it, from a DER file."""
    def trusted(folder):
        path = pathlib.Path(folder) / "trusted.der"
        path.write_bytes(forged.made_chain(folder, links)[1][1].dump())
        return [signature_trust.read(path)]
    return trusted


def no_trust(_):
    return []


def stamp_chain(folder):
    return forged.wrapped(forged.stamp_chain(forged.signed_data(SIGNED), folder, STAMP_TIME))


def extension(oid):
    return x509.UnrecognizedExtension(x509.ObjectIdentifier(oid), b"\x05\x00")


SIGNER, CA = {"name": "forged signer"}, {"name": "forged CA"}
PAYLOAD_CA = {**CA, "absent_issuer": "absent root", "extensions": [(extension("1.3.6.1.4.1.55555.1"), False)]}
KEY_ENCIPHERMENT = x509.KeyUsage(False, False, True, False, False, False, False, False, False)
DIGITAL_SIGNATURE = x509.KeyUsage(True, False, False, False, False, False, False, False, False)


# The forged signature (made in a folder for the forger's keys), the digest
# and epoch it is checked against, words of the reason it is refused; and,
# where they are not NOW and none, when it is checked and what --trust gives.
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
    (by_chain(SIGNER, PAYLOAD_CA), DIGEST, EPOCH, "(CN=forged CA), in its chain, is vouched for by nothing: its "
     "issuer CN=absent root is neither carried nor given with --trust"),
    (stamp_chain, DIGEST, EPOCH, "(CN=loclistfix forged TSA CA), in its time stamp's chain, is vouched for by nothing"),
    (lambda _: SIGNED, DIGEST, EPOCH, "(CN=loclistfix test signer), in its chain, was not valid at "
     "2030-01-01T00:00:00Z", LATER),
    (by_chain({**SIGNER, "bits": 1024}), DIGEST, EPOCH, "(CN=forged signer), in its chain, holds a 1024-bit RSA key"),
    (by_chain({**SIGNER, "extensions": [(KEY_ENCIPHERMENT, True)]}), DIGEST, EPOCH,
     "(CN=forged signer), the signer of its chain, has a key usage without digitalSignature"),
    (by_chain({**SIGNER, "extensions": [(extension("1.3.6.1.4.1.55555.4"), True)]}), DIGEST, EPOCH,
     "(CN=forged signer), in its chain, holds an unknown critical extension (1.3.6.1.4.1.55555.4)"),
    (by_chain(SIGNER, {"name": "sub-CA"}, {**CA, "path_length": 0}), DIGEST, EPOCH,
     "(CN=forged CA), in its chain, has 1 CA(s) below it, more than its path length 0"),
    (by_chain(SIGNER, {**CA, "extensions": [(DIGITAL_SIGNATURE, True)]}), DIGEST, EPOCH,
     "(CN=forged CA), in its chain, issues a certificate, but its key usage lacks keyCertSign"),
    (by_chain(SIGNER, {**CA, "ca": False}), DIGEST, EPOCH, "(CN=forged CA), in its chain, issues a certificate, but "
     "is no CA"),
    (by_chain({**SIGNER, "hash": "SHA1"}), DIGEST, EPOCH, "(CN=forged signer) is signed with SHA1"),
    (by_chain(SIGNER, {**CA, "ca": None}, carried=1), DIGEST, EPOCH, "(CN=forged CA), given with --trust, issues a "
     "certificate, but is no CA", NOW, issuer_of(SIGNER, {**CA, "ca": None})),
]

# Signatures taken: made how, checked when, with what --trust gives, and
# their chains as shown: the signer's up to its top (and the --trust
# certificate above it), and the time stamp.
STAMPED_CHAIN = "CN=loclistfix test signer; stamped 2026-12-10T17:05:20Z by CN=loclistfix test TSA"
TAKEN = [
    (lambda _: SIGNED, NOW, no_trust, "CN=loclistfix test signer"),
    (lambda _: STAMPED, NOW, no_trust, STAMPED_CHAIN),
    (lambda _: STAMPED, LATER, no_trust, STAMPED_CHAIN),
    (by_chain(SIGNER, CA, carried=1), NOW, issuer_of(SIGNER, CA), "CN=forged signer < --trust CN=forged CA"),
    (by_chain({"name": "8B\ua789A1\ua789C4 \u202eevil"}), NOW, no_trust, "CN=8B\\ua789A1\\ua789C4 \\u202eevil"),
    (by_chain({"name": "x" * 100000}), NOW, no_trust, "CN=" + "x" * 253 + "[cut]"),
]


def shown_chain(signer):
    chain = signer.chain
    names = [subject(c) for c in chain.certificates] + ([f"--trust {subject(chain.anchor)}"] if chain.anchor else [])
    stamp = signer.stamp
    return " < ".join(names) + (f"; stamped {stamp.time:%Y-%m-%dT%H:%M:%SZ} by {subject(stamp.chain.signer)}"
                                if stamp else "")


@mock.patch.object(authenticode, "digest", lambda exe, algorithm: exe)
class SignatureCheck(unittest.TestCase):
    def test_taken(self):
        with tempfile.TemporaryDirectory() as folder:
            for number, (make, now, trusted, chain) in enumerate(TAKEN, 1):
                with self.subTest(row=number, chain=chain[:60]):
                    signer = signature_check.check(make(folder), DIGEST, EPOCH, trusted(folder), now)
                    self.assertEqual(shown_chain(signer), chain)

    def test_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            for number, (forge, digest, epoch, words, *at) in enumerate(REFUSED, 1):
                now, trusted = (at + [NOW, no_trust][len(at):])
                with self.subTest(row=number, words=words):
                    with self.assertRaises(signature_check.BadSignature) as refused:
                        signature_check.check(forge(folder), digest, epoch, trusted(folder), now)
                    self.assertIn(words, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
