"""The CMS structures that osslsigncode and time-stamp servers write, read
and built again with asn1crypto: a signature is taken only once it is the
very bytes built again from its checked fields, and where it is not, the
field that differs is named.
"""

from asn1crypto import cms, core

from shown import escaped
from signature_chain import MOST_CERTIFICATES, BadSignature


def cms_time(moment):
    """A CMS Time as RFC 5652 has it: UTCTime up to 2049, GeneralizedTime after."""
    return cms.Time(name="utc_time" if moment.year < 2050 else "generalized_time", value=moment)


def digest_algorithm(name):
    return {"algorithm": name, "parameters": core.Null()}


def one_signer(info, what):
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


def signed_attributes(signer_info, what):
    """The signed attributes, by name, each with its one value."""
    attributes = {}
    for attribute in signer_info["signed_attrs"]:
        name = attribute["type"].native
        if name in attributes or len(attribute["values"]) != 1:
            raise BadSignature(f"{what} signs its {escaped(name)} twice")
        attributes[name] = attribute["values"][0]
    return attributes


def expect(attributes, names, what):
    if set(attributes) != set(names):
        extra = sorted(set(attributes) - set(names)) or sorted(set(names) - set(attributes))
        raise BadSignature(f"{what} does not sign what signing signs ({escaped(', '.join(extra))})")


def new_signer_info(certificate, digest_name, attributes, signature):
    return {
        "version": "v1",
        "sid": cms.SignerIdentifier(name="issuer_and_serial_number", value={
            "issuer": certificate.issuer, "serial_number": certificate.serial_number}),
        "digest_algorithm": digest_algorithm(digest_name),
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


def certificate_set(chain_order, sorted_as_set):
    """CHAIN_ORDER's certificates, sorted as DER sorts a set where
    SORTED_AS_SET (osslsigncode 2.9 sorts them), else in the chain's order.
    Either way their order is not left to whoever holds the signature."""
    choices = [cms.CertificateChoices(name="certificate", value=c) for c in chain_order]
    return cms.CertificateSet(choices) if sorted_as_set else _CertificatesInChainOrder(choices)


def new_signed_data(version, digest_name, content, certificates, signer_info):
    return cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": version,
        "digest_algorithms": [digest_algorithm(digest_name)],
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
            children = [(f"{path}.{name}" if path else name, published[name], rebuilt[name])
                        for name, *_ in published._fields]
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


def canonical(published, rebuilt, what):
    """PUBLISHED (DER) is REBUILT (a ContentInfo), byte for byte."""
    made = rebuilt.dump()
    if made != published:
        field = _difference(cms.ContentInfo.load(published), cms.ContentInfo.load(made))
        raise BadSignature(f"{what} is not as signing makes it: its {field or 'encoding'} differs")
