#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/console.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/system_error.h"

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

// The test program carries the same version as the agent.
TEST(ModuleVersion, OwnFileIsVersion1004) {
  uint32_t mostSignificant = 0, leastSignificant = 0;
  ASSERT_EQ(readModuleVersion(&mostSignificant, &leastSignificant), 1);
  EXPECT_EQ(mostSignificant, 0x00010000u);
  EXPECT_EQ(leastSignificant, 0x00000004u);

  mostSignificant = leastSignificant = 0;
  ASSERT_EQ(readFileVersion(moduleFilePath().c_str(), &mostSignificant, &leastSignificant), 1);
  EXPECT_EQ(mostSignificant, 0x00010000u);
  EXPECT_EQ(leastSignificant, 0x00000004u);
}

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
  EXPECT_EQ(languageIdUnder("de_DE.UTF-8") & 0x3FF, 7);
  EXPECT_EQ(languageIdUnder("ko_KR.UTF-8") & 0x3FF, 18);
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
