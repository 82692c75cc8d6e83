#include "verify/signed_data.h"

#include <algorithm>

#include "verify/der.h"

namespace {

constexpr int MAX_NESTING = 4;
// What a signature may carry besides what its signer signed: certificates
// and CRLs (each at most this many in one SignedData, each at most this
// large), a signature value (RSA keys up to 16384 bits), and the three
// unsigned attributes, each within its bound.
constexpr size_t MAX_CARRIED = 16;
constexpr size_t MAX_CARRIED_SIZE = 16 * 1024;
constexpr size_t MAX_SIGNATURE_VALUE = 2048;
constexpr size_t MAX_DIGEST_ALGORITHMS = 4;
// Attributes in one set, signed or not, and values of one attribute: a
// signer signs a handful, each with one value. A flood of tiny items would
// cost the crypto library far more memory than their bytes.
constexpr size_t MAX_ATTRIBUTES = 32;
constexpr size_t MAX_NESTED_ATTRIBUTE = 1024 * 1024;
constexpr size_t MAX_COUNTERSIGNATURE = 64 * 1024;
constexpr size_t MAX_TIME_STAMP = 256 * 1024;
// Each signed attribute of a countersigner or a time stamp authority, whose
// signatures are not checked: the value of a time, a digest, a content type
// or the hash of a certificate fits easily.
constexpr size_t MAX_UNCHECKED_ATTRIBUTE = 1024;
// A certificate serial number holds at most 20 octets, and one more for its
// sign; a subject key identifier is a digest.
constexpr size_t MAX_SERIAL = 21;
constexpr size_t MAX_KEY_IDENTIFIER = 64;
constexpr size_t MAX_TIME_STAMP_FIELD = 32;
constexpr size_t MAX_TIME_STAMP_NAME = 1024;

std::string oidOf(const DerItem& item) {
  return std::string(reinterpret_cast<const char*>(item.value), item.length);
}

bool sameBytes(const DerItem& a, const DerItem& b) {
  return a.encodedLength == b.encodedLength &&
         std::equal(a.start, a.start + a.encodedLength, b.start);
}

// A version: an INTEGER of one octet within [low, high].
bool smallInteger(const DerItem& item, uint8_t low, uint8_t high) {
  return item.tag == DER_INTEGER && item.length == 1 && item.value[0] >= low &&
         item.value[0] <= high;
}

// The parameters of an algorithm that takes none: absent, or NULL.
bool noParameters(DerReader& rest) {
  DerItem parameters;
  if (rest.atEnd()) return true;
  return rest.next(parameters, DER_NULL) && parameters.length == 0 && rest.atEnd();
}

// AlgorithmIdentifier of a digest this agent knows, without parameters.
bool readDigestAlgorithm(const DerItem& identifier, DigestKind& kind) {
  DerReader reader(identifier);
  DerItem algorithm;
  return identifier.tag == DER_SEQUENCE && reader.next(algorithm, DER_OBJECT_ID) &&
         digestKindOf(oidOf(algorithm), kind) && noParameters(reader);
}

bool isDigestAlgorithm(const DerItem& identifier) {
  DigestKind kind;
  return readDigestAlgorithm(identifier, kind);
}

// RSASSA-PSS-params: each field optional, in order, and each as the format
// defines it: the digest, MGF1 over a digest, a salt length, trailer 1.
bool isPssParameters(DerReader& rest) {
  DerItem parameters;
  if (!rest.next(parameters, DER_SEQUENCE) || !rest.atEnd()) return false;
  DerReader fields(parameters);
  DerItem field;
  DerItem inner;
  if (fields.nextIf(field, DER_CONTEXT_0)) {
    DerReader hash(field);
    if (!hash.next(inner) || !isDigestAlgorithm(inner) || !hash.atEnd()) return false;
  }
  if (fields.nextIf(field, DER_CONTEXT_1)) {
    DerReader mask(field);
    DerItem generator;
    if (!mask.next(generator, DER_SEQUENCE) || !mask.atEnd()) return false;
    DerReader mgf(generator);
    DerItem name;
    if (!mgf.next(name) || !name.isOid(oid::MGF1) || !mgf.next(inner) ||
        !isDigestAlgorithm(inner) || !mgf.atEnd())
      return false;
  }
  if (fields.nextIf(field, DER_CONTEXT_2)) {
    DerReader salt(field);
    if (!salt.next(inner, DER_INTEGER) || inner.length > 2 || !salt.atEnd()) return false;
  }
  if (fields.nextIf(field, DER_CONTEXT_3)) {
    DerReader trailer(field);
    if (!trailer.next(inner) || !smallInteger(inner, 1, 1) || !trailer.atEnd()) return false;
  }
  return fields.atEnd();
}

// AlgorithmIdentifier of a signature: RSA (PKCS #1 v1.5 or PSS) or ECDSA.
bool isSignatureAlgorithm(const DerItem& identifier) {
  static const uint8_t RSA_WITH[] = {0x05, 0x0B, 0x0C, 0x0D};  // SHA-1, -256, -384, -512
  static const std::string ECDSA_SHA1 = {0x2A, char(0x86), 0x48, char(0xCE), 0x3D, 0x04, 0x01};
  DerReader reader(identifier);
  DerItem algorithm;
  if (identifier.tag != DER_SEQUENCE || !reader.next(algorithm, DER_OBJECT_ID)) return false;
  const std::string name = oidOf(algorithm);
  if (name == oid::RSA_PSS) return isPssParameters(reader);
  bool known = name == oid::RSA_ENCRYPTION || name == oid::EC_PUBLIC_KEY || name == ECDSA_SHA1;
  for (uint8_t last : RSA_WITH)
    known = known || name == oid::RSA_ENCRYPTION.substr(0, 8) + char(last);
  // ecdsa-with-SHA256, -384 and -512: 1.2.840.10045.4.3.2 to .4.
  if (name.size() == 8 && name.compare(0, 7, ECDSA_SHA1.substr(0, 6) + char(0x03)) == 0)
    known = known || (name[7] >= 2 && name[7] <= 4);
  return known && noParameters(reader);
}

// The certificates or CRLs a SignedData carries: each a SEQUENCE of a
// to-be-signed SEQUENCE, an algorithm and a BIT STRING, bounded in number
// and size. Among certificates, attribute certificates ([1] and [2], of the
// same three fields) are let in too: Microsoft's time stamps carry one.
bool checkCarried(const DerItem& set, bool certificates) {
  DerReader reader(set);
  size_t count = 0;
  while (!reader.atEnd()) {
    DerItem carried;
    DerItem body;
    DerItem algorithm;
    DerItem signature;
    if (++count > MAX_CARRIED || !reader.next(carried) || carried.encodedLength > MAX_CARRIED_SIZE)
      return false;
    if (carried.tag != DER_SEQUENCE &&
        !(certificates && (carried.tag == DER_CONTEXT_1 || carried.tag == DER_CONTEXT_2)))
      return false;
    DerReader fields(carried);
    if (!fields.next(body, DER_SEQUENCE) || !fields.next(algorithm, DER_SEQUENCE) ||
        !fields.next(signature, DER_BIT_STRING) || !fields.atEnd())
      return false;
  }
  return true;
}

// True when the IssuerAndSerialNumber `issuer`, `serial` is that of one of
// the `certificates`, byte for byte.
bool namesCarriedCertificate(const DerItem& certificates, const DerItem& issuer,
                             const DerItem& serial) {
  DerReader reader(certificates);
  DerItem certificate;
  while (reader.next(certificate)) {
    DerReader outer(certificate);
    DerItem body;
    DerItem version;
    DerItem ownSerial;
    DerItem algorithm;
    DerItem ownIssuer;
    if (certificate.tag != DER_SEQUENCE || !outer.next(body, DER_SEQUENCE)) continue;
    DerReader fields(body);
    fields.nextIf(version, DER_CONTEXT_0);
    if (fields.next(ownSerial, DER_INTEGER) && fields.next(algorithm) &&
        fields.next(ownIssuer, DER_SEQUENCE) && sameBytes(ownSerial, serial) &&
        sameBytes(ownIssuer, issuer))
      return true;
  }
  return false;
}

// SignerIdentifier: the issuer and serial number of a carried certificate,
// or a subject key identifier.
bool checkSignerId(const DerItem& signerId, const DerItem& certificates) {
  if (signerId.tag == DER_IMPLICIT_0) return signerId.length <= MAX_KEY_IDENTIFIER;
  DerReader reader(signerId);
  DerItem issuer;
  DerItem serial;
  return signerId.tag == DER_SEQUENCE && reader.next(issuer, DER_SEQUENCE) &&
         reader.next(serial, DER_INTEGER) && serial.length <= MAX_SERIAL && reader.atEnd() &&
         namesCarriedCertificate(certificates, issuer, serial);
}

// Calls `visit` with each attribute's type, its SET of values and the whole
// attribute; each type may appear once, and a set holds at most
// MAX_ATTRIBUTES attributes, each of at most MAX_ATTRIBUTES values.
template <typename Visit>
bool forEachAttribute(const DerItem& attributes, Visit visit) {
  DerReader reader(attributes);
  std::vector<std::string> seen;
  while (!reader.atEnd()) {
    DerItem attribute;
    DerItem type;
    DerItem values;
    if (seen.size() == MAX_ATTRIBUTES || !reader.next(attribute, DER_SEQUENCE)) return false;
    DerReader fields(attribute);
    if (!fields.next(type, DER_OBJECT_ID) || !fields.next(values, DER_SET) || !fields.atEnd())
      return false;
    DerReader valueReader(values);
    DerItem value;
    for (size_t count = 0; !valueReader.atEnd(); ++count)
      if (count == MAX_ATTRIBUTES || !valueReader.next(value)) return false;
    const std::string name = oidOf(type);
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) return false;
    seen.push_back(name);
    if (!visit(type, values, attribute)) return false;
  }
  return true;
}

// The signed attributes of a signer whose signature is not checked (a
// countersigner, a time stamp authority): only the kinds such a signer
// signs, each small.
bool checkUncheckedAttributes(const DerItem& attributes) {
  static const std::string* const KNOWN[] = {
      &oid::CONTENT_TYPE,        &oid::SIGNING_TIME,           &oid::MESSAGE_DIGEST,
      &oid::SIGNING_CERTIFICATE, &oid::SIGNING_CERTIFICATE_V2, &oid::ALGORITHM_PROTECTION};
  return forEachAttribute(attributes,
                          [](const DerItem& type, const DerItem&, const DerItem& attribute) {
                            bool known = false;
                            for (const std::string* name : KNOWN)
                              known = known || type.isOid(*name);
                            return known && attribute.encodedLength <= MAX_UNCHECKED_ATTRIBUTE;
                          });
}

struct SignerParts {
  DerItem signedAttributes;
  DerItem unsignedAttributes;
  bool hasUnsigned = false;
};

// SignerInfo, field by field: a version of 1 or 3, the signer of a carried
// certificate, algorithms this agent knows without foreign parameters,
// signed attributes, a bounded signature value and, optionally, unsigned
// attributes (judged by the caller); nothing after them.
std::string readSignerInfo(const DerItem& signerInfo, const DerItem& certificates,
                           DigestKind& digestKind, SignerParts& parts) {
  DerReader reader(signerInfo);
  DerItem version;
  DerItem signerId;
  DerItem algorithm;
  DerItem signatureAlgorithm;
  DerItem signature;
  if (!reader.next(version) || !smallInteger(version, 1, 3) || version.value[0] == 2)
    return "its signer information has a version other than 1 or 3";
  if (!reader.next(signerId) || !checkSignerId(signerId, certificates))
    return "its signer is not named by a certificate it carries";
  if (!reader.next(algorithm) || !readDigestAlgorithm(algorithm, digestKind))
    return "its signer names no digest algorithm this agent knows";
  if (!reader.nextIf(parts.signedAttributes, DER_CONTEXT_0))
    return "its signer signed no attributes";
  if (!reader.next(signatureAlgorithm) || !isSignatureAlgorithm(signatureAlgorithm))
    return "its signer names no signature algorithm this agent knows";
  if (!reader.next(signature, DER_OCTET_STRING) || signature.length > MAX_SIGNATURE_VALUE)
    return "its signer information is malformed";
  parts.hasUnsigned = reader.nextIf(parts.unsignedAttributes, DER_CONTEXT_1);
  if (!reader.atEnd()) return "its signer information is malformed";
  return "";
}

struct SignedDataParts {
  DerItem contentInfo;
  DerItem encapsulated;
  DerItem certificates;  // empty when there are none
  DerItem signerInfo;
};

// ContentInfo of a SignedData with one signer, the outer fields checked:
// the content type, a small version, digest algorithms without parameters,
// carried certificates and CRLs within bounds, nothing else.
std::string readSignedDataShell(const uint8_t* der, size_t length, SignedDataParts& parts) {
  DerReader top(der, der + length);
  DerItem type;
  DerItem explicitContent;
  DerItem signedData;
  if (!top.next(parts.contentInfo, DER_SEQUENCE) || !top.atEnd()) return "it is not one DER item";
  DerReader info(parts.contentInfo);
  if (!info.next(type) || !type.isOid(oid::SIGNED_DATA) ||
      !info.next(explicitContent, DER_CONTEXT_0) || !info.atEnd())
    return "it is not PKCS#7 SignedData";
  DerReader content(explicitContent);
  if (!content.next(signedData, DER_SEQUENCE) || !content.atEnd())
    return "it is not PKCS#7 SignedData";

  DerReader fields(signedData);
  DerItem version;
  DerItem algorithms;
  DerItem crls;
  DerItem signerInfos;
  if (!fields.next(version) || !smallInteger(version, 1, 5))
    return "its SignedData has a version other than 1 to 5";
  if (!fields.next(algorithms, DER_SET)) return "its SignedData is malformed";
  DerReader each(algorithms);
  size_t count = 0;
  DerItem algorithm;
  while (!each.atEnd())
    if (++count > MAX_DIGEST_ALGORITHMS || !each.next(algorithm) || !isDigestAlgorithm(algorithm))
      return "its SignedData names a digest algorithm this agent does not know";
  if (!fields.next(parts.encapsulated, DER_SEQUENCE)) return "its SignedData is malformed";
  parts.certificates = DerItem();
  if (fields.nextIf(parts.certificates, DER_CONTEXT_0) && !checkCarried(parts.certificates, true))
    return "its certificates are malformed, too many or too large";
  if (fields.nextIf(crls, DER_CONTEXT_1) && !checkCarried(crls, false))
    return "its CRLs are malformed, too many or too large";
  if (!fields.next(signerInfos, DER_SET) || !fields.atEnd()) return "its SignedData is malformed";
  DerReader signers(signerInfos);
  if (!signers.next(parts.signerInfo, DER_SEQUENCE) || !signers.atEnd())
    return "it does not hold exactly one signer";
  return "";
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

// TSTInfo, field by field (RFC 3161), without extensions.
bool isTimeStampInfo(const DerItem& octets) {
  DerReader outer(octets);
  DerItem info;
  if (!outer.next(info, DER_SEQUENCE) || !outer.atEnd()) return false;
  DerReader fields(info);
  DerItem item;
  DerItem imprint;
  if (!fields.next(item) || !smallInteger(item, 1, 1)) return false;
  if (!fields.next(item, DER_OBJECT_ID) || item.length > MAX_TIME_STAMP_FIELD) return false;
  if (!fields.next(imprint, DER_SEQUENCE)) return false;
  DerReader imprintFields(imprint);
  if (!imprintFields.next(item) || !isDigestAlgorithm(item) ||
      !imprintFields.next(item, DER_OCTET_STRING) || item.length > 64 || !imprintFields.atEnd())
    return false;
  if (!fields.next(item, DER_INTEGER) || item.length > MAX_TIME_STAMP_FIELD) return false;
  if (!fields.next(item, DER_GENERALIZED_TIME) || item.length > MAX_TIME_STAMP_FIELD) return false;
  if (fields.nextIf(item, DER_SEQUENCE)) {  // accuracy: seconds, [0] millis, [1] micros
    DerReader accuracy(item);
    DerItem part;
    while (!accuracy.atEnd())
      if (!accuracy.next(part) || part.length > 4 ||
          (part.tag != DER_INTEGER && part.tag != DER_IMPLICIT_0 && part.tag != DER_IMPLICIT_1))
        return false;
  }
  if (fields.nextIf(item, DER_BOOLEAN) && item.length != 1) return false;
  if (fields.nextIf(item, DER_INTEGER) && item.length > MAX_TIME_STAMP_FIELD) return false;
  if (fields.nextIf(item, DER_CONTEXT_0) && item.encodedLength > MAX_TIME_STAMP_NAME) return false;
  return fields.atEnd();
}

// An RFC 3161 time-stamp token: a SignedData of a TSTInfo, one signer whose
// attributes are of the known kinds, no unsigned attributes.
bool isTimeStampToken(const DerItem& token) {
  SignedDataParts parts;
  if (!readSignedDataShell(token.start, token.encodedLength, parts).empty()) return false;
  DerReader inner(parts.encapsulated);
  DerItem type;
  DerItem explicitContent;
  DerItem octets;
  if (!inner.next(type) || !type.isOid(oid::TST_INFO) ||
      !inner.next(explicitContent, DER_CONTEXT_0) || !inner.atEnd())
    return false;
  DerReader content(explicitContent);
  if (!content.next(octets, DER_OCTET_STRING) || !content.atEnd() || !isTimeStampInfo(octets))
    return false;
  DigestKind kind;
  SignerParts signer;
  return readSignerInfo(parts.signerInfo, parts.certificates, kind, signer).empty() &&
         !signer.hasUnsigned && checkUncheckedAttributes(signer.signedAttributes);
}

// A countersignature: one SignerInfo of a certificate the signature carries,
// with signed attributes of the known kinds and no unsigned ones.
bool isCountersignature(const DerItem& values, const DerItem& certificates) {
  DerReader reader(values);
  DerItem signerInfo;
  DigestKind kind;
  SignerParts signer;
  return reader.next(signerInfo, DER_SEQUENCE) && reader.atEnd() &&
         readSignerInfo(signerInfo, certificates, kind, signer).empty() && !signer.hasUnsigned &&
         checkUncheckedAttributes(signer.signedAttributes);
}

bool isSingleTimeStamp(const DerItem& values) {
  DerReader reader(values);
  DerItem token;
  return reader.next(token, DER_SEQUENCE) && reader.atEnd() && isTimeStampToken(token);
}

std::string readSignature(const uint8_t* der, size_t length, std::vector<SignatureFacts>& found,
                          int depth) {
  if (found.size() >= MAX_SIGNATURES) return "it holds too many signatures";
  SignatureFacts facts;
  SignedDataParts parts;
  std::string fault = readSignedDataShell(der, length, parts);
  if (!fault.empty()) return fault;
  facts.der = parts.contentInfo.start;
  facts.derLength = parts.contentInfo.encodedLength;

  DerReader inner(parts.encapsulated);
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

  SignerParts signer;
  fault = readSignerInfo(parts.signerInfo, parts.certificates, facts.signerDigestKind, signer);
  if (!fault.empty()) return fault;
  bool seen = false;
  bool wellFormed = forEachAttribute(
      signer.signedAttributes, [&](const DerItem& type, const DerItem& values, const DerItem&) {
        if (!type.isOid(oid::MESSAGE_DIGEST)) return true;
        DerReader valueReader(values);
        DerItem digest;
        if (!valueReader.next(digest, DER_OCTET_STRING) || !valueReader.atEnd() ||
            digest.length != digestSize(facts.signerDigestKind))
          return false;
        facts.messageDigest.assign(reinterpret_cast<const char*>(digest.value), digest.length);
        seen = true;
        return true;
      });
  if (!wellFormed || !seen) return "its signed attributes hold no single message digest";
  // A copy of a signature proves nothing more and costs another check.
  for (const SignatureFacts& earlier : found)
    if (earlier.derLength == facts.derLength &&
        std::equal(facts.der, facts.der + facts.derLength, earlier.der))
      return "it holds the same signature twice";
  found.push_back(facts);

  if (!signer.hasUnsigned) return "";
  std::string nestedFault;
  wellFormed = forEachAttribute(
      signer.unsignedAttributes,
      [&](const DerItem& type, const DerItem& values, const DerItem& attribute) {
        const size_t size = attribute.encodedLength;
        if (type.isOid(oid::COUNTERSIGNATURE)) {
          if (size <= MAX_COUNTERSIGNATURE && isCountersignature(values, parts.certificates))
            return true;
          nestedFault = "its countersignature is malformed or too large";
          return false;
        }
        if (type.isOid(oid::TIME_STAMP_TOKEN)) {
          if (size <= MAX_TIME_STAMP && isSingleTimeStamp(values)) return true;
          nestedFault = "its time stamp is not one well-formed token";
          return false;
        }
        if (!type.isOid(oid::NESTED_SIGNATURE)) {
          nestedFault = "it carries an unsigned attribute of a kind this agent does not accept";
          return false;
        }
        if (size > MAX_NESTED_ATTRIBUTE) {
          nestedFault = "its nested signatures are too large";
          return false;
        }
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
