#include "platform/files.h"

#include <windows.h>

#include <aclapi.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "platform/paths.h"
#include "platform/text.h"

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

namespace {

// A descriptor over a handle that others may delete while it is open: a
// cancelled run removes the files it is still proving or filling from the
// console's handler thread.
int openDeletableFile(const std::string& path, DWORD access, DWORD disposition, int mode) {
  HANDLE handle =
      CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), mode | _O_BINARY);
  if (fd == -1) CloseHandle(handle);
  return fd;
}

}  // namespace

int openFileForReading(const std::string& path) {
  return openDeletableFile(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY);
}

int openFileForUpdate(const std::string& path) {
  return openDeletableFile(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, _O_RDWR);
}

bool seekFile(int fd, int64_t offsetFromStart) {
  return _lseeki64(fd, offsetFromStart, SEEK_SET) != -1;
}

bool cutFileTo(int fd, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return false;
  // A file that already has the size is left as it is, as on POSIX, where
  // truncating a file to nothing makes ext4 write it out when it is closed.
  int64_t length = _filelengthi64(fd);
  if (length < 0) return false;
  if (static_cast<uint64_t>(length) != size && _chsize_s(fd, static_cast<int64_t>(size)) != 0)
    return false;
  return seekFile(fd, static_cast<int64_t>(size));
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

bool isDiskFullError(unsigned long number) {
  return number == ERROR_DISK_FULL || number == ERROR_HANDLE_DISK_FULL;
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

namespace {

// The type of what `path` opens (FILE_TYPE_DISK for a file); it is opened for
// no access at all, only to ask. FILE_TYPE_UNKNOWN when it cannot be opened.
DWORD openedFileType(const std::string& path) {
  HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FILE_TYPE_UNKNOWN;
  DWORD type = GetFileType(handle);
  CloseHandle(handle);
  return type;
}

// Attributes that tell an entry with content of its own; a pipe or pattern
// has none to give.
bool hasFileAttributes(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

}  // namespace

bool isRegularFile(const std::string& path) {
  return hasFileAttributes(path) && openedFileType(path) == FILE_TYPE_DISK;
}

bool isWrittenInPlace(const std::string& path) {
  if (hasFileAttributes(path)) {
    DWORD type = openedFileType(path);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_UNKNOWN) return true;
  }
  // The console and other devices that cannot be opened just to ask.
  std::string name = lastPathSegment(path);
  return isReservedFileName(name) && name.back() != '.' && name.back() != ' ';
}

std::string replacedPath(const std::string& path) {
  return path;
}

std::string folderOfPath(const std::string& path) {
  size_t folderLength = path.size() - lastPathSegment(path).size();
  return folderLength == 0 ? std::string(".\\") : path.substr(0, folderLength);
}

bool isFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool prepareReplacement(const std::string&, const std::string&) {
  return true;
}

namespace {

// A moved file keeps the access rules it inherited where it was made: one
// from the user's temporary folder would admit only its owner, where a copy
// made in the output's folder takes that folder's rules. An empty,
// unprotected list makes it inherit from the folder it is in now. A folder
// that passes on no rule at all would leave it open to no one: then it keeps
// the rules it had. A file system without access rules refuses all this and
// has none to give.
void inheritAccessRules(const std::string& path) {
  char* name = const_cast<char*>(path.c_str());
  PACL kept = nullptr;
  PSECURITY_DESCRIPTOR keptDescriptor = nullptr;
  ACL empty;
  if (GetNamedSecurityInfoA(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &kept, nullptr, &keptDescriptor) != ERROR_SUCCESS)
    return;
  if (InitializeAcl(&empty, sizeof empty, ACL_REVISION) &&
      SetNamedSecurityInfoA(name, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS) {
    PACL now = nullptr;
    PSECURITY_DESCRIPTOR nowDescriptor = nullptr;
    if (GetNamedSecurityInfoA(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &now, nullptr, &nowDescriptor) != ERROR_SUCCESS ||
        (now && now->AceCount == 0))
      SetNamedSecurityInfoA(name, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, kept, nullptr);
    LocalFree(nowDescriptor);
  }
  LocalFree(keptDescriptor);
}

}  // namespace

bool renameOver(const std::string& from, const std::string& to) {
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  // A file made in the folder it is renamed in already has that folder's.
  if (folderOfPath(from) != folderOfPath(to)) inheritAccessRules(to);
  return true;
}
