// WinINet honours its own time-outs unevenly, so the calls that wait on the
// network run on a worker thread of the exchange's own while the caller keeps
// the time. When the low-speed rule says too little has moved, the caller closes the
// request's handles, WinINet's way to cancel a blocked call, and fails the
// call as timed out. Should the call still not return, the thread is left to
// it: it owns everything the call touches.
#include <cstring>

#include "platform/win32/http_request.h"
// After windows.h.
#include <psapi.h>

namespace {

void letGo(WorkerState* calls) {
  if (InterlockedDecrement(&calls->holders) == 0) delete calls;
}

DWORD WINAPI runCalls(void* context) {
  WorkerState& t = *static_cast<WorkerState*>(context);
  AcquireSRWLockExclusive(&t.lock);
  for (;;) {
    while (!t.posted && !t.quit) SleepConditionVariableSRW(&t.changed, &t.lock, INFINITE, 0);
    if (!t.posted) break;
    t.posted = false;
    std::function<BOOL(WorkerState&)> call = std::move(t.call);
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
void giveUp(Exchange& x, DWORD graceMs) {
  x.timedOut = true;
  closeHopHandles(x);
  WorkerState& t = *x.worker;
  ULONGLONG deadline = GetTickCount64() + graceMs;
  AcquireSRWLockExclusive(&t.lock);
  for (ULONGLONG now = GetTickCount64(); !t.finished && now < deadline; now = GetTickCount64())
    SleepConditionVariableSRW(&t.changed, &t.lock, static_cast<DWORD>(deadline - now), 0);
  bool returned = t.finished;
  if (!returned) t.quit = true;
  ReleaseSRWLockExclusive(&t.lock);
  if (returned) return;
  CloseHandle(x.thread);
  x.thread = nullptr;
  letGo(x.worker);
  x.worker = nullptr;
}

}  // namespace

bool runCall(Exchange& x, std::function<BOOL(WorkerState&)> call) {
  if (x.timedOut || !x.request) {
    SetLastError(x.timedOut ? ERROR_INTERNET_TIMEOUT : ERROR_INVALID_HANDLE);
    return false;
  }
  WorkerState& t = *x.worker;
  if (!x.thread) return call(t) != FALSE;
  AcquireSRWLockExclusive(&t.lock);
  t.call = std::move(call);
  t.posted = true;
  t.finished = false;
  const uint64_t memoryBefore = processMemory();
  bool overgrown = false;
  WakeAllConditionVariable(&t.changed);
  for (;;) {
    if (t.finished) break;
    ULONGLONG now = GetTickCount64();
    ULONGLONG spent = now - t.windowStart;
    ULONGLONG window = static_cast<ULONGLONG>(LOW_SPEED_WINDOW_SECONDS) * 1000;
    if (spent >= window || (x.deadline != 0 && now >= x.deadline)) break;
    ULONGLONG left = window - spent;
    if (x.deadline != 0 && x.deadline - now < left) left = x.deadline - now;
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
    giveUp(x, overgrown ? 0 : CANCEL_GRACE_MS);
    error = overgrown ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INTERNET_TIMEOUT;
    result = FALSE;
  }
  SetLastError(error);
  return result != FALSE;
}

void closeHopHandles(Exchange& x) {
  if (x.request) InternetCloseHandle(x.request);
  if (x.connection) InternetCloseHandle(x.connection);
  x.request = nullptr;
  x.connection = nullptr;
}

void startWorker(Exchange& x) {
  x.worker = new WorkerState;
  x.thread = CreateThread(nullptr, 0, runCalls, x.worker, 0, nullptr);
  if (!x.thread) x.worker->holders = 1;
}

void stopWorker(Exchange& x) {
  if (x.thread) {
    AcquireSRWLockExclusive(&x.worker->lock);
    x.worker->quit = true;
    WakeAllConditionVariable(&x.worker->changed);
    ReleaseSRWLockExclusive(&x.worker->lock);
    WaitForSingleObject(x.thread, INFINITE);
    CloseHandle(x.thread);
    x.thread = nullptr;
  }
  if (x.worker) letGo(x.worker);
  x.worker = nullptr;
}

void countMoved(Exchange& x, size_t count) {
  if (x.worker) x.worker->moved(static_cast<DWORD>(count));
}

bool readReplyBytes(Exchange& x, void* buffer, uint32_t capacity, uint32_t& count) {
  HINTERNET request = x.request;
  if (x.bufferedReply > 0 && request) {
    // Bytes that have arrived already are read at once, without the worker.
    DWORD done = 0;
    if (!InternetReadFile(request, buffer, x.bufferedReply < capacity ? x.bufferedReply : capacity,
                          &done))
      return false;
    countMoved(x, done);
    x.bufferedReply = done < x.bufferedReply ? x.bufferedReply - done : 0;
    count = done;
    return true;
  }
  bool read = runCall(x, [request, capacity](WorkerState& t) {
    // InternetReadFile waits until it can fill the whole buffer: asking for
    // what has arrived lets every piece count as bytes moving, so a server
    // that sends slowly is not taken for a silent one.
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) return FALSE;
    DWORD wanted = available == 0 || available > capacity ? capacity : available;
    t.bytes.resize(capacity);
    DWORD done = 0;
    BOOL ok = InternetReadFile(request, t.bytes.data(), wanted, &done);
    t.bytes.resize(ok ? done : 0);
    t.moved(ok ? done : 0);
    t.bufferedReply = ok && available > done ? available - done : 0;
    return ok;
  });
  if (!read) return false;
  count = static_cast<uint32_t>(x.worker->bytes.size());
  if (count > 0) std::memcpy(buffer, x.worker->bytes.data(), count);
  x.bufferedReply = x.worker->bufferedReply;
  return true;
}
