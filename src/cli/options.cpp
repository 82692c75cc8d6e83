#include "cli/options.h"

#include "platform/console.h"
#include "platform/environment.h"
#include "platform/module.h"
#include "platform/paths.h"
#include "platform/text.h"

RunSettings runSettings;

namespace {

enum OptionId {
  EXPECT_NAME = 0,
  AUTH_KEY = 1,
  INPUT_FILE = 2,
  OUTPUT_FILE = 3,
  UPGRADE = 4,
  PROGRAM_VERSION = 5,
  VERIFY = 6,
  SIGNER = 7
};

struct Option {
  OptionId id;
  const char* dashForm;
  const char* slashForm;
};

// Compared in this order; the id is also the parser's state while the option
// waits for its value.
const Option OPTIONS[] = {
    {AUTH_KEY, "-k", "/k"},         {INPUT_FILE, "-i", "/i"},
    {OUTPUT_FILE, "-o", "/o"},      {UPGRADE, "-upgrade", "/upgrade"},
    {PROGRAM_VERSION, "-v", "/v"},  {VERIFY, "-verify", "/verify"},
    {SIGNER, "-signer", "/signer"},
};

// Words that ask about the program itself rather than for a job.
const char* const VERSION_FORMS[] = {"--version", "-version", "/version"};
const char* const HELP_FORMS[] = {"--help", "-h", "/?"};

template <size_t N>
bool isOneOf(const std::string& argument, const char* const (&forms)[N]) {
  for (const char* form : forms)
    if (equalsIgnoringCodePageCase(argument, form)) return true;
  return false;
}

OptionId optionNamed(const std::string& argument) {
  for (const Option& option : OPTIONS) {
    if (equalsIgnoringCodePageCase(argument, option.dashForm) ||
        equalsIgnoringCodePageCase(argument, option.slashForm)) {
      return option.id;
    }
  }
  return EXPECT_NAME;
}

void applyValue(OptionId pending, const std::string& value) {
  switch (pending) {
    case AUTH_KEY:
      runSettings.authKey = value;
      break;
    case INPUT_FILE:
      runSettings.inputFiles.push_back(value);
      break;
    case OUTPUT_FILE:
      runSettings.outputFile = value;
      break;
    case PROGRAM_VERSION:
      runSettings.programVersion = value;
      break;
    case SIGNER:
      runSettings.signerCertificate = value;
      runSettings.verifyResult = true;
      break;
    case EXPECT_NAME:
    case UPGRADE:
    case VERIFY:
      break;
  }
}

}  // namespace

// Never fails and never prints: unknown words are skipped, and an option name
// left without its value at the end is dropped; both are listed in
// ignoredArguments, the option by the name it was written with. Values are taken verbatim,
// even when they look like options. Without a key on the command line, the
// key comes from AUTH_KEY_VARIABLE, where process lists and logs do not show it.
void parseCommandLine(int argc, const char* const* argv) {
  OptionId state = EXPECT_NAME;
  std::string pendingName;
  bool keyGiven = false;
  for (int index = 1; index < argc; ++index) {
    std::string argument = argv[index];
    if (state != EXPECT_NAME) {
      applyValue(state, argument);
      keyGiven = keyGiven || state == AUTH_KEY;
      state = EXPECT_NAME;
      continue;
    }
    state = optionNamed(argument);
    pendingName = argument;
    if (state == UPGRADE) {
      runSettings.upgradeMode = true;
      state = EXPECT_NAME;
    } else if (state == VERIFY) {
      runSettings.verifyResult = true;
      state = EXPECT_NAME;
    } else if (state == EXPECT_NAME) {
      if (isOneOf(argument, VERSION_FORMS))
        runSettings.versionWanted = true;
      else if (isOneOf(argument, HELP_FORMS))
        runSettings.helpWanted = true;
      else
        runSettings.ignoredArguments.push_back(argument);
    }
  }
  if (state != EXPECT_NAME) runSettings.ignoredArguments.push_back(pendingName);
  if (!keyGiven) {
    std::string key = environmentVariable(AUTH_KEY_VARIABLE);
    if (!key.empty()) runSettings.authKey = key;
  }
}

std::string programNameFromPath(const std::string& modulePath) {
  // The system reports its own path with its own separator.
  std::string name = lastPathSegment(modulePath);
  size_t dot = findLastChar(name, '.');
  if (dot != std::string::npos) name.erase(dot);
  return toLowerAnsi(name);
}

void printUsage() {
  writeOut("Usage : \n");
  writeOut("    " + programNameFromPath(moduleFilePath()) +
           " -k <key> -v <ver> -i <input> [-i <input> [-i ..]] [-o <output>]\n\n");
  writeOut("    \t-k <key>\t- auth key to tarvolin\n");
  writeOut("    \t-v <ver>\t- program version\n");
  writeOut("    \t-i <input>\t- input file name\n");
  writeOut("    \t-o <output>\t- optional output file name\n\n");
  writeOut("Note :\tTo get auth key, visit tarvolin management site\n");
}

void printHelpPointer() {
  writeOut(
      "More: the manual page tarvolin-agent(1), or README.md beside tarvolin-agent.exe, "
      "describes -upgrade, --version, the exit codes and the variables "
      "TARVOLIN_AUTH_KEY, TARVOLIN_SERVICE_URL and TARVOLIN_TRACE.\n");
}

std::string versionLine() {
  return "tarvolin-agent " + std::to_string(TARVOLIN_VERSION_MAJOR) + "." +
         std::to_string(TARVOLIN_VERSION_MINOR) + "." + std::to_string(TARVOLIN_VERSION_PATCH) +
         "." + std::to_string(TARVOLIN_VERSION_TWEAK);
}
