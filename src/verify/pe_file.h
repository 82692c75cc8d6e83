// A PE file on disk: its layout, its Authenticode digests and its
// certificate table, each read in bounded memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/digest.h"
#include "verify/pe_layout.h"

// Reads the layout of the file at `path`; an empty text, else why it is not
// a well-formed PE.
std::string readPeFileLayout(const std::string& path, PeLayout& layout);

// The Authenticode digests of the file, one per kind in `kinds`, in one pass
// over it in blocks. False when the file cannot be read as it was measured.
bool digestPeFile(const std::string& path, const PeLayout& layout,
                  const std::vector<DigestKind>& kinds, std::vector<std::string>& digests);

// Reads the file's certificate table (at most MAX_CERTIFICATE_TABLE bytes).
// An empty text, else the fault.
std::string readCertificateTable(const std::string& path, const PeLayout& layout,
                                 std::vector<uint8_t>& table);
