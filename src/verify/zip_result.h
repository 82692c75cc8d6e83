// The result of several inputs: a zip whose entries are the inputs, each
// signed. The entries' names are the service's and are not trusted; each
// entry is matched to an input by its Authenticode digest.
#pragma once

#include <string>
#include <vector>

#include "verify/proof.h"

// A zip entry larger than this is refused before it is unpacked.
constexpr uint64_t MAX_ZIP_ENTRY = uint64_t{4} * 1024 * 1024 * 1024;

// Proves every entry of the zip at `zipPath` and matches the entries to the
// inputs one to one; `files` receives one proof per input. An empty text on
// success, else what did not match. Each entry is unpacked into a temporary
// file of its own, checked and deleted.
std::string proveZipResult(const std::string& zipPath, std::vector<InputRecord>& inputs,
                           const std::string& anchorFile, std::vector<SignedFileProof>& files);

// For writing the entries out: the names of the zip's entries, folders left
// out, in the zip's order. An empty text on success, else what is wrong.
std::string listZipEntries(const std::string& zipPath, std::vector<std::string>& names);
// Unpacks entry `index` of that list into the existing, empty file `path`,
// checking its CRC. An empty text on success, else what went wrong.
std::string unpackZipEntry(const std::string& zipPath, size_t index, const std::string& path);
