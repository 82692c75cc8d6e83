#include "platform/paths.h"

bool holdsPathSyntax(const std::string& name) {
  return name.find('/') != std::string::npos;
}

char nativeSeparatorBesidesBackslash() {
  return '/';
}
