#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/interrupts.h"

namespace {

// The console calls the handler on a thread of its own, so the list is
// guarded; the guard is made on first use and lives as long as the process.
struct ListGuard {
  CRITICAL_SECTION section;
  ListGuard() { InitializeCriticalSection(&section); }
};

CRITICAL_SECTION* listGuard() {
  static ListGuard guard;
  return &guard.section;
}

std::vector<std::string>& registeredPaths() {
  static std::vector<std::string> paths;
  return paths;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  // The files are opened sharing delete access, so they go even while the
  // main thread still writes them: the name at once, the data when the
  // process ends.
  EnterCriticalSection(listGuard());
  for (const std::string& path : registeredPaths()) DeleteFileA(path.c_str());
  registeredPaths().clear();
  LeaveCriticalSection(listGuard());
  // Then the process ends as the system's own handling ends it, with
  // STATUS_CONTROL_C_EXIT; ended here, it does so under every console host.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void installInterruptCleanup() {
  listGuard();
  registeredPaths().reserve(INTERRUPT_PATHS);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool deleteOnInterrupt(const std::string& path) {
  EnterCriticalSection(listGuard());
  std::vector<std::string>& paths = registeredPaths();
  bool held = std::find(paths.begin(), paths.end(), path) != paths.end();
  if (!held && paths.size() < static_cast<size_t>(INTERRUPT_PATHS)) {
    paths.push_back(path);
    held = true;
  }
  LeaveCriticalSection(listGuard());
  return held;
}

void keepOnInterrupt(const std::string& path) {
  EnterCriticalSection(listGuard());
  std::vector<std::string>& paths = registeredPaths();
  paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
  LeaveCriticalSection(listGuard());
}
