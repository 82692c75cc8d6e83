// The bridge between WinINet's push-style calls and libcurl, which pulls the
// body through its read callback and pushes the reply through its write
// callback. One multi handle per request: netWrite gathers its pieces up to
// SEND_STAGE_SIZE, then hands them to the read callback and drives the
// transfer until libcurl has taken all of them, the read callback pausing the
// upload whenever nothing is pending; the write callback fills a bounded
// reply buffer and pauses the download when it is full, and netRead drains
// it. Memory stays bounded whatever the sizes of body and reply, and a
// transfer that moves too slowly (http_rules.h) is given up.
#include <cstring>

#include "platform/http_rules.h"
#include "platform/posix/http_request.h"
#include "platform/posix/http_transfer.h"

namespace {

constexpr int POLL_MILLISECONDS = 200;

void collectResult(NetRequest& r) {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(r.multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == r.easy) {
      r.transferDone = true;
      r.result = message->data.result;
      curl_easy_getinfo(r.easy, CURLINFO_OS_ERRNO, &r.osError);
    }
  }
}

void applyPause(NetRequest& r) {
  if (r.transferDone) return;
  int mask = (r.sendPaused ? CURLPAUSE_SEND : 0) | (r.recvPaused ? CURLPAUSE_RECV : 0);
  curl_easy_pause(r.easy, mask);
}

}  // namespace

size_t supplyBody(char* buffer, size_t size, size_t count, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  r.requestSent = true;
  if (r.pieceLeft == 0) {
    if (r.bodyEnded) return 0;
    r.sendPaused = true;
    return CURL_READFUNC_PAUSE;
  }
  size_t room = size * count;
  size_t taken = r.pieceLeft < room ? r.pieceLeft : room;
  std::memcpy(buffer, r.piece, taken);
  r.piece += taken;
  r.pieceLeft -= taken;
  r.moved(taken);
  return taken;
}

size_t takeReply(char* bytes, size_t size, size_t count, void* user) {
  NetRequest& r = *static_cast<NetRequest*>(user);
  size_t length = size * count;
  if (r.replyBuffered() > 0 && r.replyBuffered() + length > REPLY_BUFFER_LIMIT) {
    r.recvPaused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r.replyOffset > 0 && r.replyOffset == r.replyBuffer.size()) {
    r.replyBuffer.clear();
    r.replyOffset = 0;
  }
  r.replyBuffer.append(bytes, length);
  r.moved(length);
  return length;
}

void abortTransfer(NetRequest& r, CURLcode code) {
  if (r.started) curl_multi_remove_handle(r.multi, r.easy);
  r.started = false;
  r.transferDone = true;
  r.result = code;
}

void resumeSending(NetRequest& r) {
  if (!r.sendPaused) return;
  r.sendPaused = false;
  applyPause(r);
}

void resumeReceiving(NetRequest& r) {
  if (!r.recvPaused) return;
  r.recvPaused = false;
  applyPause(r);
}

bool driveOnce(NetRequest& r) {
  int running = 0;
  if (curl_multi_perform(r.multi, &running) != CURLM_OK) {
    abortTransfer(r, CURLE_OUT_OF_MEMORY);
    return false;
  }
  collectResult(r);
  return true;
}

void waitForTraffic(NetRequest& r) {
  if (r.speed.tooSlow(NetRequest::millisecondsNow())) {
    abortTransfer(r, CURLE_OPERATION_TIMEDOUT);
    return;
  }
  curl_multi_poll(r.multi, nullptr, 0, POLL_MILLISECONDS, nullptr);
}

void releaseTransfer(NetRequest& r) {
  if (r.easy) {
    if (r.started) curl_multi_remove_handle(r.multi, r.easy);
    curl_easy_cleanup(r.easy);
  }
  if (r.multi) curl_multi_cleanup(r.multi);
  curl_slist_free_all(r.headers);
  curl_slist_free_all(r.proxyHeaders);
  r.easy = nullptr;
  r.multi = nullptr;
  r.headers = nullptr;
  r.proxyHeaders = nullptr;
  r.started = false;
}

// Hands the gathered body bytes to libcurl and drives the transfer until it
// has taken all of them.
bool sendStaged(NetRequest& r) {
  if (r.staged.empty()) return true;
  r.piece = r.staged.data();
  r.pieceLeft = r.staged.size();
  resumeSending(r);
  driveUntil(r, [&] { return r.pieceLeft == 0; });
  bool taken = r.pieceLeft == 0;
  r.piece = nullptr;
  r.pieceLeft = 0;
  r.staged.clear();
  if (!taken) return failWith(failureCode(r, CURLE_SEND_ERROR));
  return true;
}
