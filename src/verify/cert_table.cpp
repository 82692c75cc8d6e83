#include "verify/cert_table.h"

#include "verify/der.h"
#include "verify/pe_layout.h"

namespace {

constexpr uint16_t REVISION_2 = 0x0200;
constexpr uint16_t TYPE_PKCS_SIGNED_DATA = 0x0002;
constexpr size_t ENTRY_HEADER = 8;
constexpr size_t MAX_PADDING = 7;

std::string entryFault(size_t index, const char* what) {
  return "certificate table entry " + std::to_string(index + 1) + " " + what;
}

}  // namespace

std::string walkCertificateTable(const uint8_t* table, size_t size,
                                 std::vector<TableEntry>& entries) {
  entries.clear();
  size_t at = 0;
  while (at < size) {
    const size_t index = entries.size();
    if (size - at < ENTRY_HEADER) return entryFault(index, "is cut short");
    const uint32_t length = littleEndian32(table + at);
    const uint16_t revision = littleEndian16(table + at + 4);
    const uint16_t type = littleEndian16(table + at + 6);
    if (length < ENTRY_HEADER || length > size - at)
      return entryFault(index, "has a length outside the table");
    if (revision != REVISION_2) return entryFault(index, "is not of revision 0x0200");
    if (type != TYPE_PKCS_SIGNED_DATA) return entryFault(index, "is not PKCS_SIGNED_DATA");
    DerReader reader(table + at + ENTRY_HEADER, table + at + length);
    DerItem signature;
    if (!reader.next(signature, DER_SEQUENCE)) return entryFault(index, "holds no DER signature");
    // The zero bytes that bring the next entry, or the table's end, to an
    // 8-byte boundary may lie inside the entry's length or after it.
    const size_t derEnd = static_cast<size_t>(signature.end() - table);
    size_t next = (at + length + 7) / 8 * 8;
    if (next > size) next = size;
    if (next - derEnd > MAX_PADDING)
      return entryFault(index, "holds more than 7 bytes after its signature");
    for (size_t pad = derEnd; pad < next; ++pad)
      if (table[pad] != 0) return entryFault(index, "holds other bytes after its signature");
    if (next % 8 != 0) return entryFault(index, "does not end on an 8-byte boundary");
    entries.push_back({at + ENTRY_HEADER, signature.encodedLength});
    at = next;
  }
  if (entries.empty()) return "the certificate table is empty";
  return "";
}
