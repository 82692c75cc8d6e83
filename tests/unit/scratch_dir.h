// A private directory for a test's files, removed with everything in it when
// the test ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/files.h"

#ifdef _WIN32
constexpr char PATH_SEPARATOR = '\\';
#else
constexpr char PATH_SEPARATOR = '/';
#endif

struct ScratchDir {
  std::string path;  // ends in PATH_SEPARATOR

  ScratchDir() {
    std::string reserved;
    if (createTempFile(tempDirectory(), "tvt", reserved)) {
      path = reserved + ".d";
      std::filesystem::create_directory(path);
      deleteFile(reserved);
      path += PATH_SEPARATOR;
    }
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return !path.empty() && std::filesystem::is_directory(path); }

  // A path whose last backslash stands right before `name`, the shape of a
  // Windows path: a file in a subdirectory there, a file whose own name holds
  // the backslash on POSIX.
  std::string backslashPath(const std::string& name) const {
#ifdef _WIN32
    std::filesystem::create_directory(path + "sub");
#endif
    return path + "sub\\" + name;
  }

  std::string makeDirectory(const std::string& name) const {
    std::filesystem::create_directory(path + name);
    return path + name;
  }
};

// Writes `bytes` as the whole content of the file at `path`.
inline bool writeWholeFile(const std::string& path, const std::string& bytes) {
  deleteFile(path);
  int fd = openFileForUpdate(path);
  if (fd == -1) return false;
  bool written = writeFile(fd, bytes.data(), static_cast<uint32_t>(bytes.size()));
  closeFile(fd);
  return written;
}

// The whole content of the file at `path`; empty when it cannot be read.
inline std::string readWholeFile(const std::string& path) {
  std::string bytes;
  int fd = openFileForReading(path);
  if (fd == -1) return bytes;
  char buffer[65536];
  for (int64_t count; (count = readFile(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<size_t>(count));
  closeFile(fd);
  return bytes;
}

// Bytes 0, 1, ..., 250, 0, 1, ...: a pattern whose every offset is recognisable
// across chunk borders.
inline std::string patternBytes(uint64_t count, unsigned seed = 0) {
  std::string bytes(count, '\0');
  for (uint64_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i + seed) % 251);
  return bytes;
}
