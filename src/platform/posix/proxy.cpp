#include "platform/posix/proxy.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

#include "platform/ascii.h"
#include "platform/http_rules.h"

namespace {

const char* firstSet(EnvironmentLookup lookup, const char* first, const char* second) {
  const char* value = lookup(first);
  if ((!value || !*value) && second) value = lookup(second);
  return value && *value ? value : nullptr;
}

bool parseIpv4(const std::string& text, uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  return true;
}

bool coveredByEntry(const std::string& entry, const std::string& host) {
  if (entry == "*") return true;
  size_t slash = entry.find('/');
  uint32_t hostAddress = 0;
  if (slash != std::string::npos) {
    uint32_t network = 0;
    int32_t bits = leadingInteger(entry.c_str() + slash + 1);
    if (!parseIpv4(entry.substr(0, slash), network) || !parseIpv4(host, hostAddress) || bits < 0 ||
        bits > 32)
      return false;
    uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    return (network & mask) == (hostAddress & mask);
  }
  std::string domain = entry[0] == '.' ? entry.substr(1) : entry;
  if (domain.empty()) return false;
  if (host == domain) return true;
  return host.size() > domain.size() &&
         host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}

}  // namespace

bool noProxyCovers(const std::string& noProxy, const std::string& rawHost) {
  std::string host = asciiLowered(rawHost);
  host = hostWithoutBrackets(host);
  if (!host.empty() && host.back() == '.') host.pop_back();
  size_t at = 0;
  while (at < noProxy.size()) {
    size_t end = noProxy.find_first_of(", \t", at);
    if (end == std::string::npos) end = noProxy.size();
    std::string entry = asciiLowered(noProxy.substr(at, end - at));
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (!entry.empty() && coveredByEntry(entry, host)) return true;
    at = end + 1;
  }
  return false;
}

std::string proxyForHost(const std::string& host, bool secure, EnvironmentLookup lookup) {
  const char* noProxy = firstSet(lookup, "no_proxy", "NO_PROXY");
  if (noProxy && noProxyCovers(noProxy, host)) return std::string();
  // Upper-case HTTP_PROXY is left alone, as libcurl leaves it: in a CGI
  // program it would come from a request header.
  const char* proxy = secure ? firstSet(lookup, "https_proxy", "HTTPS_PROXY")
                             : firstSet(lookup, "http_proxy", nullptr);
  if (!proxy) proxy = firstSet(lookup, "all_proxy", "ALL_PROXY");
  return proxy ? std::string(proxy) : std::string();
}

bool proxySpeaksHttp(const std::string& proxy) {
  size_t scheme = proxy.find("://");
  if (scheme == std::string::npos) return true;  // libcurl's default: an HTTP proxy
  std::string name = asciiLowered(proxy.substr(0, scheme));
  return name == "http" || name == "https";
}
