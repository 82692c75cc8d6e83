// The result of several inputs: a zip whose entries are the inputs, each
// signed. The zip must be laid out by the strict rule of zip_layout.h; the
// entries' names are the service's and are not trusted otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "verify/zip_layout.h"

// Checks one unpacked entry: an empty text when it is proven, else why not.
using UnpackedEntryCheck = std::function<std::string(const std::string& unpackedPath)>;

// Unpacks each entry of the zip at `zipPath`, which must hold exactly
// `inputCount` entries unpacking to no more than `caps` allow, into a temporary
// file of its own, hands it to `check` and deletes it. The entry must show
// a PE's headers in its first bytes before more of it is written, and
// unpacking stops at its declared size. An empty text when every entry was
// proven, else the first fault, prefixed with the entry it concerns.
std::string proveZipEntries(const std::string& zipPath, size_t inputCount, const ZipCaps& caps,
                            const UnpackedEntryCheck& check);

// The room a zip of results of inputs of these sizes may unpack to.
ZipCaps zipCapsFor(const std::vector<uint64_t>& inputSizes);

// Reads the zip at `zipPath` by the strict rule: exactly `inputCount`
// entries within `caps`, and minizip sees as many. An empty text with
// `entries` filled, else the fault.
std::string readZipEntries(const std::string& zipPath, size_t inputCount, const ZipCaps& caps,
                           std::vector<ZipEntry>& entries);

// Unpacks entry `index` of `entries`, as readZipEntries read them, into the
// existing empty file `path`, stopping at its declared size and checking its
// CRC. An empty text on success, else what went wrong.
std::string unpackZipEntry(const std::string& zipPath, const std::vector<ZipEntry>& entries,
                           size_t index, const std::string& path);
