#include "platform/signature.h"

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr DWORD ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The only chain states accepted, up to the anchor: a root that is not
// trusted (the caller names the anchor), a chain that ends at an anchor that
// is not a root, and a revocation state that cannot be learned (revocation
// is not checked). Anything else, known today or added later, refuses.
constexpr DWORD HARMLESS_CHAIN_STATUS = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                        CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                        CERT_TRUST_IS_OFFLINE_REVOCATION;
constexpr char UNCHAINED[] = "the signer does not chain to the given certificate";
// A -signer file larger than this holds no single certificate.
constexpr size_t MAX_CERTIFICATE_FILE = 1 << 20;

struct CertFree {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
struct StoreClose {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};
struct MessageClose {
  void operator()(void* message) const { CryptMsgClose(message); }
};
struct EngineFree {
  void operator()(void* engine) const {
    CertFreeCertificateChainEngine(static_cast<HCERTCHAINENGINE>(engine));
  }
};
struct ChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
struct LocalRelease {
  void operator()(void* memory) const { LocalFree(memory); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;
using StorePtr = std::unique_ptr<void, StoreClose>;
using MessagePtr = std::unique_ptr<void, MessageClose>;
using EnginePtr = std::unique_ptr<void, EngineFree>;
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

std::string hexCode(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

std::string commonNameOf(PCCERT_CONTEXT certificate) {
  char name[256] = "";
  CertGetNameStringA(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                     name, sizeof name);
  return name;
}

// The certificate in `path`, PEM or DER, as CryptoAPI reads either; null
// when it cannot be read.
CertPtr readCertificate(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return nullptr;
  std::vector<BYTE> bytes;
  BYTE block[4096];
  size_t count;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0 &&
         bytes.size() <= MAX_CERTIFICATE_FILE)
    bytes.insert(bytes.end(), block, block + count);
  std::fclose(file);
  if (bytes.empty() || bytes.size() > MAX_CERTIFICATE_FILE) return nullptr;
  CERT_BLOB blob = {static_cast<DWORD>(bytes.size()), bytes.data()};
  const void* found = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_CERT,
                        CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                        &found))
    return nullptr;
  return CertPtr(static_cast<PCCERT_CONTEXT>(found));
}

bool sameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded &&
         memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// True when the certificate names no extended key usage, or code signing
// among those it names.
bool allowsCodeSigning(PCCERT_CONTEXT certificate) {
  const CERT_INFO* info = certificate->pCertInfo;
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension);
  if (!extension) return true;
  CERT_ENHKEY_USAGE* usage = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(ENCODING, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &usage,
                           &size))
    return false;
  std::unique_ptr<void, LocalRelease> release(usage);
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
    if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) return true;
  return false;
}

// Uses the code-signing policy accepts in every certificate of a chain: no
// extended key usage, or one that names code signing (a CA limits what it
// issues for); in the signer's own, digitalSignature when key usage is given.
std::string usageFault(PCCERT_CONTEXT certificate, bool signer) {
  if (!allowsCodeSigning(certificate))
    return signer ? "the signer's certificate is not for code signing"
                  : "a certificate above the signer's is not for code signing";
  BYTE usage = 0;
  if (signer && CertGetIntendedKeyUsage(ENCODING, certificate->pCertInfo, &usage, 1) &&
      !(usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE))
    return "the signer's certificate is not for digital signatures";
  return "";
}

// The signer is the anchor, or chains up to it through the certificates
// the signature carries. The chain engine trusts only the anchor; the chain
// it builds is then read up to the anchor, so that an anchor which is not a
// self-signed root (a partial chain) is honoured as well. Every state the
// engine reports up to the anchor must be among the harmless ones.
std::string chainToAnchor(PCCERT_CONTEXT signer, HCERTSTORE carried, const std::string& path) {
  CertPtr anchor = readCertificate(path);
  if (!anchor) return "the signer certificate " + path + " cannot be read";
  StorePtr anchors(
      CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
  if (!anchors || !CertAddCertificateContextToStore(anchors.get(), anchor.get(),
                                                    CERT_STORE_ADD_ALWAYS, nullptr))
    return "the signer certificate " + path + " cannot be used";
  HCERTSTORE extra[] = {carried, anchors.get()};
  CERT_CHAIN_ENGINE_CONFIG config = {};
  config.cbSize = sizeof config;
  config.hExclusiveRoot = anchors.get();
  config.cAdditionalStore = 2;
  config.rghAdditionalStore = extra;
  LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_CHAIN_PARA parameters = {};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
  HCERTCHAINENGINE rawEngine = nullptr;
  PCCERT_CHAIN_CONTEXT rawChain = nullptr;
  const bool built = CertCreateCertificateChainEngine(&config, &rawEngine);
  EnginePtr engine(rawEngine);
  if (built)
    CertGetCertificateChain(rawEngine, signer, nullptr, carried, &parameters, 0, nullptr,
                            &rawChain);
  ChainPtr chain(rawChain);
  if (!chain) return "no certificate chain could be built (" + hexCode(GetLastError()) + ")";

  if (chain->cChain != 1) return UNCHAINED;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  DWORD status = 0;
  for (DWORD i = 0; i < simple->cElement; ++i) {
    const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
    status |= element->TrustStatus.dwErrorStatus;
    const bool atAnchor = sameCertificate(element->pCertContext, anchor.get());
    // Above an anchor that is not the chain's last certificate nothing
    // counts; at the chain's end, so do the states of the chain itself.
    if (atAnchor && i + 1 == simple->cElement)
      status |= simple->TrustStatus.dwErrorStatus | chain->TrustStatus.dwErrorStatus;
    // Uses first, so that a certificate not for code signing is named as
    // the other build names it, whether or not this engine nests uses.
    std::string fault = usageFault(element->pCertContext, i == 0);
    if (!fault.empty()) return fault;
    if (status & ~HARMLESS_CHAIN_STATUS)
      return std::string(UNCHAINED) + " (error status " + hexCode(status & ~HARMLESS_CHAIN_STATUS) +
             ")";
    if (atAnchor) return "";
  }
  return UNCHAINED;
}

}  // namespace

bool isReadableCertificate(const std::string& anchorFile) {
  return readCertificate(anchorFile) != nullptr;
}

SignerCheck checkSignerSignature(const uint8_t* der, size_t length, const uint8_t*, size_t,
                                 const std::string& anchorFile) {
  SignerCheck check;
  MessagePtr message(CryptMsgOpenToDecode(ENCODING, 0, 0, 0, nullptr, nullptr));
  if (!message || !CryptMsgUpdate(message.get(), der, static_cast<DWORD>(length), TRUE)) {
    check.failure = "the signature cannot be read (" + hexCode(GetLastError()) + ")";
    return check;
  }
  StorePtr carried(CertOpenStore(CERT_STORE_PROV_MSG, ENCODING, 0, 0, message.get()));
  DWORD infoSize = 0;
  std::vector<BYTE> info;
  CertPtr signer;
  if (carried &&
      CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &infoSize)) {
    info.resize(infoSize);
    if (CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &infoSize))
      signer.reset(CertGetSubjectCertificateFromStore(carried.get(), ENCODING,
                                                      reinterpret_cast<PCERT_INFO>(info.data())));
  }
  if (!signer) {
    check.failure = "the signature does not carry its signer's certificate";
    return check;
  }
  check.signerName = commonNameOf(signer.get());
  if (!CryptMsgControl(message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, signer->pCertInfo)) {
    check.failure = "the signer's signature does not verify (" + hexCode(GetLastError()) + ")";
    return check;
  }
  if (!anchorFile.empty()) {
    check.failure = chainToAnchor(signer.get(), carried.get(), anchorFile);
    if (!check.failure.empty()) return check;
  }
  check.valid = true;
  return check;
}
