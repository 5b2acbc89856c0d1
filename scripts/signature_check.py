"""What a release's Authenticode signature may hold, checked with asn1crypto
(the structure) and cryptography (the arithmetic). The signature is the one
part of a release that no rebuild makes again, so it is held to exactly the
bytes that signing makes: from the fields checked here alone (this
executable's digest, the signer's chain, the signed attributes that the
release command has osslsigncode write, the signature value and at most one
RFC 3161 time stamp) the one SignedData that osslsigncode would write is
built again in DER, and the signature must be those bytes.
"""

import hashlib
from datetime import datetime, timezone

from asn1crypto import cms, core, tsp, x509

import authenticode
import signature_types as spc
from shown import escaped
from signature_chain import MOST_CERTIFICATES, BadSignature, chain, verify_rsa

PROGRAM_NAME = "loclistfix"
SIGNING_DIGEST = "sha256"
STAMP_DIGESTS = ("sha256", "sha384", "sha512")
# The executable's flags (signed) tell which osslsigncode signed, and so how
# it ordered the certificates (not signed).
OSSLSIGNCODE_2_9_FLAGS = (1,)
# RFC 3161 leaves a token's serial number and nonce up to 160 and 64 bits
# wide, and a policy a short OID; anything wider is room for a payload.
LONGEST_NUMBER_BITS, LONGEST_POLICY = 160, 64


class Stamp:
    def __init__(self, time, tsa_chain):
        self.time, self.chain = time, tsa_chain


class Signer:
    """A checked signature: its signer's chain and its time stamp, if any."""

    def __init__(self, signer_chain, stamp):
        self.chain, self.stamp = signer_chain, stamp
        self.certificates = tuple(c.dump() for c in signer_chain.certificates)


def _time(moment):
    """A CMS Time as RFC 5652 has it: UTCTime up to 2049, GeneralizedTime after."""
    return cms.Time(name="utc_time" if moment.year < 2050 else "generalized_time", value=moment)


def _digest_algorithm(name):
    return {"algorithm": name, "parameters": core.Null()}


def _one_signer(info, what):
    """The SignedData of ContentInfo INFO, its one SignerInfo, and its certificates."""
    if info["content_type"].native != "signed_data":
        raise BadSignature(f"{what} is no PKCS#7 SignedData")
    signed_data = info["content"]
    if len(signed_data["signer_infos"]) != 1:
        raise BadSignature(f"{what} has {len(signed_data['signer_infos'])} signers, not one")
    if not isinstance(signed_data["crls"], core.Void):
        raise BadSignature(f"{what} carries revocation lists")
    if len(signed_data["certificates"]) > MOST_CERTIFICATES:
        raise BadSignature(f"{what} carries {len(signed_data['certificates'])} certificates, "
                           f"more than the {MOST_CERTIFICATES} a chain may have")
    carried = []
    for choice in signed_data["certificates"]:
        if choice.name != "certificate":
            raise BadSignature(f"{what} carries a {escaped(choice.name)} besides certificates")
        carried.append(choice.chosen)
    signer_info = signed_data["signer_infos"][0]
    if signer_info["sid"].name != "issuer_and_serial_number":
        raise BadSignature(f"{what} names its signer by key identifier, which signing never does")
    return signed_data, signer_info, carried


def _attributes(signer_info, what):
    """The signed attributes, by name, each with its one value."""
    attributes = {}
    for attribute in signer_info["signed_attrs"]:
        name = attribute["type"].native
        if name in attributes or len(attribute["values"]) != 1:
            raise BadSignature(f"{what} signs its {escaped(name)} twice")
        attributes[name] = attribute["values"][0]
    return attributes


def _expect(attributes, names, what):
    if set(attributes) != set(names):
        extra = sorted(set(attributes) - set(names)) or sorted(set(names) - set(attributes))
        raise BadSignature(f"{what} does not sign what signing signs ({escaped(', '.join(extra))})")


def _signer_info(certificate, digest_name, attributes, signature):
    return {
        "version": "v1",
        "sid": cms.SignerIdentifier(name="issuer_and_serial_number", value={
            "issuer": certificate.issuer, "serial_number": certificate.serial_number}),
        "digest_algorithm": _digest_algorithm(digest_name),
        "signed_attrs": cms.CMSAttributes([{"type": t, "values": [v]} for t, v in attributes]),
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15", "parameters": core.Null()},
        "signature": signature,
    }


class _CertificatesInChainOrder(cms.CertificateSet):
    """Certificates in the order given, as OpenSSL's PKCS#7 writes them:
    osslsigncode 2.5 the signer's and then the key file's, which must be the
    chain's; a time-stamp server the signer's and then its chain."""

    def _set_contents(self, force=False):
        self._contents = b"".join(child.dump(force=force) for child in self)
        self._header = None


def _certificates(chain_order, sorted_as_set):
    """CHAIN_ORDER's certificates, sorted as DER sorts a set where
    SORTED_AS_SET (osslsigncode 2.9 sorts them), else in the chain's order.
    Either way their order is not left to whoever holds the signature."""
    choices = [cms.CertificateChoices(name="certificate", value=c) for c in chain_order]
    return cms.CertificateSet(choices) if sorted_as_set else _CertificatesInChainOrder(choices)


def _signed_data(version, digest_name, content, certificates, signer_info):
    return cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": version,
        "digest_algorithms": [_digest_algorithm(digest_name)],
        "encap_content_info": content,
        "certificates": certificates,
        "signer_infos": [signer_info],
    }})


def _difference(published, rebuilt, path=""):
    """Where PUBLISHED, a parsed value, first differs from REBUILT, the same
    type built anew: the innermost field that holds the difference."""
    children = []
    try:
        if isinstance(published, core.Choice):
            children = [(path, published.chosen, rebuilt.chosen)] if published.name == rebuilt.name else []
        elif isinstance(published, core.Sequence):
            children = [(f"{path}.{name}" if path else name, published[name], rebuilt[name]) for name, *_ in published._fields]
        elif isinstance(published, (core.SequenceOf, core.SetOf)) and len(published) == len(rebuilt):
            children = [(f"{path}[{n}]", mine, theirs) for n, (mine, theirs) in enumerate(zip(published, rebuilt))]
        elif isinstance(published, core.ParsableOctetString) and published.parsed is not None:
            children = [(path, published.parsed, rebuilt.parsed)]
    except (ValueError, TypeError, KeyError):
        children = []
    for where, mine, theirs in children:
        if mine.dump() != theirs.dump():
            return _difference(mine, theirs, where)
    return path


def _canonical(published, rebuilt, what):
    """PUBLISHED (DER) is REBUILT (a ContentInfo), byte for byte."""
    made = rebuilt.dump()
    if made != published:
        field = _difference(cms.ContentInfo.load(published), cms.ContentInfo.load(made))
        raise BadSignature(f"{what} is not as signing makes it: its {field or 'encoding'} differs")


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
    fields = {
        "version": "v1",
        "policy": policy if len(policy) <= LONGEST_POLICY else "0",
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


def _time_stamp(token, stamped, earliest):
    """The Stamp of TOKEN, an RFC 3161 token over STAMPED made no earlier
    than EARLIEST; and the token as a time-stamp server would make it."""
    what = "its time stamp"
    signed_data, signer_info, carried = _one_signer(token, what)
    content = signed_data["encap_content_info"]
    if content["content_type"].native != "tst_info":
        raise BadSignature(f"{what} is no RFC 3161 time-stamp token")
    info = content["content"].parsed
    time = info["gen_time"].native.astimezone(timezone.utc)
    if not earliest <= time <= datetime.now(timezone.utc):
        raise BadSignature(f"{what} says {time:%Y-%m-%dT%H:%M:%SZ}, before the signing or after now")
    tsa = chain(carried, signer_info["sid"].chosen, (time, time), "time_stamping", what)
    digest_name = signer_info["digest_algorithm"]["algorithm"].native
    if digest_name not in STAMP_DIGESTS:
        raise BadSignature(f"{what} uses the digest {escaped(digest_name)}")
    rebuilt_info = _stamp_info(info, stamped, tsa.signer)
    attributes = _attributes(signer_info, what)
    essential = _signing_certificate(attributes, tsa.signer)
    names = ["content_type", "message_digest", essential[0]] + (["signing_time"] if "signing_time" in attributes else [])
    _expect(attributes, names, what)
    signed = [
        ("content_type", "tst_info"),
        ("message_digest", hashlib.new(digest_name, rebuilt_info.dump()).digest()),
        essential,
    ] + ([("signing_time", _time(attributes["signing_time"].native))] if "signing_time" in attributes else [])
    rebuilt_signer = _signer_info(tsa.signer, digest_name, signed, signer_info["signature"].native)
    verify_rsa(tsa.signer, rebuilt_signer["signature"], rebuilt_signer["signed_attrs"].dump(), digest_name, what)
    rebuilt = _signed_data("v3", digest_name, {"content_type": "tst_info", "content": rebuilt_info},
                           _certificates(tsa.certificates, False), rebuilt_signer)
    return Stamp(time, tsa), rebuilt


def _indirect_data(exe, flags):
    """The SpcIndirectDataContent that osslsigncode signs for EXE: 2.5 sets
    no flag, 2.9 the first, so FLAGS is that of the signature in hand."""
    if flags not in ((), OSSLSIGNCODE_2_9_FLAGS):
        raise BadSignature("its executable's flags are none that osslsigncode writes")
    obsolete = spc.SpcLink(name="file", value=spc.SpcString(name="unicode", value="<<<Obsolete>>>"))
    return spc.SpcIndirectDataContent({
        "data": {"type": spc.SPC_PE_IMAGE_DATA, "value": {"flags": flags, "file": obsolete}},
        "message_digest": {"digest_algorithm": _digest_algorithm(SIGNING_DIGEST),
                           "digest": authenticode.digest(exe, SIGNING_DIGEST)},
    })


def _opus_info(value):
    """The program name and web address that signing.sh has osslsigncode
    sign, built again; the address is one that signing.sh takes."""
    info = {"program_name": spc.SpcString(name="ascii", value=PROGRAM_NAME)}
    more = value["more_info"]
    if not isinstance(more, core.Void):
        url = more.chosen.native if more.name == "url" else ""
        authority = url.split("//", 1)[-1].split("/", 1)[0]
        if not url.startswith(("http://", "https://")) or "@" in authority or not url.isprintable() or len(url) > 2000:
            raise BadSignature("it signs a web address that the release command would not")
        info["more_info"] = spc.SpcLink(name="url", value=url)
    return info


def check(der, exe, epoch):
    """The Signer of DER, an Authenticode signature of EXE (unsigned) made
    by the release command with the signing time EPOCH (seconds)."""
    try:
        return _check(der, exe, datetime.fromtimestamp(int(epoch), timezone.utc))
    except BadSignature:
        raise
    except RecursionError:
        raise BadSignature("it is nested deeper than any signature") from None
    except Exception:  # pylint: disable=broad-except # whatever the parsers make of forged bytes
        raise BadSignature("it is no well-formed Authenticode signature") from None


def _check(der, exe, signing_time):
    what = "it"
    signed_data, signer_info, carried = _one_signer(cms.ContentInfo.load(der, strict=True), what)
    content = signed_data["encap_content_info"]
    if content["content_type"].dotted != spc.SPC_INDIRECT_DATA:
        raise BadSignature("it signs no executable's digest")
    indirect_flags = content["content"]["data"]["value"]["flags"].native
    indirect = _indirect_data(exe, indirect_flags)
    carried_digest = content["content"]["message_digest"]
    if carried_digest["digest"].native != indirect["message_digest"]["digest"].native:
        raise BadSignature("it is the signature of another file")
    if signer_info["digest_algorithm"]["algorithm"].native != SIGNING_DIGEST:
        raise BadSignature(f"it uses a digest other than {SIGNING_DIGEST}, which the release command signs with")
    attributes = _attributes(signer_info, what)
    _expect(attributes, ["content_type", "signing_time", "spc_statement_type", "spc_sp_opus_info", "message_digest"], what)
    if attributes["signing_time"].native != signing_time:
        raise BadSignature(f"its signing time is not {signing_time:%Y-%m-%dT%H:%M:%SZ}, BUILDINFO's Source-Date-Epoch")
    signed = [
        ("content_type", spc.SPC_INDIRECT_DATA),
        ("signing_time", _time(signing_time)),
        ("spc_statement_type", [spc.INDIVIDUAL_CODE_SIGNING]),
        ("spc_sp_opus_info", _opus_info(attributes["spc_sp_opus_info"])),
        ("message_digest", hashlib.new(SIGNING_DIGEST, indirect.contents).digest()),
    ]
    signature = signer_info["signature"].native
    unsigned = signer_info["unsigned_attrs"]
    stamp, token = None, None
    if not isinstance(unsigned, core.Void):
        others = [a["type"].dotted for a in unsigned if a["type"].native != "rfc3161_time_stamp"]
        if others:
            raise BadSignature(f"it carries an unauthenticated attribute ({escaped(others[0])}) besides a time stamp")
        if len(unsigned) != 1 or len(unsigned[0]["values"]) != 1:
            raise BadSignature("it carries more than one time stamp")
        stamp, token = _time_stamp(unsigned[0]["values"][0], signature, signing_time)
    # Without a time stamp, the signature was made some time between the
    # commit and now, and the chain must have been valid at some moment then.
    when = (stamp.time, stamp.time) if stamp else (signing_time, datetime.now(timezone.utc))
    signer_chain = chain(carried, signer_info["sid"].chosen, when, "code_signing", what)
    rebuilt_signer = _signer_info(signer_chain.signer, SIGNING_DIGEST, signed, signature)
    verify_rsa(signer_chain.signer, signature, rebuilt_signer["signed_attrs"].dump(),
               SIGNING_DIGEST, "its signature")
    if token is not None:
        rebuilt_signer["unsigned_attrs"] = [{"type": "rfc3161_time_stamp", "values": [token]}]
    rebuilt = _signed_data("v1", SIGNING_DIGEST, {"content_type": spc.SPC_INDIRECT_DATA, "content": indirect},
                           _certificates(signer_chain.certificates, indirect_flags == OSSLSIGNCODE_2_9_FLAGS), rebuilt_signer)
    _canonical(der, rebuilt, what)
    return Signer(signer_chain, stamp)
