// The record of one exchange over WinINet and the pieces that carry it, each
// using only those before it: the watchdog (http_watchdog.cpp), the reply
// behind an interim one (http_interim.cpp), the exchange (http.cpp).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/http_framing.h"
#include "platform/http_rules.h"

// What the exchange and its worker thread share; whichever lets go last
// frees it. Everything a call reads or writes is in here, so a call left
// running after the exchange gave up touches nothing of the exchange's.
struct WorkerState {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  LONG holders = 2;
  std::function<BOOL(WorkerState&)> call;
  bool posted = false;
  bool finished = false;
  bool quit = false;
  BOOL result = FALSE;
  DWORD error = 0;
  // The low-speed rule's window, on GetTickCount64: it opens again whenever
  // LOW_SPEED_LIMIT bytes a second of it have moved in it, and the call
  // fails as too slow when it closes before.
  ULONGLONG windowStart = GetTickCount64();
  uint64_t movedInWindow = 0;
  std::vector<char> bytes;  // what a write sends, what a read got
  DWORD responseError = 0;  // InternetGetLastResponseInfoA after a failed write
  DWORD bufferedReply = 0;  // bytes that had arrived beyond what a read took

  void moved(DWORD count) {
    AcquireSRWLockExclusive(&lock);
    movedInWindow += count;
    if (movedInWindow >= LOW_SPEED_LIMIT * static_cast<uint64_t>(LOW_SPEED_WINDOW_SECONDS)) {
      windowStart = GetTickCount64();
      movedInWindow = 0;
    }
    ReleaseSRWLockExclusive(&lock);
  }
};

// A final reply that wine's WinINet gave as the body of an interim 1xx one
// (it passes over 100 Continue only), read by the agent (http_interim.cpp).
// Windows' own WinINet never takes this path.
struct AfterInterim {
  bool taken = false;
  std::string buffered;   // bytes of it read, not yet handed out
  uint64_t bodyLeft = 0;  // with BodyFraming::Length
  bool ended = false;
};

struct Exchange {
  HINTERNET root = nullptr;
  HINTERNET connection = nullptr;  // the current hop's
  HINTERNET request = nullptr;     // the current hop's
  DWORD bufferedReply = 0;         // reply bytes known to have arrived, not yet read
  ReplyHead replyHead;             // the final reply's, read by the agent's rules
  AfterInterim interim;
  bool timedOut = false;
  ULONGLONG deadline = 0;  // GetTickCount64() at which every call times out; 0 for none
  WorkerState* worker = nullptr;
  HANDLE thread = nullptr;  // null: calls run on the caller's thread
};

// Closes the current hop's request and connection handles.
void closeHopHandles(Exchange& x);
// Starts the worker thread, and the low-speed rule's window with it; without
// a thread the calls still run, without the watch.
void startWorker(Exchange& x);
// Ends the worker thread and lets go of what it shares.
void stopWorker(Exchange& x);
// Runs `call` on the worker thread and waits for it while bytes move; when
// the low-speed rule (http_rules.h) says the exchange has moved too little,
// cancels it and fails with ERROR_INTERNET_TIMEOUT; when the call makes the
// process grow past a bound of the agent's own (WinINet holds a reply head
// whole, however long), with ERROR_NOT_ENOUGH_MEMORY. The rule's window runs
// on from one call to the next. The error number is left for GetLastError.
bool runCall(Exchange& x, std::function<BOOL(WorkerState&)> call);
// Counts bytes towards the low-speed rule that moved outside a call, such as
// a reply head, of which WinINet shows nothing while it reads it.
void countMoved(Exchange& x, size_t count);
// The reply body as WinINet gives it, through the worker.
bool readReplyBytes(Exchange& x, void* buffer, uint32_t capacity, uint32_t& count);

// WinINet took an interim reply for the final one: reads the final reply's
// head from what follows, into x.replyHead. Fails with
// ERROR_HTTP_INVALID_SERVER_RESPONSE when its framing is invalid, or it is
// chunked: the chunks would have to be decoded here.
bool readFinalAfterInterim(Exchange& x);
// The final reply's body, after readFinalAfterInterim.
bool readAfterInterim(Exchange& x, void* buffer, uint32_t capacity, uint32_t& count);
