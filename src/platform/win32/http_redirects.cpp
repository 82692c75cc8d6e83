// WinINet would follow redirects without a bound of its own on some systems,
// and would repeat a form post with an empty body: each request is opened
// with automatic redirects off, and the redirects are followed here as
// http_rules.h says.
#include <vector>

#include "platform/http.h"
#include "platform/win32/http_request.h"

namespace {

int replyStatus(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr))
    return 0;
  return static_cast<int>(status);
}

// Where the reply redirects to: false when it names no Location, or names
// two that differ, or its head cannot be read.
bool replyLocation(NetRequest& r, std::string& location) {
  std::string head;
  if (!queryReplyHead(r.handle, head)) return false;
  countHeadMoved(r, head);
  return singleFieldValue(head, "Location", location);
}

// Opens the request for the next hop, a GET to `next`, in place of the
// current one.
bool openHop(NetRequest& r, const UrlParts& next) {
  if (r.verb != "GET") {
    r.verb = "GET";
    r.headerLines = headerLinesForGet(r.headerLines);
  }
  closeHopHandles(r);
  r.hostName = next.hostName;
  r.port = next.port;
  r.secure = next.secure;
  r.objectName = objectNameOf(next.urlPath, next.extraInfo);
  r.hopConnection = InternetConnectA(r.root, r.hostName.c_str(), r.port, nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0);
  if (!r.hopConnection) return false;
  DWORD flags = REQUEST_FLAGS | (r.secure ? INTERNET_FLAG_SECURE : 0);
  r.handle = HttpOpenRequestA(r.hopConnection, r.verb.c_str(), r.objectName.c_str(), nullptr,
                              nullptr, nullptr, flags, 0);
  if (!r.handle) return false;
  for (const std::string& line : r.headerLines)
    if (!addHeaderLine(r.handle, line)) return false;
  return true;
}

}  // namespace

bool followRedirects(NetRequest& r) {
  while (r.redirectsFollowed < MAX_REDIRECTS && followsRedirect(r.verb, replyStatus(r.handle))) {
    std::string location;
    UrlParts next;
    if (!replyLocation(r, location) || location.empty() ||
        !crackUrl(resolveLocation(r.hostName, r.port, r.secure, r.objectName, location), next))
      return true;
    ++r.redirectsFollowed;
    if (!openHop(r, next)) return false;
    HINTERNET request = r.handle;
    if (!runCall(r, [request](CallThread&) {
          return HttpSendRequestA(request, nullptr, 0, nullptr, 0);
        }))
      return false;
  }
  return true;
}
