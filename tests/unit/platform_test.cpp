#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/interrupts.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/system_error.h"
#include "scratch_dir.h"

TEST(InterruptCleanup, HoldsAFixedNumberOfPathsEachOnce) {
  std::vector<std::string> paths;
  for (int i = 0; i < INTERRUPT_PATHS; ++i) {
    paths.push_back("never-made-" + std::to_string(i));
    EXPECT_TRUE(deleteOnInterrupt(paths.back()));
  }
  EXPECT_TRUE(deleteOnInterrupt(paths[0]));
  EXPECT_FALSE(deleteOnInterrupt("one too many"));
  keepOnInterrupt(paths[3]);
  EXPECT_TRUE(deleteOnInterrupt("one too many"));
  keepOnInterrupt("one too many");
  for (const std::string& path : paths) keepOnInterrupt(path);
}

#ifndef _WIN32
TEST(InterruptCleanup, ACancelDeletesTheRegisteredFilesAndEndsByItsSignal) {
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  const std::string download = scratch.path + "download", unpacked = scratch.path + "unpacked",
                    kept = scratch.path + "kept";
  for (const std::string& path : {download, unpacked, kept}) std::ofstream(path) << "x";
  EXPECT_EXIT(
      {
        installInterruptCleanup();
        deleteOnInterrupt(download);
        deleteOnInterrupt(unpacked);
        deleteOnInterrupt(kept);
        keepOnInterrupt(kept);
        raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_FALSE(fileExists(download));
  EXPECT_FALSE(fileExists(unpacked));
  EXPECT_TRUE(fileExists(kept));
}
#endif

TEST(ExitStatus, ZeroStaysSuccess) {
  EXPECT_EQ(processExitStatus(0), 0);
}

#ifdef _WIN32
TEST(ExitStatus, WindowsPassesTheCodeUnchanged) {
  EXPECT_EQ(processExitStatus(1), 1);
  EXPECT_EQ(processExitStatus(256), 256);
  EXPECT_EQ(processExitStatus(-2), -2);
  EXPECT_EQ(processExitStatus(INT32_MIN), INT32_MIN);
  EXPECT_EQ(processExitStatus(INT32_MAX), INT32_MAX);
}
#else
TEST(ExitStatus, PosixKeepsTheLowByteButNeverTurnsFailureIntoSuccess) {
  EXPECT_EQ(processExitStatus(1), 1);
  EXPECT_EQ(processExitStatus(3), 3);
  EXPECT_EQ(processExitStatus(255), 255);
  EXPECT_EQ(processExitStatus(257), 1);
  EXPECT_EQ(processExitStatus(-1), 255);
  EXPECT_EQ(processExitStatus(-2), 254);
  EXPECT_EQ(processExitStatus(256), 255);
  EXPECT_EQ(processExitStatus(512), 255);
  EXPECT_EQ(processExitStatus(-256), 255);
  EXPECT_EQ(processExitStatus(INT32_MIN), 255);
  EXPECT_EQ(processExitStatus(INT32_MAX), 255);
}
#endif

#ifdef _WIN32
// The test program carries the agent's version resource.
TEST(ModuleVersion, OwnFileIsTheBuildsVersion) {
  const uint32_t expectedMost = TARVOLIN_VERSION_MAJOR << 16 | TARVOLIN_VERSION_MINOR;
  const uint32_t expectedLeast = TARVOLIN_VERSION_PATCH << 16 | TARVOLIN_VERSION_TWEAK;
  uint32_t mostSignificant = 0, leastSignificant = 0;
  ASSERT_EQ(readModuleVersion(&mostSignificant, &leastSignificant), 1);
  EXPECT_EQ(mostSignificant, expectedMost);
  EXPECT_EQ(leastSignificant, expectedLeast);

  mostSignificant = leastSignificant = 0;
  ASSERT_EQ(readFileVersion(moduleFilePath().c_str(), &mostSignificant, &leastSignificant), 1);
  EXPECT_EQ(mostSignificant, expectedMost);
  EXPECT_EQ(leastSignificant, expectedLeast);
}
#endif

TEST(ModuleVersion, MissingArgumentsAreInvalid) {
#ifdef _WIN32
  const unsigned long invalidParameter = 87;  // ERROR_INVALID_PARAMETER
#else
  const unsigned long invalidParameter = EINVAL;
#endif
  uint32_t word = 0;
  std::string self = moduleFilePath();
  setLastSystemError(0);
  EXPECT_EQ(readFileVersion(nullptr, &word, &word), 0);
  EXPECT_EQ(lastSystemError(), invalidParameter);
  setLastSystemError(0);
  EXPECT_EQ(readFileVersion(self.c_str(), nullptr, &word), 0);
  EXPECT_EQ(lastSystemError(), invalidParameter);
  setLastSystemError(0);
  EXPECT_EQ(readFileVersion(self.c_str(), &word, nullptr), 0);
  EXPECT_EQ(lastSystemError(), invalidParameter);
}

TEST(ModuleVersion, FilesWithoutVersionGiveZeroAndAnError) {
  const char* const plainFile = "tarvolin-unit-no-version.txt";
  { std::ofstream(plainFile) << "no version here\n"; }
  uint32_t mostSignificant = 11, leastSignificant = 12;
  setLastSystemError(0);
  EXPECT_EQ(readFileVersion(plainFile, &mostSignificant, &leastSignificant), 0);
  EXPECT_NE(lastSystemError(), 0u);
  std::remove(plainFile);

  setLastSystemError(0);
  EXPECT_EQ(readFileVersion("tarvolin-unit-missing.exe", &mostSignificant, &leastSignificant), 0);
  EXPECT_NE(lastSystemError(), 0u);
  EXPECT_EQ(mostSignificant, 11u);
  EXPECT_EQ(leastSignificant, 12u);
}

TEST(ModulePath, NamesTheRunningProgram) {
  std::string path = moduleFilePath();
  ASSERT_FALSE(path.empty());
  std::ifstream program(path, std::ios::binary);
  EXPECT_TRUE(program.good()) << path;
  EXPECT_NE(path.find("tarvolin-unit-tests"), std::string::npos) << path;
}

#ifndef _WIN32
namespace {

uint16_t languageIdUnder(const char* locale) {
  std::string saved = setlocale(LC_MESSAGES, nullptr);
  const char* set = setlocale(LC_MESSAGES, locale);
  uint16_t id = set != nullptr ? systemDefaultLanguageId() : 0;
  setlocale(LC_MESSAGES, saved.c_str());
  return id;
}

}  // namespace

// The locale's language as the Windows language identifier whose low 10 bits
// the service reads.
TEST(LanguageId, LocaleLanguageAsWindowsIdentifier) {
  EXPECT_EQ(languageIdUnder("de_DE.UTF-8"), 0x407);
  EXPECT_EQ(languageIdUnder("ja_JP.SJIS"), 0x411);
  EXPECT_EQ(languageIdUnder("ja_JP.UTF-8"), 0x411);
  EXPECT_EQ(languageIdUnder("ko_KR.UTF-8"), 0x412);
  EXPECT_EQ(languageIdUnder("zh_CN.GBK"), 0x804);
  EXPECT_EQ(languageIdUnder("en_US.UTF-8"), 0x409);
}
#endif

TEST(Console, WriteOutKeepsEveryByte) {
  const std::string bytes("a\0b%s%d\n\xFF\x95\x5C\n", 12);
  testing::internal::CaptureStdout();
  initConsoleOutput();
  writeOut(bytes);
  writeOut("");
  writeOut("end");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), bytes + "end");
}

#if !defined(_WIN32) && !defined(__APPLE__)
namespace {

// Puts `directory` first on the search path for the life of the object.
struct SearchPathFirst {
  std::string saved;
  explicit SearchPathFirst(const std::string& directory) {
    const char* path = getenv("PATH");
    saved = path != nullptr ? path : "";
    setenv("PATH", (directory + ":" + saved).c_str(), 1);
  }
  ~SearchPathFirst() { setenv("PATH", saved.c_str(), 1); }
};

}  // namespace

// A stand-in launcher records its arguments late, so the file only exists in
// time if openWebPage waits for it.
TEST(WebPage, LauncherGetsTheUrlAsOneArgumentAndIsWaitedFor) {
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  const std::string launcher = scratch.path + "xdg-open";
  const std::string record = scratch.path + "arguments";
  {
    std::ofstream script(launcher);
    script << "#!/bin/sh\nsleep 0.3\nprintf '%s|' \"$#\" \"$@\" > '" << record
           << "'\necho launched\n";
  }
  std::filesystem::permissions(launcher, std::filesystem::perms::owner_all);
  const std::string url = "http://h:8080/up grade?a=1&b=$(id);'q' *";

  testing::internal::CaptureStdout();
  {
    SearchPathFirst path(scratch.path);
    openWebPage(url);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  std::ifstream recorded(record, std::ios::binary);
  ASSERT_TRUE(recorded.good()) << "the launcher had not finished";
  std::string arguments((std::istreambuf_iterator<char>(recorded)),
                        std::istreambuf_iterator<char>());
  EXPECT_EQ(arguments, "1|" + url + "|");
}

TEST(WebPage, MissingLauncherIsNotReported) {
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  const char* path = getenv("PATH");
  const std::string saved = path != nullptr ? path : "";
  setenv("PATH", scratch.path.c_str(), 1);
  testing::internal::CaptureStdout();
  openWebPage("http://h/");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  setenv("PATH", saved.c_str(), 1);
}
#endif
