// The MIME type that the system records for a file extension.
#pragma once

#include <cstddef>
#include <string>

// Room for a recorded type, terminator included; a longer one is not found.
constexpr size_t CONTENT_TYPE_CAPACITY = 260;

// `extension` is lower-cased and starts with its dot (".txt"). On Windows the
// type is the "Content Type" value of the extension's key under
// HKEY_CLASSES_ROOT, on POSIX the type that /etc/mime.types lists the
// extension under. True with `contentType` set (an empty recorded value gives
// an empty type); false when the system records nothing that fits, leaving
// `contentType` as it was.
bool lookupContentType(const std::string& extension, std::string& contentType);

#ifdef _WIN32
// For tests: records `value` as the extension's "Content Type" where
// HKEY_CLASSES_ROOT shows it, preferring the current user's classes; a null
// `value` makes the key with no such value. forgetTestContentType removes it.
bool recordTestContentType(const std::string& extension, const char* value);
bool forgetTestContentType(const std::string& extension);
#else
// The same lookup in a file of mime.types format ("type ext1 ext2 ...", "#"
// starting a comment).
bool lookupContentType(const std::string& mimeTypesPath, const std::string& extension,
                       std::string& contentType);
#endif
