// A reply head from arbitrary bytes, as the agent reads it on every system:
// reading never crashes and is a function of the head only, a head read as
// valid has one framing, and a Content-Range read as valid names a part
// that lies within its file, read back the same from its own numbers.
#include <cstdint>
#include <string>

#include "fuzz_target.h"
#include "platform/http_framing.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string head(reinterpret_cast<const char*>(data), size);
  ReplyHead first;
  ReplyHead again;
  const bool valid = readReplyHead(head, first);
  FUZZ_CHECK(valid == readReplyHead(head, again));
  if (valid) {
    FUZZ_CHECK(first.status >= 100 && first.status <= 999);
    FUZZ_CHECK(first.status == again.status && first.framing == again.framing);
    FUZZ_CHECK(first.framing != BodyFraming::Length || first.contentLength == again.contentLength);
  }
  for (const std::string& value : headerFieldValues(head, "Content-Range")) {
    uint64_t from = 0, to = 0, total = 0;
    if (!readContentRange(value, from, to, total)) continue;
    FUZZ_CHECK(from <= to && to < total);
    const std::string canonical =
        "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" + std::to_string(total);
    uint64_t from2 = 0, to2 = 0, total2 = 0;
    FUZZ_CHECK(readContentRange(canonical, from2, to2, total2));
    FUZZ_CHECK(from == from2 && to == to2 && total == total2);
  }
  return 0;
}
