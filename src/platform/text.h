// Text in the system's ANSI code page: byte strings whose characters may be
// one or two bytes long. Every search and comparison here steps character by
// character, so the trail byte of a double-byte character (which may equal "\"
// in Shift_JIS or an ASCII letter in code page 949) never matches on its own.
#pragma once

#include <cstddef>
#include <string>

// Takes the ANSI code page from the environment. On POSIX that is the locale
// (LC_ALL, LC_CTYPE, LANG); Windows has it already. Call once at start-up.
void initAnsiCodePage();

// Offset of the last character equal to the single-byte character `ch`, or
// std::string::npos when there is none.
size_t findLastChar(const std::string& text, char ch);

// Whole-text comparison that ignores letter case: ASCII letters by ASCII rules
// in every locale, other letters as the code page defines them. For the
// user's text (options, file names); protocol names, which are ASCII by
// definition, compare by equalsIgnoringAsciiCase (ascii.h).
bool equalsIgnoringCodePageCase(const std::string& a, const std::string& b);

// Lower-cases every character, double-byte letters included, by the rules of
// equalsIgnoringCodePageCase.
std::string toLowerAnsi(const std::string& text);
