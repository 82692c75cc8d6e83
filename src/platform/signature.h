// Checks of a PKCS#7 signature with the system's crypto library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SignerCheck {
  bool valid = false;
  std::string signerName;  // the signer certificate's common name
  std::string failure;     // why not valid, for people
};

// Checks that the one signer of the SignedData `der` signed its content,
// whose contents octets are `content`. With an `anchorFile` (a certificate in
// PEM or DER) the signer's certificate must also be that certificate or
// chain up to it through the certificates the signature carries; no other
// trust store is consulted. Both builds apply one policy up to that
// certificate: validity, basic and name constraints, code signing or no
// extended key usage in each certificate, digitalSignature in the signer's
// key usage when it has one.
SignerCheck checkSignerSignature(const uint8_t* der, size_t length, const uint8_t* content,
                                 size_t contentLength, const std::string& anchorFile);

// True when `anchorFile` holds a certificate in PEM or DER.
bool isReadableCertificate(const std::string& anchorFile);
