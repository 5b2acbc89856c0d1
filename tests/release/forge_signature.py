"""Forges an executable's signature from a genuine one, the ways an attacker
without the signer's key would; keys of its own are kept in KEYS, so that
both executables of a release are forged by the same ones.

    forge_signature.py KIND GENUINE.p7s OUT.p7s KEYS

stamp        a token from a self-made time-stamp authority, dated 2001
issuer       the CA replaced by a self-made one of the same name, with a payload
digest-parameters, signer-parameters
             a payload in digestAlgorithms or the signature algorithm's parameters
impostor     re-signed by a certificate named after the genuine one and its
             fingerprint, then ESC [8m
rewritten    the leaf's subject rewritten, its CA left out
leaf-only    the CA left out, as a key file without it signs
ec           re-signed by an EC key, then (r, n - s)
crl-depth    a revocation list nested 3,000 deep
curve        the signer's key on secp112r1, which cryptography does not know
many         the CA replaced by 1,000 certificates chained by name
"""

import datetime
import hashlib
import os
import sys

from asn1crypto import algos, cms, core, keys, tsp, x509
from cryptography import x509 as crypto_x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

PAYLOAD = b"HIDDEN PAYLOAD " * 4096
# secp112r1, which OpenSSL knows and cryptography does not; its base point.
SECP112R1_GENERATOR = bytes.fromhex("04" "09487239995A5EE76B55F9C2F098" "A89CE5AF8724C0A23E0E0FF77500")
P256_ORDER = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


def key(folder, name, curve=None, bits=2048):
    """The forger's key NAME, made at its first use."""
    path = os.path.join(folder, f"{name}.key")
    if not os.path.exists(path):
        made = ec.generate_private_key(curve) if curve else rsa.generate_private_key(65537, bits)
        with open(path, "wb") as file:
            file.write(made.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    with open(path, "rb") as file:
        return serialization.load_pem_private_key(file.read(), None)


class AnyAlgorithm(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any, {"optional": True})]


def with_payload(kind, algorithm):
    """An algorithm identifier of type KIND whose parameters hold PAYLOAD."""
    return kind.load(AnyAlgorithm({"algorithm": algorithm, "parameters": core.OctetString(PAYLOAD)}).dump())


def signed_data(der):
    return cms.ContentInfo.load(der)["content"]


def wrapped(data):
    return cms.ContentInfo({"content_type": "signed_data", "content": data}).dump()


def certificates(data):
    return [choice.chosen for choice in data["certificates"]]


def with_certificates(data, chosen):
    data["certificates"] = [cms.CertificateChoices(name="certificate", value=c) for c in chosen]


def signer_of(data):
    named = data["signer_infos"][0]["sid"].chosen
    return next(c for c in certificates(data) if c.serial_number == named["serial_number"].native)


def resigned(data, private, cert):
    """DATA's signed attributes signed by PRIVATE, whose certificate CERT
    alone it then carries."""
    info = data["signer_infos"][0]
    attributes = info["signed_attrs"].untag().dump()
    if isinstance(private, rsa.RSAPrivateKey):
        info["signature"] = private.sign(attributes, padding.PKCS1v15(), hashes.SHA256())
        info["signature_algorithm"] = {"algorithm": "rsassa_pkcs1v15"}
    else:
        info["signature"] = private.sign(attributes, ec.ECDSA(hashes.SHA256()))
        info["signature_algorithm"] = {"algorithm": "sha256_ecdsa"}
    info["sid"] = cms.SignerIdentifier(name="issuer_and_serial_number",
                                       value={"issuer": cert.issuer, "serial_number": cert.serial_number})
    with_certificates(data, [cert])
    data["signer_infos"] = [info]
    return data


def stamp_chain(data, folder, when):
    """A time stamp, dated WHEN, whose CA, its issuer absent, holds a payload
    that no signature covers."""
    payload = crypto_x509.UnrecognizedExtension(crypto_x509.ObjectIdentifier("1.3.6.1.4.1.55555.2"), PAYLOAD)
    private, chain = made_chain(folder, [{"name": "loclistfix forged TSA", "usage": ExtendedKeyUsageOID.TIME_STAMPING},
                                         {"name": "loclistfix forged TSA CA", "absent_issuer": "loclistfix absent root",
                                          "extensions": [(payload, False)]}])
    return stamp(data, folder, private, chain, when)


def made_chain(folder, links):
    """A chain made to LINKS, from the signer up: each a dict of the
    certificate's name, and where they differ from a code-signing
    certificate of a 2048-bit RSA key signed with SHA-256: bits or curve (an
    EC key's), usage (the signer's extended key usage, None for none), hash,
    ca (its basic constraints: True, False, or None for none), path_length,
    extensions (a list of (extension, critical)) and absent_issuer (a name
    that no certificate holds). Each is issued by the next, the last by
    itself, all the same bytes each time: the signer's key and the chain."""
    made = [(key(folder, f"chain-{n}-{s['curve'].name if 'curve' in s else s.get('bits', 2048)}", s.get("curve"),
                 s.get("bits", 2048)),
             crypto_x509.Name([crypto_x509.NameAttribute(NameOID.COMMON_NAME, s["name"], _validate=False)]))
            for n, s in enumerate(links)]
    chain = []
    for n, link in enumerate(links):
        issuer_key, issuer = made[min(n + 1, len(made) - 1)]
        if "absent_issuer" in link:
            issuer = crypto_x509.Name([crypto_x509.NameAttribute(NameOID.COMMON_NAME, link["absent_issuer"])])
        builder = (crypto_x509.CertificateBuilder().subject_name(made[n][1]).issuer_name(issuer)
                   .public_key(made[n][0].public_key())
                   .serial_number(int.from_bytes(hashlib.sha256(link["name"].encode()).digest()[:8], "big"))
                   .not_valid_before(datetime.datetime(2000, 1, 1)).not_valid_after(datetime.datetime(2099, 1, 1)))
        if link.get("ca", n > 0) is not None:
            builder = builder.add_extension(
                crypto_x509.BasicConstraints(ca=link.get("ca", n > 0), path_length=link.get("path_length")), True)
        usage = link.get("usage", ExtendedKeyUsageOID.CODE_SIGNING) if n == 0 else None
        extensions = [(crypto_x509.ExtendedKeyUsage([usage]), False)] if usage else []
        for extension, critical in extensions + link.get("extensions", []):
            builder = builder.add_extension(extension, critical)
        signed = x509.Certificate.load(builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.DER))
        chain.append(signed if link.get("hash", "SHA256") == "SHA256" else signed_with(signed, issuer_key, link["hash"]))
    return made[0][0], chain


def signed_with(certificate, issuer_key, hash_name):
    """CERTIFICATE signed again with HASH_NAME (SHA1, say), as a forger may
    still sign: newer libraries make no such certificate themselves."""
    algorithm = algos.SignedDigestAlgorithm({"algorithm": f"{hash_name.lower()}_rsa"})
    fields = certificate["tbs_certificate"].copy()
    fields["signature"] = algorithm
    signature = issuer_key.sign(fields.dump(force=True), padding.PKCS1v15(), getattr(hashes, hash_name)())
    return x509.Certificate({"tbs_certificate": fields, "signature_algorithm": algorithm, "signature_value": signature})


def resigned_by_chain(data, folder, links, carried=None):
    """DATA re-signed by the signer of the chain made to LINKS, carrying the
    first CARRIED of its certificates (all where None)."""
    private, chain = made_chain(folder, links)
    data = resigned(data, private, chain[0])
    with_certificates(data, chain[:carried])
    return data


SELF_MADE_STAMP_TIME = datetime.datetime(2001, 9, 9, 1, 46, 40, tzinfo=datetime.timezone.utc)


def stamp(data, folder, private=None, chain=None, when=SELF_MADE_STAMP_TIME):
    """A time stamp over DATA's signature from a self-made authority."""
    if private is None:
        private, chain = made_chain(folder, [{"name": "Time-Stamp Authority", "usage": ExtendedKeyUsageOID.TIME_STAMPING}])
    cert = chain[0]
    info = data["signer_infos"][0]
    token_info = tsp.TSTInfo({
        "version": "v1", "policy": "1.2.3.4.1",
        "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                            "hashed_message": hashlib.sha256(info["signature"].native).digest()},
        "serial_number": 1, "gen_time": when,
    })
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["tst_info"]},
        {"type": "message_digest", "values": [hashlib.sha256(token_info.dump()).digest()]},
        {"type": "signing_certificate", "values": [{"certs": [{"cert_hash": hashlib.sha1(cert.dump()).digest()}]}]},
    ])
    token = cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": "v3",
        "digest_algorithms": [{"algorithm": "sha256", "parameters": core.Null()}],
        "encap_content_info": {"content_type": "tst_info", "content": token_info},
        "certificates": [cms.CertificateChoices(name="certificate", value=c) for c in chain],
        "signer_infos": [{
            "version": "v1",
            "sid": cms.SignerIdentifier(name="issuer_and_serial_number",
                                        value={"issuer": cert.issuer, "serial_number": cert.serial_number}),
            "digest_algorithm": {"algorithm": "sha256", "parameters": core.Null()},
            "signed_attrs": attributes,
            "signature_algorithm": {"algorithm": "rsassa_pkcs1v15", "parameters": core.Null()},
            "signature": private.sign(attributes.dump(), padding.PKCS1v15(), hashes.SHA256()),
        }],
    }})
    info["unsigned_attrs"] = [{"type": "1.3.6.1.4.1.311.3.3.1", "values": [token]}]
    data["signer_infos"] = [info]
    return data


def forge(kind, data, folder):
    genuine = signer_of(data)
    others = [c for c in certificates(data) if c is not genuine]
    if kind == "stamp":
        return stamp(data, folder)
    if kind == "issuer":
        payload = crypto_x509.UnrecognizedExtension(crypto_x509.ObjectIdentifier("1.3.6.1.4.1.55555.1"), PAYLOAD)
        fake = {"name": genuine.issuer.native["common_name"], "usage": None, "ca": True, "extensions": [(payload, False)]}
        with_certificates(data, [genuine, made_chain(folder, [fake])[1][0]])
    elif kind == "digest-parameters":
        data["digest_algorithms"] = [with_payload(algos.DigestAlgorithm, "2.16.840.1.101.3.4.2.1")]
    elif kind == "signer-parameters":
        info = data["signer_infos"][0]
        info["signature_algorithm"] = with_payload(algos.SignedDigestAlgorithm, "1.2.840.113549.1.1.1")
        data["signer_infos"] = [info]
    elif kind == "impostor":
        fingerprint = ":".join(f"{b:02X}" for b in hashlib.sha256(genuine.dump()).digest())
        name = crypto_x509.load_der_x509_certificate(genuine.dump()).subject.rfc4514_string()
        return resigned_by_chain(data, folder, [{"name": f"{name[3:]} (certificate SHA-256 {fingerprint})\x1b[8m"}])
    elif kind in ("rewritten", "leaf-only"):
        if kind == "rewritten":
            tbs = genuine["tbs_certificate"]
            tbs["subject"] = x509.Name.build({"common_name": "loclistfix test rewritten"})
            genuine["tbs_certificate"] = tbs
        with_certificates(data, [x509.Certificate.load(genuine.dump())])
    elif kind == "ec":
        data = resigned_by_chain(data, folder, [{"name": "EC signer", "curve": ec.SECP256R1()}])
        info = data["signer_infos"][0]
        r, s = decode_dss_signature(info["signature"].native)
        info["signature"] = encode_dss_signature(r, P256_ORDER - s)
        data["signer_infos"] = [info]
    elif kind == "crl-depth":
        nested = core.Null()
        for _ in range(3000):
            nested = core.Sequence(contents=nested.dump())
        other = {"other_rev_info_format": "1.3.6.1.4.1.55555.3", "other_rev_info": core.Any.load(nested.dump())}
        data["crls"] = [cms.RevocationInfoChoice(name="other", value=other)]
    elif kind == "curve":
        tbs = genuine["tbs_certificate"]
        tbs["subject_public_key_info"] = keys.PublicKeyInfo({
            "algorithm": {"algorithm": "ec", "parameters": keys.ECDomainParameters(name="named", value="1.3.132.0.6")},
            "public_key": SECP112R1_GENERATOR,
        })
        genuine["tbs_certificate"] = tbs
        with_certificates(data, [x509.Certificate.load(genuine.dump())] + others)
    elif kind == "many":
        chained = []
        for n in range(1000):
            cert = x509.Certificate.load(others[0].dump())
            tbs = cert["tbs_certificate"]
            if n:
                tbs["subject"] = x509.Name.build({"common_name": f"link {n}"})
            tbs["issuer"] = x509.Name.build({"common_name": f"link {n + 1}"})
            cert["tbs_certificate"] = tbs
            chained.append(x509.Certificate.load(cert.dump()))
        with_certificates(data, [genuine] + chained)
    else:
        sys.exit(f"forge_signature.py: no forgery '{kind}'")
    return data


def main(kind, genuine_path, out_path, folder):
    os.makedirs(folder, exist_ok=True)
    with open(genuine_path, "rb") as file:
        data = signed_data(file.read())
    forged = wrapped(forge(kind, data, folder))
    with open(out_path, "wb") as file:
        file.write(forged)


if __name__ == "__main__":
    main(*sys.argv[1:])
