#include "platform/signature.h"

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

constexpr DWORD ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Faults of a chain element that make it unfit, whatever the anchor: time,
// signature, usage, a revoked or cyclic certificate, a broken name or
// policy constraint. A root that is not trusted and a revocation state that
// cannot be learned are not among them: the caller names the anchor, and
// revocation is not checked.
constexpr DWORD ELEMENT_FAULTS =
    CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_NOT_SIGNATURE_VALID |
    CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_IS_CYCLIC | CERT_TRUST_INVALID_EXTENSION |
    CERT_TRUST_INVALID_POLICY_CONSTRAINTS | CERT_TRUST_INVALID_BASIC_CONSTRAINTS |
    CERT_TRUST_INVALID_NAME_CONSTRAINTS;

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

// The certificate in `path`, PEM or DER; null when it cannot be read.
PCCERT_CONTEXT readCertificate(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return nullptr;
  std::vector<BYTE> bytes;
  BYTE block[4096];
  size_t count;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0 && bytes.size() < (1u << 20))
    bytes.insert(bytes.end(), block, block + count);
  std::fclose(file);
  DWORD derLength = 0;
  std::vector<BYTE> der;
  if (CryptStringToBinaryA(reinterpret_cast<const char*>(bytes.data()),
                           static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                           &derLength, nullptr, nullptr)) {
    der.resize(derLength);
    if (!CryptStringToBinaryA(reinterpret_cast<const char*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &derLength, nullptr, nullptr))
      return nullptr;
    der.resize(derLength);
  } else {
    der.swap(bytes);
  }
  return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                      static_cast<DWORD>(der.size()));
}

bool sameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded &&
         memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// The signer is the anchor, or chains up to it through the certificates
// the signature carries. The chain engine trusts only the anchor; the chain
// it builds is then read up to the anchor, so that an anchor which is not a
// self-signed root (a partial chain) is honoured as well.
std::string chainToAnchor(PCCERT_CONTEXT signer, HCERTSTORE carried, const std::string& path) {
  PCCERT_CONTEXT anchor = readCertificate(path);
  if (!anchor) return "the signer certificate " + path + " cannot be read";
  std::string fault;
  HCERTSTORE anchors =
      CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  HCERTSTORE extra[] = {carried, anchors};
  CERT_CHAIN_ENGINE_CONFIG config = {};
  config.cbSize = sizeof config;
  config.hExclusiveRoot = anchors;
  config.cAdditionalStore = 2;
  config.rghAdditionalStore = extra;
  HCERTCHAINENGINE engine = nullptr;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_CHAIN_PARA parameters = {};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
  if (!anchors ||
      !CertAddCertificateContextToStore(anchors, anchor, CERT_STORE_ADD_ALWAYS, nullptr)) {
    fault = "the signer certificate " + path + " cannot be used";
  } else if (!CertCreateCertificateChainEngine(&config, &engine) ||
             !CertGetCertificateChain(engine, signer, nullptr, carried, &parameters, 0, nullptr,
                                      &chain)) {
    fault = "no certificate chain could be built (" + hexCode(GetLastError()) + ")";
  } else {
    fault = "the signer does not chain to the given certificate";
    const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
    for (DWORD i = 0; simple && i < simple->cElement; ++i) {
      const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
      if (element->TrustStatus.dwErrorStatus & ELEMENT_FAULTS) {
        fault += " (error status " + hexCode(element->TrustStatus.dwErrorStatus) + ")";
        break;
      }
      if (sameCertificate(element->pCertContext, anchor)) {
        fault.clear();
        break;
      }
    }
  }
  if (chain) CertFreeCertificateChain(chain);
  if (engine) CertFreeCertificateChainEngine(engine);
  if (anchors) CertCloseStore(anchors, 0);
  CertFreeCertificateContext(anchor);
  return fault;
}

}  // namespace

bool isReadableCertificate(const std::string& anchorFile) {
  PCCERT_CONTEXT certificate = readCertificate(anchorFile);
  if (!certificate) return false;
  CertFreeCertificateContext(certificate);
  return true;
}

SignerCheck checkSignerSignature(const uint8_t* der, size_t length, const uint8_t*, size_t,
                                 const std::string& anchorFile) {
  SignerCheck check;
  HCRYPTMSG message = CryptMsgOpenToDecode(ENCODING, 0, 0, 0, nullptr, nullptr);
  if (!message || !CryptMsgUpdate(message, der, static_cast<DWORD>(length), TRUE)) {
    check.failure = "the signature cannot be read (" + hexCode(GetLastError()) + ")";
    if (message) CryptMsgClose(message);
    return check;
  }
  HCERTSTORE carried = CertOpenStore(CERT_STORE_PROV_MSG, ENCODING, 0, 0, message);
  DWORD infoSize = 0;
  std::vector<BYTE> info;
  PCCERT_CONTEXT signer = nullptr;
  if (carried && CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &infoSize)) {
    info.resize(infoSize);
    if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &infoSize))
      signer = CertGetSubjectCertificateFromStore(carried, ENCODING,
                                                  reinterpret_cast<PCERT_INFO>(info.data()));
  }
  if (!signer) {
    check.failure = "the signature does not carry its signer's certificate";
  } else {
    check.signerName = commonNameOf(signer);
    if (!CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE, signer->pCertInfo)) {
      check.failure = "the signer's signature does not verify (" + hexCode(GetLastError()) + ")";
    } else if (!anchorFile.empty()) {
      check.failure = chainToAnchor(signer, carried, anchorFile);
      check.valid = check.failure.empty();
    } else {
      check.valid = true;
    }
    CertFreeCertificateContext(signer);
  }
  if (carried) CertCloseStore(carried, 0);
  CryptMsgClose(message);
  return check;
}
