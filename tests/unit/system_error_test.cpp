#include "platform/system_error.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"

namespace {

TEST(SystemError, MessagesEndInALineEndAndUnknownOnesAreEmpty) {
  std::string message = systemMessage(fileVanishedError());
  ASSERT_FALSE(message.empty());
  EXPECT_EQ('\n', message.back());
  EXPECT_FALSE(systemMessage(fileSizeChangedError()).empty());
  EXPECT_EQ("", systemMessage(0x7FFFFF42ul));
}

}  // namespace
