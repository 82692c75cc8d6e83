// The exchange over WinINet, synchronous: the session, a connection and a
// request handle per hop, the header lines added one at a time, the body
// written piece by piece between HttpSendRequestExA and HttpEndRequestA, then
// the reply read. The calls that wait on the network run under the watchdog
// (http_watchdog.cpp). WinINet's own redirects are off: it would follow them
// without a bound of its own on some systems, and repeat a form post with an
// empty body; nextHop (http_rules.h) follows them instead.
#include <cstring>
#include <vector>

#include "platform/ascii.h"
#include "platform/http.h"
#include "platform/win32/http_request.h"

namespace {

constexpr DWORD RESPONSE_TEXT_SIZE = 260;
constexpr DWORD REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
constexpr uint32_t REPLY_READ_SIZE = 8191;  // as the reply has always been read

// WinINet's texts for the errors a user meets most, where the system offers
// none of its own.
struct KnownNetError {
  DWORD number;
  const char* text;
};

const KnownNetError KNOWN_NET_ERRORS[] = {
    {ERROR_INTERNET_TIMEOUT, "The operation timed out"},
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name or address could not be resolved"},
    {ERROR_INTERNET_CANNOT_CONNECT, "The attempt to connect to the server failed"},
    {ERROR_INTERNET_CONNECTION_ABORTED, "The connection with the server has been terminated"},
    {ERROR_INTERNET_CONNECTION_RESET, "The connection with the server has been reset"},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server response could not be parsed"},
    {ERROR_INTERNET_SEC_CERT_DATE_INVALID, "The certificate has expired"},
    {ERROR_INTERNET_SEC_CERT_CN_INVALID, "The certificate's host name does not match"},
    {ERROR_INTERNET_INVALID_CA, "The certificate was issued by an authority that is not trusted"},
    {ERROR_INTERNET_SEC_CERT_ERRORS, "The certificate is not valid"},
    {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "The secure channel could not be set up"},
};

// One HttpQueryInfoA text; empty and false when there is none, or when it
// is longer than `limit` (then with ERROR_HTTP_INVALID_SERVER_RESPONSE).
bool queryText(HINTERNET request, DWORD query, std::string& text, size_t limit) {
  DWORD size = 0;
  text.clear();
  if (!request) return false;
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

// The reply head as it came, for the agent's own rules: the status line as
// the server wrote it, then every header line. False, with
// ERROR_HTTP_INVALID_SERVER_RESPONSE, when it is longer than MAX_REPLY_HEAD.
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

// The proxy the session goes through, as the system is configured; empty
// for none.
std::string proxyOf(HINTERNET root) {
  DWORD length = 0;
  InternetQueryOptionA(root, INTERNET_OPTION_PROXY, nullptr, &length);
  if (length < sizeof(INTERNET_PROXY_INFO)) return std::string();
  std::vector<char> buffer(length);
  if (!InternetQueryOptionA(root, INTERNET_OPTION_PROXY, buffer.data(), &length))
    return std::string();
  const INTERNET_PROXY_INFO* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !info->lpszProxy) return std::string();
  return reinterpret_cast<const char*>(info->lpszProxy);
}

// Ends the exchange at `stage` with the error of the call that just failed.
bool failAt(HttpOutcome& outcome, HttpStage stage) {
  outcome.number = GetLastError();
  outcome.responseNumber = outcome.number;
  outcome.stage = stage;
  return false;
}

// Opens the hop's connection and request and adds the caller's lines; a
// failure is the stage `failed` (a redirected hop fails as its reply).
bool openHop(Exchange& x, const HttpRequest& hop, HttpOutcome& outcome, bool firstHop) {
  closeHopHandles(x);
  x.connection = InternetConnectA(x.root, hop.hostName.c_str(), hop.port, nullptr, nullptr,
                                  INTERNET_SERVICE_HTTP, 0, 0);
  if (!x.connection) return failAt(outcome, firstHop ? HttpStage::Connect : HttpStage::Reply);
  DWORD flags = REQUEST_FLAGS | (hop.secure ? INTERNET_FLAG_SECURE : 0);
  x.request = HttpOpenRequestA(x.connection, hop.verb.c_str(), hop.objectName.c_str(), nullptr,
                               nullptr, nullptr, flags, 0);
  if (!x.request) return failAt(outcome, firstHop ? HttpStage::OpenRequest : HttpStage::Reply);
  for (size_t i = 0; i < hop.headerLines.size(); ++i) {
    outcome.headerIndex = i;
    if (!HttpAddRequestHeadersA(x.request, hop.headerLines[i].c_str(), static_cast<DWORD>(-1),
                                HTTP_ADDREQ_FLAG_ADD))
      return failAt(outcome, firstHop ? HttpStage::AddHeader : HttpStage::Reply);
  }
  return true;
}

// Writes the body piece by piece through the worker, idle between calls.
bool sendBody(Exchange& x, const BodySource& body, HttpOutcome& outcome) {
  const char* bytes = nullptr;
  uint32_t count = 0;
  HINTERNET request = x.request;
  for (; body.next(body.context, bytes, count) && count > 0;) {
    if (x.worker) x.worker->bytes.assign(bytes, bytes + count);
    if (runCall(x, [request, count](WorkerState& t) {
          DWORD done = 0;
          BOOL ok = InternetWriteFile(request, t.bytes.data(), count, &done);
          if (!ok) {
            // The response information belongs to the thread that made the call.
            DWORD error = GetLastError();
            char text[RESPONSE_TEXT_SIZE];
            DWORD length = sizeof text;
            t.responseError = 0;
            InternetGetLastResponseInfoA(&t.responseError, text, &length);
            SetLastError(error);
          }
          t.moved(ok ? done : 0);
          return ok;
        }))
      continue;
    failAt(outcome, HttpStage::Body);
    outcome.responseNumber = x.worker ? x.worker->responseError : 0;
    return false;
  }
  if (count == 0) return true;
  outcome.stage = HttpStage::Body;
  outcome.sourceFailed = true;
  return false;
}

// Sends the request and waits for the final reply's head, following
// redirects; the head is then in x.replyHead.
bool sendAndAwaitReply(Exchange& x, const HttpRequest& request, HttpOutcome& outcome) {
  HttpRequest hop = request;
  if (!openHop(x, hop, outcome, true)) return false;
  startWorker(x);
  HINTERNET handle = x.request;
  if (!runCall(
          x, [handle](WorkerState&) { return HttpSendRequestExA(handle, nullptr, nullptr, 0, 0); }))
    return failAt(outcome, HttpStage::Send);
  queryText(x.request, HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS,
            outcome.requestHead, MAX_REPLY_HEAD);
  if (hop.body.next && !sendBody(x, hop.body, outcome)) return false;
  if (!runCall(x, [handle](WorkerState&) { return HttpEndRequestA(handle, nullptr, 0, 0); })) {
    if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
      outcome.refusal = "its head grew the agent by more than 64 MiB";
    return failAt(outcome, HttpStage::Reply);
  }
  std::string head;
  for (int redirects = 0;;) {
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoA(x.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    if (!queryReplyHead(x.request, head)) {
      if (GetLastError() == ERROR_HTTP_INVALID_SERVER_RESPONSE)
        outcome.refusal = "its head is longer than 256 KiB";
      return failAt(outcome, HttpStage::Reply);
    }
    // WinINet shows none of a head's bytes while it reads it.
    countMoved(x, head.size());
    if (!nextHop(hop, redirects, static_cast<int>(status), head)) break;
    if (!openHop(x, hop, outcome, false)) return false;
    handle = x.request;
    if (!runCall(
            x, [handle](WorkerState&) { return HttpSendRequestA(handle, nullptr, 0, nullptr, 0); }))
      return failAt(outcome, HttpStage::Reply);
  }
  queryText(x.request, HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS,
            outcome.requestHead, MAX_REPLY_HEAD);
  queryText(x.request, HTTP_QUERY_RAW_HEADERS_CRLF, outcome.replyHead, MAX_REPLY_HEAD);
  // The final reply, read by the agent's own rules: WinINet lets broken
  // framing pass on some systems (wine's takes two different Content-Lengths,
  // a four-digit status, "ICY").
  if (!readReplyHead(head, x.replyHead)) {
    outcome.refusal = x.replyHead.refusal;
    SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    return failAt(outcome, HttpStage::Reply);
  }
  if (x.replyHead.status < 200 && !readFinalAfterInterim(x))
    return failAt(outcome, HttpStage::Reply);
  return true;
}

void exchange(Exchange& x, const HttpRequest& request, const ReplySink& sink,
              HttpOutcome& outcome) {
  x.root = InternetOpenA(request.agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!x.root) {
    failAt(outcome, HttpStage::OpenSession);
    return;
  }
  // WinINet's own time-outs as well, where it honours them. Connections and
  // requests inherit these from the session.
  DWORD timeout = static_cast<DWORD>(LOW_SPEED_WINDOW_SECONDS) * 1000;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionA(x.root, option, &timeout, sizeof timeout);
  outcome.proxy = proxyOf(x.root);
  outcome.trustedCertificates = "the system's certificate store";
  if (!sendAndAwaitReply(x, request, outcome)) return;
  if (!x.interim.taken) {
    char status[10] = "";
    DWORD length = sizeof status;
    if (!HttpQueryInfoA(x.request, HTTP_QUERY_STATUS_CODE, status, &length, nullptr)) {
      failAt(outcome, HttpStage::Status);
      return;
    }
  }
  outcome.stage = HttpStage::ReadBody;
  if (!sink.head(sink.context, x.replyHead, outcome.replyHead)) {
    outcome.sinkRefused = true;
    return;
  }
  std::vector<char> buffer(REPLY_READ_SIZE);
  for (;;) {
    uint32_t count = 0;
    bool read = x.interim.taken ? readAfterInterim(x, buffer.data(), REPLY_READ_SIZE, count)
                                : readReplyBytes(x, buffer.data(), REPLY_READ_SIZE, count);
    if (!read) {
      failAt(outcome, HttpStage::ReadBody);
      return;
    }
    if (count == 0) break;
    if (!sink.bytes(sink.context, buffer.data(), count)) {
      outcome.sinkRefused = true;
      return;
    }
  }
  outcome.stage = HttpStage::Done;
}

}  // namespace

void httpExchange(const HttpRequest& request, const ReplySink& sink, HttpOutcome& outcome) {
  outcome = HttpOutcome();
  Exchange x;
  x.deadline = request.deadline;
  exchange(x, request, sink, outcome);
  closeHopHandles(x);
  stopWorker(x);
  if (x.root) InternetCloseHandle(x.root);
}

bool crackUrl(const std::string& url, UrlParts& parts) {
  // Each buffer one byte larger than the length it is given, so that a part
  // that fills its length still has its terminator.
  char scheme[UrlParts::SCHEME_LIMIT + 1] = "";
  char host[UrlParts::HOST_LIMIT + 1] = "";
  char user[UrlParts::USER_LIMIT + 1] = "";
  char password[UrlParts::PASSWORD_LIMIT + 1] = "";
  char path[UrlParts::PATH_LIMIT + 1] = "";
  char extra[UrlParts::EXTRA_LIMIT + 1] = "";
  URL_COMPONENTSA components;
  std::memset(&components, 0, sizeof components);
  components.dwStructSize = sizeof components;
  auto lend = [](char* buffer, size_t limit, LPSTR& part, DWORD& length) {
    part = buffer;
    length = static_cast<DWORD>(limit);
  };
  lend(scheme, UrlParts::SCHEME_LIMIT, components.lpszScheme, components.dwSchemeLength);
  lend(host, UrlParts::HOST_LIMIT, components.lpszHostName, components.dwHostNameLength);
  lend(user, UrlParts::USER_LIMIT, components.lpszUserName, components.dwUserNameLength);
  lend(password, UrlParts::PASSWORD_LIMIT, components.lpszPassword, components.dwPasswordLength);
  lend(path, UrlParts::PATH_LIMIT, components.lpszUrlPath, components.dwUrlPathLength);
  lend(extra, UrlParts::EXTRA_LIMIT, components.lpszExtraInfo, components.dwExtraInfoLength);
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

extern const NetErrorNumbers NET_ERRORS = {ERROR_NOT_ENOUGH_MEMORY,
                                           ERROR_HTTP_INVALID_SERVER_RESPONSE,
                                           ERROR_INTERNET_CONNECTION_RESET, ERROR_INTERNET_TIMEOUT};

std::string netErrorText(unsigned long number) {
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                GetModuleHandleA("wininet.dll"), number, 1024,
                                reinterpret_cast<char*>(&text), 0, nullptr);
  if (length != 0 && text != nullptr) {
    std::string message(text, length);
    LocalFree(text);
    return message;
  }
  for (const KnownNetError& known : KNOWN_NET_ERRORS)
    if (known.number == number) return known.text;
  return std::string();
}
