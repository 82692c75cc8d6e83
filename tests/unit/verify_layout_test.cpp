#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/digest.h"
#include "scratch_dir.h"
#include "verify/cert_table.h"
#include "verify/der.h"
#include "verify/pe_file.h"
#include "verify/pe_layout.h"
#include "verify/stream_digest.h"

namespace {

void put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The headers of a PE file of `fileSize` bytes, with the PE header at 0x80.
struct Headers {
  bool plus = true;
  uint32_t peStart = 0x80;
  uint16_t optionalSize = 0;  // 0: the full size for the magic
  uint16_t magic = 0;         // 0: as `plus` says
  uint32_t directories = 16;
  uint32_t tableOffset = 0;
  uint32_t tableSize = 0;
  bool peSignature = true;

  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> head(peStart + 0x200);
    head[0] = 'M';
    head[1] = 'Z';
    put32(head, 0x3C, peStart);
    std::memcpy(head.data() + peStart, peSignature ? "PE\0\0" : "PE\0\1", 4);
    put16(head, peStart + 20, optionalSize ? optionalSize : (plus ? 240 : 224));
    const size_t optional = peStart + 24;
    put16(head, optional, magic ? magic : (plus ? 0x20B : 0x10B));
    put32(head, optional + (plus ? 108 : 92), directories);
    const size_t entry = optional + (plus ? 144 : 128);
    put32(head, entry, tableOffset);
    put32(head, entry + 4, tableSize);
    return head;
  }
};

std::string layoutFault(const Headers& headers, uint64_t fileSize, PeLayout* out = nullptr) {
  std::vector<uint8_t> head = headers.bytes();
  PeLayout layout;
  std::string fault =
      readPeLayout(head.data(), std::min(head.size(), PE_HEAD_LIMIT), fileSize, layout);
  if (out) *out = layout;
  return fault;
}

}  // namespace

TEST(PeLayout, ASignedFileIsHashedUpToItsTable) {
  Headers headers;
  headers.tableOffset = 0x1008;
  headers.tableSize = 0x300;
  PeLayout layout;
  ASSERT_EQ(layoutFault(headers, 0x1308, &layout), "");
  EXPECT_TRUE(layout.hasTable());
  DigestPlan plan = digestPlanOf(layout);
  EXPECT_EQ(plan.ranges[2].to, 0x1008u);
  EXPECT_EQ(plan.zeroPadding, 0u);
}

TEST(PeLayout, RefusesWhatIsNotAWellFormedPe) {
  struct Case {
    const char* what;
    Headers headers;
    uint64_t fileSize;
    const char* fault;
  };
  Headers noPe;
  noPe.peSignature = false;
  Headers beyondHead;
  beyondHead.peStart = 0x10000;
  Headers romImage;
  romImage.magic = 0x107;
  Headers fewDirectories;
  fewDirectories.directories = 4;
  Headers shortOptional;
  shortOptional.optionalSize = 112 + 32;
  Headers tableInside;
  tableInside.tableOffset = 0x800;
  tableInside.tableSize = 0x100;
  Headers tableBeyond;
  tableBeyond.tableOffset = 0x1000;
  tableBeyond.tableSize = 0x2000;
  Headers tableOverHeaders;
  tableOverHeaders.tableOffset = 0x40;
  tableOverHeaders.tableSize = 0x1000 - 0x40;
  const Case cases[] = {
      {"no PE signature", noPe, 0x20000, "no PE signature"},
      {"header past the first 64 KiB", beyondHead, 0x20000, "no PE header within the first 64 KiB"},
      {"file shorter than its header", Headers(), 0x90, "no PE header within the first 64 KiB"},
      {"ROM image", romImage, 0x1000, "neither a PE32 nor a PE32+ optional header"},
      {"four directories", fewDirectories, 0x1000,
       "no certificate-table entry in the optional header"},
      {"optional header ends before the entry", shortOptional, 0x1000,
       "no certificate-table entry in the optional header"},
      {"table followed by data", tableInside, 0x1000,
       "its certificate table is not at the end of the file"},
      {"table past the end", tableBeyond, 0x1000,
       "its certificate table is not at the end of the file"},
      {"table over the headers", tableOverHeaders, 0x1000,
       "its certificate table is not at the end of the file"},
  };
  for (const Case& c : cases) EXPECT_EQ(layoutFault(c.headers, c.fileSize), c.fault) << c.what;

  std::vector<uint8_t> text = {'Z', 'M'};
  text.resize(0x200);
  PeLayout layout;
  EXPECT_EQ(readPeLayout(text.data(), text.size(), text.size(), layout), "no MZ header");
  EXPECT_EQ(readPeLayout(text.data(), 2, 2, layout), "no MZ header");
}

namespace {

// One WIN_CERTIFICATE: the header with `length` (0: header plus DER plus
// `padInside`), a DER SEQUENCE of `derBody` bytes, `padInside` zero bytes,
// then `after` (outside the length).
std::vector<uint8_t> entry(size_t derBody, size_t padInside, std::vector<uint8_t> after = {},
                           uint16_t revision = 0x0200, uint16_t type = 2, uint32_t length = 0) {
  std::vector<uint8_t> bytes;
  bytes.reserve(16 + derBody + padInside + after.size());
  bytes.assign(8, 0);
  bytes.push_back(DER_SEQUENCE);
  if (derBody < 0x80) {
    bytes.push_back(static_cast<uint8_t>(derBody));
  } else {
    bytes.push_back(0x82);
    bytes.push_back(static_cast<uint8_t>(derBody >> 8));
    bytes.push_back(static_cast<uint8_t>(derBody));
  }
  bytes.insert(bytes.end(), derBody, 0x55);
  bytes.insert(bytes.end(), padInside, 0);
  put32(bytes, 0, length ? length : static_cast<uint32_t>(bytes.size()));
  put16(bytes, 4, revision);
  put16(bytes, 6, type);
  bytes.insert(bytes.end(), after.begin(), after.end());
  return bytes;
}

std::vector<uint8_t> joined(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace

TEST(CertificateTable, WalksWellFormedEntries) {
  struct Case {
    const char* what;
    std::vector<uint8_t> table;
    size_t entries;
    size_t firstDerLength;
  };
  const Case cases[] = {
      // 8 + 2 + 6 = 16: no padding needed.
      {"aligned DER", entry(6, 0), 1, 8},
      {"padding inside the length", entry(3, 3), 1, 5},
      {"padding after the length", entry(3, 0, {0, 0, 0}), 1, 5},
      {"seven zero bytes", entry(7, 7), 1, 9},
      {"long DER length", entry(0x123, 1), 1, 0x127},
      {"two entries", joined({entry(3, 3), entry(6, 0)}), 2, 5},
  };
  for (const Case& c : cases) {
    std::vector<TableEntry> entries;
    ASSERT_EQ(walkCertificateTable(c.table.data(), c.table.size(), entries), "") << c.what;
    EXPECT_EQ(entries.size(), c.entries) << c.what;
    EXPECT_EQ(entries[0].derOffset, 8u) << c.what;
    EXPECT_EQ(entries[0].derLength, c.firstDerLength) << c.what;
  }
}

TEST(CertificateTable, RefusesHiddenBytesAndForeignEntries) {
  struct Case {
    const char* what;
    std::vector<uint8_t> table;
    const char* fault;
  };
  const Case cases[] = {
      {"empty", {}, "the certificate table is empty"},
      {"byte hidden after the DER", entry(3, 2, {0x01}),
       "certificate table entry 1 holds other bytes after its signature"},
      {"eight zero bytes after the DER", entry(6, 8),
       "certificate table entry 1 holds more than 7 bytes after its signature"},
      {"sixteen bytes hidden in the entry", entry(6, 16),
       "certificate table entry 1 holds more than 7 bytes after its signature"},
      {"revision 1", entry(6, 0, {}, 0x0100),
       "certificate table entry 1 is not of revision 0x0200"},
      {"X.509 type", entry(6, 0, {}, 0x0200, 1),
       "certificate table entry 1 is not PKCS_SIGNED_DATA"},
      {"length below the header", entry(6, 0, {}, 0x0200, 2, 4),
       "certificate table entry 1 has a length outside the table"},
      {"length beyond the table", entry(6, 0, {}, 0x0200, 2, 24),
       "certificate table entry 1 has a length outside the table"},
      {"DER longer than the entry", entry(6, 0, {}, 0x0200, 2, 12),
       "certificate table entry 1 holds no DER signature"},
      {"bogus second entry", joined({entry(6, 0), std::vector<uint8_t>(16, 0)}),
       "certificate table entry 2 has a length outside the table"},
      {"four stray bytes", joined({entry(6, 0), std::vector<uint8_t>(4, 0)}),
       "certificate table entry 2 is cut short"},
      {"table not a multiple of 8", entry(3, 0),
       "certificate table entry 1 does not end on an 8-byte boundary"},
  };
  for (const Case& c : cases) {
    std::vector<TableEntry> entries;
    EXPECT_EQ(walkCertificateTable(c.table.data(), c.table.size(), entries), c.fault) << c.what;
  }
}

TEST(Der, ReadsDefiniteLengthsOnly) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool readable;
    size_t length;
  };
  const Case cases[] = {
      {"short form", {0x30, 0x01, 0x00}, true, 1},
      {"long form", {0x04, 0x81, 0x80}, false, 0},  // announces 128, holds none
      {"not the shortest form", {0x04, 0x81, 0x05, 1, 2, 3, 4, 5}, false, 0},
      {"leading zero length byte", {0x04, 0x82, 0x00, 0x90}, false, 0},
      {"indefinite", {0x30, 0x80, 0x00, 0x00}, false, 0},
      {"five length bytes", {0x04, 0x85, 1, 0, 0, 0, 0}, false, 0},
      {"high tag number", {0x1F, 0x81, 0x01, 0x00}, false, 0},
      {"cut short", {0x30, 0x03, 0x00}, false, 0},
      {"just a tag", {0x30}, false, 0},
  };
  for (const Case& c : cases) {
    DerReader reader(c.bytes.data(), c.bytes.data() + c.bytes.size());
    DerItem item;
    EXPECT_EQ(reader.next(item), c.readable) << c.what;
    if (c.readable) {
      EXPECT_EQ(item.length, c.length) << c.what;
    } else {
      EXPECT_EQ(reader.at, c.bytes.data()) << c.what;
    }
  }
  std::vector<uint8_t> longForm(3 + 0x80, 0);
  longForm[0] = 0x04;
  longForm[1] = 0x81;
  longForm[2] = 0x80;
  DerReader reader(longForm.data(), longForm.data() + longForm.size());
  DerItem item;
  ASSERT_TRUE(reader.next(item, DER_OCTET_STRING));
  EXPECT_EQ(item.length, 0x80u);
  EXPECT_TRUE(reader.atEnd());
}

namespace {

// Bytes of a PE file of `size` bytes, headers as `headers` gives them, the
// rest a pattern that differs at every offset.
std::vector<uint8_t> peFileBytes(const Headers& headers, size_t size) {
  std::vector<uint8_t> bytes = headers.bytes();
  size_t headerEnd = bytes.size();
  bytes.resize(size);
  for (size_t at = headerEnd; at < size; ++at) bytes[at] = static_cast<uint8_t>(at * 7 + at / 251);
  return bytes;
}

// The digest of `bytes` as the layout plans it.
std::string plannedDigest(const std::vector<uint8_t>& bytes, const PeLayout& layout) {
  const DigestPlan plan = digestPlanOf(layout);
  Digest digest(DigestKind::Sha256);
  for (const ByteRange& range : plan.ranges)
    digest.update(bytes.data() + range.from, static_cast<size_t>(range.to - range.from));
  const uint8_t zeros[8] = {};
  digest.update(zeros, plan.zeroPadding);
  return digest.finish();
}

}  // namespace

// Each byte of a file changed in turn: the digest must stay the same for
// exactly the CheckSum field (64 bytes into the optional header) and the
// certificate-table entry (the fifth data directory, after 96 bytes of a
// PE32 or 112 of a PE32+ optional header), and change for every other.
TEST(PeLayout, TheDigestLeavesOutExactlyCheckSumAndTheTableEntry) {
  for (bool plus : {false, true}) {
    for (uint32_t peStart : {0x40u, 0x80u, 0x1F8u}) {
      Headers headers;
      headers.plus = plus;
      headers.peStart = peStart;
      std::vector<uint8_t> bytes = peFileBytes(headers, peStart + 0x203);
      PeLayout layout;
      ASSERT_EQ(readPeLayout(bytes.data(), bytes.size(), bytes.size(), layout), "");
      const std::string original = plannedDigest(bytes, layout);
      std::vector<size_t> leftOut;
      for (size_t at = 0; at < bytes.size(); ++at) {
        bytes[at] ^= 0x01;
        if (plannedDigest(bytes, layout) == original) leftOut.push_back(at);
        bytes[at] ^= 0x01;
      }
      const size_t optional = peStart + 24;
      const size_t entry = optional + (plus ? 112 : 96) + 4 * 8;
      std::vector<size_t> expected;
      for (size_t at = optional + 64; at < optional + 68; ++at) expected.push_back(at);
      for (size_t at = entry; at < entry + 8; ++at) expected.push_back(at);
      EXPECT_EQ(leftOut, expected) << "PE32+ " << plus << " at " << peStart;
      // A signer pads the file to a multiple of 8 before it hashes it.
      std::vector<uint8_t> padded = bytes;
      padded.resize((bytes.size() + 7) / 8 * 8, 0);
      PeLayout paddedLayout;
      ASSERT_EQ(readPeLayout(padded.data(), padded.size(), padded.size(), paddedLayout), "");
      EXPECT_EQ(plannedDigest(padded, paddedLayout), original);
    }
  }
}

// An input signed before, whose table does not lie after its headers and
// sections, would leave code out of the digest.
TEST(PeLayout, ATableMustLieAfterTheHeadersAndEverySection) {
  struct Case {
    const char* what;
    uint32_t sizeOfHeaders, sectionOffset, sectionSize, tableOffset;
    const char* fault;
  } cases[] = {
      {"after the section", 0x400, 0x400, 0x200, 0x600, ""},
      {"an empty section is no section", 0x400, 0x800, 0, 0x600, ""},
      {"over the section", 0x400, 0x400, 0x200, 0x400,
       "its certificate table overlaps the headers or a section"},
      {"inside the section", 0x400, 0x400, 0x200, 0x5F8,
       "its certificate table overlaps the headers or a section"},
      {"over the headers", 0x600, 0x200, 0x200, 0x400,
       "its certificate table overlaps the headers or a section"},
  };
  for (const Case& c : cases) {
    Headers headers;
    headers.tableOffset = c.tableOffset;
    headers.tableSize = 0x800 - c.tableOffset;
    std::vector<uint8_t> head = headers.bytes();
    const size_t optional = headers.peStart + 24;
    put16(head, headers.peStart + 6, 1);
    put32(head, optional + 60, c.sizeOfHeaders);
    const size_t section = optional + 240;
    put32(head, section + 16, c.sectionSize);
    put32(head, section + 20, c.sectionOffset);
    PeLayout layout;
    EXPECT_EQ(readPeLayout(head.data(), head.size(), 0x800, layout), c.fault) << c.what;
  }
}

TEST(StreamedDigest, EqualsTheDigestOfTheFileForAnyPieceSizes) {
  Headers signedHeaders;
  signedHeaders.tableOffset = 300000;
  signedHeaders.tableSize = 2000;
  struct Case {
    const char* what;
    Headers headers;
    size_t size;
  } cases[] = {
      {"unsigned, smaller than the head", Headers(), 5003},
      {"unsigned, larger than the head", Headers(), 200001},
      {"signed, larger than the head", signedHeaders, 302000},
  };
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = peFileBytes(c.headers, c.size);
    const std::string path = scratch.path + "pe.bin";
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(c.size));
    }
    PeLayout onDisk;
    ASSERT_EQ(readPeFileLayout(path, onDisk), "") << c.what;
    std::vector<std::string> fromFile;
    ASSERT_TRUE(digestPeFile(path, onDisk, {DigestKind::Sha256}, fromFile)) << c.what;
    for (size_t piece : {size_t{1} << 20, size_t{8191}, size_t{65535}, size_t{65537}}) {
      StreamedDigest stream;
      for (size_t at = 0; at < c.size; at += piece)
        stream.take(bytes.data() + at, std::min(piece, c.size - at));
      std::string value;
      PeLayout streamed;
      ASSERT_TRUE(stream.finish(value, streamed)) << c.what << " in pieces of " << piece;
      EXPECT_EQ(value, fromFile[0]) << c.what << " in pieces of " << piece;
      EXPECT_TRUE(sameLayout(streamed, onDisk)) << c.what << " in pieces of " << piece;
    }
  }
  // A stream that is no PE yields no digest; the proof then reads the file.
  StreamedDigest html;
  html.take("<html></html>", 13);
  std::string value;
  PeLayout layout;
  EXPECT_FALSE(html.finish(value, layout));
}
