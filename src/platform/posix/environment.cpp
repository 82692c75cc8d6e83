#include "platform/environment.h"

#include <cstdlib>

std::string environmentVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

void clearEnvironmentVariable(const char* name) {
  unsetenv(name);
}
