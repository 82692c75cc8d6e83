#include "verify/der.h"

#include <cstring>

namespace {

std::string octets(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

namespace oid {
const std::string SIGNED_DATA = octets({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02});
const std::string SPC_INDIRECT_DATA =
    octets({0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04});
const std::string NESTED_SIGNATURE =
    octets({0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x04, 0x01});
const std::string MESSAGE_DIGEST = octets({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04});
const std::string CONTENT_TYPE = octets({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03});
const std::string SHA1 = octets({0x2B, 0x0E, 0x03, 0x02, 0x1A});
const std::string SHA256 = octets({0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01});
const std::string SHA384 = octets({0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02});
const std::string SHA512 = octets({0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03});
}  // namespace oid

bool DerItem::isOid(const std::string& oid) const {
  return tag == DER_OBJECT_ID && length == oid.size() &&
         std::memcmp(value, oid.data(), length) == 0;
}

bool DerReader::next(DerItem& item) {
  const uint8_t* p = at;
  if (end - p < 2) return false;
  uint8_t tag = *p++;
  // Tag numbers above 30 take more bytes; nothing read here uses them.
  if ((tag & 0x1F) == 0x1F) return false;
  size_t length = *p++;
  if (length & 0x80) {
    size_t count = length & 0x7F;
    // Indefinite lengths are BER, not DER; four bytes of length cover
    // anything a file of ours can hold.
    if (count == 0 || count > 4 || static_cast<size_t>(end - p) < count) return false;
    if (*p == 0) return false;  // not the shortest form
    length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | *p++;
    if (length < 0x80) return false;
  }
  if (static_cast<size_t>(end - p) < length) return false;
  item.tag = tag;
  item.start = at;
  item.value = p;
  item.length = length;
  item.encodedLength = static_cast<size_t>(p - at) + length;
  at = p + length;
  return true;
}

bool DerReader::nextIf(DerItem& item, uint8_t tag) {
  if (at == end || *at != tag) return false;
  return next(item);
}
