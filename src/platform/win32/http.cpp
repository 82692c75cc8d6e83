// The exchange over WinINet, synchronous, one call per operation: the
// handles and the calls of the HTTP layer. The calls that wait on the network
// run under a watchdog (http_watchdog.cpp); redirects are followed by the
// agent (http_redirects.cpp).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/http.h"
#include "platform/win32/http_request.h"

namespace {

// InternetCrackUrlA's buffers: each one byte larger than the length it is
// given, so that a part that fills its length still has its terminator.
constexpr DWORD SCHEME_LENGTH = UrlParts::SCHEME_LIMIT;
constexpr DWORD HOST_LENGTH = UrlParts::HOST_LIMIT;
constexpr DWORD USER_LENGTH = UrlParts::USER_LIMIT;
constexpr DWORD PASSWORD_LENGTH = UrlParts::PASSWORD_LIMIT;
constexpr DWORD PATH_LENGTH = UrlParts::PATH_LIMIT;
constexpr DWORD EXTRA_LENGTH = UrlParts::EXTRA_LIMIT;

DWORD lastWriteResponseError = 0;

}  // namespace

void noteInvalidHandle() {
  SetLastError(ERROR_INVALID_HANDLE);
}

void closeHopHandles(NetRequest& r) {
  if (r.handle) InternetCloseHandle(r.handle);
  if (r.hopConnection) InternetCloseHandle(r.hopConnection);
  r.handle = nullptr;
  r.hopConnection = nullptr;
}

bool addHeaderLine(HINTERNET request, const std::string& line) {
  return HttpAddRequestHeadersA(request, line.c_str(), static_cast<DWORD>(-1),
                                HTTP_ADDREQ_FLAG_ADD) != FALSE;
}

namespace {

// One HttpQueryInfoA text, refused when longer than `limit`.
bool queryText(HINTERNET request, DWORD query, std::string& text, size_t limit) {
  DWORD size = 0;
  text.clear();
  if (HttpQueryInfoA(request, query, nullptr, &size, nullptr)) return true;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  if (size > limit) {
    SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    return false;
  }
  std::vector<char> buffer(size + 1);
  DWORD got = size;
  if (!HttpQueryInfoA(request, query, buffer.data(), &got, nullptr)) return false;
  text.assign(buffer.data(), got < size ? got : size);
  text.resize(std::strlen(text.c_str()));
  return true;
}

}  // namespace

bool queryReplyHead(HINTERNET request, std::string& head) {
  constexpr size_t PART_LIMIT = 1024;
  std::string raw;
  std::string version;
  std::string code;
  std::string reason;
  if (!queryText(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw, MAX_REPLY_HEAD)) return false;
  // WinINet writes the raw status line anew from what it understood; the
  // version and the status code as they came are asked for one by one.
  queryText(request, HTTP_QUERY_VERSION, version, PART_LIMIT);
  queryText(request, HTTP_QUERY_STATUS_CODE, code, PART_LIMIT);
  queryText(request, HTTP_QUERY_STATUS_TEXT, reason, PART_LIMIT);
  size_t statusEnd = raw.find('\n');
  head = version + " " + code + (reason.empty() ? "" : " " + reason) + "\r\n" +
         (statusEnd == std::string::npos ? std::string() : raw.substr(statusEnd + 1));
  return true;
}

void countHeadMoved(NetRequest& r, const std::string& head) {
  if (r.calls) r.calls->moved(static_cast<DWORD>(head.size()));
}

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
  r->calls->speed.start(GetTickCount64());
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
    t.moved(ok ? done : 0);
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
  if (!followRedirects(*r)) return false;
  // The final reply, read by the agent's own rules: WinINet lets broken
  // framing pass on some systems (wine's takes two different Content-Lengths,
  // a four-digit status, "ICY").
  std::string head;
  if (!queryReplyHead(r->handle, head)) return false;
  countHeadMoved(*r, head);
  if (!readReplyHead(head, r->replyHead)) {
    SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    return false;
  }
  if (r->replyHead.status < 200) return readFinalAfterInterim(*r);
  return true;
}

bool netQueryStatusText(NetHandle handle, char* buffer, uint32_t capacity) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->handle) return false;
  if (r->interim.taken) {
    std::string status = std::to_string(r->replyHead.status);
    if (status.size() + 1 > capacity) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return false;
    }
    std::memcpy(buffer, status.c_str(), status.size() + 1);
    return true;
  }
  DWORD length = capacity;
  return HttpQueryInfoA(r->handle, HTTP_QUERY_STATUS_CODE, buffer, &length, nullptr) != FALSE;
}

bool netQueryContentLength(NetHandle handle, uint64_t& length) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->handle) return false;
  if (r->replyHead.framing != BodyFraming::Length) {
    SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
    return false;
  }
  length = r->replyHead.contentLength;
  return true;
}

BodyFraming netQueryBodyFraming(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  return r ? r->replyHead.framing : BodyFraming::UntilClose;
}

bool netRead(NetHandle handle, void* buffer, uint32_t capacity, uint32_t& count) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r) return false;
  if (r->interim.taken) return readAfterInterim(*r, buffer, capacity, count);
  return readReplyBytes(*r, buffer, capacity, count);
}

bool readReplyBytes(NetRequest& r, void* buffer, uint32_t capacity, uint32_t& count) {
  HINTERNET request = r.handle;
  if (r.bufferedReply > 0 && r.handle) {
    // Bytes that have arrived already are read at once, without the thread.
    DWORD done = 0;
    if (!InternetReadFile(request, buffer, r.bufferedReply < capacity ? r.bufferedReply : capacity,
                          &done))
      return false;
    if (r.calls) r.calls->moved(done);
    r.bufferedReply = done < r.bufferedReply ? r.bufferedReply - done : 0;
    count = done;
    return true;
  }
  bool read = runCall(r, [request, capacity](CallThread& t) {
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
  count = static_cast<uint32_t>(r.calls->bytes.size());
  if (count > 0) std::memcpy(buffer, r.calls->bytes.data(), count);
  r.bufferedReply = r.calls->bufferedReply;
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

unsigned long netReplyFramingError() {
  return ERROR_HTTP_INVALID_SERVER_RESPONSE;
}

unsigned long netReplyCutShortError() {
  return ERROR_INTERNET_CONNECTION_RESET;
}
