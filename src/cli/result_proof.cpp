#include "cli/result_proof.h"

#include "platform/console.h"

bool inputsCanBeProven(const RunSettings& settings) {
  if (!settings.verifyResult) return true;
  std::string fault = checkInputsArePe(settings.inputFiles);
  if (fault.empty()) return true;
  writeOut(fault);
  return false;
}

bool proveDownloadedResult(const RunSettings& settings, const std::string& tempFile,
                           ResultProof& proof) {
  if (!settings.verifyResult) return true;
  proof = proveResult(tempFile, settings.inputFiles, settings.signerCertificate);
  if (proof.failure.empty()) return true;
  writeOut("Verification failed: " + proof.failure + "\n");
  writeErr("The downloaded result is kept for inspection in " + tempFile + "\n");
  return false;
}

void reportProvenResult(const RunSettings& settings, const ResultProof& proof) {
  if (settings.verifyResult)
    writeOut(proofSummary(proof, settings.inputFiles, settings.outputFile));
}
