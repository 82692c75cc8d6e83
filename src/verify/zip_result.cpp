#include "verify/zip_result.h"

#include <minizip/unzip.h>

#include <vector>

#include "platform/files.h"

namespace {

constexpr uint32_t UNPACK_BLOCK = 64 * 1024;

// minizip reads the zip through the agent's own file calls, so that it
// opens paths exactly as the rest of the agent does.
struct ZipStream {
  int descriptor = -1;
  uint64_t position = 0;
  uint64_t size = 0;
  bool failed = false;
};

voidpf openStream(voidpf, const void* path, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  const std::string name = static_cast<const char*>(path);
  int descriptor = openFileForReading(name);
  if (descriptor == -1) return nullptr;
  ZipStream* stream = new ZipStream;
  stream->descriptor = descriptor;
  stream->size = probeSize(name);
  return stream;
}

uLong readStream(voidpf, voidpf opaque, void* buffer, uLong size) {
  ZipStream* stream = static_cast<ZipStream*>(opaque);
  uLong done = 0;
  while (done < size) {
    int64_t got = readFile(stream->descriptor, static_cast<char*>(buffer) + done,
                           static_cast<uint32_t>(size - done));
    if (got < 0) stream->failed = true;
    if (got <= 0) break;
    done += static_cast<uLong>(got);
  }
  stream->position += done;
  return done;
}

uLong writeStream(voidpf, voidpf, const void*, uLong) {
  return 0;
}

ZPOS64_T tellStream(voidpf, voidpf opaque) {
  return static_cast<ZipStream*>(opaque)->position;
}

long seekStream(voidpf, voidpf opaque, ZPOS64_T offset, int origin) {
  ZipStream* stream = static_cast<ZipStream*>(opaque);
  uint64_t target = offset;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) target += stream->position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) {
    if (stream->size == SIZE_UNKNOWN) return -1;
    target += stream->size;
  }
  if (!seekFile(stream->descriptor, static_cast<int64_t>(target))) return -1;
  stream->position = target;
  return 0;
}

int closeStream(voidpf, voidpf opaque) {
  ZipStream* stream = static_cast<ZipStream*>(opaque);
  closeFile(stream->descriptor);
  delete stream;
  return 0;
}

int streamError(voidpf, voidpf opaque) {
  return static_cast<ZipStream*>(opaque)->failed ? 1 : 0;
}

struct ZipFile {
  unzFile handle = nullptr;
  explicit ZipFile(const std::string& path) {
    zlib_filefunc64_def functions = {openStream, readStream,  writeStream, tellStream,
                                     seekStream, closeStream, streamError, nullptr};
    handle = unzOpen2_64(path.c_str(), &functions);
  }
  ~ZipFile() {
    if (handle) unzClose(handle);
  }
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;
};

// Unpacks the current entry, of `expected` bytes, into `path`; the zip's
// CRC is checked on the way.
std::string unpackEntry(unzFile zip, uint64_t expected, const std::string& path) {
  if (unzOpenCurrentFile(zip) != UNZ_OK) return "cannot be unpacked";
  int file = openFileForUpdate(path);
  std::vector<char> block(UNPACK_BLOCK);
  uint64_t written = 0;
  std::string fault;
  for (;;) {
    int got = unzReadCurrentFile(zip, block.data(), UNPACK_BLOCK);
    if (got < 0) {
      fault = "is corrupt";
      break;
    }
    if (got == 0) break;
    written += static_cast<uint64_t>(got);
    if (written > expected) {
      fault = "holds more bytes than it declares";
      break;
    }
    if (file == -1 || !writeFile(file, block.data(), static_cast<uint32_t>(got))) {
      fault = "cannot be unpacked into " + path;
      break;
    }
  }
  if (file != -1) closeFile(file);
  int closed = unzCloseCurrentFile(zip);
  if (fault.empty() && closed == UNZ_CRCERROR) fault = "fails its CRC check";
  if (fault.empty() && (closed != UNZ_OK || written != expected)) fault = "is cut short";
  return fault;
}

// Folders the service may list are not results.
bool isFolderEntry(const std::string& name, const unz_file_info64& info) {
  return !name.empty() && name.back() == '/' && info.uncompressed_size == 0;
}

// Walks the entries that are results, in the zip's order, handing each one's
// name and size to `visit` while it is the current entry; `visit` returns
// false to stop the walk. What is wrong with the zip, or an empty text.
template <typename Visit>
std::string walkEntries(unzFile zip, Visit visit) {
  for (int step = unzGoToFirstFile(zip); step != UNZ_END_OF_LIST_OF_FILE;
       step = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    char name[256] = "";
    if (step != UNZ_OK ||
        unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
      return "the result zip is corrupt";
    if (isFolderEntry(name, info)) continue;
    if (!visit(std::string(name), info.uncompressed_size)) break;
  }
  return "";
}

}  // namespace

std::string listZipEntries(const std::string& zipPath, std::vector<std::string>& names) {
  ZipFile zip(zipPath);
  if (!zip.handle) return "the result is not a zip";
  return walkEntries(zip.handle, [&](const std::string& name, uint64_t) {
    names.push_back(name);
    return true;
  });
}

std::string unpackZipEntry(const std::string& zipPath, size_t index, const std::string& path) {
  ZipFile zip(zipPath);
  if (!zip.handle) return "the result is not a zip";
  size_t seen = 0;
  std::string fault = "the result zip has no entry " + std::to_string(index + 1);
  std::string walk = walkEntries(zip.handle, [&](const std::string& name, uint64_t size) {
    if (seen++ != index) return true;
    const std::string label =
        "zip entry " + std::to_string(index + 1) + " (" + printable(name) + ")";
    if (size > MAX_ZIP_ENTRY)
      fault = label + " is too large";
    else
      fault = unpackEntry(zip.handle, size, path);
    if (!fault.empty()) fault = label + ": " + fault;
    return false;
  });
  return walk.empty() ? fault : walk;
}

std::string proveZipResult(const std::string& zipPath, std::vector<InputRecord>& inputs,
                           const std::string& anchorFile, std::vector<SignedFileProof>& files) {
  ZipFile zip(zipPath);
  if (!zip.handle)
    return "the result is not a zip of the " + std::to_string(inputs.size()) + " inputs";
  const std::string directory = tempDirectory();
  size_t entries = 0;
  for (int step = unzGoToFirstFile(zip.handle); step != UNZ_END_OF_LIST_OF_FILE;
       step = unzGoToNextFile(zip.handle)) {
    if (step != UNZ_OK) return "the result zip is corrupt";
    unz_file_info64 info;
    char name[256] = "";
    if (unzGetCurrentFileInfo64(zip.handle, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
        UNZ_OK)
      return "the result zip is corrupt";
    std::string entryName = name;
    if (isFolderEntry(entryName, info)) continue;
    const std::string label =
        "zip entry " + std::to_string(entries + 1) + " (" + printable(entryName) + ")";
    if (++entries > inputs.size())
      return "the result zip holds more entries than the " + std::to_string(inputs.size()) +
             " inputs";
    if (info.uncompressed_size > MAX_ZIP_ENTRY) return label + " is too large";
    std::string unpacked;
    if (directory.empty() || !createTempFile(directory, "tvz", unpacked))
      return label + " cannot be unpacked: no temporary file";
    std::string fault = unpackEntry(zip.handle, info.uncompressed_size, unpacked);
    if (fault.empty()) {
      SignedFileProof proof = proveSignedFile(unpacked, inputs, anchorFile);
      fault = proof.failure;
      files.push_back(proof);
    }
    deleteFile(unpacked);
    if (!fault.empty()) return std::string(label).append(": ").append(fault);
  }
  if (entries < inputs.size()) {
    for (const InputRecord& input : inputs)
      if (!input.matched)
        return "the result zip holds " + std::to_string(entries) + " entries for " +
               std::to_string(inputs.size()) + " inputs; " + input.path + " is missing";
  }
  return "";
}
