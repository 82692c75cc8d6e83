#include "platform/text.h"

#include "platform/text_chars.h"

size_t findLastChar(const std::string& text, char ch) {
  size_t found = std::string::npos;
  size_t offset = 0;
  while (offset < text.size()) {
    size_t length = ansiCharLength(text, offset);
    if (length == 1 && text[offset] == ch) found = offset;
    offset += length;
  }
  return found;
}

std::string toLowerAnsi(const std::string& text) {
  std::string lower = text;
  size_t offset = 0;
  while (offset < lower.size()) {
    size_t length = ansiCharLength(lower, offset);
    lowerAnsiChar(&lower[offset], length);
    offset += length;
  }
  return lower;
}

// Lowering never changes a character's length, so equal lower forms mean the
// texts match character for character.
bool equalsIgnoringCodePageCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && toLowerAnsi(a) == toLowerAnsi(b);
}
