#include "platform/paths.h"

#include "platform/ascii.h"
#include "platform/text.h"

bool holdsPathSyntax(const std::string& name) {
  // Searched character by character: a double-byte character's trail byte
  // may equal "\".
  return findLastChar(name, '\\') != std::string::npos ||
         findLastChar(name, '/') != std::string::npos ||
         findLastChar(name, ':') != std::string::npos;
}

bool isReservedFileName(const std::string& name) {
  if (name.empty()) return false;
  // A trail byte is never "." or " ", so the last byte tells.
  if (name.back() == '.' || name.back() == ' ') return true;
  // The device is named by what stands before the first dot, blanks before
  // that dot included: "nul.exe" and "NUL .txt" are the device too.
  std::string stem = asciiLowered(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

std::string lastPathSegment(const std::string& path) {
  // Searched character by character: a double-byte character's trail byte
  // may equal "\".
  size_t cut = std::string::npos;
  for (char separator : {'\\', '/', ':'}) {
    size_t found = findLastChar(path, separator);
    if (found != std::string::npos && (cut == std::string::npos || found > cut)) cut = found;
  }
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string pathInFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || lastPathSegment(folder).empty()) return folder + name;
  return folder + "\\" + name;
}
