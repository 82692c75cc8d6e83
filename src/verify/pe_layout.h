// Where a PE file keeps what Authenticode hashes around: the CheckSum field,
// the certificate-table entry of the data directory and the table itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The headers must lie within this many bytes of the file's start; every
// linker puts them within the first few hundred.
constexpr size_t PE_HEAD_LIMIT = 64 * 1024;

// The size to give readPeLayout while a file is still arriving: the table's
// place is then taken as the header states it.
constexpr uint64_t PE_SIZE_UNKNOWN = ~uint64_t{0};

// Little-endian fields, as every PE and certificate-table field is stored.
inline uint16_t littleEndian16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | at[1] << 8);
}
inline uint32_t littleEndian32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

struct PeLayout {
  bool pe32Plus = false;
  uint64_t fileSize = 0;
  uint64_t checkSumOffset = 0;
  uint64_t tableEntryOffset = 0;  // the 8-byte certificate-table entry
  uint64_t tableOffset = 0;       // 0 and 0 when the file has no table
  uint64_t tableSize = 0;

  bool hasTable() const { return tableSize != 0; }
};

// Reads the layout from `head`, the first min(fileSize, PE_HEAD_LIMIT) bytes
// of a file of `fileSize` bytes. Returns an empty text when the file is a
// well-formed PE, else why it is not. A table, when there is one, ends the file.
std::string readPeLayout(const uint8_t* head, size_t headLength, uint64_t fileSize,
                         PeLayout& layout);

struct ByteRange {
  uint64_t from = 0;
  uint64_t to = 0;  // one past the last byte
};

// What the Authenticode digest covers: three ranges of the file, which leave
// out CheckSum, the table entry and the table, then zero bytes up to a
// multiple of 8, as a signer pads a file before it appends the table.
struct DigestPlan {
  ByteRange ranges[3];
  uint32_t zeroPadding = 0;
};

DigestPlan digestPlanOf(const PeLayout& layout);
