#include <windows.h>

#include <cstdlib>

#include "platform/module.h"

// The size of the fixed file-information record; a root block of any other
// length is not one.
constexpr UINT FIXED_FILE_INFO_SIZE = 52;
static_assert(sizeof(VS_FIXEDFILEINFO) == FIXED_FILE_INFO_SIZE, "VS_FIXEDFILEINFO layout");

std::string moduleFilePath() {
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0) return {};
  if (length >= sizeof path) length = sizeof path - 1;
  return std::string(path, length);
}

int readFileVersion(const char* path, uint32_t* mostSignificant, uint32_t* leastSignificant) {
  if (path == nullptr || mostSignificant == nullptr || leastSignificant == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) return 0;
  void* block = malloc(size);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (!GetFileVersionInfoA(path, 0, size, block)) {
    free(block);
    return 0;
  }
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoLength = 0;
  if (!VerQueryValueA(block, "\\", reinterpret_cast<void**>(&info), &infoLength)) {
    free(block);
    return 0;
  }
  if (infoLength != FIXED_FILE_INFO_SIZE) {
    free(block);
    return 0;
  }
  *mostSignificant = info->dwFileVersionMS;
  *leastSignificant = info->dwFileVersionLS;
  free(block);
  return 1;
}

int readModuleVersion(uint32_t* mostSignificant, uint32_t* leastSignificant) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  return readFileVersion(path, mostSignificant, leastSignificant);
}

uint16_t systemDefaultLanguageId() {
  return GetSystemDefaultLangID();
}
