// The service's reply document from arbitrary bytes: parsing never crashes,
// a body without a <result> element leaves the record alone, and parsing is
// a function of the body only.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_target.h"
#include "service/reply.h"

namespace {

ServiceReply sentinelReply() {
  ServiceReply reply;
  reply.title = "previous title";
  reply.text = "previous text";
  reply.url = "http://previous.test/x";
  reply.code = 12345;
  return reply;
}

bool sameRecord(const ServiceReply& a, const ServiceReply& b) {
  return a.title == b.title && a.text == b.text && a.url == b.url && a.code == b.code;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The service's message goes to standard output; only its bytes' fate
  // matters here, not the text.
#ifdef _WIN32
  std::freopen("NUL", "wb", stdout);
#else
  std::freopen("/dev/null", "wb", stdout);
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The transport hands the parser a NUL-terminated text; a NUL inside the
  // reply ends it there.
  std::string body(reinterpret_cast<const char*>(data), size);
  const char* text = body.c_str();

  ServiceReply reply = sentinelReply();
  reply.parseReply(text);
  if (std::strstr(text, "<result") == nullptr) FUZZ_CHECK(sameRecord(reply, sentinelReply()));

  ServiceReply again = sentinelReply();
  again.parseReply(text);
  FUZZ_CHECK(sameRecord(reply, again));

  FUZZ_CHECK(reply.printServiceMessage() == reply.code);
  std::fflush(stdout);
  return 0;
}
