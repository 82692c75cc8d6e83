#include "platform/paths.h"

#include "platform/text.h"

bool holdsPathSyntax(const std::string& name) {
  // Searched character by character: a double-byte character's trail byte
  // may equal "\".
  return findLastChar(name, '\\') != std::string::npos ||
         findLastChar(name, '/') != std::string::npos ||
         findLastChar(name, ':') != std::string::npos;
}

char nativeSeparatorBesidesBackslash() {
  return 0;
}
