#include "platform/ascii.h"

#include <cstring>

std::string asciiLowered(std::string text) {
  for (char& ch : text) ch = asciiLower(ch);
  return text;
}

bool equalsIgnoringAsciiCase(const std::string& text, const char* other) {
  return text.size() == std::strlen(other) && startsWithIgnoringAsciiCase(text, other);
}

bool startsWithIgnoringAsciiCase(const std::string& text, const char* prefix) {
  size_t length = std::strlen(prefix);
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i)
    if (asciiLower(text[i]) != asciiLower(prefix[i])) return false;
  return true;
}

int32_t leadingInteger(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  const int64_t limit = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
  int64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}
