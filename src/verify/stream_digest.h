// The Authenticode digest of a PE file computed while its bytes go by (as it
// is uploaded or downloaded), so that proving a result needs no second pass
// over it. The layout is read from the head of the stream once enough of it
// has arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/digest.h"
#include "verify/pe_layout.h"

struct StreamedDigest {
  DigestKind kind = DigestKind::Sha256;
  std::vector<uint8_t> head;  // held until the layout is known
  PeLayout layout;
  bool layoutKnown = false;
  bool failed = false;  // not a PE, or no digest: the proof reads the file instead
  uint64_t position = 0;
  std::unique_ptr<Digest> digest;

  explicit StreamedDigest(DigestKind digestKind = DigestKind::Sha256) : kind(digestKind) {}

  // The next `count` bytes of the stream.
  void take(const void* bytes, size_t count);
  // Ends the stream. True with the digest and the layout as read from the
  // stream (its size being the bytes seen) when the stream was a PE.
  bool finish(std::string& value, PeLayout& streamLayout);

 private:
  void learnLayout(uint64_t fileSize);
  void hashAt(uint64_t offset, const uint8_t* bytes, size_t count);
};

// True when a layout read from a stream describes the file now on disk, so
// that the stream's digest is the file's.
bool sameLayout(const PeLayout& streamed, const PeLayout& onDisk);
