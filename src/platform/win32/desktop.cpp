#include <windows.h>
// After windows.h, which they build on.
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include "platform/desktop.h"

void startDesktopLibraries() {
  CoInitialize(nullptr);
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_BAR_CLASSES;
  InitCommonControlsEx(&controls);
}

void stopDesktopLibraries() {
  CoUninitialize();
}

bool openWebPage(const std::string& url) {
  // Values above 32 mean success.
  HINSTANCE result =
      ShellExecuteA(nullptr, "open", "iexplore.exe", url.c_str(), nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}
