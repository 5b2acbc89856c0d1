"""What a release's Authenticode signature may hold, checked with asn1crypto
(the structure) and cryptography (the arithmetic). The signature is the one
part of a release that no rebuild makes again, so it is held to exactly what
signing makes: one SignedData by one signer, over this executable's digest,
carrying the signer's certificate chain and at most one RFC 3161 time stamp.
"""

import hashlib
from datetime import timezone

from asn1crypto import algos, cms, core, tsp
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.serialization import Encoding

import authenticode

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
TST_INFO = "1.2.840.113549.1.9.16.1.4"


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class BadSignature(Exception):
    """Why a signature is not one that signing makes."""


class Signer:
    def __init__(self, certificate, time):
        self.certificate = certificate
        self.name = x509.load_der_x509_certificate(certificate).subject.rfc4514_string()
        self.fingerprint = ":".join(f"{byte:02X}" for byte in hashlib.sha256(certificate).digest())
        self.time = time


def _hash_algorithm(name):
    algorithm = {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}.get(name)
    if algorithm is None:
        raise BadSignature(f"it uses the digest {name}, which signing never does")
    return algorithm()


def _verify(certificate, signature, data, digest_name):
    key = certificate.public_key()
    algorithm = _hash_algorithm(digest_name)
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, padding.PKCS1v15(), algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, data, ec.ECDSA(algorithm))
        else:
            raise BadSignature("its signer's key is neither RSA nor EC")
    except InvalidSignature:
        raise BadSignature("its signature does not verify with its signer's certificate") from None


def _chain(signed_data, signer_info, what):
    """The signer's certificate, once the certificates are exactly its chain."""
    certificates = []
    for choice in signed_data["certificates"]:
        if choice.name != "certificate":
            raise BadSignature(f"{what} carries a {choice.name} besides certificates")
        certificates.append(choice.chosen)
    sid = signer_info["sid"]
    if sid.name != "issuer_and_serial_number":
        raise BadSignature(f"{what} names its signer by key identifier, which signing never does")
    wanted = sid.chosen
    signer = [c for c in certificates if c.issuer == wanted["issuer"] and c.serial_number == wanted["serial_number"].native]
    if len(signer) != 1:
        raise BadSignature(f"{what} does not carry its signer's certificate once")
    chain, current = [signer[0]], signer[0]
    while not current.self_issued:
        issuers = [c for c in certificates if c.subject == current.issuer and c not in chain]
        if not issuers:
            break
        current = issuers[0]
        chain.append(current)
    if len(chain) != len(certificates):
        raise BadSignature(f"{what} carries {len(certificates) - len(chain)} certificate(s) besides its signer's chain")
    if signed_data["crls"].native:
        raise BadSignature(f"{what} carries revocation lists")
    return x509.load_der_x509_certificate(signer[0].dump())


def _signed_attributes(signer_info, content_type, content, what):
    """Checks the signed attributes' content type and digest of CONTENT."""
    attributes = {attribute["type"].dotted: attribute["values"] for attribute in signer_info["signed_attrs"]}
    digest_name = signer_info["digest_algorithm"]["algorithm"].native
    types, digests = attributes.get("1.2.840.113549.1.9.3"), attributes.get("1.2.840.113549.1.9.4")
    if types is None or len(types) != 1 or types[0].dotted != content_type:
        raise BadSignature(f"{what} does not sign the content type it carries")
    if digests is None or len(digests) != 1 or digests[0].native != hashlib.new(digest_name, content).digest():
        raise BadSignature(f"{what} does not sign the content it carries")
    return digest_name


def _signed_data(der, what):
    info = cms.ContentInfo.load(der)
    if info["content_type"].native != "signed_data":
        raise BadSignature(f"{what} is no PKCS#7 SignedData")
    signed_data = info["content"]
    if len(signed_data["signer_infos"]) != 1:
        raise BadSignature(f"{what} has {len(signed_data['signer_infos'])} signers, not one")
    return signed_data, signed_data["signer_infos"][0]


def _verified_signer(signed_data, signer_info, content_type, content, what):
    certificate = _chain(signed_data, signer_info, what)
    digest_name = _signed_attributes(signer_info, content_type, content, what)
    attributes = signer_info["signed_attrs"].dump()
    _verify(certificate, signer_info["signature"].native, b"\x31" + attributes[1:], digest_name)
    return certificate


def _attributes(optional):
    """An optional attribute set as a list; absent, it is empty."""
    return [] if isinstance(optional, core.Void) else list(optional)


def _time_stamp(values, signature):
    """The time of the one RFC 3161 token in VALUES, stamped over SIGNATURE."""
    what = "its time stamp"
    if len(values) != 1:
        raise BadSignature(f"it holds {len(values)} time stamps, not one")
    signed_data, signer_info = _signed_data(values[0].dump(), what)
    content = signed_data["encap_content_info"]
    if content["content_type"].dotted != TST_INFO:
        raise BadSignature(f"{what} is no RFC 3161 time-stamp token")
    token = content["content"].contents
    _verified_signer(signed_data, signer_info, TST_INFO, token, what)
    if _attributes(signer_info["unsigned_attrs"]):
        raise BadSignature(f"{what} carries unauthenticated attributes")
    info = tsp.TSTInfo.load(token)
    imprint = info["message_imprint"]
    stamped = hashlib.new(imprint["hash_algorithm"]["algorithm"].native, signature).digest()
    if imprint["hashed_message"].native != stamped:
        raise BadSignature(f"{what} is not over this signature")
    return info["gen_time"].native.astimezone(timezone.utc)


def check(der, exe):
    """The Signer of DER, an Authenticode signature of EXE (unsigned)."""
    try:
        return _check(der, exe)
    except BadSignature:
        raise
    except (ValueError, TypeError, KeyError, AttributeError, IndexError, OverflowError):
        raise BadSignature("it is no well-formed Authenticode signature") from None


def _check(der, exe):
    what = "it"
    signed_data, signer_info = _signed_data(der, what)
    content = signed_data["encap_content_info"]
    if content["content_type"].dotted != SPC_INDIRECT_DATA:
        raise BadSignature("it signs no executable's digest")
    signed_content = content["content"].contents
    indirect = content["content"].parse(SpcIndirectDataContent)
    carried = indirect["message_digest"]
    digest_name = carried["digest_algorithm"]["algorithm"].native
    _hash_algorithm(digest_name)
    if carried["digest"].native != authenticode.digest(exe, digest_name):
        raise BadSignature("it is the signature of another file")
    certificate = _verified_signer(signed_data, signer_info, SPC_INDIRECT_DATA, signed_content, what)
    time = None
    for attribute in _attributes(signer_info["unsigned_attrs"]):
        if attribute["type"].dotted != RFC3161_TIME_STAMP:
            raise BadSignature(f"it carries an unauthenticated attribute ({attribute['type'].dotted}) besides a time stamp")
        if time is not None:
            raise BadSignature("it carries two time stamps")
        time = _time_stamp(attribute["values"], signer_info["signature"].native)
    return Signer(certificate.public_bytes(Encoding.DER), time)

