// The system's error numbers and their texts.
#pragma once

#include <string>

// The error number the last failed system call left (GetLastError; errno).
unsigned long lastSystemError();
void setLastSystemError(unsigned long code);
// The system's text for an error number, with the system's own line end;
// empty when the system has no text for it.
std::string systemMessage(unsigned long code);
