"""The certificates a signature carries, each vouched for: the signer's by
the fingerprint that the verdict names, and each one above it by a verified
signature of the next one up. A chain ends at a self-signed certificate
whose own signature verifies, at one whose issuer the caller supplies
(--trust), or with the signer's certificate alone; a carried certificate
that nothing vouches for is refused, whatever it holds. None is carried
besides the chain. Every certificate is valid at the moment given, and
holds to the policy below.

Keys are RSA alone, of at least MIN_RSA_BITS. An ECDSA signature (r, s) has
a second valid form, (r, n - s), that anyone can make without the key;
osslsigncode makes either, so a signature, a certificate or a time stamp by
an EC key could be changed by anyone into other bytes that still verify.
"""

import hashlib

from cryptography import x509 as crypto_x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding

import shown
from shown import escaped

MOST_CERTIFICATES = 8
MIN_RSA_BITS = 2048
HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
# The critical extensions whose meaning is checked here, or limits nothing
# that is: any other critical one is refused, as RFC 5280 asks.
KNOWN_CRITICAL = {"basic_constraints", "key_usage", "extended_key_usage", "subject_key_identifier",
                  "authority_key_identifier", "subject_alt_name"}


class BadSignature(Exception):
    """Why a signature is not one that signing makes."""


def fingerprint(certificate):
    return ":".join(f"{byte:02X}" for byte in hashlib.sha256(certificate.dump()).digest())


def subject(certificate, field="subject"):
    """CERTIFICATE's subject (or issuer), RFC 4514's way, as shown.name
    shows a name: escaped, and cut where it is long."""
    name = getattr(crypto_x509.load_der_x509_certificate(certificate.dump()), field)
    return shown.name(name.rfc4514_string())


def named(certificate):
    """A certificate as every line names it: its SHA-256 first, which no
    name can imitate, then its subject."""
    return f"certificate SHA-256 {fingerprint(certificate)} ({subject(certificate)})"


def rsa_key(certificate):
    """CERTIFICATE's public key, once it is RSA."""
    algorithm = certificate.public_key.algorithm
    if algorithm != "rsa":
        raise BadSignature(
            f"{named(certificate)} holds an {escaped(algorithm.upper())} key: only RSA keys are "
            "taken, as an EC signature has a second form that anyone can make"
        )
    return crypto_x509.load_der_x509_certificate(certificate.dump()).public_key()


def verify_rsa(certificate, signature, data, digest_name, what):
    """SIGNATURE, PKCS#1 v1.5 over DATA, verifies with CERTIFICATE's key."""
    key = rsa_key(certificate)
    if digest_name not in HASHES:
        raise BadSignature(f"{what} uses the digest {escaped(digest_name)}, which signing never does")
    if len(signature) != (key.key_size + 7) // 8:
        raise BadSignature(f"{what} is not as long as its key")
    try:
        key.verify(signature, data, padding.PKCS1v15(), HASHES[digest_name]())
    except InvalidSignature:
        raise BadSignature(f"{what} does not verify with the key of {named(certificate)}") from None


def _verify_issued(certificate, issuer):
    """CERTIFICATE's signature verifies with ISSUER's key, by SHA-2: MD5 and
    SHA-1 are refused, a root's signature of itself included."""
    rsa_key(issuer)
    what = f"the issuer's signature of {named(certificate)}"
    algorithm = certificate["signature_algorithm"]
    if algorithm.dump() != certificate["tbs_certificate"]["signature"].dump():
        raise BadSignature(f"{named(certificate)} names two signature algorithms")
    if algorithm.signature_algo != "rsassa_pkcs1v15":
        raise BadSignature(f"{named(certificate)} is signed with {escaped(algorithm['algorithm'].dotted)}, not RSA")
    if algorithm.hash_algo not in HASHES:
        raise BadSignature(f"{named(certificate)} is signed with {escaped(algorithm.hash_algo.upper())}: "
                           "certificates signed with SHA-256, SHA-384 or SHA-512 alone are taken")
    verify_rsa(issuer, certificate["signature_value"].native, certificate["tbs_certificate"].dump(),
               algorithm.hash_algo, what)


class Chain:
    """The signer's certificate first, then its issuers; the last is the top.
    ANCHOR is the --trust certificate that issued the top, or None; where
    there is none, the top is self-signed, or is the signer's certificate
    and ISSUER_ABSENT."""

    def __init__(self, certificates, anchor, issuer_absent):
        self.certificates = certificates
        self.signer, self.top = certificates[0], certificates[-1]
        self.anchor, self.issuer_absent = anchor, issuer_absent


def _holds_to_policy(certificate, below, moment, place):
    """CERTIFICATE (found in PLACE), valid at MOMENT, with an RSA key long
    enough and no critical extension that is not understood here; where it
    issued certificates (BELOW of them, the signer's included), a CA that
    may issue so many."""
    whose = f"{named(certificate)}, {place},"
    bits = rsa_key(certificate).key_size
    if bits < MIN_RSA_BITS:
        raise BadSignature(f"{whose} holds a {bits}-bit RSA key: at least {MIN_RSA_BITS} bits are taken")
    unknown = sorted(str(e) for e in certificate.critical_extensions if e not in KNOWN_CRITICAL)
    if unknown:
        raise BadSignature(f"{whose} holds an unknown critical extension ({escaped(unknown[0])})")
    validity = certificate["tbs_certificate"]["validity"]
    if not validity["not_before"].native <= moment <= validity["not_after"].native:
        raise BadSignature(f"{whose} was not valid at {moment:%Y-%m-%dT%H:%M:%SZ}")
    if not below:
        return
    usage = certificate.key_usage_value
    if not certificate.ca:
        raise BadSignature(f"{whose} issues a certificate, but is no CA (its basic constraints)")
    if usage is not None and "key_cert_sign" not in usage.native:
        raise BadSignature(f"{whose} issues a certificate, but its key usage lacks keyCertSign")
    most = certificate.max_path_length
    if most is not None and below - 1 > most:
        raise BadSignature(f"{whose} has {below - 1} CA(s) below it, more than its path length {most}")


def _issuer(certificate, among, what):
    """The one certificate of AMONG whose subject is CERTIFICATE's issuer, or None."""
    issuers = [c for c in among if c.subject.dump() == certificate.issuer.dump()]
    if len(issuers) > 1:
        raise BadSignature(f"{what} has more than one issuer of {named(certificate)}")
    return issuers[0] if issuers else None


def chain(carried, issuer_and_serial, moment, usage, what, trusted=()):
    """The Chain of the signer that ISSUER_AND_SERIAL names among CARRIED,
    for USAGE (an extended key usage), every certificate valid at MOMENT.
    TRUSTED are the CA certificates the caller supplies as issuers."""
    where = "its chain" if what == "it" else f"{what}'s chain"
    remaining = list(carried)
    named_once = [c for c in remaining if c.issuer.dump() == issuer_and_serial["issuer"].dump()
                  and c.serial_number == issuer_and_serial["serial_number"].native]
    if len(named_once) != 1:
        raise BadSignature(f"{what} does not carry its signer's certificate once")
    current, anchor, issuer_absent = named_once[0], None, False
    remaining.remove(current)
    found = [current]
    while True:
        if current.subject.dump() == current.issuer.dump():
            _verify_issued(current, current)
            break
        issuer = _issuer(current, remaining, what)
        if issuer is None:
            anchor = _issuer(current, trusted, "--trust")
            if anchor is not None:
                _verify_issued(current, anchor)
            elif current is not found[0]:
                raise BadSignature(
                    f"{named(current)}, in {where}, is vouched for by nothing: its issuer "
                    f"{subject(current, 'issuer')} is neither carried nor given with --trust"
                )
            issuer_absent = anchor is None
            break
        _verify_issued(current, issuer)
        current = issuer
        remaining.remove(current)
        found.append(current)
    if remaining:
        raise BadSignature(f"{what} carries {len(remaining)} certificate(s) besides its signer's chain")
    for below, certificate in enumerate(found):
        _holds_to_policy(certificate, below, moment, f"in {where}")
    if anchor is not None:
        _holds_to_policy(anchor, len(found), moment, "given with --trust")
    signer = found[0]
    if usage not in (signer.extended_key_usage_value.native if signer.extended_key_usage_value else []):
        raise BadSignature(f"{named(signer)}, the signer of {where}, is not for {usage.replace('_', ' ')}")
    if signer.key_usage_value is not None and "digital_signature" not in signer.key_usage_value.native:
        raise BadSignature(f"{named(signer)}, the signer of {where}, has a key usage without digitalSignature")
    return Chain(found, anchor, issuer_absent)
