#include <windows.h>

#include <cstring>

#include "platform/text.h"
#include "platform/text_chars.h"

// The system's ANSI code page is in force from the start.
void initAnsiCodePage() {}

size_t ansiCharLength(const std::string& text, size_t offset) {
  if (offset + 1 < text.size() && IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(text[offset])) &&
      text[offset + 1] != '\0') {
    return 2;
  }
  return 1;
}

void lowerAnsiChar(char* bytes, size_t length) {
  // Lowered on a copy, so a conversion that would change the length cannot
  // spill into the neighbouring characters.
  char lower[2];
  if (length > sizeof lower) return;
  memcpy(lower, bytes, length);
  if (CharLowerBuffA(lower, static_cast<DWORD>(length)) != length) return;
  memcpy(bytes, lower, length);
}
