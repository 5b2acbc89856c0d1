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

from asn1crypto import cms, core

import authenticode
import signature_types as spc
from shown import escaped
from signature_chain import BadSignature, chain, verify_rsa
from signature_cms import (canonical, certificate_set, cms_time, digest_algorithm, expect, new_signed_data,
                           new_signer_info, one_signer, signed_attributes)
from signature_stamp import time_stamp

PROGRAM_NAME = "loclistfix"
SIGNING_DIGEST = "sha256"
# The executable's flags (signed) tell which osslsigncode signed, and so how
# it ordered the certificates (not signed).
OSSLSIGNCODE_2_9_FLAGS = (1,)


class Signer:
    """A checked signature: its signer's chain and its time stamp, if any."""

    def __init__(self, signer_chain, stamp):
        self.chain, self.stamp = signer_chain, stamp
        self.certificates = tuple(c.dump() for c in signer_chain.certificates)


def _indirect_data(exe, flags):
    """The SpcIndirectDataContent that osslsigncode signs for EXE: 2.5 sets
    no flag, 2.9 the first, so FLAGS is that of the signature in hand."""
    if flags not in ((), OSSLSIGNCODE_2_9_FLAGS):
        raise BadSignature("its executable's flags are none that osslsigncode writes")
    obsolete = spc.SpcLink(name="file", value=spc.SpcString(name="unicode", value="<<<Obsolete>>>"))
    return spc.SpcIndirectDataContent({
        "data": {"type": spc.SPC_PE_IMAGE_DATA, "value": {"flags": flags, "file": obsolete}},
        "message_digest": {"digest_algorithm": digest_algorithm(SIGNING_DIGEST),
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


def check(der, exe, epoch, trusted=(), now=None):
    """The Signer of DER, an Authenticode signature of EXE (unsigned) made
    by the release command with the signing time EPOCH (seconds), checked
    at NOW (this moment unless given), TRUSTED (CA certificates) the
    issuers that the caller supplies."""
    try:
        return _check(der, exe, datetime.fromtimestamp(int(epoch), timezone.utc), tuple(trusted),
                      now or datetime.now(timezone.utc))
    except BadSignature:
        raise
    except RecursionError:
        raise BadSignature("it is nested deeper than any signature") from None
    except Exception:  # pylint: disable=broad-except # whatever the parsers make of forged bytes
        raise BadSignature("it is no well-formed Authenticode signature") from None


def _check(der, exe, signing_time, trusted, now):
    what = "it"
    signed_data, signer_info, carried = one_signer(cms.ContentInfo.load(der, strict=True), what)
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
    attributes = signed_attributes(signer_info, what)
    expect(attributes, ["content_type", "signing_time", "spc_statement_type", "spc_sp_opus_info", "message_digest"],
           what)
    if attributes["signing_time"].native != signing_time:
        raise BadSignature(f"its signing time is not {signing_time:%Y-%m-%dT%H:%M:%SZ}, BUILDINFO's Source-Date-Epoch")
    signed = [
        ("content_type", spc.SPC_INDIRECT_DATA),
        ("signing_time", cms_time(signing_time)),
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
        stamp, token = time_stamp(unsigned[0]["values"][0], signature, (signing_time, now), trusted)
    # A time stamp proves when the chain signed, and it must have been valid
    # then; without one, nothing says when, so it must be valid now.
    signer_chain = chain(carried, signer_info["sid"].chosen, stamp.time if stamp else now, "code_signing", what,
                         trusted)
    rebuilt_signer = new_signer_info(signer_chain.signer, SIGNING_DIGEST, signed, signature)
    verify_rsa(signer_chain.signer, signature, rebuilt_signer["signed_attrs"].dump(), SIGNING_DIGEST, "its signature")
    if token is not None:
        rebuilt_signer["unsigned_attrs"] = [{"type": "rfc3161_time_stamp", "values": [token]}]
    certificates = certificate_set(signer_chain.certificates, indirect_flags == OSSLSIGNCODE_2_9_FLAGS)
    content = {"content_type": spc.SPC_INDIRECT_DATA, "content": indirect}
    rebuilt = new_signed_data("v1", SIGNING_DIGEST, content, certificates, rebuilt_signer)
    canonical(der, rebuilt, what)
    return Signer(signer_chain, stamp)
