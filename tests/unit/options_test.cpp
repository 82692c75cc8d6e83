#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/console.h"

namespace {

// Parses `arguments` (program name first) into fresh settings.
RunSettings parse(std::vector<const char*> arguments) {
  runSettings = RunSettings{};
  parseCommandLine(static_cast<int>(arguments.size()), arguments.data());
  return runSettings;
}

using Paths = std::vector<std::string>;

}  // namespace

TEST(Options, NothingGivenLeavesEverythingEmpty) {
  RunSettings settings = parse({"agent"});
  EXPECT_EQ(settings.authKey, "");
  EXPECT_EQ(settings.programVersion, "");
  EXPECT_EQ(settings.inputFiles, Paths{});
  EXPECT_EQ(settings.outputFile, "");
  EXPECT_FALSE(settings.upgradeMode);
  EXPECT_FALSE(settings.verifyResult);
  EXPECT_EQ(settings.signerCertificate, "");
}

TEST(Options, ProgramNameIsNeverAnOption) {
  RunSettings settings = parse({"-upgrade", "-k"});
  EXPECT_FALSE(settings.upgradeMode);
  EXPECT_EQ(settings.authKey, "");
}

TEST(Options, DashAndSlashFormsInAnyCase) {
  RunSettings settings =
      parse({"agent", "-K", "key1", "/I", "a.exe", "/o", "out.exe", "-V", "2.1"});
  EXPECT_EQ(settings.authKey, "key1");
  EXPECT_EQ(settings.inputFiles, Paths{"a.exe"});
  EXPECT_EQ(settings.outputFile, "out.exe");
  EXPECT_EQ(settings.programVersion, "2.1");
  EXPECT_FALSE(settings.upgradeMode);

  EXPECT_TRUE(parse({"agent", "/UpGrade"}).upgradeMode);
  EXPECT_TRUE(parse({"agent", "-UPGRADE"}).upgradeMode);
  EXPECT_EQ(parse({"agent", "/k", "x", "-v", "1", "/v", "2"}).programVersion, "2");

  for (const char* verify : {"-verify", "/verify", "-VERIFY", "/Verify"}) {
    settings = parse({"agent", verify, "-i", "a.exe"});
    EXPECT_TRUE(settings.verifyResult) << verify;
    EXPECT_EQ(settings.signerCertificate, "") << verify;
    EXPECT_EQ(settings.inputFiles, Paths{"a.exe"}) << verify;
  }
  // -signer takes a value and implies -verify.
  for (const char* signer : {"-signer", "/signer", "-SIGNER", "/SiGnEr"}) {
    settings = parse({"agent", signer, "ca.pem", "-i", "a.exe"});
    EXPECT_TRUE(settings.verifyResult) << signer;
    EXPECT_EQ(settings.signerCertificate, "ca.pem") << signer;
    EXPECT_EQ(settings.inputFiles, Paths{"a.exe"}) << signer;
  }
  settings = parse({"agent", "-signer", "-verify"});
  EXPECT_EQ(settings.signerCertificate, "-verify");
  EXPECT_FALSE(parse({"agent", "-i", "-verify"}).verifyResult);
  EXPECT_FALSE(parse({"agent", "-signer"}).verifyResult);
}

TEST(Options, RepeatedOptionsKeepTheLastValueAndEveryInput) {
  RunSettings settings = parse({"agent", "-k", "first", "-i", "x", "-k", "second", "-i", "x", "-o",
                                "a", "-o", "b", "-upgrade", "-upgrade"});
  EXPECT_EQ(settings.authKey, "second");
  EXPECT_EQ(settings.inputFiles, (Paths{"x", "x"}));
  EXPECT_EQ(settings.outputFile, "b");
  EXPECT_TRUE(settings.upgradeMode);
}

TEST(Options, OnlyWholeArgumentsAreOptionNames) {
  RunSettings settings = parse({"agent", "-kkey", "-k=key", "-k:key", "--k", "k", "-upgradex",
                                "-up", "upgrade", "-i a.exe", " -i", "-i ", "\\i", "a.exe"});
  EXPECT_EQ(settings.authKey, "");
  EXPECT_EQ(settings.inputFiles, Paths{});
  EXPECT_FALSE(settings.upgradeMode);
}

TEST(Options, PendingValueIsTakenVerbatim) {
  RunSettings settings = parse({"agent", "-k", "-i", "a.exe"});
  EXPECT_EQ(settings.authKey, "-i");
  EXPECT_EQ(settings.inputFiles, Paths{});

  settings = parse({"agent", "-i", "-upgrade", "-i", "", "-i", " /O x ", "-v", "/k"});
  EXPECT_EQ(settings.inputFiles, (Paths{"-upgrade", "", " /O x "}));
  EXPECT_FALSE(settings.upgradeMode);
  EXPECT_EQ(settings.programVersion, "/k");
  EXPECT_EQ(settings.authKey, "");
}

TEST(Options, UnknownWordsAreSkippedWhereANameIsExpectedAndListed) {
  RunSettings settings =
      parse({"agent", "x.exe", "-upgrade", "", "-x", "-i", "a.exe", "-v", "1", "b.exe"});
  EXPECT_TRUE(settings.upgradeMode);
  EXPECT_EQ(settings.inputFiles, Paths{"a.exe"});
  EXPECT_EQ(settings.ignoredArguments, (Paths{"x.exe", "", "-x", "b.exe"}));
  // Values are never listed, whatever they look like.
  EXPECT_EQ(parse({"agent", "-k", "--version", "-i", "/?"}).ignoredArguments, Paths{});
}

// What a shell hands over for globs, doubled dashes and unset variables.
TEST(Options, SlipsThatMustNotPassUnnoticed) {
  struct Case {
    std::vector<const char*> words;
    Paths inputs;
    Paths ignored;
    bool verify;
    std::string signer;
    bool signerMissing;
    std::string key;
  };
  const Case cases[] = {
      // "-i tool*.exe": every match is an input, up to the next option.
      {{"-k", "k", "-i", "t1.exe", "t10.exe", "t11.exe", "-v", "1", "x"},
       {"t1.exe", "t10.exe", "t11.exe"},
       {"x"},
       false,
       "",
       false,
       "k"},
      {{"-i", "a.exe", "-x", "-i", "b.exe", "c.exe", "--help"},
       {"a.exe", "-x", "b.exe", "c.exe"},
       {},
       false,
       "",
       false,
       ""},
      // Only a word that follows an input: not one after a key or an output.
      {{"-k", "-i", "a.exe"}, {}, {"a.exe"}, false, "", false, "-i"},
      {{"-i", "a.exe", "-o", "out", "b.exe"}, {"a.exe"}, {"b.exe"}, false, "", false, ""},
      {{"--verify", "-i", "a.exe"}, {"a.exe"}, {}, true, "", false, ""},
      {{"--SIGNER", "ca.pem", "-i", "a.exe"}, {"a.exe"}, {}, true, "ca.pem", false, ""},
      // -signer without a value is marked, not skipped or taken as -verify.
      {{"-i", "a.exe", "-signer"}, {"a.exe"}, {}, false, "", true, ""},
      {{"-signer", "", "-i", "a.exe"}, {"a.exe"}, {}, true, "", true, ""},
      {{"-signer", "", "-signer", "ca.pem"}, {}, {}, true, "ca.pem", false, ""},
      // An empty key is no key; the driver says so.
      {{"-k", "", "-i", "a.exe"}, {"a.exe"}, {}, false, "", false, ""},
  };
  for (const Case& c : cases) {
    std::vector<const char*> words{"agent"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunSettings settings = parse(words);
    std::string shown = c.words.empty() ? "" : c.words[0] + std::string(" ") + c.words.back();
    EXPECT_EQ(c.inputs, settings.inputFiles) << shown;
    EXPECT_EQ(c.ignored, settings.ignoredArguments) << shown;
    EXPECT_EQ(c.verify, settings.verifyResult) << shown;
    EXPECT_EQ(c.signer, settings.signerCertificate) << shown;
    EXPECT_EQ(c.signerMissing, settings.signerMissing) << shown;
    EXPECT_EQ(c.key, settings.authKey) << shown;
  }
}

TEST(Options, TrailingOptionNameIsDroppedAndListedAsWritten) {
  RunSettings settings = parse({"agent", "-k", "key", "-i", "a.exe", "-k"});
  EXPECT_EQ(settings.authKey, "key");
  EXPECT_EQ(settings.inputFiles, Paths{"a.exe"});
  EXPECT_EQ(settings.ignoredArguments, Paths{"-k"});
  EXPECT_EQ(parse({"agent", "-i"}).inputFiles, Paths{});
  settings = parse({"agent", "-o", "a", "/O"});
  EXPECT_EQ(settings.outputFile, "a");
  EXPECT_EQ(settings.ignoredArguments, Paths{"/O"});
}

TEST(Options, VersionAndHelpWordsInEveryForm) {
  struct Case {
    const char* word;
    bool version;
    bool help;
  };
  for (const Case& c :
       {Case{"--version", true, false}, Case{"-version", true, false},
        Case{"/VERSION", true, false}, Case{"--help", false, true}, Case{"-H", false, true},
        Case{"/h", false, true}, Case{"/?", false, true}, Case{"--versions", false, false},
        Case{"-help", false, false}, Case{"?", false, false}}) {
    RunSettings settings = parse({"agent", "-k", "k", c.word});
    EXPECT_EQ(c.version, settings.versionWanted) << c.word;
    EXPECT_EQ(c.help, settings.helpWanted) << c.word;
    EXPECT_EQ(c.version || c.help ? Paths{} : Paths{c.word}, settings.ignoredArguments) << c.word;
  }
}

TEST(Options, VersionLineNamesTheProjectVersion) {
  // The version as CMake's project() holds it, against the four numbers the
  // program is built with.
  EXPECT_EQ(std::string("tarvolin-agent ") + TARVOLIN_PROJECT_VERSION, versionLine());
}

TEST(ProgramName, BackslashDotAndCase) {
  EXPECT_EQ(programNameFromPath("C:\\Tools\\Sign.Agent.EXE"), "sign.agent");
  EXPECT_EQ(programNameFromPath("C:\\Tools\\Sign"), "sign");
  EXPECT_EQ(programNameFromPath("C:\\v1.2\\Agent"), "agent");
  EXPECT_EQ(programNameFromPath("Agent.exe"), "agent");
  EXPECT_EQ(programNameFromPath("C:\\Tools\\.exe"), "");
  EXPECT_EQ(programNameFromPath(""), "");
}

#ifndef _WIN32
// POSIX paths use "/" as their separator.
TEST(ProgramName, SlashSeparatesDirectoriesOnPosix) {
  EXPECT_EQ(programNameFromPath("/opt/v1.2/Tarvolin-Agent"), "tarvolin-agent");
  EXPECT_EQ(programNameFromPath("/opt/bin/agent.bin"), "agent");
}
#endif

// Shift_JIS and GBK both: 0x95 0x5C is one character ending in "\", 0x83 0x41
// one ending in "A".
TEST(ProgramNameDoubleByte, TrailBytesNeitherSeparateNorChangeCase) {
  ASSERT_EQ(programNameFromPath("\x95\x5C"), "\x95\x5C")
      << "the code page in force is not double-byte";
  EXPECT_EQ(programNameFromPath("C:\\Tools\\\x95\x5C.EXE"), "\x95\x5C");
  EXPECT_EQ(programNameFromPath("C:\\\x95\x5C\\Sign.EXE"), "sign");
  EXPECT_EQ(programNameFromPath("C:\\Tools\\\x83\x41X.EXE"), "\x83\x41x");
}

TEST(OptionsDoubleByte, ValuesKeepTheirBytes) {
  ASSERT_EQ(programNameFromPath("\x95\x5C"), "\x95\x5C")
      << "the code page in force is not double-byte";
  RunSettings settings = parse({"agent", "-k", "\x83\x41", "-i", "C:\\\x95\x5C\\A.EXE"});
  EXPECT_EQ(settings.authKey, "\x83\x41");
  EXPECT_EQ(settings.inputFiles, Paths{"C:\\\x95\x5C\\A.EXE"});
}

TEST(Usage, SevenLinesWithTheProgramName) {
  testing::internal::CaptureStdout();
  initConsoleOutput();
  printUsage();
  std::string written = testing::internal::GetCapturedStdout();
  EXPECT_EQ(written,
            "Usage : \n"
            "    tarvolin-unit-tests -k <key> -v <ver> -i <input> [-i <input> [-i ..]] "
            "[-o <output>]\n\n"
            "    \t-k <key>\t- auth key to tarvolin\n"
            "    \t-v <ver>\t- program version\n"
            "    \t-i <input>\t- input file name\n"
            "    \t-o <output>\t- optional output file name\n\n"
            "Note :\tTo get auth key, visit tarvolin management site\n");
}
