// The certificate table that ends a signed PE: WIN_CERTIFICATE entries on
// 8-byte boundaries, each a signature in DER.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A larger table is refused rather than held in memory; real ones hold a
// few certificates and stay far below this.
constexpr uint64_t MAX_CERTIFICATE_TABLE = 4 * 1024 * 1024;

struct TableEntry {
  size_t derOffset = 0;  // within the table
  size_t derLength = 0;
};

// Walks a table held in memory. Every entry must be of revision 0x0200 and
// type PKCS_SIGNED_DATA, start on an 8-byte boundary and hold one DER item
// followed by at most 7 zero bytes, and the entries must fill the table.
// Returns an empty text with `entries` filled (at least one), else the fault.
std::string walkCertificateTable(const uint8_t* table, size_t size,
                                 std::vector<TableEntry>& entries);
