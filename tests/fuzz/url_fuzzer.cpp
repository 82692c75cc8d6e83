// URLs from arbitrary bytes, as a service reply may name them: the split
// either refuses the URL or yields parts that fit their buffers, a port, and
// pieces that put together give the URL's tail back; the name a download is
// saved under never leaves the current directory.
#include <string>

#include "fuzz_target.h"
#include "platform/http.h"
#include "platform/text.h"
#include "service/endpoints.h"

namespace {

bool asciiEqualsIgnoreCase(const std::string& a, const char* b) {
  std::string folded = a;
  for (char& ch : folded)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return folded == b;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void checkSplit(const std::string& url) {
  UrlParts parts;
  parts.hostName = "untouched";
  if (!crackUrl(url, parts)) {
    FUZZ_CHECK(parts.hostName == "untouched");
    return;
  }
  FUZZ_CHECK(parts.scheme.size() < UrlParts::SCHEME_LIMIT);
  FUZZ_CHECK(parts.hostName.size() < UrlParts::HOST_LIMIT);
  FUZZ_CHECK(parts.userName.size() < UrlParts::USER_LIMIT);
  FUZZ_CHECK(parts.password.size() < UrlParts::PASSWORD_LIMIT);
  FUZZ_CHECK(parts.urlPath.size() < UrlParts::PATH_LIMIT);
  FUZZ_CHECK(parts.extraInfo.size() < UrlParts::EXTRA_LIMIT);
  FUZZ_CHECK(parts.port != 0);
  FUZZ_CHECK(!parts.hostName.empty());
  FUZZ_CHECK(parts.hostName.find_first_of("/?#@") == std::string::npos);
  bool https = asciiEqualsIgnoreCase(parts.scheme, "https");
  FUZZ_CHECK(https || asciiEqualsIgnoreCase(parts.scheme, "http"));
  FUZZ_CHECK(parts.secure == https);
  FUZZ_CHECK(parts.urlPath.empty() || parts.urlPath[0] == '/');
  FUZZ_CHECK(parts.urlPath.find_first_of("?#") == std::string::npos);
  FUZZ_CHECK(parts.extraInfo.empty() || parts.extraInfo[0] == '?' || parts.extraInfo[0] == '#');
  FUZZ_CHECK(endsWith(url, parts.urlPath + parts.extraInfo));
}

void checkOutputName(const std::string& url) {
  std::string name = outputNameFromUrl(url);
  if (name.empty()) return;
  FUZZ_CHECK(name != "." && name != "..");
  FUZZ_CHECK(name.find('/') == std::string::npos);
  FUZZ_CHECK(name.find_first_of("?#") == std::string::npos);
  FUZZ_CHECK(name.find('\0') == std::string::npos);
#ifdef _WIN32
  FUZZ_CHECK(name.find_first_of("\\:") == std::string::npos);
#endif
  FUZZ_CHECK(url.find(name) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  initAnsiCodePage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A URL reaches the split as a NUL-terminated text.
  std::string url(reinterpret_cast<const char*>(data), size);
  url = url.c_str();
  checkSplit(url);
  checkOutputName(url);
  return 0;
}
