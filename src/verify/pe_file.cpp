#include "verify/pe_file.h"

#include <algorithm>

#include "platform/files.h"
#include "verify/cert_table.h"

namespace {

constexpr uint32_t READ_BLOCK = 256 * 1024;

// Reads exactly `count` bytes at `offset`.
bool readAt(int file, uint64_t offset, uint8_t* into, size_t count) {
  if (!seekFile(file, static_cast<int64_t>(offset))) return false;
  while (count > 0) {
    uint32_t want = static_cast<uint32_t>(std::min<size_t>(count, READ_BLOCK));
    int64_t got = readFile(file, into, want);
    if (got <= 0) return false;
    into += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

struct OpenFile {
  int descriptor = -1;
  explicit OpenFile(const std::string& path) : descriptor(openFileForReading(path)) {}
  ~OpenFile() {
    if (descriptor != -1) closeFile(descriptor);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
};

}  // namespace

std::string readPeFileLayout(const std::string& path, PeLayout& layout) {
  OpenFile file(path);
  uint64_t size = probeSize(path);
  if (file.descriptor == -1 || size == SIZE_UNKNOWN) return "it cannot be read";
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, PE_HEAD_LIMIT)));
  if (!readAt(file.descriptor, 0, head.data(), head.size())) return "it cannot be read";
  return readPeLayout(head.data(), head.size(), size, layout);
}

bool digestPeFile(const std::string& path, const PeLayout& layout,
                  const std::vector<DigestKind>& kinds, std::vector<std::string>& digests) {
  OpenFile file(path);
  if (file.descriptor == -1 || probeSize(path) != layout.fileSize) return false;
  std::vector<Digest> running;
  for (DigestKind kind : kinds) {
    running.emplace_back(kind);
    if (!running.back().ok()) return false;
  }
  std::vector<uint8_t> block(READ_BLOCK);
  const DigestPlan plan = digestPlanOf(layout);
  for (const ByteRange& range : plan.ranges) {
    for (uint64_t at = range.from; at < range.to;) {
      size_t count = static_cast<size_t>(std::min<uint64_t>(range.to - at, block.size()));
      if (!readAt(file.descriptor, at, block.data(), count)) return false;
      for (Digest& digest : running) digest.update(block.data(), count);
      at += count;
    }
  }
  const uint8_t zeros[8] = {};
  digests.clear();
  for (Digest& digest : running) {
    digest.update(zeros, plan.zeroPadding);
    digests.push_back(digest.finish());
    if (digests.back().empty()) return false;
  }
  return true;
}

std::string readCertificateTable(const std::string& path, const PeLayout& layout,
                                 std::vector<uint8_t>& table) {
  if (!layout.hasTable()) return "it holds no signature";
  if (layout.tableOffset % 8 != 0)
    return "its certificate table does not start on an 8-byte boundary";
  if (layout.tableSize > MAX_CERTIFICATE_TABLE) return "its certificate table is too large";
  OpenFile file(path);
  table.resize(static_cast<size_t>(layout.tableSize));
  if (file.descriptor == -1 || probeSize(path) != layout.fileSize ||
      !readAt(file.descriptor, layout.tableOffset, table.data(), table.size()))
    return "it cannot be read";
  return "";
}
