// Content types recorded in the registry by the tests themselves, so that the
// lookup is tried against keys whose values the test chose.
#pragma once

#ifdef _WIN32
#include <string>

// Records `value` as the extension's "Content Type" where HKEY_CLASSES_ROOT
// shows it, preferring the current user's classes; a null `value` makes the
// key with no such value. forgetTestContentType removes it.
bool recordTestContentType(const std::string& extension, const char* value);
bool forgetTestContentType(const std::string& extension);
#endif
