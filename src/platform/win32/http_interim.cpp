// For wine's WinINet alone: it passes over "100 Continue" but takes any other
// interim 1xx reply ("102 Processing", "103 Early Hints") for the final one,
// and gives what follows it, the final reply included, as that reply's body.
// The agent then reads the final reply itself from those bytes, by the same
// rules. Windows' WinINet passes over every interim reply, and never gets
// here.
#include <cstring>

#include "platform/win32/http_request.h"

namespace {

bool failFraming() {
  SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
  return false;
}

// Reads more of what follows the interim reply into `buffered`; false at its
// end or on failure (the error then set).
bool readMore(Exchange& x, bool& ended) {
  char piece[8192];
  uint32_t count = 0;
  if (!readReplyBytes(x, piece, sizeof piece, count)) return false;
  ended = count == 0;
  x.interim.buffered.append(piece, count);
  return true;
}

}  // namespace

bool readFinalAfterInterim(Exchange& x) {
  x.interim = AfterInterim();
  x.interim.taken = true;
  std::string& bytes = x.interim.buffered;
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
      if (!readMore(x, ended)) return false;
      if (ended) return failFraming();
      continue;
    }
    std::string head = bytes.substr(0, end + skip);
    bytes.erase(0, end + skip);
    if (!readReplyHead(head, x.replyHead)) return failFraming();
    if (x.replyHead.status < 200) continue;  // another interim reply
    if (x.replyHead.framing == BodyFraming::Chunked) return failFraming();
    x.interim.bodyLeft = x.replyHead.contentLength;
    x.interim.ended = x.replyHead.framing == BodyFraming::None ||
                      (x.replyHead.framing == BodyFraming::Length && x.interim.bodyLeft == 0);
    return true;
  }
}

bool readAfterInterim(Exchange& x, void* buffer, uint32_t capacity, uint32_t& count) {
  AfterInterim& after = x.interim;
  count = 0;
  if (after.ended) return true;
  if (after.buffered.empty()) {
    bool ended = false;
    if (!readMore(x, ended)) return false;
    if (ended) {
      after.ended = true;
      // A body with a length that ends early is cut short; the caller
      // compares what came with the length and says so.
      return true;
    }
  }
  uint64_t wanted = after.buffered.size() < capacity ? after.buffered.size() : capacity;
  if (x.replyHead.framing == BodyFraming::Length && wanted > after.bodyLeft)
    wanted = after.bodyLeft;
  count = static_cast<uint32_t>(wanted);
  std::memcpy(buffer, after.buffered.data(), count);
  after.buffered.erase(0, count);
  if (x.replyHead.framing == BodyFraming::Length) {
    after.bodyLeft -= count;
    if (after.bodyLeft == 0) after.ended = true;
  }
  return true;
}
