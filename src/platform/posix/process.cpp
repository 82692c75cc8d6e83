#include "platform/process.h"

// The parent sees only the low 8 bits of the status; a refusal code such as
// 256 must not read as success there.
int processExitStatus(int32_t exitCode) {
  int lowBits = static_cast<int>(static_cast<uint32_t>(exitCode) & 0xFFu);
  if (exitCode != 0 && lowBits == 0) return 255;
  return lowBits;
}
