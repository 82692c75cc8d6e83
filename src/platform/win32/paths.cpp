#include "platform/paths.h"

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
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& ch : stem)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

char nativeSeparatorBesidesBackslash() {
  return 0;
}
