// WinINet's synchronous request calls carried out with libcurl.
//
// WinINet is push-style (the caller writes the body piece by piece between
// sending the request and ending it, then reads the reply piece by piece);
// libcurl pulls the body through its read callback and pushes the reply
// through its write callback. One multi handle per request bridges the two:
// netWrite gathers its pieces up to SEND_STAGE_SIZE, then hands them to the
// read callback and drives the transfer until libcurl has taken all of them,
// the read callback pausing the upload whenever nothing is pending; the
// write callback fills a bounded reply buffer and pauses the download when it
// is full, and netRead drains it. Memory stays bounded whatever the sizes of
// body and reply.
//
// The server sees what WinINet composes: the object name exactly as split as
// the request target (absolute form through an HTTP proxy), then Host,
// User-Agent, Pragma, Cache-Control and Connection, then the caller's lines
// in order; no Accept, Expect or Transfer-Encoding. The proxy is decided
// here from the environment, the way libcurl would, and handed to libcurl
// explicitly so both agree.
#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/http_rules.h"
#include "platform/posix/proxy.h"

namespace {

using Clock = std::chrono::steady_clock;

// The reply buffer takes one more piece from libcurl (at most
// RECEIVE_BUFFER_SIZE) only while it holds less than this.
constexpr size_t REPLY_BUFFER_LIMIT = 64 * 1024;
// libcurl's receive buffer; its default of 16 KiB costs a recv and a poll
// per 16 KiB of a large download.
constexpr long RECEIVE_BUFFER_SIZE = 64 * 1024;
// Body pieces are gathered up to this much before libcurl is driven to send
// them: a send and a poll per 8 KiB piece cost more than moving its bytes.
constexpr size_t SEND_STAGE_SIZE = 64 * 1024;
constexpr int POLL_MILLISECONDS = 200;

unsigned long lastNetError = 0;

bool failWith(unsigned long code) {
  lastNetError = code;
  return false;
}

enum class HandleKind { Root, Connection, Request };

struct NetRoot {
  HandleKind kind = HandleKind::Root;
  std::string agent;
};

struct NetConnection {
  HandleKind kind = HandleKind::Connection;
  std::string agent;
  std::string hostName;
  uint16_t port = 0;
};

struct NetRequest {
  HandleKind kind = HandleKind::Request;
  std::string agent;
  std::string verb;
  // Where the current hop goes; a followed redirect changes them.
  std::string hostName;
  std::string objectName;
  uint16_t port = 0;
  bool secure = false;
  std::string target;  // what libcurl must keep alive while it runs
  std::string proxy;
  std::vector<std::string> headerLines;  // the caller's, without CRLF
  curl_off_t contentLength = -1;

  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  curl_slist* proxyHeaders = nullptr;
  CURLcode result = CURLE_OK;
  bool started = false;
  bool transferDone = false;
  Clock::time_point lastActivity;

  // Upload.
  const char* piece = nullptr;
  size_t pieceLeft = 0;
  uint64_t bodySent = 0;
  std::string staged;  // body bytes taken by netWrite, not yet given to libcurl
  bool requestSent = false;
  bool bodyEnded = false;
  bool sendPaused = false;

  // Reply.
  std::string statusText;
  std::string location;
  std::string replyBuffer;
  size_t replyOffset = 0;
  uint64_t replyLength = 0;
  int redirectsFollowed = 0;
  bool replyLengthKnown = false;
  bool replyChunked = false;
  bool replyHeadersDone = false;
  bool recvPaused = false;

  size_t replyBuffered() const { return replyBuffer.size() - replyOffset; }
  void touch() { lastActivity = Clock::now(); }
};

template <typename T>
T* asHandle(NetHandle handle, HandleKind kind) {
  if (!handle || *static_cast<HandleKind*>(handle) != kind) return nullptr;
  return static_cast<T*>(handle);
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

std::string trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

const char* environmentValue(const char* name) {
  return std::getenv(name);
}

// Where certificates are trusted from beyond the system's store, the way
// curl and OpenSSL's tools read it: CURL_CA_BUNDLE, else SSL_CERT_FILE and
// SSL_CERT_DIR. Nothing set keeps libcurl's default, the system's store.
void trustCertificatesFromEnvironment(CURL* e) {
  const char* bundle = environmentValue("CURL_CA_BUNDLE");
  const char* file = bundle && *bundle ? bundle : environmentValue("SSL_CERT_FILE");
  const char* directory = bundle && *bundle ? nullptr : environmentValue("SSL_CERT_DIR");
  if (file && *file) {
    curl_easy_setopt(e, CURLOPT_CAINFO, file);
    curl_easy_setopt(e, CURLOPT_PROXY_CAINFO, file);
  }
  if (directory && *directory) {
    curl_easy_setopt(e, CURLOPT_CAPATH, directory);
    curl_easy_setopt(e, CURLOPT_PROXY_CAPATH, directory);
  }
}

std::string hostWithoutBrackets(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

std::string originOf(const NetRequest& r) {
  return ::originOf(r.hostName, r.port, r.secure);
}

std::string objectNameOrRoot(const std::string& objectName) {
  if (objectName.empty()) return "/";
  return objectName;
}

// --- libcurl callbacks -----------------------------------------------------

size_t supplyBody(char* buffer, size_t size, size_t count, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  r.requestSent = true;
  if (r.pieceLeft == 0) {
    if (r.bodyEnded) return 0;
    r.sendPaused = true;
    return CURL_READFUNC_PAUSE;
  }
  size_t room = size * count;
  size_t taken = r.pieceLeft < room ? r.pieceLeft : room;
  std::memcpy(buffer, r.piece, taken);
  r.piece += taken;
  r.pieceLeft -= taken;
  r.touch();
  return taken;
}

size_t takeReply(char* bytes, size_t size, size_t count, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  size_t length = size * count;
  r.touch();
  if (r.replyBuffered() > 0 && r.replyBuffered() + length > REPLY_BUFFER_LIMIT) {
    r.recvPaused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r.replyOffset > 0 && r.replyOffset == r.replyBuffer.size()) {
    r.replyBuffer.clear();
    r.replyOffset = 0;
  }
  r.replyBuffer.append(bytes, length);
  return length;
}

size_t takeHeader(char* bytes, size_t size, size_t count, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  size_t length = size * count;
  std::string line(bytes, length);
  r.touch();
  r.requestSent = true;
  if (startsWithIgnoreCase(line, "HTTP/")) {
    // A new status line: an interim 1xx reply is followed by the final one.
    size_t start = line.find(' ');
    size_t end = start == std::string::npos ? start : line.find_first_of(" \r\n", start + 1);
    r.statusText =
        start == std::string::npos ? std::string() : line.substr(start + 1, end - start - 1);
    r.location.clear();
    r.replyLengthKnown = false;
    r.replyChunked = false;
    r.replyHeadersDone = false;
  } else if (line == "\r\n" || line == "\n") {
    if (!(r.statusText.size() == 3 && r.statusText[0] == '1')) r.replyHeadersDone = true;
  } else if (startsWithIgnoreCase(line, "Location:")) {
    r.location = trimmed(line.substr(9));
  } else if (startsWithIgnoreCase(line, "Content-Length:")) {
    std::string value = trimmed(line.substr(15));
    char* end = nullptr;
    r.replyLength = std::strtoull(value.c_str(), &end, 10);
    r.replyLengthKnown = !value.empty() && *end == '\0';
  } else if (startsWithIgnoreCase(line, "Transfer-Encoding:")) {
    r.replyChunked = trimmed(line.substr(18)).find("chunked") != std::string::npos;
  }
  return length;
}

// The request line and headers are out. A CONNECT that opens a tunnel
// through a proxy comes first and does not count.
int watchTraffic(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  static const char CONNECT[] = "CONNECT ";
  if (type == CURLINFO_HEADER_OUT &&
      !(size >= sizeof CONNECT - 1 && std::memcmp(data, CONNECT, sizeof CONNECT - 1) == 0))
    r.requestSent = true;
  return 0;
}

// --- driving the transfer --------------------------------------------------

void collectResult(NetRequest& r) {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(r.multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == r.easy) {
      r.transferDone = true;
      r.result = message->data.result;
    }
  }
}

void abortTransfer(NetRequest& r, CURLcode code) {
  if (r.started) curl_multi_remove_handle(r.multi, r.easy);
  r.started = false;
  r.transferDone = true;
  r.result = code;
}

void applyPause(NetRequest& r) {
  if (r.transferDone) return;
  int mask = (r.sendPaused ? CURLPAUSE_SEND : 0) | (r.recvPaused ? CURLPAUSE_RECV : 0);
  curl_easy_pause(r.easy, mask);
}

void resumeSending(NetRequest& r) {
  if (!r.sendPaused) return;
  r.sendPaused = false;
  applyPause(r);
}

void resumeReceiving(NetRequest& r) {
  if (!r.recvPaused) return;
  r.recvPaused = false;
  applyPause(r);
}

// Runs the transfer until `satisfied` holds or it ends. Only the time spent
// here counts towards the idle limit: while the caller prepares its next
// piece, the transfer is paused and nothing is expected to move.
template <typename Condition>
void driveUntil(NetRequest& r, Condition satisfied) {
  r.touch();
  while (!satisfied() && !r.transferDone) {
    int running = 0;
    if (curl_multi_perform(r.multi, &running) != CURLM_OK) {
      abortTransfer(r, CURLE_OUT_OF_MEMORY);
      return;
    }
    collectResult(r);
    if (satisfied() || r.transferDone) return;
    if (Clock::now() - r.lastActivity >= std::chrono::seconds(NET_IDLE_SECONDS)) {
      abortTransfer(r, CURLE_OPERATION_TIMEDOUT);
      return;
    }
    curl_multi_poll(r.multi, nullptr, 0, POLL_MILLISECONDS, nullptr);
  }
}

unsigned long failureCode(const NetRequest& r, CURLcode fallback) {
  return r.result != CURLE_OK ? r.result : fallback;
}

void releaseTransfer(NetRequest& r) {
  if (r.easy) {
    if (r.started) curl_multi_remove_handle(r.multi, r.easy);
    curl_easy_cleanup(r.easy);
  }
  if (r.multi) curl_multi_cleanup(r.multi);
  curl_slist_free_all(r.headers);
  curl_slist_free_all(r.proxyHeaders);
  r.easy = nullptr;
  r.multi = nullptr;
  r.headers = nullptr;
  r.proxyHeaders = nullptr;
  r.started = false;
}

bool appendHeader(curl_slist*& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list, line.c_str());
  if (!grown) return false;
  list = grown;
  return true;
}

// Sets up one hop of the exchange and starts it; the request line and
// headers go out on the first drive.
CURLcode startTransfer(NetRequest& r) {
  releaseTransfer(r);
  r.transferDone = false;
  r.result = CURLE_OK;
  r.requestSent = false;
  r.statusText.clear();
  r.location.clear();
  r.replyHeadersDone = false;
  r.replyBuffer.clear();
  r.replyOffset = 0;
  r.recvPaused = false;
  r.sendPaused = false;

  r.multi = curl_multi_init();
  r.easy = curl_easy_init();
  if (!r.multi || !r.easy) return CURLE_OUT_OF_MEMORY;

  r.proxy = proxyForHost(hostWithoutBrackets(r.hostName), r.secure, environmentValue);
  // Through an HTTP proxy a plain request names its target in absolute form;
  // an https one goes through a CONNECT tunnel and keeps the origin form.
  bool absoluteForm = !r.proxy.empty() && !r.secure && proxySpeaksHttp(r.proxy);
  r.target =
      absoluteForm ? originOf(r) + objectNameOrRoot(r.objectName) : objectNameOrRoot(r.objectName);
  std::string url = originOf(r) + "/";

  bool listed = appendHeader(r.headers, "Accept:") && appendHeader(r.headers, "Expect:") &&
                appendHeader(r.headers, "Pragma: no-cache") &&
                appendHeader(r.headers, "Cache-Control: no-cache") &&
                appendHeader(r.headers, "Connection: Keep-Alive") &&
                appendHeader(r.proxyHeaders, "Proxy-Connection:");
  for (const std::string& line : r.headerLines) listed = listed && appendHeader(r.headers, line);
  if (!listed) return CURLE_OUT_OF_MEMORY;

  CURL* e = r.easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, r.target.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_USERAGENT, r.agent.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headers);
  curl_easy_setopt(e, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
  curl_easy_setopt(e, CURLOPT_PROXYHEADER, r.proxyHeaders);
  curl_easy_setopt(e, CURLOPT_PROXY, r.proxy.c_str());
  curl_easy_setopt(e, CURLOPT_NOPROXY, "");
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, NET_IDLE_SECONDS);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, takeHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, takeReply);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, watchTraffic);
  curl_easy_setopt(e, CURLOPT_DEBUGDATA, &r);
  curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, RECEIVE_BUFFER_SIZE);
  curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(SEND_STAGE_SIZE));
  trustCertificatesFromEnvironment(e);
  if (r.verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, supplyBody);
    curl_easy_setopt(e, CURLOPT_READDATA, &r);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, r.contentLength);
    if (r.verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
  }
  if (curl_multi_add_handle(r.multi, e) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  r.started = true;
  return CURLE_OK;
}

// Starts a hop and waits until its request line and headers are out.
bool sendHop(NetRequest& r) {
  CURLcode started = startTransfer(r);
  if (started != CURLE_OK) {
    abortTransfer(r, started);
    return failWith(started);
  }
  driveUntil(r, [&] { return r.requestSent; });
  if (!r.requestSent) return failWith(failureCode(r, CURLE_SEND_ERROR));
  return true;
}

// A form post's body is not sent again: a hop that follows one is a GET.
void turnIntoGet(NetRequest& r) {
  r.verb = "GET";
  r.contentLength = -1;
  std::vector<std::string> kept;
  for (const std::string& line : r.headerLines)
    if (!startsWithIgnoreCase(line, "Content-Type:") &&
        !startsWithIgnoreCase(line, "Content-Length:"))
      kept.push_back(line);
  r.headerLines.swap(kept);
}

// Follows redirects the way WinINet does by default (see followsRedirect).
// The last reply stands when a Location cannot be followed or the limit is
// reached.
bool followRedirects(NetRequest& r) {
  while (followsRedirect(r.verb, std::atoi(r.statusText.c_str())) && !r.location.empty() &&
         r.redirectsFollowed < MAX_REDIRECTS) {
    UrlParts next;
    if (!crackUrl(resolveLocation(r.hostName, r.port, r.secure, r.objectName, r.location), next))
      return true;
    ++r.redirectsFollowed;
    if (r.verb != "GET") turnIntoGet(r);
    r.hostName = next.hostName;
    r.port = next.port;
    r.secure = next.secure;
    r.objectName = objectNameOf(next.urlPath, next.extraInfo);
    if (!sendHop(r)) return false;
    driveUntil(r, [&] { return r.replyHeadersDone; });
    if (!r.replyHeadersDone) return failWith(failureCode(r, CURLE_GOT_NOTHING));
  }
  return true;
}

// Hands the gathered body bytes to libcurl and drives the transfer until it
// has taken all of them.
bool sendStaged(NetRequest& r) {
  if (r.staged.empty()) return true;
  r.piece = r.staged.data();
  r.pieceLeft = r.staged.size();
  resumeSending(r);
  driveUntil(r, [&] { return r.pieceLeft == 0; });
  bool taken = r.pieceLeft == 0;
  r.piece = nullptr;
  r.pieceLeft = 0;
  r.staged.clear();
  if (!taken) return failWith(failureCode(r, CURLE_SEND_ERROR));
  return true;
}

}  // namespace

NetHandle netOpen(const char* agent) {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) {
    failWith(initialised);
    return nullptr;
  }
  NetRoot* root = new NetRoot;
  root->agent = agent ? agent : "";
  return root;
}

NetHandle netConnect(NetHandle rootHandle, const std::string& hostName, uint16_t port) {
  NetRoot* root = asHandle<NetRoot>(rootHandle, HandleKind::Root);
  if (!root || hostName.empty()) {
    failWith(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  // Like InternetConnectA for HTTP, this only remembers where to go.
  NetConnection* connection = new NetConnection;
  connection->agent = root->agent;
  connection->hostName = hostName;
  connection->port = port;
  return connection;
}

NetHandle netOpenRequest(NetHandle connectionHandle, const char* verb,
                         const std::string& objectName, bool secure) {
  NetConnection* connection = asHandle<NetConnection>(connectionHandle, HandleKind::Connection);
  if (!connection || !verb || !*verb) {
    failWith(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  NetRequest* request = new NetRequest;
  request->agent = connection->agent;
  request->verb = verb;
  request->hostName = connection->hostName;
  request->port = connection->port;
  request->objectName = objectName;
  request->secure = secure;
  return request;
}

bool netAddHeaderLine(NetHandle handle, const std::string& line) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || r->easy) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  std::string header = line;
  while (!header.empty() && (header.back() == '\n' || header.back() == '\r')) header.pop_back();
  size_t colon = header.find(':');
  if (colon == std::string::npos || colon == 0 || header.find_first_of("\r\n") != std::string::npos)
    return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (startsWithIgnoreCase(header, "Content-Length:")) {
    std::string value = trimmed(header.substr(colon + 1));
    char* end = nullptr;
    unsigned long long length = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0') return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
    r->contentLength = static_cast<curl_off_t>(length);
  }
  // libcurl drops a line with an empty value ("Name:" asks it to remove its
  // own header of that name) unless it is written "Name;".
  if (trimmed(header.substr(colon + 1)).empty()) header = header.substr(0, colon) + ";";
  r->headerLines.push_back(header);
  return true;
}

bool netSendRequest(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || r->easy) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  return sendHop(*r);
}

bool netWrite(NetHandle handle, const void* bytes, uint32_t count) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->easy || r->bodyEnded) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (r->transferDone) return failWith(failureCode(*r, CURLE_SEND_ERROR));
  // Never more than announced: the server would take the excess for the
  // next request on the connection.
  if (r->contentLength >= 0 && r->bodySent + count > static_cast<uint64_t>(r->contentLength))
    return failWith(CURLE_SEND_ERROR);
  if (r->staged.capacity() < SEND_STAGE_SIZE) r->staged.reserve(SEND_STAGE_SIZE);
  r->staged.append(static_cast<const char*>(bytes), count);
  r->bodySent += count;
  // The body's last piece goes out at once, so that a failure to send it is
  // reported by the write that completed the body, as WinINet would.
  bool bodyComplete =
      r->contentLength >= 0 && r->bodySent == static_cast<uint64_t>(r->contentLength);
  if (r->staged.size() < SEND_STAGE_SIZE && !bodyComplete) return true;
  return sendStaged(*r);
}

unsigned long netLastResponseError() {
  return lastNetError;
}

bool netEndRequest(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->easy) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (!sendStaged(*r)) return false;
  r->bodyEnded = true;
  resumeSending(*r);
  driveUntil(*r, [&] { return r->replyHeadersDone; });
  if (!r->replyHeadersDone) return failWith(failureCode(*r, CURLE_GOT_NOTHING));
  return followRedirects(*r);
}

bool netQueryStatusText(NetHandle handle, char* buffer, uint32_t capacity) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->replyHeadersDone || !buffer) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (r->statusText.size() + 1 > capacity) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  std::memcpy(buffer, r->statusText.c_str(), r->statusText.size() + 1);
  return true;
}

bool netQueryContentLength(NetHandle handle, uint64_t& length) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->replyHeadersDone || !r->replyLengthKnown || r->replyChunked)
    return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  length = r->replyLength;
  return true;
}

bool netRead(NetHandle handle, void* buffer, uint32_t capacity, uint32_t& count) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->replyHeadersDone) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (r->replyBuffered() == 0 && !r->transferDone) {
    resumeReceiving(*r);
    driveUntil(*r, [&] { return r->replyBuffered() > 0; });
  }
  size_t available = r->replyBuffered();
  if (available > 0) {
    size_t taken = available < capacity ? available : capacity;
    std::memcpy(buffer, r->replyBuffer.data() + r->replyOffset, taken);
    r->replyOffset += taken;
    if (r->replyOffset == r->replyBuffer.size()) {
      r->replyBuffer.clear();
      r->replyOffset = 0;
    }
    count = static_cast<uint32_t>(taken);
    return true;
  }
  if (r->result != CURLE_OK) return failWith(r->result);
  count = 0;
  return true;
}

void netClose(NetHandle handle) {
  if (!handle) return;
  switch (*static_cast<HandleKind*>(handle)) {
    case HandleKind::Root:
      delete static_cast<NetRoot*>(handle);
      break;
    case HandleKind::Connection:
      delete static_cast<NetConnection*>(handle);
      break;
    case HandleKind::Request: {
      NetRequest* r = static_cast<NetRequest*>(handle);
      releaseTransfer(*r);
      delete r;
      break;
    }
  }
}

unsigned long netLastError() {
  return lastNetError;
}

unsigned long netReplyTooLargeError() {
  return CURLE_FILESIZE_EXCEEDED;
}

unsigned long netReplyCutShortError() {
  return CURLE_PARTIAL_FILE;
}
