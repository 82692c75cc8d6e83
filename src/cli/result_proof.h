// The driver's steps for -verify: inputs checked before the upload, the
// downloaded result proven before it is saved. Each does nothing without
// -verify.
#pragma once

#include <string>

#include "cli/options.h"
#include "verify/proof.h"

// False after writing the line that names an input which is not a PE.
bool inputsCanBeProven(const RunSettings& settings);

// False after writing the line "Verification failed: ..." and, on standard
// error, where the downloaded result is kept for inspection.
bool proveDownloadedResult(const RunSettings& settings, const std::string& tempFile,
                           ResultProof& proof);

// Writes the line that tells what was proven, now that the result is saved.
void reportProvenResult(const RunSettings& settings, const ResultProof& proof);
