// The exchange over libcurl: one easy transfer per hop, the body pulled
// through the read callback, the reply pushed through the header and write
// callbacks, libcurl's own low-speed settings for the low-speed rule. What
// goes on the wire is WinINet's request: the object name exactly as split is
// the request target (absolute form through an HTTP proxy), then Host,
// User-Agent, Pragma, Cache-Control and Connection, then the caller's lines;
// no Accept, Expect or Transfer-Encoding. The proxy is decided here from the
// environment, the way libcurl would, and handed to libcurl explicitly so
// both agree. Redirects are followed here (nextHop), not by libcurl.
#include <curl/curl.h>

#include <cstdlib>
#include <cstring>

#include "platform/ascii.h"
#include "platform/http.h"
#include "platform/http_rules.h"
#include "platform/pause.h"
#include "platform/posix/proxy.h"
#include "platform/system_error.h"

namespace {

// libcurl's receive buffer and upload buffer; their default of 16 KiB costs
// a system call and a poll per 16 KiB of a large transfer.
constexpr long TRANSFER_BUFFER_SIZE = 64 * 1024;

// Where certificates are trusted from beyond the system's store, the way
// curl and OpenSSL's tools read it: CURL_CA_BUNDLE, else SSL_CERT_FILE and
// SSL_CERT_DIR. Nothing set keeps libcurl's default, the system's store.
std::string trustCertificatesFromEnvironment(CURL* e) {
  const char* bundle = std::getenv("CURL_CA_BUNDLE");
  const char* file = bundle && *bundle ? bundle : std::getenv("SSL_CERT_FILE");
  const char* directory = bundle && *bundle ? nullptr : std::getenv("SSL_CERT_DIR");
  std::string trusted = file && *file
                            ? std::string("the CA file ") + file +
                                  (bundle && *bundle ? " (CURL_CA_BUNDLE)" : " (SSL_CERT_FILE)")
                            : "the system's CA store";
  if (directory && *directory) trusted += std::string(" and the CA folder ") + directory;
  if (file && *file) {
    curl_easy_setopt(e, CURLOPT_CAINFO, file);
    curl_easy_setopt(e, CURLOPT_PROXY_CAINFO, file);
  }
  if (directory && *directory) {
    curl_easy_setopt(e, CURLOPT_CAPATH, directory);
    curl_easy_setopt(e, CURLOPT_PROXY_CAPATH, directory);
  }
  return trusted;
}

// Which check a server's certificate failed, named from libcurl's text.
std::string certificateFailure(const std::string& text) {
  static const char* const NAMED[][2] = {
      {"self-signed", "is self-signed"},
      {"self signed", "is self-signed"},
      {"issuer", "was issued by an authority that is not trusted"},
      {"does not match", "names another host"},
      {"expired", "has expired"}};
  for (const auto& named : NAMED)
    if (text.find(named[0]) != std::string::npos)
      return std::string("the certificate ") + named[1] + ": " + text;
  return "the certificate did not verify: " + text;
}

// A caller's line as libcurl takes it: without its CRLF, and an empty value
// written "Name;" (libcurl drops "Name:", taking it for the removal of its
// own header of that name).
std::string curlHeaderLine(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  size_t colon = line.find(':');
  if (colon != std::string::npos && trimmedBlanks(line.substr(colon + 1)).empty())
    line = line.substr(0, colon) + ";";
  return line;
}

bool appendHeader(curl_slist*& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list, line.c_str());
  if (grown) list = grown;
  return grown != nullptr;
}

// One hop: its transfer and what its callbacks saw.
struct Hop {
  HttpRequest& request;
  const ReplySink& sink;
  HttpOutcome& outcome;
  int& redirectsFollowed;
  bool requestSent = false;
  const char* piece = nullptr;  // the body piece libcurl is taking
  uint32_t pieceLeft = 0;
  bool bodyEnded = false;
  int status = 0;
  bool headDone = false;
  bool redirected = false;
  bool framingBroken = false;
  bool headTooLong = false;
  bool tunnelling = false;  // a CONNECT went out, the request not yet
};

// The request line and headers are out. A CONNECT that opens a tunnel
// through a proxy comes first and does not count.
int watchTraffic(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  Hop& hop = *static_cast<Hop*>(user);
  static const char CONNECT[] = "CONNECT ";
  bool connect = size >= sizeof CONNECT - 1 && std::memcmp(data, CONNECT, sizeof CONNECT - 1) == 0;
  if (type == CURLINFO_HEADER_OUT) {
    hop.tunnelling = connect;
    if (connect) return 0;
    hop.requestSent = true;
    hop.outcome.requestHead.assign(data, size);
  } else if (type == CURLINFO_HEADER_IN) {
    if (hop.tunnelling && hop.outcome.proxyReply.size() + size <= MAX_REPLY_HEAD)
      hop.outcome.proxyReply.append(data, size);
  }
  return 0;
}

// Fills libcurl's upload buffer with as many pieces as it takes: a send per
// small piece costs more than moving its bytes.
size_t supplyBody(char* buffer, size_t size, size_t count, void* user) {
  Hop& hop = *static_cast<Hop*>(user);
  hop.requestSent = true;
  const BodySource& body = hop.request.body;
  size_t filled = 0;
  while (filled < size * count) {
    if (hop.pieceLeft == 0) {
      if (hop.bodyEnded || !body.next) break;
      if (!body.next(body.context, hop.piece, hop.pieceLeft)) {
        hop.outcome.sourceFailed = true;
        return CURL_READFUNC_ABORT;
      }
      hop.bodyEnded = hop.pieceLeft == 0;
      continue;
    }
    size_t room = size * count - filled;
    size_t taken = hop.pieceLeft < room ? hop.pieceLeft : room;
    std::memcpy(buffer + filled, hop.piece, taken);
    hop.piece += taken;
    hop.pieceLeft -= static_cast<uint32_t>(taken);
    filled += taken;
  }
  return filled;
}

// The final reply's head is complete: a redirect ends the hop, a head whose
// framing breaks the agent's rules ends the exchange, any other goes to the
// sink.
bool finalHeadCame(Hop& hop) {
  hop.headDone = true;
  const std::string& head = hop.outcome.replyHead;
  if (!hop.headTooLong && nextHop(hop.request, hop.redirectsFollowed, hop.status, head)) {
    hop.redirected = true;
    return false;
  }
  // libcurl lets some broken framing pass (two different Content-Lengths).
  ReplyHead reply;
  if (hop.headTooLong || !readReplyHead(head, reply)) {
    hop.framingBroken = true;
    hop.outcome.refusal = hop.headTooLong ? "its head is longer than 256 KiB" : reply.refusal;
    return false;
  }
  hop.outcome.stage = HttpStage::ReadBody;
  if (!hop.sink.head(hop.sink.context, reply, head)) {
    hop.outcome.sinkRefused = true;
    return false;
  }
  return true;
}

size_t takeHeader(char* bytes, size_t size, size_t count, void* user) {
  Hop& hop = *static_cast<Hop*>(user);
  size_t length = size * count;
  std::string line(bytes, length);
  std::string& head = hop.outcome.replyHead;
  hop.requestSent = true;
  if (startsWithIgnoringAsciiCase(line, "HTTP/")) {
    // A new status line: an interim 1xx reply is followed by the final one.
    size_t blank = line.find(' ');
    hop.status = blank == std::string::npos ? 0 : leadingInteger(line.c_str() + blank + 1);
    head.clear();
    hop.headTooLong = false;
  }
  // Kept whole, to be read by the agent's own rules once complete; a head
  // too long is marked, not kept, and libcurl's own bound on it ends it.
  if (head.size() + length > MAX_REPLY_HEAD) hop.headTooLong = true;
  if (!hop.headTooLong) head += line;
  bool blankLine = line == "\r\n" || line == "\n";
  if (blankLine && !(hop.status >= 100 && hop.status < 200) && !finalHeadCame(hop)) return 0;
  return length;
}

size_t takeReply(char* bytes, size_t size, size_t count, void* user) {
  Hop& hop = *static_cast<Hop*>(user);
  if (hop.sink.bytes(hop.sink.context, bytes, size * count)) return size * count;
  hop.outcome.sinkRefused = true;
  return 0;
}

// Sets up the hop's transfer; false when libcurl could not take it.
bool prepare(CURL* e, Hop& hop, curl_slist*& headers, curl_slist*& proxyHeaders,
             std::string& target, std::string& url) {
  const HttpRequest& r = hop.request;
  HttpOutcome& outcome = hop.outcome;
  outcome.proxy = proxyForHost(hostWithoutBrackets(r.hostName), r.secure,
                               [](const char* name) -> const char* { return std::getenv(name); });
  // Through an HTTP proxy a plain request names its target in absolute form;
  // an https one goes through a CONNECT tunnel and keeps the origin form.
  const std::string origin = originOf(r.hostName, r.port, r.secure);
  const std::string objectName = r.objectName.empty() ? "/" : r.objectName;
  bool absoluteForm = !outcome.proxy.empty() && !r.secure && proxySpeaksHttp(outcome.proxy);
  target = absoluteForm ? origin + objectName : objectName;
  url = origin + "/";

  bool listed = appendHeader(headers, "Accept:") && appendHeader(headers, "Expect:") &&
                appendHeader(headers, "Pragma: no-cache") &&
                appendHeader(headers, "Cache-Control: no-cache") &&
                appendHeader(headers, "Connection: Keep-Alive") &&
                appendHeader(proxyHeaders, "Proxy-Connection:");
  for (const std::string& line : r.headerLines)
    listed = listed && appendHeader(headers, curlHeaderLine(line));
  if (!listed) return false;

  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, target.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_USERAGENT, r.agent);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(e, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
  curl_easy_setopt(e, CURLOPT_PROXYHEADER, proxyHeaders);
  curl_easy_setopt(e, CURLOPT_PROXY, outcome.proxy.c_str());
  curl_easy_setopt(e, CURLOPT_NOPROXY, "");
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  long window = LOW_SPEED_WINDOW_SECONDS;
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, window);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, window);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(LOW_SPEED_LIMIT));
  if (r.deadline != 0) {
    // What is left of the run's time; a hop that starts past it still gets a
    // millisecond, and times out.
    uint64_t now = steadyMilliseconds();
    long left = r.deadline > now ? static_cast<long>(r.deadline - now) : 1L;
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, left);
  }
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, takeHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &hop);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, takeReply);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &hop);
  curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, watchTraffic);
  curl_easy_setopt(e, CURLOPT_DEBUGDATA, &hop);
  curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, TRANSFER_BUFFER_SIZE);
  curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, TRANSFER_BUFFER_SIZE);
  outcome.trustedCertificates = trustCertificatesFromEnvironment(e);
  if (r.verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, supplyBody);
    curl_easy_setopt(e, CURLOPT_READDATA, &hop);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.bodyLength));
    if (r.verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
  }
  return true;
}

// Runs the transfer to its end. curl_easy_perform waits on the socket before
// every step of a transfer, and each step looks at the socket again: two
// polls a 64 KiB piece. Here a step that moved bytes is followed by the next
// at once, and only one that moved nothing waits; libcurl's own time-outs
// bound the wait.
CURLcode performTransfer(CURL* e) {
  CURLM* multi = curl_multi_init();
  if (!multi || curl_multi_add_handle(multi, e) != CURLM_OK) {
    curl_multi_cleanup(multi);
    return CURLE_OUT_OF_MEMORY;
  }
  CURLcode result = CURLE_OK;
  curl_off_t moved = -1;
  for (int running = 1; running;) {
    CURLMcode step = curl_multi_perform(multi, &running);
    if (step == CURLM_OK && running) {
      curl_off_t sent = 0;
      curl_off_t received = 0;
      curl_easy_getinfo(e, CURLINFO_SIZE_UPLOAD_T, &sent);
      curl_easy_getinfo(e, CURLINFO_SIZE_DOWNLOAD_T, &received);
      if (sent + received != moved) {
        moved = sent + received;
        continue;
      }
      step = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    if (step != CURLM_OK) {
      result = step == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
      break;
    }
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left))
    if (message->msg == CURLMSG_DONE && message->easy_handle == e) result = message->data.result;
  curl_multi_remove_handle(multi, e);
  curl_multi_cleanup(multi);
  return result;
}

// Runs one hop; true when it was redirected and the next hop is due.
bool runHop(Hop& hop) {
  HttpOutcome& outcome = hop.outcome;
  outcome.requestHead.clear();
  outcome.replyHead.clear();
  outcome.proxyReply.clear();
  outcome.stage = HttpStage::Send;
  curl_slist* headers = nullptr;
  curl_slist* proxyHeaders = nullptr;
  std::string target;
  std::string url;
  char errorText[CURL_ERROR_SIZE] = "";
  CURL* e = curl_easy_init();
  CURLcode result = CURLE_OUT_OF_MEMORY;
  if (e && prepare(e, hop, headers, proxyHeaders, target, url)) {
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
    result = performTransfer(e);
  }
  long osError = 0;
  curl_off_t uploaded = 0;
  if (e) {
    curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &osError);
    curl_easy_getinfo(e, CURLINFO_SIZE_UPLOAD_T, &uploaded);
  }
  curl_easy_cleanup(e);
  curl_slist_free_all(headers);
  curl_slist_free_all(proxyHeaders);
  if (hop.redirected) return true;
  outcome.number = result;
  if (hop.framingBroken) {
    outcome.stage = HttpStage::Reply;
    outcome.number = CURLE_WEIRD_SERVER_REPLY;
  } else if (outcome.sourceFailed) {
    outcome.stage = HttpStage::Body;
  } else if (result == CURLE_OK && !outcome.sinkRefused) {
    outcome.stage = hop.headDone ? HttpStage::Done : HttpStage::Reply;
    if (!hop.headDone) outcome.number = CURLE_GOT_NOTHING;
  } else if (!hop.headDone) {
    bool bodyLeft =
        hop.request.body.next && static_cast<uint64_t>(uploaded) < hop.request.bodyLength;
    outcome.stage = !hop.requestSent ? HttpStage::Send
                    : bodyLeft       ? HttpStage::Body
                                     : HttpStage::Reply;
  }
  outcome.responseNumber = outcome.number;
  if (result == CURLE_COULDNT_CONNECT && osError > 0)
    outcome.reason = systemMessage(static_cast<unsigned long>(osError));
  if (result == CURLE_PEER_FAILED_VERIFICATION) outcome.reason = certificateFailure(errorText);
  if (!hop.requestSent && !outcome.proxyReply.empty())
    outcome.reason = "the proxy answered \"" +
                     outcome.proxyReply.substr(0, outcome.proxyReply.find_first_of("\r\n")) + "\"";
  // libcurl refuses some heads itself (HTTP/0.9, "ICY", a line past its
  // bound) before any of it is shown: its text says why.
  const std::string because = std::string(" (") + errorText + ")";
  if (outcome.stage != HttpStage::Reply || hop.framingBroken) {
  } else if (result == CURLE_UNSUPPORTED_PROTOCOL || result == CURLE_WEIRD_SERVER_REPLY) {
    outcome.refusal = "its status line is not \"HTTP/1.x\", a blank and three digits" + because;
  } else if (result == CURLE_OUT_OF_MEMORY ||
             (result == CURLE_RECV_ERROR && std::strstr(errorText, "header"))) {
    outcome.refusal = "its head holds more than libcurl takes" + because;
  }
  return false;
}

}  // namespace

void httpExchange(const HttpRequest& request, const ReplySink& sink, HttpOutcome& outcome) {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  outcome = HttpOutcome();
  if (initialised != CURLE_OK) {
    outcome.number = initialised;
    return;
  }
  HttpRequest hopRequest = request;
  int redirectsFollowed = 0;
  for (bool redirected = true; redirected;) {
    Hop hop{hopRequest, sink, outcome, redirectsFollowed};
    redirected = runHop(hop);
  }
}

extern const NetErrorNumbers NET_ERRORS = {CURLE_FILESIZE_EXCEEDED, CURLE_WEIRD_SERVER_REPLY,
                                           CURLE_PARTIAL_FILE, CURLE_OPERATION_TIMEDOUT};

std::string netErrorText(unsigned long number) {
  if (number > CURL_LAST) return std::string();
  return curl_easy_strerror(static_cast<CURLcode>(number));
}
