#include "platform/paths.h"

bool holdsPathSyntax(const std::string& name) {
  return name.find('/') != std::string::npos;
}

bool isReservedFileName(const std::string&) {
  return false;
}

char nativeSeparatorBesidesBackslash() {
  return '/';
}
