// WinINet honours its own time-outs unevenly, so the calls that wait on the
// network run on a thread of the request's own while the caller keeps the
// time. When the low-speed rule says too little has moved, the caller closes the
// request's handles, WinINet's way to cancel a blocked call, and fails the
// call as timed out. Should the call still not return, the thread is left to
// it: it owns everything the call touches.
#include <cstring>

#include "platform/win32/http_request.h"
// After windows.h.
#include <psapi.h>

namespace {

// WinINet holds a reply's head whole while it reads it, however long it
// grows, and offers no bound on it: the agent keeps its own. A call that
// makes the process grow by more than this is cancelled, as a reply too large.
constexpr uint64_t CALL_MEMORY_LIMIT = 64 * 1024 * 1024;
// How often the memory of a call is looked at.
constexpr DWORD MEMORY_CHECK_MS = 100;

// What the process holds: the larger of its private commit and its working
// set. 0 when it cannot be told.
uint64_t processMemory() {
  PROCESS_MEMORY_COUNTERS counters;
  std::memset(&counters, 0, sizeof counters);
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PagefileUsage > counters.WorkingSetSize ? counters.PagefileUsage
                                                          : counters.WorkingSetSize;
}

// How long a call whose handles were closed is given to return.
constexpr DWORD CANCEL_GRACE_MS = 5000;

// The call moved too slowly or grew too large: cancel it and wait up to
// `graceMs` for it to return. One that does not is left to its thread.
void giveUp(NetRequest& r, DWORD graceMs) {
  r.timedOut = true;
  closeHopHandles(r);
  CallThread& t = *r.calls;
  ULONGLONG deadline = GetTickCount64() + graceMs;
  AcquireSRWLockExclusive(&t.lock);
  for (ULONGLONG now = GetTickCount64(); !t.finished && now < deadline; now = GetTickCount64())
    SleepConditionVariableSRW(&t.changed, &t.lock, static_cast<DWORD>(deadline - now), 0);
  bool returned = t.finished;
  if (!returned) t.quit = true;
  ReleaseSRWLockExclusive(&t.lock);
  if (returned) return;
  CloseHandle(r.thread);
  r.thread = nullptr;
  letGo(r.calls);
  r.calls = nullptr;
}

}  // namespace

void letGo(CallThread* calls) {
  if (InterlockedDecrement(&calls->holders) == 0) delete calls;
}

DWORD WINAPI runCalls(void* context) {
  CallThread& t = *static_cast<CallThread*>(context);
  AcquireSRWLockExclusive(&t.lock);
  for (;;) {
    while (!t.posted && !t.quit) SleepConditionVariableSRW(&t.changed, &t.lock, INFINITE, 0);
    if (!t.posted) break;
    t.posted = false;
    std::function<BOOL(CallThread&)> call = std::move(t.call);
    ReleaseSRWLockExclusive(&t.lock);
    BOOL result = call(t);
    DWORD error = GetLastError();
    AcquireSRWLockExclusive(&t.lock);
    t.result = result;
    t.error = error;
    t.finished = true;
    WakeAllConditionVariable(&t.changed);
  }
  ReleaseSRWLockExclusive(&t.lock);
  letGo(&t);
  return 0;
}

// Runs `call` on the request's thread and waits for it while bytes move
// fast enough and the process does not grow past CALL_MEMORY_LIMIT.
bool runCall(NetRequest& r, std::function<BOOL(CallThread&)> call) {
  if (r.timedOut || !r.handle) {
    SetLastError(r.timedOut ? ERROR_INTERNET_TIMEOUT : ERROR_INVALID_HANDLE);
    return false;
  }
  CallThread& t = *r.calls;
  if (!r.thread) return call(t) != FALSE;
  AcquireSRWLockExclusive(&t.lock);
  t.call = std::move(call);
  t.posted = true;
  t.finished = false;
  const uint64_t memoryBefore = processMemory();
  bool overgrown = false;
  WakeAllConditionVariable(&t.changed);
  for (;;) {
    if (t.finished) break;
    uint64_t left = t.speed.millisecondsLeft(GetTickCount64());
    if (left == 0) break;
    DWORD wait = left < MEMORY_CHECK_MS ? static_cast<DWORD>(left) : MEMORY_CHECK_MS;
    SleepConditionVariableSRW(&t.changed, &t.lock, wait, 0);
    if (!t.finished && memoryBefore > 0 && processMemory() > memoryBefore + CALL_MEMORY_LIMIT) {
      overgrown = true;
      break;
    }
  }
  bool finished = t.finished;
  BOOL result = t.result;
  DWORD error = t.error;
  ReleaseSRWLockExclusive(&t.lock);
  if (!finished) {
    // A call still growing is given no time: it would only grow further.
    giveUp(r, overgrown ? 0 : CANCEL_GRACE_MS);
    error = overgrown ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INTERNET_TIMEOUT;
    result = FALSE;
  }
  SetLastError(error);
  return result != FALSE;
}
