#include "platform/http_rules.h"

#include "platform/ascii.h"

namespace {

bool hasScheme(const std::string& location) {
  size_t colon = location.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    char ch = location[i];
    bool schemeChar = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                      (ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.';
    if (!schemeChar) return false;
  }
  return true;
}

}  // namespace

bool followsRedirect(const std::string& verb, int status) {
  if (status == 301 || status == 302 || status == 303) return true;
  return verb == "GET" && (status == 307 || status == 308);
}

std::vector<std::string> headerLinesForGet(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  for (const std::string& line : lines)
    if (!startsWithIgnoringAsciiCase(line, "Content-Type:") &&
        !startsWithIgnoringAsciiCase(line, "Content-Length:"))
      kept.push_back(line);
  return kept;
}

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

namespace {

std::string resolved(const std::string& hostName, uint16_t port, bool secure,
                     const std::string& objectName, const std::string& location) {
  if (hasScheme(location)) return location;
  if (location.compare(0, 2, "//") == 0) return (secure ? "https:" : "http:") + location;
  const std::string origin = originOf(hostName, port, secure);
  std::string path = objectName.empty() ? "/" : objectName;
  path = path.substr(0, path.find_first_of("?#"));
  if (location.empty()) return origin + path;
  if (location[0] == '/') return origin + location;
  if (location[0] == '?' || location[0] == '#') return origin + path + location;
  return origin + path.substr(0, path.rfind('/') + 1) + location;
}

}  // namespace

std::string resolveLocation(const std::string& hostName, uint16_t port, bool secure,
                            const std::string& objectName, const std::string& location) {
  return withBlanksEscaped(resolved(hostName, port, secure, objectName, location));
}
