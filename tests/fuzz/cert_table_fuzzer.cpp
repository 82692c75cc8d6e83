// Certificate tables and the signatures in them from arbitrary bytes, as a
// misbehaving service may hand them back: the walk and the DER reading never
// read outside what they were given, and what they accept is consistent.
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "verify/cert_table.h"
#include "verify/pe_layout.h"
#include "verify/signed_data.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that the sanitizers see any read past it.
  std::vector<uint8_t> table(data, data + size);
  std::vector<TableEntry> entries;
  std::string fault = walkCertificateTable(table.data(), table.size(), entries);
  if (fault.empty()) {
    FUZZ_CHECK(!entries.empty());
    FUZZ_CHECK(size % 8 == 0);
    for (const TableEntry& entry : entries) {
      FUZZ_CHECK(entry.derOffset % 8 == 0);
      FUZZ_CHECK(entry.derOffset + entry.derLength <= size);
      std::vector<SignatureFacts> signatures;
      std::string problem =
          collectSignatures(table.data() + entry.derOffset, entry.derLength, signatures);
      FUZZ_CHECK(signatures.size() <= MAX_SIGNATURES);
      if (!problem.empty()) continue;
      FUZZ_CHECK(!signatures.empty());
      for (const SignatureFacts& facts : signatures) {
        FUZZ_CHECK(facts.der >= table.data() && facts.der + facts.derLength <= table.data() + size);
        FUZZ_CHECK(facts.content > facts.der &&
                   facts.content + facts.contentLength <= facts.der + facts.derLength);
        FUZZ_CHECK(facts.fileDigest.size() == digestSize(facts.fileDigestKind));
      }
    }
  } else {
    FUZZ_CHECK(entries.empty() || !fault.empty());
  }
  // The same bytes as the head of a file: any layout accepted points inside it.
  PeLayout layout;
  const uint64_t fileSize = size + 4096;
  if (readPeLayout(table.data(), table.size(), fileSize, layout).empty()) {
    FUZZ_CHECK(layout.tableEntryOffset + 8 <= size);
    FUZZ_CHECK(layout.checkSumOffset + 4 <= layout.tableEntryOffset);
    DigestPlan plan = digestPlanOf(layout);
    FUZZ_CHECK(plan.ranges[2].to <= fileSize);
    FUZZ_CHECK((plan.ranges[2].to + plan.zeroPadding) % 8 == 0);
    FUZZ_CHECK(!layout.hasTable() || layout.tableOffset + layout.tableSize == fileSize);
  }
  return 0;
}
