#include "platform/signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using StoreContextPtr =
    std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;

void freeSigners(STACK_OF(X509) * signers) {
  sk_X509_free(signers);
}
using SignersPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeSigners>>;

// The library's own reason for the last failure, for people.
std::string libraryReason() {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "";
  const char* reason = ERR_reason_error_string(code);
  return reason ? std::string(" (") + reason + ")" : "";
}

CertPtr readCertificate(const std::string& path) {
  BioPtr file(BIO_new_file(path.c_str(), "rb"));
  if (!file) return nullptr;
  CertPtr certificate(PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr));
  if (certificate) return certificate;
  ERR_clear_error();
  if (BIO_reset(file.get()) != 0) return nullptr;
  return CertPtr(d2i_X509_bio(file.get(), nullptr));
}

std::string commonNameOf(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return "";
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  unsigned char* text = nullptr;
  int length = ASN1_STRING_to_UTF8(&text, value);
  if (length < 0) return "";
  std::string name(reinterpret_cast<char*>(text), static_cast<size_t>(length));
  OPENSSL_free(text);
  return name;
}

// Uses the code-signing policy accepts in every certificate of a chain: no
// extended key usage, or one that names code signing (a CA limits what it
// issues for); in the signer's own, digitalSignature when key usage is
// given.
std::string usageFault(X509* certificate, bool signer) {
  const uint32_t flags = X509_get_extension_flags(certificate);
  if ((flags & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN))
    return signer ? "the signer's certificate is not for code signing"
                  : "a certificate above the signer's is not for code signing";
  if (signer && (flags & EXFLAG_KUSAGE) &&
      !(X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE))
    return "the signer's certificate is not for digital signatures";
  return "";
}

// The signer is the anchor, or chains up to it through the certificates the
// signature carries; only the anchor is trusted, whether or not it is a
// root. The library applies basic and name constraints, validity and
// signatures; the uses are read from the chain it built, up to the anchor.
std::string chainToAnchor(X509* signer, PKCS7* signature, const std::string& anchorFile) {
  CertPtr anchor = readCertificate(anchorFile);
  if (!anchor) return "the signer certificate " + anchorFile + " cannot be read" + libraryReason();
  StorePtr store(X509_STORE_new());
  StoreContextPtr context(X509_STORE_CTX_new());
  if (!store || !context || X509_STORE_add_cert(store.get(), anchor.get()) != 1 ||
      X509_STORE_CTX_init(context.get(), store.get(), signer, signature->d.sign->cert) != 1)
    return "the signer's chain cannot be checked" + libraryReason();
  X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
  if (X509_verify_cert(context.get()) != 1) {
    int error = X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    return std::string("the signer does not chain to the given certificate (") +
           X509_verify_cert_error_string(error) + ")";
  }
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    std::string fault = usageFault(sk_X509_value(chain, i), i == 0);
    if (!fault.empty()) return fault;
  }
  return "";
}

}  // namespace

bool isReadableCertificate(const std::string& anchorFile) {
  bool readable = readCertificate(anchorFile) != nullptr;
  ERR_clear_error();
  return readable;
}

SignerCheck checkSignerSignature(const uint8_t* der, size_t length, const uint8_t* content,
                                 size_t contentLength, const std::string& anchorFile) {
  SignerCheck check;
  ERR_clear_error();
  const unsigned char* cursor = der;
  Pkcs7Ptr signature(d2i_PKCS7(nullptr, &cursor, static_cast<long>(length)));
  if (!signature || !PKCS7_type_is_signed(signature.get())) {
    check.failure = "the signature cannot be read" + libraryReason();
    return check;
  }
  SignersPtr signers(PKCS7_get0_signers(signature.get(), nullptr, 0));
  if (!signers || sk_X509_num(signers.get()) != 1) {
    check.failure = "the signature does not carry its signer's certificate" + libraryReason();
    return check;
  }
  check.signerName = commonNameOf(sk_X509_value(signers.get(), 0));

  // The signature over the signed attributes first; the content is handed
  // in as detached data: before OpenSSL 3.5 the check of a content that is
  // not of type data hashes the wrong bytes.
  BioPtr data(BIO_new_mem_buf(content, static_cast<int>(contentLength)));
  if (PKCS7_verify(signature.get(), nullptr, nullptr, data.get(), nullptr, PKCS7_NOVERIFY) != 1) {
    check.failure = "the signer's signature does not verify" + libraryReason();
    return check;
  }
  if (!anchorFile.empty()) {
    check.failure = chainToAnchor(sk_X509_value(signers.get(), 0), signature.get(), anchorFile);
    if (!check.failure.empty()) return check;
  }
  check.valid = true;
  return check;
}
