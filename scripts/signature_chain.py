"""The certificates a signature carries, held to the chain of its signer:
each verified with its issuer's key, issuer by issuer, up to one that is
self-signed or whose issuer the signature does not carry; none besides; each
valid at the time of signing; the signer's for the usage signed.

Keys are RSA alone. An ECDSA signature (r, s) has a second valid form,
(r, n - s), that anyone can make without the key; osslsigncode makes either,
so a signature, a certificate or a time stamp by an EC key could be changed
by anyone into other bytes that still verify.
"""

import hashlib

from cryptography import x509 as crypto_x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding

from shown import escaped

MOST_CERTIFICATES = 8
HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


class BadSignature(Exception):
    """Why a signature is not one that signing makes."""


def fingerprint(certificate):
    return ":".join(f"{byte:02X}" for byte in hashlib.sha256(certificate.dump()).digest())


def subject(certificate, field="subject"):
    """CERTIFICATE's subject (or issuer), RFC 4514's way, escaped. A colon
    too: a name that held one could spell out another certificate's
    fingerprint, for a reader or grep to find beside the true one."""
    name = getattr(crypto_x509.load_der_x509_certificate(certificate.dump()), field)
    return escaped(name.rfc4514_string()).replace(":", "\\x3a")


def rsa_key(certificate):
    """CERTIFICATE's public key, once it is RSA."""
    algorithm = certificate.public_key.algorithm
    if algorithm != "rsa":
        raise BadSignature(
            f"certificate {subject(certificate)} holds an {escaped(algorithm.upper())} key: only RSA keys are "
            "taken, as an EC signature has a second form that anyone can make"
        )
    return crypto_x509.load_der_x509_certificate(certificate.dump()).public_key()


def verify_rsa(certificate, signature, data, digest_name, what, hashes_taken=HASHES):
    """SIGNATURE, PKCS#1 v1.5 over DATA, verifies with CERTIFICATE's key."""
    key = rsa_key(certificate)
    if digest_name not in hashes_taken:
        raise BadSignature(f"{what} uses the digest {escaped(digest_name)}, which signing never does")
    if len(signature) != (key.key_size + 7) // 8:
        raise BadSignature(f"{what} is not as long as its key")
    try:
        key.verify(signature, data, padding.PKCS1v15(), hashes_taken[digest_name]())
    except InvalidSignature:
        raise BadSignature(f"{what} does not verify with the key of {subject(certificate)}") from None


def _verify_issued(certificate, issuer):
    rsa_key(issuer)
    what = f"certificate {subject(certificate)}"
    algorithm = certificate["signature_algorithm"]
    if algorithm.dump() != certificate["tbs_certificate"]["signature"].dump():
        raise BadSignature(f"{what} names two signature algorithms")
    if algorithm.signature_algo != "rsassa_pkcs1v15":
        raise BadSignature(f"{what} is signed with {escaped(algorithm['algorithm'].dotted)}, not RSA")
    # Many a root signs itself with SHA-1; a self-signature proves nothing
    # that the root's fingerprint, which the verdict names, does not.
    taken = {**HASHES, "sha1": hashes.SHA1} if certificate is issuer else HASHES
    verify_rsa(issuer, certificate["signature_value"].native, certificate["tbs_certificate"].dump(),
               algorithm.hash_algo, f"the issuer's signature of {what}", taken)


class Chain:
    """The signer's certificate first, then its issuers; the last is the top."""

    def __init__(self, certificates, issuer_absent):
        self.certificates = certificates
        self.signer, self.top = certificates[0], certificates[-1]
        self.issuer_absent = issuer_absent


def chain(carried, issuer_and_serial, when, usage, what):
    """The Chain of the signer that ISSUER_AND_SERIAL names among CARRIED,
    for USAGE (an extended key usage), valid at some moment between the two
    times of WHEN."""
    remaining = list(carried)
    named = [c for c in remaining if c.issuer.dump() == issuer_and_serial["issuer"].dump()
             and c.serial_number == issuer_and_serial["serial_number"].native]
    if len(named) != 1:
        raise BadSignature(f"{what} does not carry its signer's certificate once")
    current, issuer_absent = named[0], False
    remaining.remove(current)
    found = [current]
    while True:
        if current.subject.dump() == current.issuer.dump():
            _verify_issued(current, current)
            break
        issuers = [c for c in remaining if c.subject.dump() == current.issuer.dump()]
        if not issuers:
            issuer_absent = True
            break
        if len(issuers) > 1 or not issuers[0].ca:
            raise BadSignature(f"{what} carries no one issuer of certificate {subject(current)}")
        _verify_issued(current, issuers[0])
        current = issuers[0]
        remaining.remove(current)
        found.append(current)
    if remaining:
        raise BadSignature(f"{what} carries {len(remaining)} certificate(s) besides its signer's chain")
    rsa_key(current)
    for certificate in found:
        validity = certificate["tbs_certificate"]["validity"]
        if not (validity["not_before"].native <= when[1] and when[0] <= validity["not_after"].native):
            raise BadSignature(
                f"certificate {subject(certificate)} was not valid at {when[0]:%Y-%m-%dT%H:%M:%SZ}, "
                f"when {what} was made"
            )
    if usage not in (found[0].extended_key_usage_value.native if found[0].extended_key_usage_value else []):
        raise BadSignature(f"{what}'s certificate {subject(found[0])} is not for {usage.replace('_', ' ')}")
    return Chain(found, issuer_absent)
