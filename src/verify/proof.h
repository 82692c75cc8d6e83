// Proof that a signed result is what was uploaded plus valid signatures:
// for one input a signed PE, for several a zip of them.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/digest.h"
#include "verify/pe_layout.h"

// An uploaded input and the digests of it computed so far.
struct InputRecord {
  std::string path;
  PeLayout layout;
  std::vector<std::pair<DigestKind, std::string>> digests;
  bool matched = false;  // an entry of the result has been matched to it

  // Computes the digests under `kinds` that are not known yet, in one pass.
  bool ensureDigests(const std::vector<DigestKind>& kinds);
  const std::string* digestFor(DigestKind kind) const;
};

// A digest of a file taken as its bytes went by, with the layout they showed.
struct KnownDigest {
  bool known = false;
  PeLayout layout;
  DigestKind kind = DigestKind::Sha256;
  std::string value;
};

// What one signed PE proved.
struct SignedFileProof {
  std::string failure;  // empty when proven
  size_t inputIndex = 0;
  DigestKind kind = DigestKind::Sha256;  // the first signature's
  std::string digest;
  size_t signatures = 0;
  std::string signerName;  // the first signature's signer
};

struct ResultProof {
  std::string failure;  // empty when proven
  std::vector<SignedFileProof> files;
};

// Before the upload: an empty text when every input is a well-formed PE,
// else one line naming the first that is not and why.
std::string checkInputsArePe(const std::vector<std::string>& inputs);

// Checks the downloaded result at `resultPath` against `inputs`; with an
// `anchorFile`, every signer must also chain to that certificate. Digests
// taken while the inputs were uploaded (one per input, or none) and while
// the result was downloaded are used where the files on disk still show the
// same layout; others are computed from the files.
ResultProof proveResult(const std::string& resultPath, const std::vector<std::string>& inputs,
                        const std::string& anchorFile,
                        const std::vector<KnownDigest>& uploaded = {},
                        const KnownDigest& downloaded = KnownDigest());

// Proves one signed PE, matched to one of the inputs not matched yet.
SignedFileProof proveSignedFile(const std::string& path, std::vector<InputRecord>& inputs,
                                const std::string& anchorFile,
                                const KnownDigest& streamed = KnownDigest());

// `text` from a file or a certificate, fit to stand in one line: control
// characters become '?'.
std::string printable(const std::string& text);

// The line that reports a proven result saved as `outputPath`.
std::string proofSummary(const ResultProof& proof, const std::vector<std::string>& inputs,
                         const std::string& outputPath);
