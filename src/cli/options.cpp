#include "cli/options.h"

#include "platform/console.h"
#include "platform/environment.h"
#include "platform/module.h"
#include "platform/paths.h"
#include "platform/text.h"

RunSettings runSettings;

namespace {

enum OptionId {
  NO_OPTION = 0,
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

// Compared in this order. The two options that guard the result are also
// taken with two dashes, as --help and --version are: a build script that
// writes them so must not lose the check.
const Option OPTIONS[] = {
    {AUTH_KEY, "-k", "/k"},           {INPUT_FILE, "-i", "/i"},
    {OUTPUT_FILE, "-o", "/o"},        {UPGRADE, "-upgrade", "/upgrade"},
    {PROGRAM_VERSION, "-v", "/v"},    {VERIFY, "-verify", "/verify"},
    {SIGNER, "-signer", "/signer"},   {VERIFY, "--verify", "--verify"},
    {SIGNER, "--signer", "--signer"},
};

// Words that ask about the program itself rather than for a job.
const char* const VERSION_FORMS[] = {"--version", "-version", "/version"};
const char* const HELP_FORMS[] = {"--help", "-h", "/h", "/?"};

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
  return NO_OPTION;
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
      // An empty value ("-signer $UNSET") must not pass for a pinned check.
      runSettings.signerCertificate = value;
      runSettings.verifyResult = true;
      runSettings.signerMissing = value.empty();
      break;
    case NO_OPTION:
    case UPGRADE:
    case VERIFY:
      break;
  }
}

}  // namespace

// Never fails and never prints: unknown words are skipped, and an option name
// left without its value at the end is dropped; both are listed in
// ignoredArguments, the option by the name it was written with (a -signer
// left so is marked as missing instead). Values are taken verbatim, even when
// they look like options. The words that follow an input directly, up to the
// next option or help or version word, are inputs too: that is what a shell
// makes of "-i tool*.exe". Without a key on the command line, the key comes
// from AUTH_KEY_VARIABLE, where process lists and logs do not show it.
void parseCommandLine(int argc, const char* const* argv) {
  OptionId pending = NO_OPTION;
  bool afterInput = false;
  std::string pendingName;
  bool keyGiven = false;
  for (int index = 1; index < argc; ++index) {
    std::string argument = argv[index];
    if (pending != NO_OPTION) {
      applyValue(pending, argument);
      keyGiven = keyGiven || pending == AUTH_KEY;
      afterInput = pending == INPUT_FILE;
      pending = NO_OPTION;
      continue;
    }
    pending = optionNamed(argument);
    pendingName = argument;
    bool aboutTheProgram = isOneOf(argument, VERSION_FORMS) || isOneOf(argument, HELP_FORMS);
    if (afterInput && pending == NO_OPTION && !aboutTheProgram) {
      runSettings.inputFiles.push_back(argument);
      continue;
    }
    afterInput = false;
    if (pending == UPGRADE) {
      runSettings.upgradeMode = true;
      pending = NO_OPTION;
    } else if (pending == VERIFY) {
      runSettings.verifyResult = true;
      pending = NO_OPTION;
    } else if (pending == NO_OPTION) {
      if (isOneOf(argument, VERSION_FORMS))
        runSettings.versionWanted = true;
      else if (isOneOf(argument, HELP_FORMS))
        runSettings.helpWanted = true;
      else
        runSettings.ignoredArguments.push_back(argument);
    }
  }
  if (pending == SIGNER)
    runSettings.signerMissing = true;
  else if (pending != NO_OPTION)
    runSettings.ignoredArguments.push_back(pendingName);
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
      "Also :\t-verify\t\t- prove the signed result before it is saved\n"
      "      \t-signer <cert>\t- and that its signer chains to this certificate\n"
      "      \t-upgrade, --version; the variables TARVOLIN_AUTH_KEY, TARVOLIN_SERVICE_URL "
      "and TARVOLIN_TRACE\n");
  // Each build points to the documents its package installs.
#ifdef _WIN32
  writeOut("More :\tREADME.md beside tarvolin-agent.exe, with the exit codes\n");
#else
  writeOut("More :\tman tarvolin-agent, with the exit codes\n");
#endif
}

std::string versionLine() {
  return "tarvolin-agent " + std::to_string(TARVOLIN_VERSION_MAJOR) + "." +
         std::to_string(TARVOLIN_VERSION_MINOR) + "." + std::to_string(TARVOLIN_VERSION_PATCH) +
         "." + std::to_string(TARVOLIN_VERSION_TWEAK);
}
