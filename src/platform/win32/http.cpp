// The exchange over WinINet, synchronous, one call per operation.
//
// Two things WinINet leaves to chance are done here. Redirects: WinINet would
// follow them without a bound of its own on some systems, and would repeat a
// form post with an empty body; each request is opened with automatic
// redirects off, and the redirects are followed here as http_rules.h says.
// Silence: WinINet honours its own time-outs unevenly, so the calls that wait
// on the network run on a thread of the request's own while the caller keeps
// the time. When nothing has moved for NET_IDLE_SECONDS the caller closes the
// request's handles, WinINet's way to cancel a blocked call, and fails the
// call as timed out. Should the call still not return, the thread is left to
// it: it owns everything the call touches.
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/http.h"
#include "platform/http_rules.h"

namespace {

// InternetCrackUrlA's buffers: each one byte larger than the length it is
// given, so that a part that fills its length still has its terminator.
constexpr DWORD SCHEME_LENGTH = UrlParts::SCHEME_LIMIT;
constexpr DWORD HOST_LENGTH = UrlParts::HOST_LIMIT;
constexpr DWORD USER_LENGTH = UrlParts::USER_LIMIT;
constexpr DWORD PASSWORD_LENGTH = UrlParts::PASSWORD_LIMIT;
constexpr DWORD PATH_LENGTH = UrlParts::PATH_LIMIT;
constexpr DWORD EXTRA_LENGTH = UrlParts::EXTRA_LIMIT;
constexpr DWORD RESPONSE_TEXT_SIZE = 260;
// How long a call whose handles were closed is given to return.
constexpr DWORD CANCEL_GRACE_MS = 5000;
constexpr DWORD REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;

DWORD idleMilliseconds() {
  return static_cast<DWORD>(NET_IDLE_SECONDS) * 1000;
}

enum class HandleKind { Root, Connection, Request };

struct NetRoot {
  HandleKind kind = HandleKind::Root;
  HINTERNET handle = nullptr;
};

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
  ULONGLONG lastActivity = 0;  // when a byte last moved
  std::vector<char> bytes;     // what a write sends, what a read got
  DWORD responseError = 0;     // InternetGetLastResponseInfoA after a failed write
  DWORD bufferedReply = 0;     // bytes that had arrived beyond what a read took

  void touch() {
    AcquireSRWLockExclusive(&lock);
    lastActivity = GetTickCount64();
    ReleaseSRWLockExclusive(&lock);
  }
};

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
  bool timedOut = false;
  CallThread* calls = nullptr;
  HANDLE thread = nullptr;  // null: calls run on the caller's thread
};

template <typename T>
T* asHandle(NetHandle handle, HandleKind kind) {
  if (!handle || *static_cast<HandleKind*>(handle) != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<T*>(handle);
}

void closeHopHandles(NetRequest& r) {
  if (r.handle) InternetCloseHandle(r.handle);
  if (r.hopConnection) InternetCloseHandle(r.hopConnection);
  r.handle = nullptr;
  r.hopConnection = nullptr;
}

// The call overran the idle time: cancel it and wait a little for it to
// return. One that does not is left to its thread.
void giveUp(NetRequest& r) {
  r.timedOut = true;
  closeHopHandles(r);
  CallThread& t = *r.calls;
  ULONGLONG deadline = GetTickCount64() + CANCEL_GRACE_MS;
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

// Runs `call` on the request's thread and waits for it while bytes move.
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
  t.lastActivity = GetTickCount64();
  WakeAllConditionVariable(&t.changed);
  for (;;) {
    if (t.finished) break;
    ULONGLONG silent = GetTickCount64() - t.lastActivity;
    if (silent >= idleMilliseconds()) break;
    SleepConditionVariableSRW(&t.changed, &t.lock, static_cast<DWORD>(idleMilliseconds() - silent),
                              0);
  }
  bool finished = t.finished;
  BOOL result = t.result;
  DWORD error = t.error;
  ReleaseSRWLockExclusive(&t.lock);
  if (!finished) {
    giveUp(r);
    error = ERROR_INTERNET_TIMEOUT;
    result = FALSE;
  }
  SetLastError(error);
  return result != FALSE;
}

bool addHeaderLine(HINTERNET request, const std::string& line) {
  return HttpAddRequestHeadersA(request, line.c_str(), static_cast<DWORD>(-1),
                                HTTP_ADDREQ_FLAG_ADD) != FALSE;
}

bool startsWithIgnoreCase(const std::string& text, const char* prefix) {
  size_t length = std::strlen(prefix);
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

int replyStatus(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr))
    return 0;
  return static_cast<int>(status);
}

bool replyLocation(HINTERNET request, std::string& location) {
  std::vector<char> text(1024);
  for (;;) {
    DWORD size = static_cast<DWORD>(text.size());
    if (HttpQueryInfoA(request, HTTP_QUERY_LOCATION, text.data(), &size, nullptr)) {
      location.assign(text.data(), size);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    text.resize(size + 1);
  }
}

// Opens the request for the next hop, a GET to `next`, in place of the
// current one.
bool openHop(NetRequest& r, const UrlParts& next) {
  if (r.verb != "GET") {
    // A form post's body is not sent again.
    r.verb = "GET";
    std::vector<std::string> kept;
    for (const std::string& line : r.headerLines)
      if (!startsWithIgnoreCase(line, "Content-Type:") &&
          !startsWithIgnoreCase(line, "Content-Length:"))
        kept.push_back(line);
    r.headerLines.swap(kept);
  }
  closeHopHandles(r);
  r.hostName = next.hostName;
  r.port = next.port;
  r.secure = next.secure;
  r.objectName = objectNameOf(next.urlPath, next.extraInfo);
  r.hopConnection = InternetConnectA(r.root, r.hostName.c_str(), r.port, nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0);
  if (!r.hopConnection) return false;
  DWORD flags = REQUEST_FLAGS | (r.secure ? INTERNET_FLAG_SECURE : 0);
  r.handle = HttpOpenRequestA(r.hopConnection, r.verb.c_str(), r.objectName.c_str(), nullptr,
                              nullptr, nullptr, flags, 0);
  if (!r.handle) return false;
  for (const std::string& line : r.headerLines)
    if (!addHeaderLine(r.handle, line)) return false;
  return true;
}

// The last reply stands when a Location cannot be followed or the limit is
// reached.
bool followRedirects(NetRequest& r) {
  while (r.redirectsFollowed < MAX_REDIRECTS && followsRedirect(r.verb, replyStatus(r.handle))) {
    std::string location;
    UrlParts next;
    if (!replyLocation(r.handle, location) || location.empty() ||
        !crackUrl(resolveLocation(r.hostName, r.port, r.secure, r.objectName, location), next))
      return true;
    ++r.redirectsFollowed;
    if (!openHop(r, next)) return false;
    HINTERNET request = r.handle;
    if (!runCall(r, [request](CallThread&) {
          return HttpSendRequestA(request, nullptr, 0, nullptr, 0);
        }))
      return false;
  }
  return true;
}

DWORD lastWriteResponseError = 0;

}  // namespace

bool crackUrl(const std::string& url, UrlParts& parts) {
  char scheme[SCHEME_LENGTH + 1] = "";
  char host[HOST_LENGTH + 1] = "";
  char user[USER_LENGTH + 1] = "";
  char password[PASSWORD_LENGTH + 1] = "";
  char path[PATH_LENGTH + 1] = "";
  char extra[EXTRA_LENGTH + 1] = "";
  URL_COMPONENTSA components;
  std::memset(&components, 0, sizeof components);
  components.dwStructSize = sizeof components;
  components.lpszScheme = scheme;
  components.dwSchemeLength = SCHEME_LENGTH;
  components.lpszHostName = host;
  components.dwHostNameLength = HOST_LENGTH;
  components.lpszUserName = user;
  components.dwUserNameLength = USER_LENGTH;
  components.lpszPassword = password;
  components.dwPasswordLength = PASSWORD_LENGTH;
  components.lpszUrlPath = path;
  components.dwUrlPathLength = PATH_LENGTH;
  components.lpszExtraInfo = extra;
  components.dwExtraInfoLength = EXTRA_LENGTH;
  if (!InternetCrackUrlA(url.c_str(), 0, 0, &components)) return false;
  // Some WinINet versions split any "name:" as a scheme; only what an HTTP
  // exchange can carry counts as recognised, on every system alike.
  if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS)
    return false;
  parts.scheme.assign(scheme, components.dwSchemeLength);
  parts.hostName.assign(host, components.dwHostNameLength);
  parts.userName.assign(user, components.dwUserNameLength);
  parts.password.assign(password, components.dwPasswordLength);
  parts.urlPath.assign(path, components.dwUrlPathLength);
  parts.extraInfo.assign(extra, components.dwExtraInfoLength);
  parts.port = components.nPort;
  parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

NetHandle netOpen(const char* agent) {
  HINTERNET handle = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (handle == nullptr) return nullptr;
  // WinINet's own time-outs as well, where it honours them. Connections and
  // requests inherit these from the root.
  DWORD timeout = idleMilliseconds();
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionA(handle, option, &timeout, sizeof timeout);
  NetRoot* root = new NetRoot;
  root->handle = handle;
  return root;
}

NetHandle netConnect(NetHandle rootHandle, const std::string& hostName, uint16_t port) {
  NetRoot* root = asHandle<NetRoot>(rootHandle, HandleKind::Root);
  if (!root) return nullptr;
  HINTERNET handle = InternetConnectA(root->handle, hostName.c_str(), port, nullptr, nullptr,
                                      INTERNET_SERVICE_HTTP, 0, 0);
  if (!handle) return nullptr;
  NetConnection* connection = new NetConnection;
  connection->handle = handle;
  connection->root = root->handle;
  connection->hostName = hostName;
  connection->port = port;
  return connection;
}

NetHandle netOpenRequest(NetHandle connectionHandle, const char* verb,
                         const std::string& objectName, bool secure) {
  NetConnection* connection = asHandle<NetConnection>(connectionHandle, HandleKind::Connection);
  if (!connection) return nullptr;
  // An https URL is fetched over TLS; a certificate that does not verify
  // fails the send.
  DWORD flags = REQUEST_FLAGS | (secure ? INTERNET_FLAG_SECURE : 0);
  HINTERNET handle = HttpOpenRequestA(connection->handle, verb, objectName.c_str(), nullptr,
                                      nullptr, nullptr, flags, 0);
  if (!handle) return nullptr;
  NetRequest* r = new NetRequest;
  r->root = connection->root;
  r->handle = handle;
  r->verb = verb;
  r->hostName = connection->hostName;
  r->port = connection->port;
  r->objectName = objectName;
  r->secure = secure;
  r->calls = new CallThread;
  r->thread = CreateThread(nullptr, 0, runCalls, r->calls, 0, nullptr);
  // Without a thread of its own the request still works, without the watch.
  if (!r->thread) r->calls->holders = 1;
  return r;
}

bool netAddHeaderLine(NetHandle handle, const std::string& line) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->handle) return false;
  if (!addHeaderLine(r->handle, line)) return false;
  r->headerLines.push_back(line);
  return true;
}

bool netSendRequest(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r) return false;
  HINTERNET request = r->handle;
  return runCall(
      *r, [request](CallThread&) { return HttpSendRequestExA(request, nullptr, nullptr, 0, 0); });
}

bool netWrite(NetHandle handle, const void* bytes, uint32_t count) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r) return false;
  lastWriteResponseError = 0;
  if (r->calls) {
    // The thread is idle between calls.
    const char* from = static_cast<const char*>(bytes);
    r->calls->bytes.assign(from, from + count);
  }
  HINTERNET request = r->handle;
  bool written = runCall(*r, [request, count](CallThread& t) {
    DWORD done = 0;
    BOOL ok = InternetWriteFile(request, t.bytes.data(), count, &done);
    if (!ok) {
      // The response information belongs to the thread that made the call.
      DWORD error = GetLastError();
      char text[RESPONSE_TEXT_SIZE];
      DWORD length = sizeof text;
      InternetGetLastResponseInfoA(&t.responseError, text, &length);
      SetLastError(error);
    }
    t.touch();
    return ok;
  });
  if (!written && r->calls) lastWriteResponseError = r->calls->responseError;
  return written;
}

unsigned long netLastResponseError() {
  return lastWriteResponseError;
}

bool netEndRequest(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r) return false;
  HINTERNET request = r->handle;
  if (!runCall(*r, [request](CallThread&) { return HttpEndRequestA(request, nullptr, 0, 0); }))
    return false;
  return followRedirects(*r);
}

bool netQueryStatusText(NetHandle handle, char* buffer, uint32_t capacity) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->handle) return false;
  DWORD length = capacity;
  return HttpQueryInfoA(r->handle, HTTP_QUERY_STATUS_CODE, buffer, &length, nullptr) != FALSE;
}

bool netQueryContentLength(NetHandle handle, uint64_t& length) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->handle) return false;
  char text[32] = "";
  DWORD size = sizeof text;
  if (!HttpQueryInfoA(r->handle, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return false;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text) return false;
  length = value;
  return true;
}

bool netRead(NetHandle handle, void* buffer, uint32_t capacity, uint32_t& count) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r) return false;
  HINTERNET request = r->handle;
  if (r->bufferedReply > 0 && r->handle) {
    // Bytes that have arrived already are read at once, without the thread.
    DWORD done = 0;
    if (!InternetReadFile(request, buffer,
                          r->bufferedReply < capacity ? r->bufferedReply : capacity, &done))
      return false;
    r->bufferedReply = done < r->bufferedReply ? r->bufferedReply - done : 0;
    count = done;
    return true;
  }
  bool read = runCall(*r, [request, capacity](CallThread& t) {
    // InternetReadFile waits until it can fill the whole buffer: asking for
    // what has arrived lets every piece count as bytes moving, so a server
    // that sends slowly is not taken for a silent one.
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) return FALSE;
    t.touch();
    DWORD wanted = available == 0 || available > capacity ? capacity : available;
    t.bytes.resize(capacity);
    DWORD done = 0;
    BOOL ok = InternetReadFile(request, t.bytes.data(), wanted, &done);
    t.bytes.resize(ok ? done : 0);
    t.bufferedReply = ok && available > done ? available - done : 0;
    return ok;
  });
  if (!read) return false;
  count = static_cast<uint32_t>(r->calls->bytes.size());
  if (count > 0) std::memcpy(buffer, r->calls->bytes.data(), count);
  r->bufferedReply = r->calls->bufferedReply;
  return true;
}

void netClose(NetHandle handle) {
  if (!handle) return;
  switch (*static_cast<HandleKind*>(handle)) {
    case HandleKind::Root: {
      NetRoot* root = static_cast<NetRoot*>(handle);
      InternetCloseHandle(root->handle);
      delete root;
      break;
    }
    case HandleKind::Connection: {
      NetConnection* connection = static_cast<NetConnection*>(handle);
      InternetCloseHandle(connection->handle);
      delete connection;
      break;
    }
    case HandleKind::Request: {
      NetRequest* r = static_cast<NetRequest*>(handle);
      closeHopHandles(*r);
      if (r->thread) {
        AcquireSRWLockExclusive(&r->calls->lock);
        r->calls->quit = true;
        WakeAllConditionVariable(&r->calls->changed);
        ReleaseSRWLockExclusive(&r->calls->lock);
        WaitForSingleObject(r->thread, INFINITE);
        CloseHandle(r->thread);
      }
      if (r->calls) letGo(r->calls);
      delete r;
      break;
    }
  }
}

unsigned long netLastError() {
  return GetLastError();
}

unsigned long netReplyTooLargeError() {
  return ERROR_NOT_ENOUGH_MEMORY;
}

unsigned long netReplyCutShortError() {
  return ERROR_INTERNET_CONNECTION_RESET;
}
