// The service's reply document from arbitrary bytes: parsing never crashes,
// a body without a <result> element leaves the record alone, and parsing is
// a function of the body only. The parse runs on a thread whose stack is no
// larger than the Windows main thread's, so that a reply nested deep enough to
// overflow the agent there overflows here too.
#include <pthread.h>

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

constexpr size_t WINDOWS_MAIN_THREAD_STACK = 1024 * 1024;

struct Parse {
  const char* text;
  ServiceReply reply;
};

void* parseOnThread(void* argument) {
  auto* parse = static_cast<Parse*>(argument);
  parse->reply.parseReply(parse->text);
  return nullptr;
}

ServiceReply parsedOnSmallStack(const char* text) {
  Parse parse{text, sentinelReply()};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, WINDOWS_MAIN_THREAD_STACK);
  pthread_t thread;
  FUZZ_CHECK(pthread_create(&thread, &attributes, parseOnThread, &parse) == 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  return parse.reply;
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

  ServiceReply reply = parsedOnSmallStack(text);
  if (std::strstr(text, "<result") == nullptr) FUZZ_CHECK(sameRecord(reply, sentinelReply()));

  FUZZ_CHECK(sameRecord(reply, parsedOnSmallStack(text)));

  reply.printServiceMessage();
  std::fflush(stdout);
  return 0;
}
