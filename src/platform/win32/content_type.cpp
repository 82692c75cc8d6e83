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

std::string userClassesKey(const std::string& extension) {
  return "Software\\Classes\\" + extension;
}

bool writeContentType(HKEY root, const std::string& subkey, const char* value) {
  HKEY key;
  if (RegCreateKeyExA(root, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG result = ERROR_SUCCESS;
  if (value)
    result = RegSetValueExA(key, "Content Type", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            static_cast<DWORD>(std::strlen(value) + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool classesRootShows(const std::string& extension) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, extension.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
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

bool recordTestContentType(const std::string& extension, const char* value) {
  if (writeContentType(HKEY_CURRENT_USER, userClassesKey(extension), value) &&
      classesRootShows(extension))
    return true;
  // wine keeps HKEY_CLASSES_ROOT apart from the user's classes, and lets
  // anyone write there.
  RegDeleteKeyA(HKEY_CURRENT_USER, userClassesKey(extension).c_str());
  return writeContentType(HKEY_CLASSES_ROOT, extension, value);
}

bool forgetTestContentType(const std::string& extension) {
  bool user = RegDeleteKeyA(HKEY_CURRENT_USER, userClassesKey(extension).c_str()) == ERROR_SUCCESS;
  bool root = RegDeleteKeyA(HKEY_CLASSES_ROOT, extension.c_str()) == ERROR_SUCCESS;
  return user || root;
}
