// Re-encoding between the ANSI code page and UTF-8, through UTF-16.
#pragma once

#include <string>

// Both leave `destination` unchanged when `source` is empty. The source is
// read whole before `destination` is written, so one string may be both.
void ansiToUtf8(const std::string& source, std::string& destination);
void utf8ToAnsi(const std::string& source, std::string& destination);
// As utf8ToAnsi, but the whole of `source`: a NUL byte is converted like any
// other character (to a NUL) instead of ending the text.
void utf8ToAnsiWhole(const std::string& source, std::string& destination);
