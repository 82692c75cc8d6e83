#include <windows.h>

#include <cstdlib>

#include "platform/environment.h"

std::string environmentVariable(const char* name) {
  // The size asked for includes the terminating null; a value that grew
  // between the two calls is asked for again.
  DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  while (size > 0) {
    std::string value(size, '\0');
    DWORD length = GetEnvironmentVariableA(name, value.data(), size);
    if (length == 0) break;
    if (length < size) {
      value.resize(length);
      return value;
    }
    size = length;
  }
  return std::string();
}

void clearEnvironmentVariable(const char* name) {
  // The system's block, which a started program inherits, and the runtime's
  // copy, which getenv reads.
  SetEnvironmentVariableA(name, nullptr);
  _putenv((std::string(name) + "=").c_str());
}
