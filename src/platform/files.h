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

// Read-only, byte-exact, sharing read and write access with others. -1 on
// failure.
int openFileForReading(const std::string& path);
// Read and write, byte-exact, created when missing, never truncated.
int openFileForUpdate(const std::string& path);
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
bool copyFileOverwriting(const std::string& from, const std::string& to);
bool deleteFile(const std::string& path);

// Error numbers for a file that no longer is what was recorded of it, for
// callers that must name a cause where no system call failed: it has gone
// (ERROR_FILE_NOT_FOUND; ENOENT), or it holds more or fewer bytes than
// recorded (ERROR_HANDLE_EOF; EIO).
unsigned long fileVanishedError();
unsigned long fileSizeChangedError();
