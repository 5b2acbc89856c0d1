"""An RFC 3161 time stamp, as a signature's one unauthenticated attribute:
checked, and built again as the time-stamp server would write it.
"""

import hashlib
from datetime import timezone

from asn1crypto import core, tsp, x509

from shown import escaped
from signature_chain import BadSignature, chain, verify_rsa
from signature_cms import (certificate_set, cms_time, expect, new_signed_data, new_signer_info, one_signer,
                           signed_attributes)

STAMP_DIGESTS = ("sha256", "sha384", "sha512")
# RFC 3161 lets a serial number be up to 160 bits wide; a nonce or a policy
# wider than any server writes would be room for a payload.
LONGEST_NUMBER_BITS, LONGEST_POLICY = 160, 64


class Stamp:
    """A checked time stamp: its time and its signer's chain."""

    def __init__(self, time, tsa_chain):
        self.time, self.chain = time, tsa_chain


def _stamp_info(info, imprinted, tsa_certificate):
    """TSTInfo INFO built again from its checked fields, for a stamp over
    IMPRINTED by the holder of TSA_CERTIFICATE."""
    imprint = info["message_imprint"]
    algorithm = imprint["hash_algorithm"]["algorithm"].native
    if algorithm not in STAMP_DIGESTS:
        raise BadSignature(f"its time stamp is over a {escaped(algorithm)} digest, which signing never asks for")
    if imprint["hashed_message"].native != hashlib.new(algorithm, imprinted).digest():
        raise BadSignature("its time stamp is not over this signature")
    policy = info["policy"].dotted
    if len(policy) > LONGEST_POLICY:
        raise BadSignature("its time stamp's policy is longer than any time-stamp server's")
    fields = {
        "version": "v1",
        "policy": policy,
        "message_imprint": {"hash_algorithm": {"algorithm": algorithm}, "hashed_message": imprint["hashed_message"]},
        "serial_number": info["serial_number"].native,
        "gen_time": info["gen_time"].native,
    }
    for name in ("serial_number", "nonce"):
        if not isinstance(info[name], core.Void) and abs(info[name].native).bit_length() > LONGEST_NUMBER_BITS:
            raise BadSignature(f"its time stamp's {name.replace('_', ' ')} is longer than any time-stamp server's")
    if not isinstance(info["nonce"], core.Void):
        fields["nonce"] = info["nonce"].native
    if not isinstance(info["accuracy"], core.Void):
        fields["accuracy"] = {k: v for k, v in info["accuracy"].native.items() if v is not None}
    if not isinstance(info["tsa"], core.Void):
        fields["tsa"] = x509.GeneralName(name="directory_name", value=tsa_certificate.subject)
    return tsp.TSTInfo(fields)


def _signing_certificate(attributes, certificate):
    """The ESS signing-certificate attribute that names CERTIFICATE, as
    version 1 (SHA-1) or 2 (SHA-256), with its issuer and serial number or
    without, whichever ATTRIBUTES hold."""
    name = "signing_certificate_v2" if "signing_certificate_v2" in attributes else "signing_certificate"
    digest = hashlib.sha256 if name == "signing_certificate_v2" else hashlib.sha1
    identifier = {"cert_hash": digest(certificate.dump()).digest()}
    if name in attributes and not isinstance(attributes[name]["certs"][0]["issuer_serial"], core.Void):
        identifier["issuer_serial"] = {
            "issuer": [x509.GeneralName(name="directory_name", value=certificate.issuer)],
            "serial_number": certificate.serial_number,
        }
    return name, {"certs": [identifier]}


def time_stamp(token, stamped, between, trusted=()):
    """The Stamp of TOKEN, an RFC 3161 token over STAMPED made BETWEEN two
    moments, its chain ending as signature_chain says (TRUSTED the issuers
    the caller supplies); and the token as a time-stamp server would make it."""
    what = "its time stamp"
    signed_data, signer_info, carried = one_signer(token, what)
    content = signed_data["encap_content_info"]
    if content["content_type"].native != "tst_info":
        raise BadSignature(f"{what} is no RFC 3161 time-stamp token")
    info = content["content"].parsed
    time = info["gen_time"].native.astimezone(timezone.utc)
    if not between[0] <= time <= between[1]:
        raise BadSignature(f"{what} says {time:%Y-%m-%dT%H:%M:%SZ}, before the signing or after now")
    tsa = chain(carried, signer_info["sid"].chosen, time, "time_stamping", what, trusted)
    digest_name = signer_info["digest_algorithm"]["algorithm"].native
    if digest_name not in STAMP_DIGESTS:
        raise BadSignature(f"{what} uses the digest {escaped(digest_name)}")
    rebuilt_info = _stamp_info(info, stamped, tsa.signer)
    attributes = signed_attributes(signer_info, what)
    essential = _signing_certificate(attributes, tsa.signer)
    timed = ["signing_time"] if "signing_time" in attributes else []
    names = ["content_type", "message_digest", essential[0]] + timed
    expect(attributes, names, what)
    signed = [
        ("content_type", "tst_info"),
        ("message_digest", hashlib.new(digest_name, rebuilt_info.dump()).digest()),
        essential,
    ] + [(name, cms_time(attributes[name].native)) for name in timed]
    rebuilt_signer = new_signer_info(tsa.signer, digest_name, signed, signer_info["signature"].native)
    verify_rsa(tsa.signer, rebuilt_signer["signature"], rebuilt_signer["signed_attrs"].dump(), digest_name, what)
    rebuilt = new_signed_data("v3", digest_name, {"content_type": "tst_info", "content": rebuilt_info},
                           certificate_set(tsa.certificates, False), rebuilt_signer)
    return Stamp(time, tsa), rebuilt
