"""The Authenticode structures that asn1crypto does not know, as osslsigncode
writes them, registered with asn1crypto's CMS attributes so that a signed
attribute of these types parses to them.
"""

from asn1crypto import algos, cms, core

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
INDIVIDUAL_CODE_SIGNING = "1.3.6.1.4.1.311.2.1.21"


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", core.Any, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", SpcPeImageData)]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class SpcSpOpusInfo(core.Sequence):
    _fields = [
        ("program_name", SpcString, {"explicit": 0, "optional": True}),
        ("more_info", SpcLink, {"explicit": 1, "optional": True}),
    ]


class SpcStatementType(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class SetOfOpusInfo(core.SetOf):
    _child_spec = SpcSpOpusInfo


class SetOfStatementType(core.SetOf):
    _child_spec = SpcStatementType


cms.CMSAttributeType._map["1.3.6.1.4.1.311.2.1.12"] = "spc_sp_opus_info"
cms.CMSAttribute._oid_specs["spc_sp_opus_info"] = SetOfOpusInfo
cms.CMSAttributeType._map["1.3.6.1.4.1.311.2.1.11"] = "spc_statement_type"
cms.CMSAttribute._oid_specs["spc_statement_type"] = SetOfStatementType
cms.CMSAttributeType._map["1.3.6.1.4.1.311.3.3.1"] = "rfc3161_time_stamp"
cms.CMSAttribute._oid_specs["rfc3161_time_stamp"] = cms.SetOfContentInfo
cms.ContentType._map[SPC_INDIRECT_DATA] = "spc_indirect_data"
cms.EncapsulatedContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent
# A version 1 SignedData holds its content as PKCS#7 does, in a ContentInfo.
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent
