#include "cli/result_proof.h"

#include "platform/console.h"
#include "platform/signature.h"

namespace {

void takeBytes(void* context, int32_t file, const void* bytes, uint32_t count) {
  ProofStreams& streams = *static_cast<ProofStreams*>(context);
  if (file == TAP_REPLY_FILE)
    streams.result.take(bytes, count);
  else if (file >= 0 && static_cast<size_t>(file) < streams.inputs.size())
    streams.inputs[static_cast<size_t>(file)].take(bytes, count);
}

void forgetBytes(void* context, int32_t file) {
  ProofStreams& streams = *static_cast<ProofStreams*>(context);
  if (file == TAP_REPLY_FILE)
    streams.result = StreamedDigest(streams.result.kind);
  else if (file >= 0 && static_cast<size_t>(file) < streams.inputs.size())
    streams.inputs[static_cast<size_t>(file)] =
        StreamedDigest(streams.inputs[static_cast<size_t>(file)].kind);
}

KnownDigest finished(StreamedDigest& stream) {
  KnownDigest known;
  known.kind = stream.kind;
  known.known = stream.finish(known.value, known.layout);
  return known;
}

}  // namespace

ProofStreams::ProofStreams(const RunSettings& settings) {
  // SHA-256 is what signers use today; a signature under another algorithm
  // costs a pass over the file afterwards.
  if (settings.verifyResult)
    for (size_t i = 0; i < settings.inputFiles.size(); ++i) inputs.emplace_back();
}

ContentTap ProofStreams::tap() {
  ContentTap tap;
  if (active()) {
    tap.context = this;
    tap.seen = takeBytes;
    tap.startedOver = forgetBytes;
  }
  return tap;
}

bool inputsCanBeProven(const RunSettings& settings) {
  if (!settings.verifyResult) return true;
  if (!settings.signerCertificate.empty() && !isReadableCertificate(settings.signerCertificate)) {
    writeOut("[" + settings.signerCertificate + "] is not a certificate (PEM or DER)\n");
    return false;
  }
  std::string fault = checkInputsArePe(settings.inputFiles);
  if (fault.empty()) return true;
  writeOut(fault);
  return false;
}

bool proveDownloadedResult(const RunSettings& settings, const std::string& resultFile,
                           ProofStreams& streams, ResultProof& proof) {
  if (!settings.verifyResult) return true;
  std::vector<KnownDigest> uploaded;
  for (StreamedDigest& input : streams.inputs) uploaded.push_back(finished(input));
  proof = proveResult(resultFile, settings.inputFiles, settings.signerCertificate, uploaded,
                      finished(streams.result));
  if (proof.failure.empty()) return true;
  writeOut("Verification failed: " + proof.failure + "\n");
  return false;
}

void reportProvenResult(const RunSettings& settings, const ResultProof& proof) {
  if (settings.verifyResult)
    writeOut(proofSummary(proof, settings.inputFiles, settings.outputFile));
}
