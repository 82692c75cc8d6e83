#include "platform/content_type.h"

#include <windows.h>

#include <cstring>

namespace {

// Reads a value as text. The value's registry type is not examined: its bytes
// count up to the first NUL in the buffer. When the key opens but the value
// cannot be read (missing, or too big for the buffer), the buffer receives
// `fallback`.
bool readRegistryString(HKEY root, const char* subkey, const char* valueName, const char* fallback,
                        char* buffer, DWORD capacity) {
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = capacity;
  if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    lstrcpynA(buffer, fallback, static_cast<int>(capacity));
    RegCloseKey(key);
    return false;
  }
  RegCloseKey(key);
  return true;
}

}  // namespace

bool lookupContentType(const std::string& extension, std::string& contentType) {
  char buffer[CONTENT_TYPE_CAPACITY] = {};
  if (!readRegistryString(HKEY_CLASSES_ROOT, extension.c_str(), "Content Type", "", buffer,
                          sizeof buffer))
    return false;
  contentType.assign(buffer, strnlen(buffer, sizeof buffer));
  return true;
}
