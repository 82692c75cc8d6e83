#include "platform/paths.h"

#include "platform/text.h"

bool holdsPathSyntax(const std::string& name) {
  return name.find('/') != std::string::npos;
}

bool isReservedFileName(const std::string&) {
  return false;
}

std::string lastPathSegment(const std::string& path) {
  // Searched character by character: a double-byte character's trail byte
  // may equal "\\"; none equals "/".
  std::string name = path;
  size_t backslash = findLastChar(name, '\\');
  if (backslash != std::string::npos) name.erase(0, backslash + 1);
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  return name;
}

std::string pathInFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}
