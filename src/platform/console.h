// Standard output, written byte for byte, and standard error for people.
#pragma once

#include <string>

// Puts standard output in binary mode, so that no line end is translated.
void initConsoleOutput();
void writeOut(const std::string& bytes);
bool errorStreamIsTerminal();
void writeErr(const std::string& bytes);
