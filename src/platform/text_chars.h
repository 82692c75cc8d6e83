// Character stepping behind text.h, one implementation per system. Internal to
// src/platform.
#pragma once

#include <cstddef>
#include <string>

// Byte length of the character that starts at `offset` (< text.size()): 1 or
// more. A byte that starts no valid character counts as one character.
size_t ansiCharLength(const std::string& text, size_t offset);

// Lower-cases the character of `length` bytes at `bytes` in place. A character
// whose lower form needs another number of bytes is left as it is.
void lowerAnsiChar(char* bytes, size_t length);
