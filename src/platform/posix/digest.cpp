#include "platform/digest.h"

#include <openssl/evp.h>

namespace {

const EVP_MD* algorithmOf(DigestKind kind) {
  switch (kind) {
    case DigestKind::Sha1:
      return EVP_sha1();
    case DigestKind::Sha256:
      return EVP_sha256();
    case DigestKind::Sha384:
      return EVP_sha384();
    case DigestKind::Sha512:
      return EVP_sha512();
  }
  return nullptr;
}

}  // namespace

Digest::Digest(DigestKind kind) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context && EVP_DigestInit_ex(context, algorithmOf(kind), nullptr) == 1) {
    state = context;
  } else {
    EVP_MD_CTX_free(context);
  }
}

Digest::~Digest() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state));
}

void Digest::update(const void* bytes, size_t count) {
  if (state && EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state), bytes, count) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state));
    state = nullptr;
  }
}

std::string Digest::finish() {
  if (!state) return "";
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_MD_CTX* context = static_cast<EVP_MD_CTX*>(state);
  state = nullptr;
  bool done = EVP_DigestFinal_ex(context, value, &length) == 1;
  EVP_MD_CTX_free(context);
  if (!done) return "";
  return std::string(reinterpret_cast<const char*>(value), length);
}
