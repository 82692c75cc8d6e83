// Files by path and by descriptor, in untranslated byte mode.
#pragma once

#include <cstdint>
#include <string>

// What probeSize gives when the size cannot be looked up.
constexpr uint64_t SIZE_UNKNOWN = ~uint64_t{0};

// A path exists when a directory search finds an entry for it: a directory,
// or a wildcard pattern matching something, counts too.
bool fileExists(const std::string& path);
// Size of the entry that fileExists would find (the first match of a
// pattern), or SIZE_UNKNOWN.
uint64_t probeSize(const std::string& path);

// Read-only, byte-exact, sharing read, write and delete access with others.
// -1 on failure.
int openFileForReading(const std::string& path);
// Read and write, byte-exact, created when missing, never truncated.
int openFileForUpdate(const std::string& path);
// Moves to `offsetFromStart`, for readers of parts of a file (the proof of a
// signed result). False on failure.
bool seekFile(int fd, int64_t offsetFromStart);
// Cuts the file to its first `size` bytes and moves to its end there, for a
// writer that keeps what it wrote before. False on failure.
bool cutFileTo(int fd, uint64_t size);
// Bytes read, 0 at the end, -1 on an error.
int64_t readFile(int fd, void* buffer, uint32_t capacity);
// True only when every byte was written.
bool writeFile(int fd, const void* bytes, uint32_t count);
void closeFile(int fd);

// The system's temporary directory, ending in a separator; empty when the
// system has none.
std::string tempDirectory();
// Creates a new empty file with a unique name beginning with `prefix` in
// `directory` and stores its path. False when no file could be made.
bool createTempFile(const std::string& directory, const char* prefix, std::string& path);
// True when the error number says the disk or the user's quota is full.
bool isDiskFullError(unsigned long number);
bool copyFileOverwriting(const std::string& from, const std::string& to);
bool deleteFile(const std::string& path);

// A file whose content can be read from its start to its end: not a
// directory, device, pipe or wildcard pattern. Symbolic links are followed.
bool isRegularFile(const std::string& path);
// Puts a copy of `from` at `to` whole, or leaves `to` as it was: the copy
// goes into a new file in the folder of `to`, which then takes the place of
// the old file (a hard link to that keeps its old content). An existing `to`
// that is a device or a pipe (/dev/null, NUL) is written directly, and a
// symbolic link is followed to the file it names. On failure the new file is
// removed and the system's error number for the step that failed is left.
bool replaceFileWithCopy(const std::string& from, const std::string& to);
// Fills the file at `path`, which exists: true when it holds all it should,
// else false, leaving the system's error number or a cause in `context`.
using FillFile = bool (*)(void* context, const std::string& path);
// The same, with `fill` writing the new file's content rather than a copy.
bool replaceFileWhole(const std::string& to, FillFile fill, void* context);

// Makes the file `from` the file at `to`, whole, or leaves `to` as it was:
// by a rename when both lie on one file system, so that no byte is copied
// (`moved` is then true and `from` is gone), else by replaceFileWithCopy.
// The new file gets the permissions a copy would have had.
bool replaceFileWithMove(const std::string& from, const std::string& to, bool& moved);

// The steps of replaceFileWithCopy that differ by system.
// True when `path` exists and is not a file or folder on disk.
bool isWrittenInPlace(const std::string& path);
// The path that a copy to `path` replaces: a link's target, else `path`.
std::string replacedPath(const std::string& path);
// The folder that holds `path`, ending in a separator; "." and the separator
// for a bare name.
std::string folderOfPath(const std::string& path);
// True when `path` is a folder (a link to one counts).
bool isFolder(const std::string& path);
// Gives the new file `fresh` what the old file at `target` had that a copy
// over it would have kept (its permissions), or the permissions a new file
// gets. False, leaving the error, when `target` is a file that may not be
// written: it stays as it is.
bool prepareReplacement(const std::string& fresh, const std::string& target);
// Renames `from` over `to`, replacing it in one step; never a copy, so it
// fails between file systems (POSIX rename; MoveFileExA without
// MOVEFILE_COPY_ALLOWED). On Windows a file moved from another folder then
// inherits the access rules of its new one, as a file made there would.
bool renameOver(const std::string& from, const std::string& to);

// Error numbers for a file that no longer is what was recorded of it, for
// callers that must name a cause where no system call failed: it has gone
// (ERROR_FILE_NOT_FOUND; ENOENT), or it holds more or fewer bytes than
// recorded (ERROR_HANDLE_EOF; EIO).
unsigned long fileVanishedError();
unsigned long fileSizeChangedError();
