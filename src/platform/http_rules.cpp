#include "platform/http_rules.h"

#include "platform/ascii.h"
#include "platform/http.h"

namespace {

bool isAsciiLetter(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

// A scheme is a letter, then letters, digits, "+", "-" or ".", then ":"; a
// reference without one ("c.bin", "a/b:c") is relative.
bool hasScheme(const std::string& location) {
  size_t colon = location.find(':');
  if (colon == std::string::npos || colon == 0 || !isAsciiLetter(location[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    char ch = location[i];
    bool schemeChar =
        isAsciiLetter(ch) || (ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.';
    if (!schemeChar) return false;
  }
  return true;
}

// A path with its "." and ".." segments removed, as RFC 3986 (5.2.4) says.
std::string withoutDotSegments(std::string in) {
  std::string out;
  while (!in.empty()) {
    if (startsWithIgnoringAsciiCase(in, "../") || startsWithIgnoringAsciiCase(in, "./")) {
      in.erase(0, in[0] == '.' && in[1] == '.' ? 3 : 2);
    } else if (startsWithIgnoringAsciiCase(in, "/./") || in == "/.") {
      in.replace(0, in.size() == 2 ? 2 : 3, "/");
    } else if (startsWithIgnoringAsciiCase(in, "/../") || in == "/..") {
      in.replace(0, in.size() == 3 ? 3 : 4, "/");
      size_t last = out.rfind('/');
      out.erase(last == std::string::npos ? 0 : last);
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      size_t next = in.find('/', 1);
      out += in.substr(0, next);
      in.erase(0, next == std::string::npos ? in.size() : next);
    }
  }
  return out;
}

// The path of `reference` (up to its query or fragment) without dot
// segments, and the rest as it stands.
std::string withPathNormalised(const std::string& reference) {
  size_t end = reference.find_first_of("?#");
  if (end == std::string::npos) end = reference.size();
  return withoutDotSegments(reference.substr(0, end)) + reference.substr(end);
}

// The caller's header lines that a redirected form post keeps when it is
// followed with a GET: all but its Content-Type and Content-Length, since its
// body is not sent again.
std::vector<std::string> headerLinesForGet(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  for (const std::string& line : lines)
    if (!startsWithIgnoringAsciiCase(line, "Content-Type:") &&
        !startsWithIgnoringAsciiCase(line, "Content-Length:"))
      kept.push_back(line);
  return kept;
}

// `text` with blanks and control characters percent-encoded ("%20"), as
// WinINet sends them: a request line never carries a raw space.
std::string withBlanksEscaped(const std::string& text) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string escaped;
  for (char ch : text) {
    unsigned char byte = static_cast<unsigned char>(ch);
    if (byte <= 0x20 || byte == 0x7F) {
      escaped += '%';
      escaped += HEX[byte >> 4];
      escaped += HEX[byte & 0xF];
    } else {
      escaped += ch;
    }
  }
  return escaped;
}

}  // namespace

bool followsRedirect(const std::string& verb, int status) {
  if (status == 301 || status == 302 || status == 303) return true;
  return verb == "GET" && (status == 307 || status == 308);
}

std::string objectNameOf(const std::string& urlPath, const std::string& extraInfo) {
  // "#" is never the trail byte of a double-byte character.
  return withBlanksEscaped(urlPath + extraInfo.substr(0, extraInfo.find('#')));
}

std::string hostWithoutBrackets(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

std::string originOf(const std::string& hostName, uint16_t port, bool secure) {
  std::string origin = secure ? "https://" : "http://";
  bool bareIpv6 = hostName.find(':') != std::string::npos && hostName.front() != '[';
  origin += bareIpv6 ? "[" + hostName + "]" : hostName;
  if (port != (secure ? 443 : 80)) origin += ":" + std::to_string(port);
  return origin;
}

std::string resolveLocation(const std::string& hostName, uint16_t port, bool secure,
                            const std::string& objectName, const std::string& location) {
  std::string reference = withBlanksEscaped(location);
  if (hasScheme(reference)) return reference;
  if (reference.compare(0, 2, "//") == 0) return (secure ? "https:" : "http:") + reference;
  const std::string origin = originOf(hostName, port, secure);
  std::string path = objectName.empty() ? "/" : objectName;
  path = path.substr(0, path.find_first_of("?#"));
  if (reference.empty()) return origin + path;
  if (reference[0] == '/') return origin + withPathNormalised(reference);
  if (reference[0] == '?' || reference[0] == '#') return origin + path + reference;
  return origin + withPathNormalised(path.substr(0, path.rfind('/') + 1) + reference);
}

bool nextHop(HttpRequest& request, int& redirectsFollowed, int status,
             const std::string& replyHead) {
  std::string location;
  UrlParts next;
  if (redirectsFollowed >= MAX_REDIRECTS || !followsRedirect(request.verb, status) ||
      !singleFieldValue(replyHead, "Location", location) || location.empty() ||
      !crackUrl(resolveLocation(request.hostName, request.port, request.secure, request.objectName,
                                location),
                next))
    return false;
  ++redirectsFollowed;
  if (request.verb != "GET") {
    // A form post's body is not sent again: the hop that follows it is a GET.
    request.verb = "GET";
    request.headerLines = headerLinesForGet(request.headerLines);
    request.body = BodySource();
    request.bodyLength = 0;
  }
  request.hostName = next.hostName;
  request.port = next.port;
  request.secure = next.secure;
  request.objectName = objectNameOf(next.urlPath, next.extraInfo);
  return true;
}
