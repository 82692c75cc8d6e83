// Path syntax of the system.
#pragma once

#include <string>

// True when `name` holds a character that the system reads as a separator of
// path segments or as a drive, so that it would not name an entry of the
// current directory.
bool holdsPathSyntax(const std::string& name);

// True when the system would not save a file under `name` as it stands: on
// Windows a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in
// any case and with any extension) or a name ending in a dot or a blank,
// which the system strips. Nothing elsewhere.
bool isReservedFileName(const std::string& name);

// The last segment of `path`: what follows its last backslash, and on POSIX
// its last "/", the system's own separator, too. A forward slash is an
// ordinary character on Windows.
std::string lastPathSegment(const std::string& path);
