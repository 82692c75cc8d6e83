// ASCII rules, the same in every locale: protocol names, header names, scheme
// and host names, and the ASCII letters of any text compare and lower-case by
// these, never by the locale's (whose "I" may lower to a dotless i).
#pragma once

#include <cstdint>
#include <string>

inline char asciiLower(char ch) {
  return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

std::string asciiLowered(std::string text);
bool equalsIgnoringAsciiCase(const std::string& text, const char* other);
bool startsWithIgnoringAsciiCase(const std::string& text, const char* prefix);

// The number `text` starts with, read as atoi reads it (leading white space,
// an optional sign, digits up to the first non-digit, 0 when there are none),
// except that a number beyond the 32-bit range stops at its nearer limit
// instead of being undefined.
int32_t leadingInteger(const char* text);
