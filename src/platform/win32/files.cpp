#include "platform/files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

bool fileExists(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(path.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

uint64_t probeSize(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(path.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return SIZE_UNKNOWN;
  uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) + entry.nFileSizeLow;
  FindClose(search);
  return size;
}

int openFileForReading(const std::string& path) {
  return _sopen(path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO);
}

int openFileForUpdate(const std::string& path) {
  return _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int64_t readFile(int fd, void* buffer, uint32_t capacity) {
  // _read counts in a signed int: keep each call within it.
  if (capacity > 0x7FFFFFFFu) capacity = 0x7FFFFFFFu;
  return _read(fd, buffer, capacity);
}

bool writeFile(int fd, const void* bytes, uint32_t count) {
  const char* next = static_cast<const char*>(bytes);
  uint32_t left = count;
  while (left > 0) {
    unsigned int piece = left > 0x7FFFFFFFu ? 0x7FFFFFFFu : left;
    int written = _write(fd, next, piece);
    if (written <= 0) return false;
    next += written;
    left -= static_cast<uint32_t>(written);
  }
  return true;
}

void closeFile(int fd) {
  _close(fd);
}

std::string tempDirectory() {
  char buffer[MAX_PATH + 1] = {};
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length > sizeof buffer) return std::string();
  return std::string(buffer, length);
}

// GetTempFileNameA needs room in MAX_PATH for the name it adds; given a
// longer folder, some systems make a file under a mangled name and report
// success, so the length is checked first.
constexpr size_t TEMP_FOLDER_LIMIT = MAX_PATH - 14;

bool createTempFile(const std::string& directory, const char* prefix, std::string& path) {
  if (directory.size() > TEMP_FOLDER_LIMIT) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  char buffer[MAX_PATH] = {};
  if (GetTempFileNameA(directory.c_str(), prefix ? prefix : "", 0, buffer) == 0) return false;
  path = buffer;
  return true;
}

bool copyFileOverwriting(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool deleteFile(const std::string& path) {
  return DeleteFileA(path.c_str()) != 0;
}

unsigned long fileVanishedError() {
  return ERROR_FILE_NOT_FOUND;
}
unsigned long fileSizeChangedError() {
  return ERROR_HANDLE_EOF;
}
