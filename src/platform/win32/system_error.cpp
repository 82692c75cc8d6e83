#include "platform/system_error.h"

#include <windows.h>

unsigned long lastSystemError() {
  return GetLastError();
}

void setLastSystemError(unsigned long code) {
  SetLastError(code);
}

std::string systemMessage(unsigned long code) {
  char* text = nullptr;
  // A message with insert sequences ("%1") would otherwise read arguments
  // that nobody passed; ignoring them keeps the sequences as plain text.
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 1024, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return std::string();
  std::string message(text, length);
  LocalFree(text);
  return message;
}
