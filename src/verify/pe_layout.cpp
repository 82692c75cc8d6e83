#include "verify/pe_layout.h"

#include <algorithm>

namespace {

constexpr uint16_t PE32_MAGIC = 0x10B;
constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr uint32_t TABLE_ENTRY_INDEX = 4;
constexpr size_t NEW_HEADER_POINTER = 0x3C;
// PE signature and file header before the optional header.
constexpr size_t OPTIONAL_HEADER_START = 24;
constexpr size_t CHECKSUM_FIELD = 64;
constexpr size_t SIZE_OF_HEADERS_FIELD = 60;
constexpr size_t SECTION_HEADER = 40;

// Where the headers and every section's raw data end: a certificate table
// must start at or after it, so that no byte of code is left out of the
// digest. False when the section table does not lie within `head`.
bool endOfImage(const uint8_t* head, size_t headLength, uint64_t peStart, uint64_t optional,
                uint64_t& end) {
  const uint16_t sections = littleEndian16(head + peStart + 6);
  const uint64_t table = optional + littleEndian16(head + peStart + 20);
  if (table + uint64_t{SECTION_HEADER} * sections > headLength) return false;
  end = littleEndian32(head + optional + SIZE_OF_HEADERS_FIELD);
  for (uint16_t i = 0; i < sections; ++i) {
    const uint8_t* section = head + table + SECTION_HEADER * i;
    const uint64_t rawSize = littleEndian32(section + 16);
    if (rawSize != 0) end = std::max(end, littleEndian32(section + 20) + rawSize);
  }
  return true;
}

}  // namespace

std::string readPeLayout(const uint8_t* head, size_t headLength, uint64_t fileSize,
                         PeLayout& layout) {
  if (headLength > fileSize) headLength = static_cast<size_t>(fileSize);
  if (headLength < 2 || head[0] != 'M' || head[1] != 'Z') return "no MZ header";
  if (headLength < NEW_HEADER_POINTER + 4) return "it is too short to be a PE file";
  const uint64_t peStart = littleEndian32(head + NEW_HEADER_POINTER);
  const uint64_t optional = peStart + OPTIONAL_HEADER_START;
  if (optional + 2 > headLength) return "no PE header within the first 64 KiB";
  if (littleEndian32(head + peStart) != 0x00004550) return "no PE signature";
  const uint16_t optionalSize = littleEndian16(head + peStart + 20);
  const uint16_t magic = littleEndian16(head + optional);
  if (magic != PE32_MAGIC && magic != PE32_PLUS_MAGIC)
    return "neither a PE32 nor a PE32+ optional header";
  const bool plus = magic == PE32_PLUS_MAGIC;
  const uint64_t directoryCountField = optional + (plus ? 108 : 92);
  const uint64_t directories = directoryCountField + 4;
  const uint64_t entry = directories + 8 * TABLE_ENTRY_INDEX;
  if (entry + 8 > optional + optionalSize || entry + 8 > headLength)
    return "no certificate-table entry in the optional header";
  if (littleEndian32(head + directoryCountField) <= TABLE_ENTRY_INDEX)
    return "no certificate-table entry in the optional header";

  PeLayout found;
  found.pe32Plus = plus;
  found.fileSize = fileSize;
  found.checkSumOffset = optional + CHECKSUM_FIELD;
  found.tableEntryOffset = entry;
  // Unlike the other directories, this one holds a file offset.
  found.tableOffset = littleEndian32(head + entry);
  found.tableSize = littleEndian32(head + entry + 4);
  if (found.tableSize == 0) {
    found.tableOffset = 0;
  } else if (found.tableOffset < entry + 8 ||
             (fileSize != PE_SIZE_UNKNOWN &&
              (found.tableOffset > fileSize || found.tableSize != fileSize - found.tableOffset))) {
    return "its certificate table is not at the end of the file";
  } else {
    uint64_t imageEnd = 0;
    if (!endOfImage(head, headLength, peStart, optional, imageEnd))
      return "no section table within the first 64 KiB";
    if (found.tableOffset < imageEnd)
      return "its certificate table overlaps the headers or a section";
  }
  layout = found;
  return "";
}

DigestPlan digestPlanOf(const PeLayout& layout) {
  const uint64_t end = layout.hasTable() ? layout.tableOffset : layout.fileSize;
  DigestPlan plan;
  plan.ranges[0] = {0, layout.checkSumOffset};
  plan.ranges[1] = {layout.checkSumOffset + 4, layout.tableEntryOffset};
  plan.ranges[2] = {layout.tableEntryOffset + 8, end};
  plan.zeroPadding = static_cast<uint32_t>((8 - end % 8) % 8);
  return plan;
}
