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

// The last segment of `path`: what follows its last separator. This is the
// one place that splits a path. On Windows a backslash, a forward slash and
// a drive's colon all separate. On POSIX "/" separates, and so does a
// backslash, so that a Windows path given to the POSIX build uploads the
// file's own name too.
std::string lastPathSegment(const std::string& path);

// `name` in `folder`, with the system's separator between them when
// `folder` does not end in one.
std::string pathInFolder(const std::string& folder, const std::string& name);
