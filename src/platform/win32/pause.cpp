#include <windows.h>

#include "platform/pause.h"

uint64_t steadyMilliseconds() {
  return GetTickCount64();
}

void pauseMilliseconds(uint64_t milliseconds) {
  // Sleep takes at most a DWORD's worth, INFINITE excluded.
  while (milliseconds > 0) {
    DWORD slice = milliseconds > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(milliseconds);
    Sleep(slice);
    milliseconds -= slice;
  }
}
