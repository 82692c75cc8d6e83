#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// What one copy_file_range call is asked to move.
constexpr size_t COPY_RANGE_STEP = size_t{1} << 30;

bool hasWildcard(const std::string& path) {
  return path.find_first_of("*?") != std::string::npos;
}

// Only "*" and "?" are wildcards, as in a Windows directory search: the other
// characters glob() gives a meaning to are escaped.
std::string globPattern(const std::string& path) {
  std::string pattern;
  for (char c : path) {
    if (c == '[' || c == ']' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// The size a directory search reports for an entry: a directory has none.
uint64_t entrySize(const struct stat& info) {
  return S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
}

// The first entry that `path` names, as a directory search would find it.
bool findFirstEntry(const std::string& path, struct stat& info) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  if (!hasWildcard(path)) return stat(path.c_str(), &info) == 0;

    // A directory search matches names with a leading dot too.
#ifdef GLOB_PERIOD
  const int flags = GLOB_PERIOD;
#else
  const int flags = 0;
#endif
  glob_t matches{};
  int result = glob(globPattern(path).c_str(), flags, nullptr, &matches);
  bool found = false;
  if (result == 0) {
    for (size_t i = 0; i < matches.gl_pathc && !found; ++i)
      found = stat(matches.gl_pathv[i], &info) == 0;
  }
  globfree(&matches);
  if (!found && result != 0) errno = ENOENT;
  return found;
}

}  // namespace

bool fileExists(const std::string& path) {
  struct stat info;
  return findFirstEntry(path, info);
}

bool isDiskFullError(unsigned long number) {
  return number == ENOSPC || number == EDQUOT;
}

uint64_t probeSize(const std::string& path) {
  struct stat info;
  if (!findFirstEntry(path, info)) return SIZE_UNKNOWN;
  return entrySize(info);
}

int openFileForReading(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int openFileForUpdate(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

bool seekFile(int fd, int64_t offsetFromStart) {
  return lseek(fd, static_cast<off_t>(offsetFromStart), SEEK_SET) != static_cast<off_t>(-1);
}

bool cutFileTo(int fd, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return false;
  // A file that already has the size is not truncated: ext4 flushes a file
  // truncated to nothing to disk when it is closed, which makes the close of
  // a large download wait on the disk.
  struct stat status;
  if (fstat(fd, &status) != 0) return false;
  if (static_cast<uint64_t>(status.st_size) != size && ftruncate(fd, static_cast<off_t>(size)) != 0)
    return false;
  return seekFile(fd, static_cast<int64_t>(size));
}

int64_t readFile(int fd, void* buffer, uint32_t capacity) {
  ssize_t count;
  do {
    count = read(fd, buffer, capacity);
  } while (count < 0 && errno == EINTR);
  return count;
}

bool writeFile(int fd, const void* bytes, uint32_t count) {
  const char* next = static_cast<const char*>(bytes);
  uint32_t left = count;
  while (left > 0) {
    ssize_t written = write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    next += written;
    left -= static_cast<uint32_t>(written);
  }
  return true;
}

void closeFile(int fd) {
  close(fd);
}

std::string tempDirectory() {
  const char* dir = getenv("TMPDIR");
  std::string path = dir && *dir ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

bool createTempFile(const std::string& directory, const char* prefix, std::string& path) {
  std::string pattern = directory;
  if (!pattern.empty() && pattern.back() != '/') pattern += '/';
  pattern += prefix ? prefix : "";
  pattern += "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemp makes the file private to its owner (0600): a kept temporary file
  // in a shared folder is no one else's to read.
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  close(fd);
  path = name.data();
  return true;
}

bool copyFileOverwriting(const std::string& from, const std::string& to) {
  int source = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) return false;
  // Truncating the source itself would lose it; the Windows copy refuses too.
  struct stat sourceInfo {};
  struct stat targetInfo {};
  if (fstat(source, &sourceInfo) == 0 && stat(to.c_str(), &targetInfo) == 0 &&
      sourceInfo.st_dev == targetInfo.st_dev && sourceInfo.st_ino == targetInfo.st_ino) {
    close(source);
    errno = EBUSY;
    return false;
  }
  int target = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (target < 0) {
    int error = errno;
    close(source);
    errno = error;
    return false;
  }
  bool copied = true;
  // The kernel copies without a trip through this process, and may share the
  // blocks where the file system can. Where it cannot, or stops part way,
  // both offsets stand at the first byte not copied and the loop below goes
  // on from there, meeting any real error itself.
  for (;;) {
    ssize_t moved = copy_file_range(source, nullptr, target, nullptr, COPY_RANGE_STEP, 0);
    if (moved > 0 || (moved < 0 && errno == EINTR)) continue;
    break;
  }
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    int64_t count = readFile(source, buffer.data(), static_cast<uint32_t>(buffer.size()));
    if (count == 0) break;
    if (count < 0 || !writeFile(target, buffer.data(), static_cast<uint32_t>(count))) {
      copied = false;
      break;
    }
  }
  int error = errno;
  close(source);
  if (close(target) != 0 && copied) {
    copied = false;
    error = errno;
  }
  errno = error;
  return copied;
}

bool deleteFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

unsigned long fileVanishedError() {
  return ENOENT;
}
unsigned long fileSizeChangedError() {
  return EIO;
}

bool isRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isWrittenInPlace(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

std::string replacedPath(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string target = resolved;
  free(resolved);
  return target;
}

std::string folderOfPath(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

bool isFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool prepareReplacement(const std::string& fresh, const std::string& target) {
  struct stat info;
  mode_t mode;
  if (stat(target.c_str(), &info) == 0) {
    // What the user may not write stays as it is, as it did when the copy
    // went over it.
    if (!S_ISDIR(info.st_mode) && access(target.c_str(), W_OK) != 0) return false;
    mode = info.st_mode & 07777;
  } else {
    // The new file was made private; a new output gets what the umask allows.
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  return chmod(fresh.c_str(), mode) == 0;
}

bool renameOver(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}
