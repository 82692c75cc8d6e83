#include "platform/digest.h"

#include <windows.h>

#include <wincrypt.h>

namespace {

struct HashState {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
};

ALG_ID algorithmOf(DigestKind kind) {
  switch (kind) {
    case DigestKind::Sha1:
      return CALG_SHA1;
    case DigestKind::Sha256:
      return CALG_SHA_256;
    case DigestKind::Sha384:
      return CALG_SHA_384;
    case DigestKind::Sha512:
      return CALG_SHA_512;
  }
  return 0;
}

void release(HashState* hashState) {
  if (!hashState) return;
  if (hashState->hash) CryptDestroyHash(hashState->hash);
  if (hashState->provider) CryptReleaseContext(hashState->provider, 0);
  delete hashState;
}

}  // namespace

Digest::Digest(DigestKind kind) {
  HashState* hashState = new HashState;
  // The AES provider is the one that offers the SHA-2 family.
  if (CryptAcquireContextA(&hashState->provider, nullptr, nullptr, PROV_RSA_AES,
                           CRYPT_VERIFYCONTEXT | CRYPT_SILENT) &&
      CryptCreateHash(hashState->provider, algorithmOf(kind), 0, 0, &hashState->hash)) {
    state = hashState;
  } else {
    release(hashState);
  }
}

Digest::~Digest() {
  release(static_cast<HashState*>(state));
}

void Digest::update(const void* bytes, size_t count) {
  HashState* hashState = static_cast<HashState*>(state);
  const BYTE* at = static_cast<const BYTE*>(bytes);
  // The call takes a 32-bit count.
  while (hashState && count > 0) {
    DWORD piece = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    if (!CryptHashData(hashState->hash, at, piece, 0)) {
      release(hashState);
      state = hashState = nullptr;
      return;
    }
    at += piece;
    count -= piece;
  }
}

std::string Digest::finish() {
  HashState* hashState = static_cast<HashState*>(state);
  if (!hashState) return "";
  state = nullptr;
  BYTE value[64];
  DWORD length = sizeof value;
  bool done = CryptGetHashParam(hashState->hash, HP_HASHVAL, value, &length, 0) != 0;
  release(hashState);
  if (!done) return "";
  return std::string(reinterpret_cast<const char*>(value), length);
}
