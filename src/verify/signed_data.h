// What an Authenticode signature claims: the digest of the file it signs,
// read from its SpcIndirectDataContent, and the signatures nested in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/digest.h"

struct SignatureFacts {
  const uint8_t* der = nullptr;  // the whole ContentInfo
  size_t derLength = 0;
  DigestKind fileDigestKind = DigestKind::Sha256;
  std::string fileDigest;            // of the signed file, raw bytes
  const uint8_t* content = nullptr;  // SpcIndirectDataContent contents octets
  size_t contentLength = 0;
  DigestKind signerDigestKind = DigestKind::Sha256;
  std::string messageDigest;  // the signed attribute, over `content`
};

// More signatures than this in one entry are refused.
constexpr size_t MAX_SIGNATURES = 32;

// Reads the signature `der` and every signature nested in its unsigned
// attributes, depth first, into `found` (appended). Returns an empty text,
// else what is wrong with it.
std::string collectSignatures(const uint8_t* der, size_t length,
                              std::vector<SignatureFacts>& found);

// Algorithm of a digest by its object identifier; false for others.
bool digestKindOf(const std::string& oidOctets, DigestKind& kind);
size_t digestSize(DigestKind kind);
const char* digestName(DigestKind kind);
