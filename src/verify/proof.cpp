#include "verify/proof.h"

#include <algorithm>

#include "platform/signature.h"
#include "verify/cert_table.h"
#include "verify/pe_file.h"
#include "verify/signed_data.h"
#include "verify/stream_digest.h"
#include "verify/zip_result.h"

namespace {

constexpr size_t SHOWN_HEX_DIGITS = 16;

std::string hexOf(const std::string& bytes, size_t digits) {
  static const char HEX[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    if (text.size() >= digits) break;
    text += HEX[byte >> 4];
    text += HEX[byte & 0x0F];
  }
  return text;
}

std::string ordinal(size_t index) {
  return "signature " + std::to_string(index + 1);
}

std::vector<DigestKind> kindsOf(const std::vector<SignatureFacts>& signatures) {
  std::vector<DigestKind> kinds;
  for (const SignatureFacts& facts : signatures)
    if (std::find(kinds.begin(), kinds.end(), facts.fileDigestKind) == kinds.end())
      kinds.push_back(facts.fileDigestKind);
  return kinds;
}

// The signer's own checks: the signed attributes name the content's digest,
// and the signer's signature over them verifies. libcrypto compares the
// digest too, but wine's CryptoAPI does not for content of a type other than
// data, so it is compared here, alike on both builds.
std::string checkSigner(const SignatureFacts& facts, const std::string& anchorFile,
                        std::string& signerName) {
  Digest contentDigest(facts.signerDigestKind);
  contentDigest.update(facts.content, facts.contentLength);
  if (contentDigest.finish() != facts.messageDigest)
    return "its signed message digest does not match its content";
  SignerCheck check = checkSignerSignature(facts.der, facts.derLength, facts.content,
                                           facts.contentLength, anchorFile);
  signerName = check.signerName;
  return check.valid ? "" : check.failure;
}

// Takes a digest computed while the file went by, when the file on disk
// still has the layout the bytes showed then.
void adoptKnownDigest(InputRecord& record, const KnownDigest& known) {
  if (known.known && sameLayout(known.layout, record.layout))
    record.digests.emplace_back(known.kind, known.value);
}

bool allMatch(const std::vector<SignatureFacts>& signatures, const InputRecord& input) {
  for (const SignatureFacts& facts : signatures) {
    const std::string* digest = input.digestFor(facts.fileDigestKind);
    if (!digest || *digest != facts.fileDigest) return false;
  }
  return true;
}

}  // namespace

bool InputRecord::ensureDigests(const std::vector<DigestKind>& kinds) {
  std::vector<DigestKind> missing;
  for (DigestKind kind : kinds)
    if (!digestFor(kind)) missing.push_back(kind);
  if (missing.empty()) return true;
  std::vector<std::string> values;
  if (!digestPeFile(path, layout, missing, values)) return false;
  for (size_t i = 0; i < missing.size(); ++i) digests.emplace_back(missing[i], values[i]);
  return true;
}

const std::string* InputRecord::digestFor(DigestKind kind) const {
  for (const auto& known : digests)
    if (known.first == kind) return &known.second;
  return nullptr;
}

std::string printable(const std::string& text) {
  std::string line = text;
  for (char& ch : line)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
  return line;
}

std::string checkInputsArePe(const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    PeLayout layout;
    std::string fault = readPeFileLayout(input, layout);
    if (!fault.empty())
      return std::string("[")
          .append(input)
          .append("] is not a PE file to sign: ")
          .append(fault)
          .append("\n");
  }
  return "";
}

SignedFileProof proveSignedFile(const std::string& path, std::vector<InputRecord>& inputs,
                                const std::string& anchorFile, const KnownDigest& streamed) {
  SignedFileProof proof;
  PeLayout layout;
  std::vector<uint8_t> table;
  std::vector<TableEntry> entries;
  std::string fault = readPeFileLayout(path, layout);
  if (!fault.empty()) {
    proof.failure = "it is not a PE file: " + fault;
    return proof;
  }
  fault = readCertificateTable(path, layout, table);
  if (fault.empty()) fault = walkCertificateTable(table.data(), table.size(), entries);
  std::vector<SignatureFacts> signatures;
  for (size_t i = 0; fault.empty() && i < entries.size(); ++i) {
    fault =
        collectSignatures(table.data() + entries[i].derOffset, entries[i].derLength, signatures);
    if (!fault.empty())
      fault = std::string("the signature in certificate table entry ")
                  .append(std::to_string(i + 1))
                  .append(": ")
                  .append(fault);
  }
  if (!fault.empty()) {
    proof.failure = fault;
    return proof;
  }

  const std::vector<DigestKind> kinds = kindsOf(signatures);
  InputRecord self{path, layout, {}};
  adoptKnownDigest(self, streamed);
  if (!self.ensureDigests(kinds)) {
    proof.failure = "it cannot be read";
    return proof;
  }
  for (size_t i = 0; i < signatures.size(); ++i) {
    if (*self.digestFor(signatures[i].fileDigestKind) != signatures[i].fileDigest) {
      proof.failure =
          ordinal(i) + " does not match the file it is in: the file was changed after signing";
      return proof;
    }
  }

  proof.inputIndex = inputs.size();
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].matched) continue;
    if (!inputs[i].ensureDigests(kinds)) {
      proof.failure = "the input " + inputs[i].path + " can no longer be read";
      return proof;
    }
    if (allMatch(signatures, inputs[i])) {
      proof.inputIndex = i;
      break;
    }
  }
  if (proof.inputIndex == inputs.size()) {
    proof.failure = inputs.size() == 1 ? "it is not the uploaded input " + inputs[0].path +
                                             " (its Authenticode digest differs)"
                                       : "it is none of the uploaded inputs not matched yet";
    return proof;
  }

  for (size_t i = 0; i < signatures.size(); ++i) {
    std::string name;
    fault = checkSigner(signatures[i], anchorFile, name);
    if (!fault.empty()) {
      proof.failure = ordinal(i) + ": " + fault;
      return proof;
    }
    if (i == 0) proof.signerName = name;
  }
  inputs[proof.inputIndex].matched = true;
  proof.kind = signatures[0].fileDigestKind;
  proof.digest = signatures[0].fileDigest;
  proof.signatures = signatures.size();
  return proof;
}

ResultProof proveResult(const std::string& resultPath, const std::vector<std::string>& inputs,
                        const std::string& anchorFile, const std::vector<KnownDigest>& uploaded,
                        const KnownDigest& downloaded) {
  ResultProof result;
  std::vector<InputRecord> records;
  for (const std::string& input : inputs) {
    InputRecord record;
    record.path = input;
    std::string fault = readPeFileLayout(input, record.layout);
    if (!fault.empty()) {
      result.failure = std::string("the input ").append(input).append(" changed: ").append(fault);
      return result;
    }
    if (records.size() < uploaded.size()) adoptKnownDigest(record, uploaded[records.size()]);
    records.push_back(record);
  }
  if (inputs.size() == 1) {
    SignedFileProof proof = proveSignedFile(resultPath, records, anchorFile, downloaded);
    if (!proof.failure.empty()) {
      result.failure = "the result: " + proof.failure;
      return result;
    }
    result.files.push_back(proof);
    return result;
  }
  std::vector<uint64_t> inputSizes;
  inputSizes.reserve(records.size());
  for (const InputRecord& record : records) inputSizes.push_back(record.layout.fileSize);
  // With as many entries as inputs, each proven entry matches an input of
  // its own, so all are matched at the end.
  const ZipCaps caps = zipCapsFor(inputSizes);
  result.failure =
      proveZipEntries(resultPath, records.size(), caps, [&](const std::string& unpacked) {
        SignedFileProof proof = proveSignedFile(unpacked, records, anchorFile);
        if (proof.failure.empty()) result.files.push_back(proof);
        return proof.failure;
      });
  return result;
}

std::string proofSummary(const ResultProof& proof, const std::vector<std::string>& inputs,
                         const std::string& outputPath) {
  std::string line = "Verified " + outputPath + ":";
  size_t signatures = 0;
  std::vector<std::string> signers;
  for (size_t i = 0; i < proof.files.size(); ++i) {
    const SignedFileProof& file = proof.files[i];
    line += (i == 0 ? " " : ", ") + inputs[file.inputIndex] + " " + digestName(file.kind) + " " +
            hexOf(file.digest, SHOWN_HEX_DIGITS);
    signatures += file.signatures;
    if (std::find(signers.begin(), signers.end(), file.signerName) == signers.end())
      signers.push_back(file.signerName);
  }
  line += ", " + std::to_string(signatures) + (signatures == 1 ? " signature" : " signatures");
  line += signers.size() == 1 ? ", signer " : ", signers ";
  for (size_t i = 0; i < signers.size(); ++i) line += (i == 0 ? "" : ", ") + printable(signers[i]);
  return line + "\n";
}
