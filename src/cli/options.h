// The command line: run settings, the option grammar and the usage text.
#pragma once

#include <string>
#include <vector>

struct RunSettings {
  std::string authKey;
  std::string programVersion;
  std::vector<std::string> inputFiles;
  std::string outputFile;
  bool upgradeMode = false;
  // -verify: prove the signed result before saving it; -signer names the
  // certificate its signer must chain to, and implies -verify.
  bool verifyResult = false;
  std::string signerCertificate;
};

// The process-wide settings; only the parser writes them, and the driver
// fills outputFile from the download URL when it is empty.
extern RunSettings runSettings;

// The environment variable that holds the key when -k is not given.
constexpr const char* AUTH_KEY_VARIABLE = "TARVOLIN_AUTH_KEY";

void parseCommandLine(int argc, const char* const* argv);
// The program name shown in the usage text, derived from the executable's path.
std::string programNameFromPath(const std::string& modulePath);
void printUsage();
