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
  // Beyond the five options: --version and --help, and the words skipped
  // (unknown ones, and an option left without its value at the end), in the
  // order given, for the driver to name.
  bool versionWanted = false;
  bool helpWanted = false;
  std::vector<std::string> ignoredArguments;
  // -verify: prove the signed result before saving it; -signer names the
  // certificate its signer must chain to, and implies -verify.
  bool verifyResult = false;
  std::string signerCertificate;
  // -signer was the last word or had an empty value: the run is refused
  // rather than checked against nothing.
  bool signerMissing = false;
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
// What --help adds after the usage text: where the rest is described.
void printHelpPointer();
// "tarvolin-agent 1.0.0.4", from the version the program is built as.
std::string versionLine();
