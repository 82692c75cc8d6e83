#include "platform/encoding.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

TEST(Encoding, EmptySourceLeavesTheDestination) {
  std::string destination = "kept";
  ansiToUtf8("", destination);
  utf8ToAnsi("", destination);
  EXPECT_EQ("kept", destination);
  ansiToUtf8("plain ASCII", destination);
  EXPECT_EQ("plain ASCII", destination);
  // A NUL ends the text, as in a C string.
  utf8ToAnsi(std::string("ab\0cd", 5), destination);
  EXPECT_EQ("ab", destination);
  // Source and destination may be one string.
  std::string same = "same";
  ansiToUtf8(same, same);
  EXPECT_EQ("same", same);
}

#ifndef _WIN32
// Containers often run in the C locale; a UTF-8 name must still go out as it
// is, not as replacement characters.
TEST(Encoding, PlainAsciiLocaleCountsAsUtf8) {
  std::string before = setlocale(LC_ALL, nullptr);
  ASSERT_NE(nullptr, setlocale(LC_ALL, "C"));
  std::string name = "caf\xc3\xa9 \xe6\x97\xa5.exe", utf8, back, reply;
  ansiToUtf8(name, utf8);
  utf8ToAnsi(utf8, back);
  // A reply's text, NUL bytes and all, keeps its characters too.
  utf8ToAnsiWhole(name + '\0' + name, reply);
  setlocale(LC_ALL, before.c_str());
  EXPECT_EQ(name, utf8);
  EXPECT_EQ(name, back);
  EXPECT_EQ(name + '\0' + name, reply);
}
#endif

}  // namespace
