#include <gtest/gtest.h>

#include "platform/text.h"

constexpr size_t NOT_FOUND = std::string::npos;

TEST(Text, FindLastCharReturnsTheLastOfSeveral) {
  EXPECT_EQ(findLastChar("C:\\Tools\\sign.exe", '\\'), 8u);
  EXPECT_EQ(findLastChar("a.b.c", '.'), 3u);
  EXPECT_EQ(findLastChar("abc", '.'), NOT_FOUND);
  EXPECT_EQ(findLastChar("", '.'), NOT_FOUND);
  EXPECT_EQ(findLastChar("x/", '/'), 1u);
}

TEST(Text, LowerCaseChangesOnlyLetters) {
  EXPECT_EQ(toLowerAnsi("Sign.AGENT-1_x.EXE"), "sign.agent-1_x.exe");
  EXPECT_EQ(toLowerAnsi(""), "");
  EXPECT_EQ(toLowerAnsi(std::string("A\0B", 3)), std::string("a\0b", 3));
}

TEST(Text, EqualsIgnoreCaseComparesWholeTexts) {
  EXPECT_TRUE(equalsIgnoringCodePageCase("-UpGrade", "-upgrade"));
  EXPECT_TRUE(equalsIgnoringCodePageCase("", ""));
  EXPECT_FALSE(equalsIgnoringCodePageCase("-k", "-kx"));
  EXPECT_FALSE(equalsIgnoringCodePageCase("-kx", "-k"));
  EXPECT_FALSE(equalsIgnoringCodePageCase("-k", ""));
  EXPECT_FALSE(equalsIgnoringCodePageCase("-k", "/k"));
  EXPECT_FALSE(equalsIgnoringCodePageCase(std::string("-k\0", 3), "-k"));
}

// Sequences that are double-byte characters in both Shift_JIS and GBK: 0x95
// leads a character whose trail byte is "\" (0x5C), 0x83 one whose trail byte
// is "A" (0x41) or "a" (0x61).
const char* const TRAIL_BACKSLASH = "\x95\x5C";
const char* const TRAIL_UPPER_A = "\x83\x41";
const char* const TRAIL_LOWER_A = "\x83\x61";

TEST(TextDoubleByte, TrailBytesAreNotCharacters) {
  ASSERT_EQ(findLastChar(TRAIL_BACKSLASH, '\\'), NOT_FOUND)
      << "the code page in force is not double-byte";
  EXPECT_EQ(findLastChar(std::string("a\\") + TRAIL_BACKSLASH, '\\'), 1u);
  EXPECT_EQ(findLastChar(std::string(TRAIL_BACKSLASH) + "\\", '\\'), 2u);
  EXPECT_EQ(findLastChar(TRAIL_UPPER_A, 'A'), NOT_FOUND);
  // A lead byte with nothing after it is a character of its own.
  EXPECT_EQ(findLastChar("\\\x95", '\\'), 0u);
}

TEST(TextDoubleByte, CaseLeavesTrailBytesAlone) {
  ASSERT_EQ(findLastChar(TRAIL_BACKSLASH, '\\'), NOT_FOUND)
      << "the code page in force is not double-byte";
  EXPECT_EQ(toLowerAnsi(TRAIL_UPPER_A), TRAIL_UPPER_A);
  EXPECT_EQ(toLowerAnsi(std::string("AB") + TRAIL_UPPER_A + "C"),
            std::string("ab") + TRAIL_UPPER_A + "c");
  EXPECT_FALSE(equalsIgnoringCodePageCase(TRAIL_UPPER_A, TRAIL_LOWER_A));
  EXPECT_TRUE(equalsIgnoringCodePageCase(std::string("X") + TRAIL_UPPER_A,
                                         std::string("x") + TRAIL_UPPER_A));
}

// Shift_JIS (code page 932): 0xB1 is a half-width katakana of one byte.
TEST(TextShiftJisDoubleByte, LettersOfTwoBytesAreLowerCased) {
  ASSERT_EQ(findLastChar("\xB1\\", '\\'), 1u) << "the code page in force is not Shift_JIS";
  ASSERT_EQ(findLastChar(TRAIL_BACKSLASH, '\\'), NOT_FOUND) << "not a double-byte code page";
  EXPECT_EQ(toLowerAnsi("\x82\x60\x82\x61"), "\x82\x81\x82\x82");  // fullwidth AB
  EXPECT_EQ(toLowerAnsi("\x83\x9F"), "\x83\xBF");                  // Greek alpha
  EXPECT_EQ(toLowerAnsi("\x84\x40"), "\x84\x70");                  // Cyrillic A
  EXPECT_TRUE(equalsIgnoringCodePageCase("\x82\x60x", "\x82\x81X"));
}

// GBK (code page 936): 0xB1 leads a double-byte character.
TEST(TextGbkDoubleByte, LettersOfTwoBytesAreLowerCased) {
  ASSERT_EQ(findLastChar("\xB1\\", '\\'), NOT_FOUND) << "the code page in force is not GBK";
  EXPECT_EQ(toLowerAnsi("\xA3\xC1\xA3\xC2"), "\xA3\xE1\xA3\xE2");  // fullwidth AB
  EXPECT_EQ(toLowerAnsi("\xA6\xA1"), "\xA6\xC1");                  // Greek alpha
  EXPECT_EQ(toLowerAnsi("\xA7\xA1"), "\xA7\xD1");                  // Cyrillic A
  EXPECT_TRUE(equalsIgnoringCodePageCase("\xA3\xC1x", "\xA3\xE1X"));
}
