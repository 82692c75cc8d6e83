// The driver's steps for -verify: inputs checked before the upload, the
// downloaded result proven before it is saved. Each does nothing without
// -verify.
#pragma once

#include <string>

#include "cli/options.h"
#include "formpost/form_request.h"
#include "verify/proof.h"
#include "verify/stream_digest.h"

// The digests of the inputs as they are uploaded and of the result as it is
// downloaded: with -verify, the proof then reads neither file again.
struct ProofStreams {
  std::vector<StreamedDigest> inputs;
  StreamedDigest result;

  explicit ProofStreams(const RunSettings& settings);
  // The tap for the upload and the download; a null one without -verify.
  ContentTap tap();
  bool active() const { return !inputs.empty(); }
};

// False after writing the line that names an input which is not a PE, or
// a -signer file that holds no certificate.
bool inputsCanBeProven(const RunSettings& settings);

// False after writing the line "Verification failed: ..."; the caller keeps
// the downloaded result for inspection.
bool proveDownloadedResult(const RunSettings& settings, const std::string& resultFile,
                           ProofStreams& streams, ResultProof& proof);

// Writes the line that tells what was proven, now that the result is saved.
void reportProvenResult(const RunSettings& settings, const ResultProof& proof);
