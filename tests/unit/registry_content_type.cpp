#include "registry_content_type.h"

#ifdef _WIN32
#include <windows.h>

#include <cstring>

namespace {

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
#endif
