// Runs the agent's -verify checks on files at hand, without a service, for
// the tests that sign files and tamper with them.
//
//   proof-probe --inputs INPUT...                  the check before an upload
//   proof-probe RESULT [--signer CERT] INPUT...    the proof of a download
//
// Prints the line the agent would print; exits 0 when the check passes and 1
// when it does not. A cancel ends it as it ends the agent.
#include <cstring>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/interrupts.h"
#include "verify/proof.h"

int main(int argc, char** argv) {
  initConsoleOutput();
  // As in the agent: a cancel removes the entries of a zip being proven.
  installInterruptCleanup();
  if (argc < 3) {
    writeErr("usage: proof-probe --inputs INPUT... | RESULT [--signer CERT] INPUT...\n");
    return 2;
  }
  std::vector<std::string> inputs;
  if (std::strcmp(argv[1], "--inputs") == 0) {
    inputs.assign(argv + 2, argv + argc);
    std::string fault = checkInputsArePe(inputs);
    writeOut(fault.empty() ? "inputs are PE files\n" : fault);
    return fault.empty() ? 0 : 1;
  }
  std::string signer;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--signer") == 0 && i + 1 < argc)
      signer = argv[++i];
    else
      inputs.push_back(argv[i]);
  }
  ResultProof proof = proveResult(argv[1], inputs, signer);
  if (!proof.failure.empty()) {
    writeOut("Verification failed: " + proof.failure + "\n");
    return 1;
  }
  writeOut(proofSummary(proof, inputs, argv[1]));
  return 0;
}
