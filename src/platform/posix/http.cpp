// WinINet's synchronous request calls carried out with libcurl: the handles
// and the calls of the HTTP layer, the top of its POSIX side. How a request
// is carried is in http_transfer.cpp, what goes on the wire in
// http_wire.cpp, the records and their errors in http_request.cpp.
#include <cstring>
#include <string>

#include "platform/ascii.h"
#include "platform/http.h"
#include "platform/http_framing.h"
#include "platform/posix/http_request.h"
#include "platform/posix/http_transfer.h"
#include "platform/posix/http_wire.h"
#include "platform/system_error.h"

NetHandle netOpen(const char* agent) {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) {
    failWith(initialised);
    return nullptr;
  }
  NetRoot* root = new NetRoot;
  root->agent = agent ? agent : "";
  return root;
}

NetHandle netConnect(NetHandle rootHandle, const std::string& hostName, uint16_t port) {
  NetRoot* root = asHandle<NetRoot>(rootHandle, HandleKind::Root);
  if (!root || hostName.empty()) {
    failWith(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  // Like InternetConnectA for HTTP, this only remembers where to go.
  NetConnection* connection = new NetConnection;
  connection->agent = root->agent;
  connection->hostName = hostName;
  connection->port = port;
  return connection;
}

NetHandle netOpenRequest(NetHandle connectionHandle, const char* verb,
                         const std::string& objectName, bool secure) {
  NetConnection* connection = asHandle<NetConnection>(connectionHandle, HandleKind::Connection);
  if (!connection || !verb || !*verb) {
    failWith(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  NetRequest* request = new NetRequest;
  request->agent = connection->agent;
  request->verb = verb;
  request->hostName = connection->hostName;
  request->port = connection->port;
  request->objectName = objectName;
  request->secure = secure;
  return request;
}

bool netAddHeaderLine(NetHandle handle, const std::string& line) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || r->easy) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  std::string header = line;
  while (!header.empty() && (header.back() == '\n' || header.back() == '\r')) header.pop_back();
  size_t colon = header.find(':');
  if (colon == std::string::npos || colon == 0 || header.find_first_of("\r\n") != std::string::npos)
    return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (startsWithIgnoringAsciiCase(header, "Content-Length:")) {
    std::string value = trimmedBlanks(header.substr(colon + 1));
    char* end = nullptr;
    unsigned long long length = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0') return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
    r->contentLength = static_cast<curl_off_t>(length);
  }
  // libcurl drops a line with an empty value ("Name:" asks it to remove its
  // own header of that name) unless it is written "Name;".
  if (trimmedBlanks(header.substr(colon + 1)).empty()) header = header.substr(0, colon) + ";";
  r->headerLines.push_back(header);
  return true;
}

bool netSendRequest(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || r->easy) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  return sendHop(*r);
}

bool netWrite(NetHandle handle, const void* bytes, uint32_t count) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->easy || r->bodyEnded) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (r->transferDone) return failWith(failureCode(*r, CURLE_SEND_ERROR));
  // Never more than announced: the server would take the excess for the
  // next request on the connection.
  if (r->contentLength >= 0 && r->bodySent + count > static_cast<uint64_t>(r->contentLength))
    return failWith(CURLE_SEND_ERROR);
  if (r->staged.capacity() < SEND_STAGE_SIZE) r->staged.reserve(SEND_STAGE_SIZE);
  r->staged.append(static_cast<const char*>(bytes), count);
  r->bodySent += count;
  // The body's last piece goes out at once, so that a failure to send it is
  // reported by the write that completed the body, as WinINet would.
  bool bodyComplete =
      r->contentLength >= 0 && r->bodySent == static_cast<uint64_t>(r->contentLength);
  if (r->staged.size() < SEND_STAGE_SIZE && !bodyComplete) return true;
  return sendStaged(*r);
}

bool netEndRequest(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->easy) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (!sendStaged(*r)) return false;
  r->bodyEnded = true;
  resumeSending(*r);
  driveUntil(*r, [&] { return r->replyHeadersDone; });
  if (!r->replyHeadersDone) return failWith(failureCode(*r, CURLE_GOT_NOTHING));
  if (!followRedirects(*r)) return false;
  // The final reply, read by the agent's rules: libcurl lets some broken
  // framing pass (two different Content-Lengths, for one).
  if (r->replyHeadTooLong || !readReplyHead(r->replyHeadText, r->replyHead)) {
    abortTransfer(*r, CURLE_WEIRD_SERVER_REPLY);
    return failWith(CURLE_WEIRD_SERVER_REPLY);
  }
  return true;
}

bool netQueryStatusText(NetHandle handle, char* buffer, uint32_t capacity) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->replyHeadersDone || !buffer) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (r->statusText.size() + 1 > capacity) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  std::memcpy(buffer, r->statusText.c_str(), r->statusText.size() + 1);
  return true;
}

bool netQueryContentLength(NetHandle handle, uint64_t& length) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->replyHeadersDone || r->replyHead.framing != BodyFraming::Length)
    return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  length = r->replyHead.contentLength;
  return true;
}

BodyFraming netQueryBodyFraming(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  return r ? r->replyHead.framing : BodyFraming::UntilClose;
}

bool netRead(NetHandle handle, void* buffer, uint32_t capacity, uint32_t& count) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  if (!r || !r->replyHeadersDone) return failWith(CURLE_BAD_FUNCTION_ARGUMENT);
  if (r->replyBuffered() == 0 && !r->transferDone) {
    resumeReceiving(*r);
    driveUntil(*r, [&] { return r->replyBuffered() > 0; });
  }
  size_t available = r->replyBuffered();
  if (available > 0) {
    size_t taken = available < capacity ? available : capacity;
    std::memcpy(buffer, r->replyBuffer.data() + r->replyOffset, taken);
    r->replyOffset += taken;
    if (r->replyOffset == r->replyBuffer.size()) {
      r->replyBuffer.clear();
      r->replyOffset = 0;
    }
    count = static_cast<uint32_t>(taken);
    return true;
  }
  if (r->result != CURLE_OK) return failWith(r->result);
  count = 0;
  return true;
}

void netClose(NetHandle handle) {
  if (!handle) return;
  switch (*static_cast<HandleKind*>(handle)) {
    case HandleKind::Root:
      delete static_cast<NetRoot*>(handle);
      break;
    case HandleKind::Connection:
      delete static_cast<NetConnection*>(handle);
      break;
    case HandleKind::Request: {
      NetRequest* r = static_cast<NetRequest*>(handle);
      releaseTransfer(*r);
      delete r;
      break;
    }
  }
}

unsigned long netReplyTooLargeError() {
  return CURLE_FILESIZE_EXCEEDED;
}

unsigned long netReplyFramingError() {
  return CURLE_WEIRD_SERVER_REPLY;
}

unsigned long netReplyCutShortError() {
  return CURLE_PARTIAL_FILE;
}

std::string netErrorText(unsigned long number) {
  if (number == CURLE_COULDNT_CONNECT && lastNetOsError() > 0) {
    std::string reason = systemMessage(static_cast<unsigned long>(lastNetOsError()));
    if (!reason.empty() && reason.back() == '\n') reason.pop_back();
    if (!reason.empty()) return reason;
  }
  if (number > CURL_LAST) return std::string();
  return curl_easy_strerror(static_cast<CURLcode>(number));
}

bool netErrorIsTimeout(unsigned long number) {
  return number == CURLE_OPERATION_TIMEDOUT;
}

std::string netRequestHead(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  return r ? r->requestHead : std::string();
}

std::string netReplyHead(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  return r ? r->replyHeadText : std::string();
}

std::string netProxyOf(NetHandle handle) {
  NetRequest* r = asHandle<NetRequest>(handle, HandleKind::Request);
  return r ? r->proxy : std::string();
}
