// The option grammar on arbitrary argument vectors: the input's bytes, split
// at NUL bytes, are the arguments after the program name. The settings must
// be those of a plain reading of the grammar, in which only ASCII letters
// fold case; under a double-byte locale (LC_ALL set by the caller) no trail
// byte may make an argument match an option.
#include <iterator>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz_target.h"
#include "platform/environment.h"
#include "platform/text.h"

namespace {

bool sameAsciiFolded(const std::string& argument, const char* form) {
  std::string folded = argument;
  for (char& ch : folded)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return folded == form;
}

int optionId(const std::string& argument) {
  static const char* const FORMS[][2] = {
      {"-k", "/k"}, {"-i", "/i"},           {"-o", "/o"},          {"-upgrade", "/upgrade"},
      {"-v", "/v"}, {"-verify", "/verify"}, {"-signer", "/signer"}};
  for (size_t row = 0; row < std::size(FORMS); ++row)
    if (sameAsciiFolded(argument, FORMS[row][0]) || sameAsciiFolded(argument, FORMS[row][1]))
      return static_cast<int>(row) + 1;
  if (sameAsciiFolded(argument, "--verify")) return 6;
  if (sameAsciiFolded(argument, "--signer")) return 7;
  return 0;
}

bool asksAboutTheProgram(const std::string& argument) {
  for (const char* form : {"--version", "-version", "/version", "--help", "-h", "/h", "/?"})
    if (sameAsciiFolded(argument, form)) return true;
  return false;
}

RunSettings expectedSettings(const std::vector<std::string>& arguments) {
  RunSettings expected;
  int pending = 0;
  bool afterInput = false;
  for (const std::string& argument : arguments) {
    if (pending == 0 && afterInput && optionId(argument) == 0 && !asksAboutTheProgram(argument)) {
      expected.inputFiles.push_back(argument);
      continue;
    }
    afterInput = pending == 2;
    switch (pending) {
      case 1:
        expected.authKey = argument;
        break;
      case 2:
        expected.inputFiles.push_back(argument);
        break;
      case 3:
        expected.outputFile = argument;
        break;
      case 5:
        expected.programVersion = argument;
        break;
      case 7:
        expected.signerCertificate = argument;
        expected.verifyResult = true;
        expected.signerMissing = argument.empty();
        break;
      default: {
        int id = optionId(argument);
        if (id == 4) expected.upgradeMode = true;
        if (id == 6) expected.verifyResult = true;
        pending = id == 4 || id == 6 ? 0 : id;
        continue;
      }
    }
    pending = 0;
  }
  if (pending == 7) expected.signerMissing = true;
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The model expects the key from -k alone: a key the caller exported would
  // stand in for a missing one.
  clearEnvironmentVariable(AUTH_KEY_VARIABLE);
  initAnsiCodePage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (size > 0) arguments.push_back(current);

  std::vector<const char*> argv{"tarvolin-agent"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  runSettings = RunSettings();
  parseCommandLine(static_cast<int>(argv.size() - 1), argv.data());

  RunSettings expected = expectedSettings(arguments);
  FUZZ_CHECK(runSettings.authKey == expected.authKey);
  FUZZ_CHECK(runSettings.programVersion == expected.programVersion);
  FUZZ_CHECK(runSettings.outputFile == expected.outputFile);
  FUZZ_CHECK(runSettings.inputFiles == expected.inputFiles);
  FUZZ_CHECK(runSettings.upgradeMode == expected.upgradeMode);
  FUZZ_CHECK(runSettings.verifyResult == expected.verifyResult);
  FUZZ_CHECK(runSettings.signerCertificate == expected.signerCertificate);
  FUZZ_CHECK(runSettings.signerMissing == expected.signerMissing);
  return 0;
}
