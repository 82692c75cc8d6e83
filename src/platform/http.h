// One synchronous HTTP/1.1 exchange at a time. Its shape is WinINet's: a
// root handle, a connection handle and a request handle; header lines added
// one at a time; the body written piece by piece between sending the request
// and ending it; then the status, and the reply read in pieces. On Windows
// each call is the WinINet call of the same role. On POSIX (posix/http*.cpp)
// each is carried out with libcurl, and the server must not be able to tell
// the two apart: what each call puts on the wire is said below.
//
// A request on the wire, whichever system sends it:
//   <VERB> <object name> HTTP/1.1      (through an HTTP proxy, a plain http
//                                       request names "http://host[:port]"
//                                       before the object name)
//   Host, User-Agent (the agent text), Pragma: no-cache,
//   Cache-Control: no-cache, Connection: Keep-Alive, in this order
//   the caller's lines, in the order they were added, exactly as given
//   the body, exactly Content-Length bytes; never chunked, no Expect
// Every call returns false (or null) on failure and leaves the error number
// for netLastError. No call retries; a call that waits gives up once nothing
// has moved for NET_IDLE_SECONDS (http_rules.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/http_framing.h"

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
// One header line ending in "\r\n", added after those composed above and
// sent as it stands, an empty value included ("Agent-Version: "). A
// Content-Length line also fixes how many body bytes netWrite may send.
bool netAddHeaderLine(NetHandle handle, const std::string& line);
// Sends the request line and the headers, and returns once they are out (for
// a GET, no body follows). Fails when the host cannot be reached.
bool netSendRequest(NetHandle handle);
// Sends `count` more bytes of the body. Never sends past the announced
// Content-Length: a write that would is refused, and nothing of it goes out.
bool netWrite(NetHandle handle, const void* bytes, uint32_t count);
// The error number InternetGetLastResponseInfoA reports after a failed write.
unsigned long netLastResponseError();
// Completes the request and waits for the reply's status and headers.
// Redirects are followed as followsRedirect (http_rules.h) says, ten at most;
// a POST is followed with a GET. A redirect whose Location is given twice
// with different values is not followed: that reply stands. The low-speed
// rule fails any call that waits, with the system's time-out error. Interim
// 1xx replies are passed over; a final reply whose head readReplyHead refuses
// fails with netReplyFramingError().
bool netEndRequest(NetHandle handle);
// The final reply's status as decimal text ("200"), into `capacity` bytes at
// most; interim 1xx replies are passed over.
bool netQueryStatusText(NetHandle handle, char* buffer, uint32_t capacity);
// The length the reply's Content-Length header announces; false when it
// announces none, or when the reply is chunked (chunked wins).
bool netQueryContentLength(NetHandle handle, uint64_t& length);
// How the final reply's body is framed.
BodyFraming netQueryBodyFraming(NetHandle handle);
// Up to `capacity` bytes of the reply body, decoded from chunked if it came
// so; `count` 0 at its end; fails when a chunked body ends without its last
// chunk or breaks its chunk syntax, where the library shows it (libcurl
// does; WinINet decodes the chunks out of the agent's sight, and wine's
// ends such a body quietly). The layer holds at most a small, fixed amount of
// the reply at a time, whatever its size.
bool netRead(NetHandle handle, void* buffer, uint32_t capacity, uint32_t& count);
// Closes a handle; a request's transfer ends with it.
void netClose(NetHandle handle);
// The error number of the net call that just failed (GetLastError on
// Windows; the libcurl error code on POSIX).
unsigned long netLastError();
// The error number for a reply too large to be held in memory
// (ERROR_NOT_ENOUGH_MEMORY on Windows; CURLE_FILESIZE_EXCEEDED on POSIX).
unsigned long netReplyTooLargeError();
// The error number for a reply whose framing is invalid, or which cannot be
// told from one cut short (CURLE_WEIRD_SERVER_REPLY on POSIX;
// ERROR_HTTP_INVALID_SERVER_RESPONSE on Windows).
unsigned long netReplyFramingError();
// The error number for a reply body that ended before its announced length
// (ERROR_INTERNET_CONNECTION_RESET on Windows; CURLE_PARTIAL_FILE on POSIX).
unsigned long netReplyCutShortError();

// The library's or the system's text for an error number netLastError gave,
// for people; empty when there is none. Where the library only says that no
// connection could be made, the system's reason (such as "Connection
// refused") is given instead.
std::string netErrorText(unsigned long number);
// True when the number is the time-out error: nothing moved for
// NET_IDLE_SECONDS.
bool netErrorIsTimeout(unsigned long number);

// For a trace of the exchange, as far as it went: the request's head as it
// went out and the reply's head as it came (status line and header lines,
// each ending in CRLF) of the last hop, and the proxy the request goes
// through (empty for none). Empty where nothing is known.
std::string netRequestHead(NetHandle handle);
std::string netReplyHead(NetHandle handle);
std::string netProxyOf(NetHandle handle);

// Reports transfer progress to whoever shows it; bytes of the body sent or
// received so far, and the total when it is known (else 0).
struct NetProgress {
  void* context = nullptr;
  void (*report)(void* context, bool upload, uint64_t done, uint64_t total) = nullptr;
};
