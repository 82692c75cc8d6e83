// wine's WinINet passes over "100 Continue" but takes any other interim 1xx
// reply ("102 Processing", "103 Early Hints") for the final one, and gives
// what follows it, the final reply included, as that reply's body. The agent
// then reads the final reply itself from those bytes, by the same rules.
#include <cstring>

#include "platform/win32/http_request.h"

namespace {

bool failFraming() {
  SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
  return false;
}

// Reads more of what follows the interim reply into `buffered`; false at its
// end or on failure (the error then set).
bool readMore(NetRequest& r, bool& ended) {
  char piece[8192];
  uint32_t count = 0;
  if (!readReplyBytes(r, piece, sizeof piece, count)) return false;
  ended = count == 0;
  r.interim.buffered.append(piece, count);
  return true;
}

}  // namespace

bool readFinalAfterInterim(NetRequest& r) {
  r.interim = AfterInterim();
  r.interim.taken = true;
  std::string& bytes = r.interim.buffered;
  for (;;) {
    size_t end = bytes.find("\r\n\r\n");
    size_t skip = 4;
    size_t bare = bytes.find("\n\n");
    if (bare != std::string::npos && (end == std::string::npos || bare < end)) {
      end = bare;
      skip = 2;
    }
    if (end == std::string::npos) {
      if (bytes.size() > MAX_REPLY_HEAD) return failFraming();
      bool ended = false;
      if (!readMore(r, ended)) return false;
      if (ended) return failFraming();
      continue;
    }
    std::string head = bytes.substr(0, end + skip);
    bytes.erase(0, end + skip);
    if (!readReplyHead(head, r.replyHead)) return failFraming();
    if (r.replyHead.status < 200) continue;  // another interim reply
    if (r.replyHead.framing == BodyFraming::Chunked) return failFraming();
    r.interim.bodyLeft = r.replyHead.contentLength;
    r.interim.ended = r.replyHead.framing == BodyFraming::None ||
                      (r.replyHead.framing == BodyFraming::Length && r.interim.bodyLeft == 0);
    return true;
  }
}

bool readAfterInterim(NetRequest& r, void* buffer, uint32_t capacity, uint32_t& count) {
  AfterInterim& after = r.interim;
  count = 0;
  if (after.ended) return true;
  if (after.buffered.empty()) {
    bool ended = false;
    if (!readMore(r, ended)) return false;
    if (ended) {
      after.ended = true;
      // A body with a length that ends early is cut short; the caller
      // compares what came with the length and says so.
      return true;
    }
  }
  uint64_t wanted = after.buffered.size() < capacity ? after.buffered.size() : capacity;
  if (r.replyHead.framing == BodyFraming::Length && wanted > after.bodyLeft)
    wanted = after.bodyLeft;
  count = static_cast<uint32_t>(wanted);
  std::memcpy(buffer, after.buffered.data(), count);
  after.buffered.erase(0, count);
  if (r.replyHead.framing == BodyFraming::Length) {
    after.bodyLeft -= count;
    if (after.bodyLeft == 0) after.ended = true;
  }
  return true;
}
