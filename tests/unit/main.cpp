#include <gtest/gtest.h>

#include "platform/text.h"

int main(int argc, char** argv) {
  // Like the agent, the tests take their code page from the environment, so
  // the same binary runs under a double-byte locale too.
  initAnsiCodePage();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
