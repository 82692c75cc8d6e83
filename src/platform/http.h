// One synchronous HTTP exchange at a time, with WinINet's shape: a root
// handle, a connection handle and a request handle; headers added a line at
// a time; the body written piece by piece between sending the request and
// ending it; the reply read in pieces. On Windows each call is the WinINet
// call of the same role; on POSIX it is carried out with libcurl so that the
// server sees the request WinINet would compose.
#pragma once

#include <cstdint>
#include <string>

using NetHandle = void*;

// A URL split as InternetCrackUrlA splits it with no flags: nothing decoded,
// nothing escaped. Each part must fit its limit, the terminator included.
struct UrlParts {
  static constexpr size_t SCHEME_LIMIT = 32;
  static constexpr size_t HOST_LIMIT = 256;
  static constexpr size_t USER_LIMIT = 128;
  static constexpr size_t PASSWORD_LIMIT = 128;
  static constexpr size_t PATH_LIMIT = 2048;
  static constexpr size_t EXTRA_LIMIT = 2048;

  std::string scheme;
  std::string hostName;
  std::string userName;
  std::string password;
  std::string urlPath;
  // The query with its "?", and a fragment with its "#".
  std::string extraInfo;
  uint16_t port = 0;
  bool secure = false;  // the scheme is https
};

// False when the URL has no recognised scheme or a part does not fit.
bool crackUrl(const std::string& url, UrlParts& parts);

// The root of an exchange with the agent text for User-Agent, through the
// system's configured proxy (on POSIX: http_proxy, https_proxy, all_proxy and
// no_proxy, as libcurl reads them); synchronous. Null on failure.
NetHandle netOpen(const char* agent);
NetHandle netConnect(NetHandle root, const std::string& hostName, uint16_t port);
// Verb "GET" or "POST"; no cache write, keep-alive, no-cache pragma; TLS when
// `secure`. Null on failure.
NetHandle netOpenRequest(NetHandle connection, const char* verb, const std::string& objectName,
                         bool secure);
// One header line ending in "\r\n", added after those the library composes.
bool netAddHeaderLine(NetHandle request, const std::string& line);
// Sends the request line and the headers; the body, if any, may follow.
bool netSendRequest(NetHandle request);
bool netWrite(NetHandle request, const void* bytes, uint32_t count);
// The error number InternetGetLastResponseInfoA reports after a failed write.
unsigned long netLastResponseError();
// Completes the request and waits for the reply's status and headers.
// Redirects are followed as followsRedirect (http_rules.h) says, ten at most;
// a POST is followed with a GET. Waiting longer than NET_IDLE_SECONDS without
// a byte moving fails any call that waits, with the system's time-out error.
bool netEndRequest(NetHandle request);
// The reply status as decimal text, into `capacity` bytes at most.
bool netQueryStatusText(NetHandle request, char* buffer, uint32_t capacity);
// The length the reply's Content-Length header announces; false when it
// announces none.
bool netQueryContentLength(NetHandle request, uint64_t& length);
// Up to `capacity` bytes of the reply body; `count` 0 at its end.
bool netRead(NetHandle request, void* buffer, uint32_t capacity, uint32_t& count);
void netClose(NetHandle handle);
// The error number of the net call that just failed (GetLastError on
// Windows; the libcurl error code on POSIX).
unsigned long netLastError();
// The error number for a reply too large to be held in memory
// (ERROR_NOT_ENOUGH_MEMORY on Windows; CURLE_FILESIZE_EXCEEDED on POSIX).
unsigned long netReplyTooLargeError();
// The error number for a reply body that ended before its announced length
// (ERROR_INTERNET_CONNECTION_RESET on Windows; CURLE_PARTIAL_FILE on POSIX).
unsigned long netReplyCutShortError();

// Reports transfer progress to whoever shows it; bytes of the body sent or
// received so far, and the total when it is known (else 0).
struct NetProgress {
  void* context = nullptr;
  void (*report)(void* context, bool upload, uint64_t done, uint64_t total) = nullptr;
};
