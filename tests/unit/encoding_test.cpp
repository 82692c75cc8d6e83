#include "platform/encoding.h"

#include <gtest/gtest.h>

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

}  // namespace
