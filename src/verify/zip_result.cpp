#include "verify/zip_result.h"

#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/files.h"
#include "platform/interrupts.h"
#include "verify/cert_table.h"
#include "verify/pe_layout.h"

namespace {

constexpr uint32_t UNPACK_BLOCK = 64 * 1024;
static_assert(UNPACK_BLOCK >= PE_HEAD_LIMIT, "the first block holds a PE's headers");

// minizip reads the zip with its own stdio calls; only the opening is the
// agent's, which lets a cancelled run delete the zip while it is read.
voidpf openSharedZip(voidpf, const void* path, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  int descriptor = openFileForReading(static_cast<const char*>(path));
  if (descriptor == -1) return nullptr;
  FILE* stream = fdopen(descriptor, "rb");
  if (!stream) closeFile(descriptor);
  return stream;
}

struct ZipFile {
  unzFile handle = nullptr;
  explicit ZipFile(const std::string& path) {
    zlib_filefunc64_def functions;
    fill_fopen64_filefunc(&functions);
    functions.zopen64_file = openSharedZip;
    handle = unzOpen2_64(path.c_str(), &functions);
  }
  ~ZipFile() {
    if (handle) unzClose(handle);
  }
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;
};

struct ReadOnlyFile {
  int descriptor;
  explicit ReadOnlyFile(const std::string& path) : descriptor(openFileForReading(path)) {}
  ~ReadOnlyFile() {
    if (descriptor != -1) closeFile(descriptor);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  bool readAt(uint64_t offset, uint8_t* bytes, size_t length) const {
    if (!seekFile(descriptor, static_cast<int64_t>(offset))) return false;
    size_t done = 0;
    while (done < length) {
      int64_t got = readFile(descriptor, bytes + done, static_cast<uint32_t>(length - done));
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    return true;
  }
};

// A temporary file for one unpacked entry, deleted when it goes out of
// scope and, until then, on a cancelled run.
struct UnpackedFile {
  std::string path;
  UnpackedFile() {
    const std::string directory = tempDirectory();
    if (directory.empty() || !createTempFile(directory, "tvz", path)) path.clear();
    if (!path.empty()) deleteOnInterrupt(path);
  }
  ~UnpackedFile() {
    if (path.empty()) return;
    deleteFile(path);
    keepOnInterrupt(path);
  }
  UnpackedFile(const UnpackedFile&) = delete;
  UnpackedFile& operator=(const UnpackedFile&) = delete;
};

// minizip must read the very entry the strict walk read.
bool sameAsWalked(unzFile zip, const ZipEntry& entry) {
  unz_file_info64 info;
  char name[MAX_ZIP_NAME + 1];
  if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
    return false;
  return info.size_filename == entry.name.size() &&
         entry.name.compare(0, std::string::npos, name, info.size_filename) == 0 &&
         info.flag == entry.flags && info.compression_method == entry.method &&
         info.crc == entry.crc && info.compressed_size == entry.packedSize &&
         info.uncompressed_size == entry.size && info.external_fa == entry.externalAttributes;
}

// Collects an entry's unpacked bytes a block at a time, at most its declared
// size; the first block must show a PE's headers before anything is written.
struct EntrySink {
  const ZipEntry& entry;
  bool peHeadFirst;
  int file;
  std::vector<uint8_t> block;
  size_t filled = 0;
  uint64_t total = 0;
  uLong crc = crc32(0, nullptr, 0);

  EntrySink(const ZipEntry& walked, bool peHead, const std::string& path)
      : entry(walked), peHeadFirst(peHead), file(openFileForUpdate(path)), block(UNPACK_BLOCK) {}
  ~EntrySink() {
    if (file != -1) closeFile(file);
  }
  EntrySink(const EntrySink&) = delete;
  EntrySink& operator=(const EntrySink&) = delete;

  uint8_t* space() { return block.data() + filled; }
  uInt room() const { return static_cast<uInt>(block.size() - filled); }

  // Takes `count` bytes just placed at space(); flushes a full block.
  std::string advance(size_t count) {
    filled += count;
    total += count;
    if (total > entry.size) return "holds more bytes than it declares";
    return filled == block.size() ? flush() : "";
  }

  std::string flush() {
    if (filled == 0) return "";
    if (peHeadFirst && total == filled) {
      PeLayout layout;
      std::string notPe = readPeLayout(block.data(), filled, entry.size, layout);
      if (!notPe.empty()) return "it is not a PE file: " + notPe;
    }
    crc = crc32(crc, block.data(), static_cast<uInt>(filled));
    if (file == -1 || !writeFile(file, block.data(), static_cast<uint32_t>(filled)))
      return "cannot be unpacked into a temporary file";
    filled = 0;
    return "";
  }
};

struct Inflater {
  z_stream stream{};
  bool open = false;
  Inflater() { open = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (open) inflateEnd(&stream);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

// Unpacks the current entry into `path`. minizip hands over the packed bytes
// as they are; zlib inflates them here, because minizip's own reader stops at
// the declared size and would not see a stream that goes on past it, which
// another unzipper would unpack whole. So the stream must end exactly at the
// packed size with the declared size unpacked, and the CRC must match.
std::string unpackEntry(unzFile zip, const ZipEntry& entry, bool peHeadFirst,
                        const std::string& path) {
  int method = 0;
  int level = 0;
  if (unzOpenCurrentFile2(zip, &method, &level, 1) != UNZ_OK ||
      unzGetCurrentFileZStreamPos64(zip) != entry.dataOffset)
    return "cannot be unpacked";
  const bool deflated = method != 0;
  EntrySink sink(entry, peHeadFirst, path);
  Inflater inflater;
  std::vector<uint8_t> packed(UNPACK_BLOCK);
  bool ended = false;
  std::string fault = inflater.open ? "" : "cannot be unpacked: out of memory";
  while (fault.empty()) {
    int got = unzReadCurrentFile(zip, packed.data(), UNPACK_BLOCK);
    if (got < 0) fault = "is corrupt";
    if (got <= 0) break;
    if (!deflated) {
      for (size_t done = 0; fault.empty() && done < static_cast<size_t>(got);) {
        size_t part = std::min<size_t>(sink.room(), static_cast<size_t>(got) - done);
        std::copy(packed.data() + done, packed.data() + done + part, sink.space());
        done += part;
        fault = sink.advance(part);
      }
      continue;
    }
    z_stream& stream = inflater.stream;
    stream.next_in = packed.data();
    stream.avail_in = static_cast<uInt>(got);
    for (;;) {
      if (ended) {
        if (stream.avail_in > 0) fault = "holds bytes after the end of its packed stream";
        break;
      }
      const uInt room = sink.room();
      stream.next_out = sink.space();
      stream.avail_out = room;
      int status = inflate(&stream, Z_NO_FLUSH);
      if (status == Z_BUF_ERROR && stream.avail_in == 0) break;  // wants more input
      if (status != Z_OK && status != Z_STREAM_END) {
        fault = "is corrupt";
        break;
      }
      ended = status == Z_STREAM_END;
      // A full block may leave output inside zlib even with no input left.
      const bool full = stream.avail_out == 0;
      fault = sink.advance(room - stream.avail_out);
      if (!fault.empty() || (stream.avail_in == 0 && !full && !ended)) break;
    }
  }
  if (fault.empty() && deflated && !ended) fault = "is cut short";
  if (fault.empty()) fault = sink.flush();
  if (fault.empty() && sink.total != entry.size) fault = "is cut short";
  if (fault.empty() && sink.crc != entry.crc) fault = "fails its CRC check";
  unzCloseCurrentFile(zip);
  return fault;
}

}  // namespace

ZipCaps zipCapsFor(const std::vector<uint64_t>& inputSizes) {
  // An entry is one input plus a signature: no larger than the largest
  // input, the 7 zero bytes at most that align the table, and the largest
  // table accepted; all of them together no larger than all inputs so grown.
  const uint64_t signatureRoom = 7 + MAX_CERTIFICATE_TABLE;
  ZipCaps caps;
  for (uint64_t size : inputSizes) {
    caps.entry = std::max(caps.entry, size + signatureRoom);
    caps.total += size + signatureRoom;
  }
  return caps;
}

std::string readZipEntries(const std::string& zipPath, size_t inputCount, const ZipCaps& caps,
                           std::vector<ZipEntry>& entries) {
  std::string notZip = "the result is not a zip of the " + std::to_string(inputCount) + " inputs";
  {
    ReadOnlyFile file(zipPath);
    const uint64_t size = probeSize(zipPath);
    if (file.descriptor == -1 || size == SIZE_UNKNOWN) return notZip;
    std::string fault = readZipLayout(
        size,
        [&file](uint64_t offset, uint8_t* bytes, size_t length) {
          return file.readAt(offset, bytes, length);
        },
        inputCount, caps, entries);
    if (!fault.empty()) return notZip + ": " + fault;
  }
  ZipFile zip(zipPath);
  unz_global_info64 global;
  if (!zip.handle || unzGetGlobalInfo64(zip.handle, &global) != UNZ_OK ||
      global.number_entry != entries.size())
    return notZip;
  return "";
}

namespace {

// Unpacks entry `index` of `entries`, the zip's strict reading, into the
// existing empty file `path`.
std::string unpackWalkedEntry(unzFile zip, const std::vector<ZipEntry>& entries, size_t index,
                              bool peHeadFirst, const std::string& path) {
  const ZipEntry& entry = entries[index];
  // The strict walk let no control character into a name.
  const std::string label = "zip entry " + std::to_string(index + 1) + " (" + entry.name + ")";
  if (!sameAsWalked(zip, entry)) return label + " is corrupt";
  std::string fault = unpackEntry(zip, entry, peHeadFirst, path);
  return fault.empty() ? fault : std::string(label).append(": ").append(fault);
}

}  // namespace

std::string unpackZipEntry(const std::string& zipPath, const std::vector<ZipEntry>& entries,
                           size_t index, const std::string& path) {
  ZipFile zip(zipPath);
  int step = zip.handle ? unzGoToFirstFile(zip.handle) : UNZ_BADZIPFILE;
  for (size_t skipped = 0; step == UNZ_OK && skipped < index; ++skipped)
    step = unzGoToNextFile(zip.handle);
  if (step != UNZ_OK) return "the result zip has changed since it was read";
  return unpackWalkedEntry(zip.handle, entries, index, false, path);
}

std::string proveZipEntries(const std::string& zipPath, size_t inputCount, const ZipCaps& caps,
                            const UnpackedEntryCheck& check) {
  std::vector<ZipEntry> entries;
  std::string fault = readZipEntries(zipPath, inputCount, caps, entries);
  if (!fault.empty()) return fault;
  ZipFile zip(zipPath);
  if (!zip.handle) return "the result zip cannot be read";
  int step = unzGoToFirstFile(zip.handle);
  for (size_t index = 0; index < entries.size(); ++index, step = unzGoToNextFile(zip.handle)) {
    const std::string label =
        "zip entry " + std::to_string(index + 1) + " (" + entries[index].name + ")";
    if (step != UNZ_OK) return label + " is corrupt";
    UnpackedFile unpacked;
    if (unpacked.path.empty()) return label + " cannot be unpacked: no temporary file";
    fault = unpackWalkedEntry(zip.handle, entries, index, true, unpacked.path);
    if (fault.empty()) {
      fault = check(unpacked.path);
      if (!fault.empty()) return std::string(label).append(": ").append(fault);
    }
    if (!fault.empty()) return fault;
  }
  return "";
}
