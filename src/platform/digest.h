// Message digests computed block by block, from the system's crypto library.
#pragma once

#include <cstddef>
#include <string>

enum class DigestKind { Sha1, Sha256, Sha384, Sha512 };

// One running digest. Owns the library's state; not copyable.
struct Digest {
  void* state = nullptr;

  explicit Digest(DigestKind kind);
  ~Digest();
  Digest(Digest&& other) noexcept : state(other.state) { other.state = nullptr; }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  Digest& operator=(Digest&&) = delete;

  // False when the library could not set up the algorithm.
  bool ok() const { return state != nullptr; }
  void update(const void* bytes, size_t count);
  // The digest's bytes; empty when it could not be computed. Ends the digest.
  std::string finish();
};
