#include "platform/pause.h"

#include <errno.h>
#include <time.h>

uint64_t steadyMilliseconds() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void pauseMilliseconds(uint64_t milliseconds) {
  struct timespec left = {};
  left.tv_sec = static_cast<time_t>(milliseconds / 1000);
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
  // A signal that is handled and returns cuts the sleep; the rest is slept.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
