// One HTTP/1.1 exchange, carried whole by one call: httpExchange takes the
// request, pulls its body from a source, pushes the reply into a sink and
// records how it ended. On Windows it runs WinINet's sequence of calls; on
// POSIX (posix/http.cpp) one libcurl transfer per hop. The server must not be
// able to tell the two apart:
//   <VERB> <object name> HTTP/1.1      (through an HTTP proxy, a plain http
//                                       request names "http://host[:port]"
//                                       before the object name)
//   Host, User-Agent (the agent text), Pragma: no-cache,
//   Cache-Control: no-cache, Connection: Keep-Alive, in this order
//   the caller's lines, in the order given, exactly as given
//   the body, exactly Content-Length bytes; never chunked, no Expect
// Redirects are followed as nextHop (http_rules.h) says; the final reply's
// head is read by readReplyHead, whatever the library made of it. Nothing
// is retried; an exchange that moves too slowly (the low-speed rule,
// http_rules.h) ends with the system's time-out error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/http_framing.h"

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

// Where a request's body comes from, a piece at a time: each piece is one
// write on the wire where the library writes piece by piece (WinINet).
struct BodySource {
  void* context = nullptr;
  // The next piece, held by the source until the next call; `count` 0 at the
  // body's end. False when the body cannot go on (a file failed): the
  // exchange then ends at once with HttpStage::Body and `sourceFailed`.
  bool (*next)(void* context, const char*& bytes, uint32_t& count) = nullptr;
};

// Where the final reply goes: its head as read by readReplyHead, with the
// head's text (status line and header lines, each ending in CRLF) for the
// fields a caller reads itself, then its body as it comes. A callback that
// returns false ends the exchange there, with `sinkRefused`: the sink knows
// why.
struct ReplySink {
  void* context = nullptr;
  bool (*head)(void* context, const ReplyHead& head, const std::string& text) = nullptr;
  bool (*bytes)(void* context, const char* bytes, size_t count) = nullptr;
};

struct HttpRequest {
  const char* agent = "";  // the User-Agent text
  std::string verb;        // "GET" or "POST"
  std::string hostName;
  uint16_t port = 0;
  bool secure = false;     // TLS; a certificate that does not verify fails the send
  std::string objectName;  // path and query, as the request line carries them
  // Each ending in CRLF, sent as it stands, an empty value included
  // ("Agent-Version: "). A Content-Length line announces the body's length.
  std::vector<std::string> headerLines;
  BodySource body;          // a POST's; not sent again to a redirect, which is a GET
  uint64_t bodyLength = 0;  // what its Content-Length line announces
  // steadyMilliseconds() (pause.h) at which the exchange ends as timed out,
  // whatever moves; 0 for none.
  uint64_t deadline = 0;
};

// The step of the exchange at which it ended, in the order they are taken.
enum class HttpStage {
  OpenSession,  // the library's session
  Connect,      // the connection's handle
  OpenRequest,  // the request's handle
  AddHeader,    // the caller's line headerIndex
  Send,         // connecting and sending the request's head
  Body,         // sending the body
  Reply,        // waiting for the final reply's head, and reading it
  Status,       // reading the final reply's status
  ReadBody,     // receiving the reply's body
  Done,         // the whole reply went into the sink
};

// How an exchange ended, and what a trace shows of it.
struct HttpOutcome {
  HttpStage stage = HttpStage::OpenSession;
  unsigned long number = 0;          // the library's or system's error number
  unsigned long responseNumber = 0;  // InternetGetLastResponseInfoA's after a write

  size_t headerIndex = 0;
  bool sourceFailed = false;
  bool sinkRefused = false;
  // Why, in words, where the number alone would not say: the system's reason
  // for a connection that failed, which check a server's certificate failed,
  // what a proxy answered; empty for none.
  std::string reason;
  // Why the agent refused the reply, when it did: its head broke the
  // agent's rules or bounds (then `stage` is Reply).
  std::string refusal;
  // The last hop's request head as it went out and reply head as it came
  // (CRLF lines), and the proxy the exchange went through (empty for none).
  std::string requestHead;
  std::string replyHead;
  std::string proxy;
  std::string proxyReply;           // the head a proxy answered a tunnel's CONNECT with
  std::string trustedCertificates;  // where server certificates are checked against
};

// Carries the whole exchange; `outcome.stage` is Done when it succeeded.
void httpExchange(const HttpRequest& request, const ReplySink& sink, HttpOutcome& outcome);

// The error numbers of the agent's own refusals and of the low-speed rule,
// in the system's kind: libcurl's codes on POSIX, WinINet's on Windows.
struct NetErrorNumbers {
  unsigned long replyTooLarge;  // too large to be held in memory
  // A reply whose framing is invalid, or which cannot be told from one cut
  // short.
  unsigned long replyFraming;
  unsigned long replyCutShort;  // its body ended before its announced length
  unsigned long timedOut;       // the low-speed rule ended the exchange
};
extern const NetErrorNumbers NET_ERRORS;

// The library's or the system's text for an error number, for people; empty
// when there is none.
std::string netErrorText(unsigned long number);
