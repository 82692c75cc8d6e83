// Zips of gigabytes, held as their headers with zeros between: the zip64
// forms a writer uses for them are read, and refused where nothing needs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "verify/zip_layout.h"

namespace {

constexpr uint32_t SATURATED = 0xFFFFFFFF;

struct Bytes {
  std::vector<uint8_t> data;
  Bytes& number(uint64_t value, int size) {
    for (int i = 0; i < size; ++i) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Bytes& u16(uint64_t value) { return number(value, 2); }
  Bytes& u32(uint64_t value) { return number(value, 4); }
  Bytes& u64(uint64_t value) { return number(value, 8); }
  Bytes& text(const std::string& value) {
    data.insert(data.end(), value.begin(), value.end());
    return *this;
  }
  Bytes& bytes(const Bytes& more) {
    data.insert(data.end(), more.data.begin(), more.data.end());
    return *this;
  }
};

// The zip's headers at their offsets; every other byte reads as zero.
struct SparseZip {
  std::map<uint64_t, std::vector<uint8_t>> pieces;
  uint64_t size = 0;

  uint64_t append(const Bytes& bytes) {
    const uint64_t at = size;
    pieces[at] = bytes.data;
    size += bytes.data.size();
    return at;
  }
  ZipReader reader() const {
    return [this](uint64_t offset, uint8_t* out, size_t length) {
      if (offset > size || size - offset < length) return false;
      std::memset(out, 0, length);
      for (const auto& piece : pieces) {
        const uint64_t from = std::max(offset, piece.first);
        const uint64_t to = std::min(offset + length, piece.first + piece.second.size());
        if (from < to)
          std::memcpy(out + (from - offset), piece.second.data() + (from - piece.first),
                      static_cast<size_t>(to - from));
      }
      return true;
    };
  }
};

// Two stored entries, the first of `firstSize` bytes, written as Python's
// zipfile writes them: zip64 fields for sizes and offsets past 2 GiB - 1,
// and a zip64 end record once the directory lies past it.
// A zip64 end record for the two entries of a central directory of
// `directorySize` bytes at `directory`.
Bytes zip64EndRecord(uint64_t directorySize, uint64_t directory) {
  return Bytes()
      .u32(0x06064b50)
      .u64(44)
      .u16(0x031E)
      .u16(45)
      .u32(0)
      .u32(0)
      .u64(2)
      .u64(2)
      .u64(directorySize)
      .u64(directory);
}

SparseZip twoEntries(uint64_t firstSize) {
  const uint64_t limit = 0x7FFFFFFF;
  SparseZip zip;
  const std::vector<std::pair<std::string, uint64_t>> entries = {{"a.exe", firstSize},
                                                                 {"b.exe", 100}};
  std::vector<uint64_t> offsets;
  for (const auto& entry : entries) {
    const bool wide = entry.second > limit;
    Bytes extra;
    if (wide) extra.u16(1).u16(16).u64(entry.second).u64(entry.second);
    Bytes local;
    local.u32(0x04034b50).u16(wide ? 45 : 20).u16(0).u16(0).u16(0).u16(0x21).u32(0);
    local.u32(wide ? SATURATED : entry.second).u32(wide ? SATURATED : entry.second);
    local.u16(entry.first.size()).u16(extra.data.size()).text(entry.first).bytes(extra);
    offsets.push_back(zip.append(local));
    zip.size += entry.second;  // the data: zeros
  }
  const uint64_t directory = zip.size;
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint64_t size = entries[i].second;
    const bool wideSize = size > limit;
    const bool wideOffset = offsets[i] > limit;
    Bytes extra;
    if (wideSize) extra.u64(size).u64(size);
    if (wideOffset) extra.u64(offsets[i]);
    Bytes record;
    record.u32(0x02014b50).u16(0x031E).u16(wideSize || wideOffset ? 45 : 20).u16(0).u16(0);
    record.u16(0).u16(0x21).u32(0);
    record.u32(wideSize ? SATURATED : size).u32(wideSize ? SATURATED : size);
    record.u16(entries[i].first.size()).u16(extra.data.empty() ? 0 : extra.data.size() + 4);
    record.u16(0).u16(0).u16(0).u32(0100644u << 16).u32(wideOffset ? SATURATED : offsets[i]);
    record.text(entries[i].first);
    if (!extra.data.empty()) record.u16(1).u16(extra.data.size()).bytes(extra);
    zip.append(record);
  }
  const uint64_t directorySize = zip.size - directory;
  if (directory > limit) {
    const uint64_t record = zip.size;
    zip.append(zip64EndRecord(directorySize, directory));
    zip.append(Bytes().u32(0x07064b50).u32(0).u64(record).u32(1));
  }
  zip.append(Bytes()
                 .u32(0x06054b50)
                 .u16(0)
                 .u16(0)
                 .u16(2)
                 .u16(2)
                 .u32(directorySize)
                 .u32(std::min<uint64_t>(directory, SATURATED))
                 .u16(0));
  return zip;
}

uint64_t littleEndian(const SparseZip& zip, uint64_t at) {
  uint8_t bytes[4] = {};
  EXPECT_TRUE(zip.reader()(at, bytes, sizeof bytes));
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint64_t>(bytes[3]) << 24;
}

std::string layoutFault(const SparseZip& zip, std::vector<ZipEntry>& entries) {
  const ZipCaps caps{uint64_t{8} << 30, uint64_t{16} << 30};
  return readZipLayout(zip.size, zip.reader(), 2, caps, entries);
}

}  // namespace

TEST(ZipLayout, Zip64FieldsAreReadWhereSizesAndOffsetsNeedThem) {
  for (uint64_t firstSize : {uint64_t{0x80000000}, uint64_t{0x100000000} + 3}) {
    SCOPED_TRACE(firstSize);
    std::vector<ZipEntry> entries;
    ASSERT_EQ(layoutFault(twoEntries(firstSize), entries), "");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].size, firstSize);
    EXPECT_EQ(entries[0].dataOffset, 30u + 5 + 20);
    EXPECT_EQ(entries[1].headerOffset, 30u + 5 + 20 + firstSize);
    EXPECT_EQ(entries[1].dataOffset, entries[1].headerOffset + 30 + 5);
  }
}

TEST(ZipLayout, Zip64WhereNoSizeNeedsItIsRefused) {
  // The same shapes made by hand below the threshold: a zip64 end record
  // and a widened offset for a zip of a few bytes.
  SparseZip zip = twoEntries(100);
  std::vector<ZipEntry> entries;
  ASSERT_EQ(layoutFault(zip, entries), "");
  const uint64_t end = zip.size - 22;
  const uint64_t directorySize = littleEndian(zip, end + 12);
  const uint64_t directory = littleEndian(zip, end + 16);
  zip.pieces.erase(end);
  zip.size = end;
  const uint64_t record = zip.append(zip64EndRecord(directorySize, directory));
  zip.append(Bytes().u32(0x07064b50).u32(0).u64(record).u32(1));
  zip.append(
      Bytes().u32(0x06054b50).u16(0).u16(0).u16(2).u16(2).u32(directorySize).u32(directory).u16(0));
  EXPECT_EQ(layoutFault(zip, entries), "it uses zip64 where no size needs it");
}
