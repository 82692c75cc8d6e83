// What the server sees: the request WinINet composes, carried by libcurl.
// The object name exactly as split is the request target (absolute form
// through an HTTP proxy), then Host, User-Agent, Pragma, Cache-Control and
// Connection, then the caller's lines in order; no Accept, Expect or
// Transfer-Encoding. The proxy is decided here from the environment, the way
// libcurl would, and handed to libcurl explicitly so both agree. Redirects
// are followed here, as WinINet follows them, rather than by libcurl.
#include <cstdlib>
#include <cstring>

#include "platform/ascii.h"
#include "platform/http.h"
#include "platform/http_framing.h"
#include "platform/http_rules.h"
#include "platform/posix/http_request.h"
#include "platform/posix/http_transfer.h"
#include "platform/posix/http_wire.h"
#include "platform/posix/proxy.h"

namespace {

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

std::string originOf(const NetRequest& r) {
  return ::originOf(r.hostName, r.port, r.secure);
}

std::string objectNameOrRoot(const std::string& objectName) {
  if (objectName.empty()) return "/";
  return objectName;
}

bool appendHeader(curl_slist*& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list, line.c_str());
  if (!grown) return false;
  list = grown;
  return true;
}

// The request line and headers are out. A CONNECT that opens a tunnel
// through a proxy comes first and does not count.
int watchTraffic(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  static const char CONNECT[] = "CONNECT ";
  if (type == CURLINFO_HEADER_OUT &&
      !(size >= sizeof CONNECT - 1 && std::memcmp(data, CONNECT, sizeof CONNECT - 1) == 0)) {
    r.requestSent = true;
    r.requestHead.assign(data, size);
  }
  return 0;
}

}  // namespace

size_t takeHeader(char* bytes, size_t size, size_t count, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  size_t length = size * count;
  std::string line(bytes, length);
  r.moved(length);
  r.requestSent = true;
  if (startsWithIgnoringAsciiCase(line, "HTTP/")) {
    // A new status line: an interim 1xx reply is followed by the final one.
    size_t start = line.find(' ');
    size_t end = start == std::string::npos ? start : line.find_first_of(" \r\n", start + 1);
    r.statusText =
        start == std::string::npos ? std::string() : line.substr(start + 1, end - start - 1);
    r.replyHeadText.clear();
    r.replyHeadTooLong = false;
    r.replyHeadersDone = false;
  } else if (line == "\r\n" || line == "\n") {
    if (!(r.statusText.size() == 3 && r.statusText[0] == '1')) r.replyHeadersDone = true;
  }
  // Kept whole, to be read by the agent's own rules once complete; a head
  // too long is marked, not kept.
  if (r.replyHeadText.size() + length > MAX_REPLY_HEAD) r.replyHeadTooLong = true;
  if (!r.replyHeadTooLong) r.replyHeadText += line;
  return length;
}

namespace {

// Sets up one hop of the exchange and starts it; the request line and
// headers go out on the first drive.
CURLcode startTransfer(NetRequest& r) {
  releaseTransfer(r);
  r.transferDone = false;
  r.result = CURLE_OK;
  r.requestSent = false;
  r.statusText.clear();
  r.requestHead.clear();
  r.replyHeadText.clear();
  r.replyHeadTooLong = false;
  r.replyHeadersDone = false;
  r.speed.start(NetRequest::millisecondsNow());
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

// A form post's body is not sent again: a hop that follows one is a GET.
void turnIntoGet(NetRequest& r) {
  r.verb = "GET";
  r.contentLength = -1;
  r.headerLines = headerLinesForGet(r.headerLines);
}

}  // namespace

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

namespace {

// Where the current reply redirects to: empty when it names no Location, or
// names two that differ.
std::string redirectTarget(const NetRequest& r) {
  std::string location;
  if (r.replyHeadTooLong || !singleFieldValue(r.replyHeadText, "Location", location)) return "";
  return location;
}

}  // namespace

// Follows redirects the way WinINet does by default (see followsRedirect).
// The last reply stands when a Location cannot be followed or the limit is
// reached.
bool followRedirects(NetRequest& r) {
  for (std::string location = redirectTarget(r);
       followsRedirect(r.verb, leadingInteger(r.statusText.c_str())) && !location.empty() &&
       r.redirectsFollowed < MAX_REDIRECTS;
       location = redirectTarget(r)) {
    UrlParts next;
    if (!crackUrl(resolveLocation(r.hostName, r.port, r.secure, r.objectName, location), next))
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
