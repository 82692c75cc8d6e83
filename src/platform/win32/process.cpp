#include "platform/process.h"

int processExitStatus(int32_t exitCode) {
  return exitCode;
}
