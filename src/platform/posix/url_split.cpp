// The URL split of InternetCrackUrlA with no flags, for systems without
// WinINet: nothing is decoded or escaped, each part must fit its limit with
// its terminator, and a URL without a port gets its scheme's.
#include <cstdlib>
#include <cstring>

#include "platform/ascii.h"
#include "platform/http.h"

namespace {

struct KnownScheme {
  const char* name;
  uint16_t defaultPort;
  bool secure;
};

// Only the schemes an HTTP exchange can carry.
const KnownScheme KNOWN_SCHEMES[] = {{"http", 80, false}, {"https", 443, true}};

bool fits(const std::string& part, size_t limitWithTerminator) {
  return part.size() < limitWithTerminator;
}

bool parsePort(const std::string& digits, uint16_t& port) {
  if (digits.empty() || digits.size() > 5) return false;
  unsigned long value = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + static_cast<unsigned long>(ch - '0');
  }
  if (value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool crackUrl(const std::string& url, UrlParts& parts) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  UrlParts split;
  split.scheme = url.substr(0, colon);
  const KnownScheme* scheme = nullptr;
  for (const KnownScheme& known : KNOWN_SCHEMES)
    if (equalsIgnoringAsciiCase(split.scheme, known.name)) scheme = &known;
  if (!scheme || url.compare(colon + 1, 2, "//") != 0) return false;

  size_t authorityStart = colon + 3;
  size_t authorityEnd = url.find_first_of("/?#", authorityStart);
  if (authorityEnd == std::string::npos) authorityEnd = url.size();
  std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);

  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = authority.substr(0, at);
    authority.erase(0, at + 1);
    size_t separator = credentials.find(':');
    split.userName = credentials.substr(0, separator);
    if (separator != std::string::npos) split.password = credentials.substr(separator + 1);
  }

  // A bracketed IPv6 literal keeps its colons.
  size_t portColon = authority.rfind(':');
  if (portColon != std::string::npos && authority.find(']', portColon) != std::string::npos)
    portColon = std::string::npos;
  split.port = scheme->defaultPort;
  if (portColon != std::string::npos) {
    std::string digits = authority.substr(portColon + 1);
    authority.erase(portColon);
    if (!digits.empty() && !parsePort(digits, split.port)) return false;
    if (split.port == 0) split.port = scheme->defaultPort;
  }
  split.hostName = authority;
  if (split.hostName.empty()) return false;

  size_t extraStart = url.find_first_of("?#", authorityEnd);
  if (extraStart == std::string::npos) extraStart = url.size();
  split.urlPath = url.substr(authorityEnd, extraStart - authorityEnd);
  split.extraInfo = url.substr(extraStart);
  split.secure = scheme->secure;

  if (!fits(split.scheme, UrlParts::SCHEME_LIMIT) || !fits(split.hostName, UrlParts::HOST_LIMIT) ||
      !fits(split.userName, UrlParts::USER_LIMIT) ||
      !fits(split.password, UrlParts::PASSWORD_LIMIT) ||
      !fits(split.urlPath, UrlParts::PATH_LIMIT) || !fits(split.extraInfo, UrlParts::EXTRA_LIMIT))
    return false;
  parts = split;
  return true;
}
