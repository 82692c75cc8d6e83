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

#ifndef _WIN32
// The same lookup in a file of mime.types format ("type ext1 ext2 ...", "#"
// starting a comment).
bool lookupContentType(const std::string& mimeTypesPath, const std::string& extension,
                       std::string& contentType);
#endif
