#include <windows.h>

#include "platform/interrupts.h"

namespace {

// The console calls the handler on a thread of its own, so the slots are
// guarded; the guard is made on first use and lives as long as the process.
struct SlotGuard {
  CRITICAL_SECTION section;
  SlotGuard() { InitializeCriticalSection(&section); }
};

CRITICAL_SECTION* slotGuard() {
  static SlotGuard guard;
  return &guard.section;
}

std::string slotPaths[INTERRUPT_SLOTS];
bool slotArmed[INTERRUPT_SLOTS];

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  // The files are opened sharing delete access, so they go even while the
  // main thread still writes them: the name at once, the data when the
  // process ends.
  EnterCriticalSection(slotGuard());
  for (int slot = 0; slot < INTERRUPT_SLOTS; ++slot) {
    if (slotArmed[slot]) DeleteFileA(slotPaths[slot].c_str());
    slotArmed[slot] = false;
  }
  LeaveCriticalSection(slotGuard());
  // Then the process ends as the system's own handling ends it, with
  // STATUS_CONTROL_C_EXIT; ended here, it does so under every console host.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void installInterruptCleanup() {
  slotGuard();
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void deleteOnInterrupt(InterruptSlot slot, const std::string& path) {
  EnterCriticalSection(slotGuard());
  slotPaths[slot] = path;
  slotArmed[slot] = true;
  LeaveCriticalSection(slotGuard());
}

void keepOnInterrupt(InterruptSlot slot) {
  EnterCriticalSection(slotGuard());
  slotArmed[slot] = false;
  LeaveCriticalSection(slotGuard());
}
