#include "verify/signed_data.h"

#include "verify/der.h"

namespace {

constexpr int MAX_NESTING = 4;

std::string oidOf(const DerItem& item) {
  return std::string(reinterpret_cast<const char*>(item.value), item.length);
}

// AlgorithmIdentifier: the algorithm's OID, parameters ignored.
bool readDigestAlgorithm(const DerItem& identifier, DigestKind& kind) {
  DerReader reader(identifier);
  DerItem algorithm;
  return identifier.tag == DER_SEQUENCE && reader.next(algorithm, DER_OBJECT_ID) &&
         digestKindOf(oidOf(algorithm), kind);
}

// SpcIndirectDataContent ::= SEQUENCE { data, messageDigest DigestInfo }
bool readIndirectData(const DerItem& indirect, SignatureFacts& facts) {
  DerReader reader(indirect);
  DerItem data;
  DerItem digestInfo;
  if (!reader.next(data, DER_SEQUENCE) || !reader.next(digestInfo, DER_SEQUENCE)) return false;
  DerReader info(digestInfo);
  DerItem algorithm;
  DerItem digest;
  if (!info.next(algorithm) || !readDigestAlgorithm(algorithm, facts.fileDigestKind) ||
      !info.next(digest, DER_OCTET_STRING) || !info.atEnd())
    return false;
  if (digest.length != digestSize(facts.fileDigestKind)) return false;
  facts.fileDigest.assign(reinterpret_cast<const char*>(digest.value), digest.length);
  facts.content = indirect.value;
  facts.contentLength = indirect.length;
  return true;
}

// Calls `visit` with each attribute's type and its SET of values.
template <typename Visit>
bool forEachAttribute(const DerItem& attributes, Visit visit) {
  DerReader reader(attributes);
  while (!reader.atEnd()) {
    DerItem attribute;
    DerItem type;
    DerItem values;
    if (!reader.next(attribute, DER_SEQUENCE)) return false;
    DerReader fields(attribute);
    if (!fields.next(type, DER_OBJECT_ID) || !fields.next(values, DER_SET)) return false;
    if (!visit(type, values)) return false;
  }
  return true;
}

struct SignerInfoFacts {
  DerItem unsignedAttributes;
  bool hasUnsigned = false;
};

std::string readSignerInfo(const DerItem& signerInfo, SignatureFacts& facts,
                           SignerInfoFacts& extra) {
  DerReader reader(signerInfo);
  DerItem version;
  DerItem signerId;
  DerItem algorithm;
  DerItem signedAttributes;
  DerItem signatureAlgorithm;
  DerItem signature;
  if (!reader.next(version, DER_INTEGER) || !reader.next(signerId) || !reader.next(algorithm) ||
      !readDigestAlgorithm(algorithm, facts.signerDigestKind))
    return "its signer names no digest algorithm this agent knows";
  if (!reader.nextIf(signedAttributes, DER_CONTEXT_0)) return "its signer signed no attributes";
  if (!reader.next(signatureAlgorithm, DER_SEQUENCE) || !reader.next(signature, DER_OCTET_STRING))
    return "its signer information is malformed";
  extra.hasUnsigned = reader.nextIf(extra.unsignedAttributes, DER_CONTEXT_1);
  if (!reader.atEnd()) return "its signer information is malformed";
  bool seen = false;
  bool wellFormed =
      forEachAttribute(signedAttributes, [&](const DerItem& type, const DerItem& values) {
        if (!type.isOid(oid::MESSAGE_DIGEST)) return true;
        DerReader valueReader(values);
        DerItem digest;
        if (seen || !valueReader.next(digest, DER_OCTET_STRING) || !valueReader.atEnd())
          return false;
        facts.messageDigest.assign(reinterpret_cast<const char*>(digest.value), digest.length);
        seen = true;
        return true;
      });
  if (!wellFormed || !seen) return "its signed attributes hold no single message digest";
  return "";
}

std::string readSignature(const uint8_t* der, size_t length, std::vector<SignatureFacts>& found,
                          int depth) {
  if (found.size() >= MAX_SIGNATURES) return "it holds too many signatures";
  SignatureFacts facts;
  DerReader top(der, der + length);
  DerItem contentInfo;
  DerItem type;
  DerItem explicitContent;
  DerItem signedData;
  if (!top.next(contentInfo, DER_SEQUENCE) || !top.atEnd()) return "it is not one DER item";
  facts.der = contentInfo.start;
  facts.derLength = contentInfo.encodedLength;
  DerReader info(contentInfo);
  if (!info.next(type) || !type.isOid(oid::SIGNED_DATA) ||
      !info.next(explicitContent, DER_CONTEXT_0) || !info.atEnd())
    return "it is not PKCS#7 SignedData";
  DerReader content(explicitContent);
  if (!content.next(signedData, DER_SEQUENCE) || !content.atEnd())
    return "it is not PKCS#7 SignedData";

  DerReader fields(signedData);
  DerItem version;
  DerItem algorithms;
  DerItem encapsulated;
  DerItem certificates;
  DerItem crls;
  DerItem signerInfos;
  if (!fields.next(version, DER_INTEGER) || !fields.next(algorithms, DER_SET) ||
      !fields.next(encapsulated, DER_SEQUENCE))
    return "its SignedData is malformed";
  fields.nextIf(certificates, DER_CONTEXT_0);
  fields.nextIf(crls, DER_CONTEXT_1);
  if (!fields.next(signerInfos, DER_SET) || !fields.atEnd()) return "its SignedData is malformed";

  DerReader inner(encapsulated);
  DerItem innerType;
  DerItem innerExplicit;
  DerItem indirect;
  if (!inner.next(innerType) || !innerType.isOid(oid::SPC_INDIRECT_DATA))
    return "it does not sign a file digest (no SpcIndirectDataContent)";
  if (!inner.next(innerExplicit, DER_CONTEXT_0) || !inner.atEnd())
    return "its SpcIndirectDataContent is missing";
  DerReader indirectReader(innerExplicit);
  if (!indirectReader.next(indirect, DER_SEQUENCE) || !indirectReader.atEnd() ||
      !readIndirectData(indirect, facts))
    return "its SpcIndirectDataContent names no digest this agent knows";

  DerReader signers(signerInfos);
  DerItem signerInfo;
  if (!signers.next(signerInfo, DER_SEQUENCE) || !signers.atEnd())
    return "it does not hold exactly one signer";
  SignerInfoFacts extra;
  std::string fault = readSignerInfo(signerInfo, facts, extra);
  if (!fault.empty()) return fault;
  found.push_back(facts);

  if (!extra.hasUnsigned) return "";
  std::string nestedFault;
  bool wellFormed = forEachAttribute(
      extra.unsignedAttributes, [&](const DerItem& attrType, const DerItem& values) {
        if (!attrType.isOid(oid::NESTED_SIGNATURE)) return true;
        if (depth >= MAX_NESTING) {
          nestedFault = "its signatures nest too deep";
          return false;
        }
        DerReader nested(values);
        DerItem one;
        while (!nested.atEnd()) {
          if (!nested.next(one, DER_SEQUENCE)) return false;
          nestedFault = readSignature(one.start, one.encodedLength, found, depth + 1);
          if (!nestedFault.empty()) return false;
        }
        return true;
      });
  if (!nestedFault.empty()) return nestedFault;
  if (!wellFormed) return "its unsigned attributes are malformed";
  return "";
}

}  // namespace

std::string collectSignatures(const uint8_t* der, size_t length,
                              std::vector<SignatureFacts>& found) {
  return readSignature(der, length, found, 0);
}

bool digestKindOf(const std::string& oidOctets, DigestKind& kind) {
  if (oidOctets == oid::SHA1)
    kind = DigestKind::Sha1;
  else if (oidOctets == oid::SHA256)
    kind = DigestKind::Sha256;
  else if (oidOctets == oid::SHA384)
    kind = DigestKind::Sha384;
  else if (oidOctets == oid::SHA512)
    kind = DigestKind::Sha512;
  else
    return false;
  return true;
}

size_t digestSize(DigestKind kind) {
  switch (kind) {
    case DigestKind::Sha1:
      return 20;
    case DigestKind::Sha256:
      return 32;
    case DigestKind::Sha384:
      return 48;
    case DigestKind::Sha512:
      return 64;
  }
  return 0;
}

const char* digestName(DigestKind kind) {
  switch (kind) {
    case DigestKind::Sha1:
      return "SHA-1";
    case DigestKind::Sha256:
      return "SHA-256";
    case DigestKind::Sha384:
      return "SHA-384";
    case DigestKind::Sha512:
      return "SHA-512";
  }
  return "?";
}
