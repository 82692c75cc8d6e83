// One request of the WinINet HTTP layer, and the pieces that carry it.
// Internal to the Windows side of the HTTP layer.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/http_framing.h"
#include "platform/http_rules.h"
#include "platform/net_handles.h"

constexpr DWORD RESPONSE_TEXT_SIZE = 260;
constexpr DWORD REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;

inline DWORD idleMilliseconds() {
  return static_cast<DWORD>(NET_IDLE_SECONDS) * 1000;
}

struct NetConnection {
  HandleKind kind = HandleKind::Connection;
  HINTERNET handle = nullptr;
  HINTERNET root = nullptr;
  std::string hostName;
  uint16_t port = 0;
};

// Shared by a request and the thread that runs its calls; whichever lets go
// last frees it. Everything a call reads or writes is in here, so a call
// left running after its request gave up touches nothing of the caller's.
struct CallThread {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  LONG holders = 2;
  std::function<BOOL(CallThread&)> call;
  bool posted = false;
  bool finished = false;
  bool quit = false;
  BOOL result = FALSE;
  DWORD error = 0;
  LowSpeedWatch speed;      // the low-speed rule's window, on GetTickCount64
  std::vector<char> bytes;  // what a write sends, what a read got
  DWORD responseError = 0;  // InternetGetLastResponseInfoA after a failed write
  DWORD bufferedReply = 0;  // bytes that had arrived beyond what a read took

  void moved(DWORD count) {
    AcquireSRWLockExclusive(&lock);
    speed.moved(count, GetTickCount64());
    ReleaseSRWLockExclusive(&lock);
  }
};

// A final reply that WinINet gave as the body of an interim 1xx one (wine's
// passes over 100 Continue only), read by the agent (http_interim.cpp).
struct AfterInterim {
  bool taken = false;
  std::string buffered;   // bytes of it read, not yet handed out
  uint64_t bodyLeft = 0;  // with BodyFraming::Length
  bool ended = false;
};

struct NetRequest {
  HandleKind kind = HandleKind::Request;
  HINTERNET root = nullptr;
  HINTERNET handle = nullptr;         // the current hop's request
  HINTERNET hopConnection = nullptr;  // a redirected hop's connection
  // Where the current hop goes; a followed redirect changes them.
  std::string verb;
  std::string hostName;
  std::string objectName;
  uint16_t port = 0;
  bool secure = false;
  std::vector<std::string> headerLines;  // the caller's, repeated on each hop
  int redirectsFollowed = 0;
  DWORD bufferedReply = 0;  // reply bytes known to have arrived, not yet read
  ReplyHead replyHead;      // the final reply's, read by the agent's rules
  AfterInterim interim;
  bool timedOut = false;
  CallThread* calls = nullptr;
  HANDLE thread = nullptr;  // null: calls run on the caller's thread
};

// Closes the current hop's request and, after a redirect, its connection.
void closeHopHandles(NetRequest& r);
bool addHeaderLine(HINTERNET request, const std::string& line);

// The request's own thread and its watchdog (http_watchdog.cpp).
void letGo(CallThread* calls);
DWORD WINAPI runCalls(void* context);
// Runs `call` on the request's thread and waits for it while bytes move;
// when the low-speed rule (http_rules.h) says the exchange has moved too
// little, cancels it and fails with ERROR_INTERNET_TIMEOUT; when the call
// makes the process grow past a bound of the agent's own (WinINet holds a
// reply head whole, however long), with ERROR_NOT_ENOUGH_MEMORY. The rule's window
// opens with the request and runs on from one call to the next.
bool runCall(NetRequest& r, std::function<BOOL(CallThread&)> call);

// The reply head as it came, for the agent's own rules: the status line as
// the server wrote it, then every header line. False, with
// ERROR_HTTP_INVALID_SERVER_RESPONSE, when it is longer than MAX_REPLY_HEAD.
bool queryReplyHead(HINTERNET request, std::string& head);

// The reply body as WinINet gives it, through the request's thread.
bool readReplyBytes(NetRequest& r, void* buffer, uint32_t capacity, uint32_t& count);

// WinINet took an interim reply for the final one: reads the final reply's
// head from what follows, into r.replyHead (http_interim.cpp). Fails with
// ERROR_HTTP_INVALID_SERVER_RESPONSE when its framing is invalid, or it is
// chunked: the chunks would have to be decoded here.
bool readFinalAfterInterim(NetRequest& r);
// The final reply's body, after readFinalAfterInterim.
bool readAfterInterim(NetRequest& r, void* buffer, uint32_t capacity, uint32_t& count);

// The bytes of a reply head count towards the low-speed rule once it has
// come: WinINet shows none of them while it reads the head.
void countHeadMoved(NetRequest& r, const std::string& head);

// Redirects followed by the agent rather than by WinINet (http_redirects.cpp).
// The last reply stands when a Location cannot be followed or the limit is
// reached.
bool followRedirects(NetRequest& r);
