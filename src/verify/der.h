// A small reader for DER, the encoding of signatures and certificates:
// definite lengths only, tags of one byte, nothing read past the end given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint8_t DER_BOOLEAN = 0x01;
constexpr uint8_t DER_INTEGER = 0x02;
constexpr uint8_t DER_BIT_STRING = 0x03;
constexpr uint8_t DER_OCTET_STRING = 0x04;
constexpr uint8_t DER_NULL = 0x05;
constexpr uint8_t DER_OBJECT_ID = 0x06;
constexpr uint8_t DER_UTC_TIME = 0x17;
constexpr uint8_t DER_GENERALIZED_TIME = 0x18;
constexpr uint8_t DER_SEQUENCE = 0x30;
constexpr uint8_t DER_SET = 0x31;
// Context-specific constructed tags [0] and [1].
constexpr uint8_t DER_CONTEXT_0 = 0xA0;
constexpr uint8_t DER_CONTEXT_1 = 0xA1;
constexpr uint8_t DER_CONTEXT_2 = 0xA2;
constexpr uint8_t DER_CONTEXT_3 = 0xA3;
// Context-specific primitive tags [0] and [1].
constexpr uint8_t DER_IMPLICIT_0 = 0x80;
constexpr uint8_t DER_IMPLICIT_1 = 0x81;

struct DerItem {
  uint8_t tag = 0;
  const uint8_t* start = nullptr;  // the tag byte
  const uint8_t* value = nullptr;  // the contents octets
  size_t length = 0;               // of the contents octets
  size_t encodedLength = 0;        // tag, length and contents

  const uint8_t* end() const { return value + length; }
  // True when this is an OBJECT IDENTIFIER with the contents `oid`.
  bool isOid(const std::string& oid) const;
};

// Walks the items that lie side by side in [begin, end).
struct DerReader {
  const uint8_t* at = nullptr;
  const uint8_t* end = nullptr;

  DerReader(const uint8_t* begin, const uint8_t* stop) : at(begin), end(stop) {}
  explicit DerReader(const DerItem& outer) : at(outer.value), end(outer.end()) {}

  bool atEnd() const { return at == end; }
  // Reads the next item; false, leaving the reader where it was, when the
  // bytes there are not one well-formed item.
  bool next(DerItem& item);
  // Reads the next item and requires its tag.
  bool next(DerItem& item, uint8_t tag) { return next(item) && item.tag == tag; }
  // Reads the next item only when it carries `tag`.
  bool nextIf(DerItem& item, uint8_t tag);
};

// Object identifiers as their contents octets.
namespace oid {
extern const std::string SIGNED_DATA;             // 1.2.840.113549.1.7.2
extern const std::string SPC_INDIRECT_DATA;       // 1.3.6.1.4.1.311.2.1.4
extern const std::string NESTED_SIGNATURE;        // 1.3.6.1.4.1.311.2.4.1
extern const std::string MESSAGE_DIGEST;          // 1.2.840.113549.1.9.4
extern const std::string CONTENT_TYPE;            // 1.2.840.113549.1.9.3
extern const std::string SIGNING_TIME;            // 1.2.840.113549.1.9.5
extern const std::string COUNTERSIGNATURE;        // 1.2.840.113549.1.9.6
extern const std::string TIME_STAMP_TOKEN;        // 1.3.6.1.4.1.311.3.3.1
extern const std::string TST_INFO;                // 1.2.840.113549.1.9.16.1.4
extern const std::string SIGNING_CERTIFICATE;     // 1.2.840.113549.1.9.16.2.12
extern const std::string SIGNING_CERTIFICATE_V2;  // 1.2.840.113549.1.9.16.2.47
extern const std::string ALGORITHM_PROTECTION;    // 1.2.840.113549.1.9.52
extern const std::string RSA_ENCRYPTION;          // 1.2.840.113549.1.1.1
extern const std::string RSA_PSS;                 // 1.2.840.113549.1.1.10
extern const std::string MGF1;                    // 1.2.840.113549.1.1.8
extern const std::string EC_PUBLIC_KEY;           // 1.2.840.10045.2.1
extern const std::string SHA1;                    // 1.3.14.3.2.26
extern const std::string SHA256;                  // 2.16.840.1.101.3.4.2.1
extern const std::string SHA384;                  // 2.16.840.1.101.3.4.2.2
extern const std::string SHA512;                  // 2.16.840.1.101.3.4.2.3
}  // namespace oid
