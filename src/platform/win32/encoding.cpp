#include "platform/encoding.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace {

// Re-encodes through UTF-16; a character the target code page lacks becomes
// its default character.
void reencode(UINT fromCodePage, UINT toCodePage, const std::string& source,
              std::string& destination) {
  if (source.empty()) return;
  int wideCount = MultiByteToWideChar(fromCodePage, 0, source.c_str(), -1, nullptr, 0);
  std::vector<wchar_t> wide(static_cast<size_t>(wideCount) + 1, L'\0');
  MultiByteToWideChar(fromCodePage, 0, source.c_str(), -1, wide.data(), wideCount);
  int byteCount = WideCharToMultiByte(toCodePage, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
  std::vector<char> bytes(static_cast<size_t>(byteCount) + 1, '\0');
  WideCharToMultiByte(toCodePage, 0, wide.data(), -1, bytes.data(), byteCount, nullptr, nullptr);
  destination.assign(bytes.data(), std::strlen(bytes.data()));
}

}  // namespace

void ansiToUtf8(const std::string& source, std::string& destination) {
  reencode(CP_ACP, CP_UTF8, source, destination);
}

void utf8ToAnsi(const std::string& source, std::string& destination) {
  reencode(CP_UTF8, CP_ACP, source, destination);
}

void utf8ToAnsiWhole(const std::string& source, std::string& destination) {
  if (source.empty()) return;
  // With explicit lengths a NUL is converted like any other character.
  const int size = static_cast<int>(source.size());
  int wideCount = MultiByteToWideChar(CP_UTF8, 0, source.data(), size, nullptr, 0);
  std::vector<wchar_t> wide(static_cast<size_t>(wideCount) + 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, source.data(), size, wide.data(), wideCount);
  int byteCount =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), wideCount, nullptr, 0, nullptr, nullptr);
  std::vector<char> bytes(static_cast<size_t>(byteCount) + 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), wideCount, bytes.data(), byteCount, nullptr, nullptr);
  destination.assign(bytes.data(), static_cast<size_t>(byteCount));
}
