// The layout of a zip of signed results, read by one strict rule so that
// every unzipper, whether it walks the central directory or the local
// headers, sees the same files:
//   - the local headers are packed from offset 0, one per central record,
//     in the central directory's order, each followed by its data and
//     nothing else; the central directory follows the last entry's data and
//     the end record (after the zip64 end record and locator, when there are
//     those) ends the file, with no comment;
//   - each local header repeats its central record's name, flags, method,
//     CRC and sizes; no data descriptors, no encryption, no entry comments;
//   - each entry is a regular file (MS-DOS or Unix attributes) with a plain
//     file name, used once even compared as Windows compares names;
//   - extra fields only of the kinds writers add for ordinary files, and
//     zip64 fields only where a size or offset needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A name longer than this is refused: no file system takes it as one name.
constexpr size_t MAX_ZIP_NAME = 255;

// Sizes and offsets from here up may use zip64 fields: some writers switch
// to them early, guessing an entry's packed size from its file's.
constexpr uint64_t ZIP64_FROM = 0x70000000;

struct ZipEntry {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;  // 0 stored, 8 deflated
  uint32_t crc = 0;
  uint32_t externalAttributes = 0;
  uint64_t packedSize = 0;
  uint64_t size = 0;
  uint64_t headerOffset = 0;
  uint64_t dataOffset = 0;
};

// Reads `length` bytes at `offset` of the zip; false when they cannot be.
using ZipReader = std::function<bool(uint64_t offset, uint8_t* bytes, size_t length)>;

// How much a zip may unpack to: each entry at most `entry` bytes, all of
// them together at most `total`.
struct ZipCaps {
  uint64_t entry = 0;
  uint64_t total = 0;
};

// Reads the layout of a zip of `fileSize` bytes that must hold exactly
// `expectedEntries` entries, unpacking to no more than `caps` allow. The
// count is checked from the end record before anything else is read, so a
// flood of entries costs nothing; the central directory is then at most a
// few hundred bytes per entry. An empty text with `entries` filled, else
// the fault.
std::string readZipLayout(uint64_t fileSize, const ZipReader& read, size_t expectedEntries,
                          const ZipCaps& caps, std::vector<ZipEntry>& entries);

// Why `name` is not a plain file name for an entry, or an empty text.
std::string zipNameFault(const std::string& name, bool utf8);
