// The exchange over WinINet, synchronous, one call per operation.
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>

#include "platform/http.h"

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
constexpr DWORD IDLE_TIMEOUT_MS = 60 * 1000;

HINTERNET asInternet(NetHandle handle) {
  return static_cast<HINTERNET>(handle);
}

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
  HINTERNET root = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (root == nullptr) return nullptr;
  // A build script must never hang on a silent server: give up on connecting,
  // and on any send or receive in which nothing moves, after a minute, as the
  // POSIX build does. Connections and requests inherit these from the root.
  DWORD timeout = IDLE_TIMEOUT_MS;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionA(root, option, &timeout, sizeof timeout);
  return root;
}

NetHandle netConnect(NetHandle root, const std::string& hostName, uint16_t port) {
  return InternetConnectA(asInternet(root), hostName.c_str(), port, nullptr, nullptr,
                          INTERNET_SERVICE_HTTP, 0, 0);
}

NetHandle netOpenRequest(NetHandle connection, const char* verb, const std::string& objectName,
                         bool secure) {
  DWORD flags =
      INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE;
  // An https URL is fetched over TLS; a certificate that does not verify
  // fails the send.
  if (secure) flags |= INTERNET_FLAG_SECURE;
  return HttpOpenRequestA(asInternet(connection), verb, objectName.c_str(), nullptr, nullptr,
                          nullptr, flags, 0);
}

bool netAddHeaderLine(NetHandle request, const std::string& line) {
  return HttpAddRequestHeadersA(asInternet(request), line.c_str(), static_cast<DWORD>(-1),
                                HTTP_ADDREQ_FLAG_ADD) != FALSE;
}

bool netSendRequest(NetHandle request) {
  return HttpSendRequestExA(asInternet(request), nullptr, nullptr, 0, 0) != FALSE;
}

bool netWrite(NetHandle request, const void* bytes, uint32_t count) {
  DWORD written = 0;
  return InternetWriteFile(asInternet(request), bytes, count, &written) != FALSE;
}

unsigned long netLastResponseError() {
  DWORD error = 0;
  char text[RESPONSE_TEXT_SIZE];
  DWORD length = sizeof text;
  InternetGetLastResponseInfoA(&error, text, &length);
  return error;
}

bool netEndRequest(NetHandle request) {
  return HttpEndRequestA(asInternet(request), nullptr, 0, 0) != FALSE;
}

bool netQueryStatusText(NetHandle request, char* buffer, uint32_t capacity) {
  DWORD length = capacity;
  return HttpQueryInfoA(asInternet(request), HTTP_QUERY_STATUS_CODE, buffer, &length, nullptr) !=
         FALSE;
}

bool netQueryContentLength(NetHandle request, uint64_t& length) {
  char text[32] = "";
  DWORD size = sizeof text;
  if (!HttpQueryInfoA(asInternet(request), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
    return false;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text) return false;
  length = value;
  return true;
}

bool netRead(NetHandle request, void* buffer, uint32_t capacity, uint32_t& count) {
  DWORD read = 0;
  if (!InternetReadFile(asInternet(request), buffer, capacity, &read)) return false;
  count = read;
  return true;
}

void netClose(NetHandle handle) {
  if (handle) InternetCloseHandle(asInternet(handle));
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
