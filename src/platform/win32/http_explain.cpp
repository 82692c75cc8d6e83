// What the Windows HTTP layer tells people: error texts, and the heads and
// proxy of an exchange for a trace.
#include <vector>

#include "platform/http.h"
#include "platform/win32/http_request.h"

namespace {

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
    {ERROR_INTERNET_INVALID_URL, "The URL is invalid"},
    {ERROR_INTERNET_UNRECOGNIZED_SCHEME, "The URL scheme could not be recognized"},
};

std::string queryHead(NetHandle handle, DWORD which) {
  NetRequest* r = static_cast<NetRequest*>(handle);
  if (!handle || *static_cast<HandleKind*>(handle) != HandleKind::Request || !r->handle)
    return std::string();
  DWORD length = 0;
  if (HttpQueryInfoA(r->handle, which, nullptr, &length, nullptr) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0)
    return std::string();
  std::string head(length, '\0');
  if (!HttpQueryInfoA(r->handle, which, head.data(), &length, nullptr)) return std::string();
  head.resize(length);
  return head;
}

}  // namespace

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

bool netErrorIsTimeout(unsigned long number) {
  return number == ERROR_INTERNET_TIMEOUT;
}

std::string netRequestHead(NetHandle handle) {
  return queryHead(handle, HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS);
}

std::string netReplyHead(NetHandle handle) {
  return queryHead(handle, HTTP_QUERY_RAW_HEADERS_CRLF);
}

std::string netProxyOf(NetHandle handle) {
  NetRequest* r = static_cast<NetRequest*>(handle);
  if (!handle || *static_cast<HandleKind*>(handle) != HandleKind::Request || !r->root)
    return std::string();
  DWORD length = 0;
  InternetQueryOptionA(r->root, INTERNET_OPTION_PROXY, nullptr, &length);
  if (length < sizeof(INTERNET_PROXY_INFO)) return std::string();
  std::vector<char> buffer(length);
  if (!InternetQueryOptionA(r->root, INTERNET_OPTION_PROXY, buffer.data(), &length))
    return std::string();
  const INTERNET_PROXY_INFO* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !info->lpszProxy) return std::string();
  return reinterpret_cast<const char*>(info->lpszProxy);
}
