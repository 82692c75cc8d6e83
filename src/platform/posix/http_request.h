// The records of the libcurl-based HTTP layer and how a failed call records
// its error: the bottom of the POSIX side of the HTTP layer, which every
// other file of it builds on (http_request.cpp). Above it lie the libcurl
// bridge (http_transfer.h), then what goes on the wire (http_wire.h), then
// the calls themselves (http.cpp); each depends only on what lies below.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/http_framing.h"
#include "platform/http_rules.h"
#include "platform/net_handles.h"

using Clock = std::chrono::steady_clock;

// The reply buffer takes one more piece from libcurl (at most
// RECEIVE_BUFFER_SIZE) only while it holds less than this.
constexpr size_t REPLY_BUFFER_LIMIT = 64 * 1024;
// libcurl's receive buffer; its default of 16 KiB costs a recv and a poll
// per 16 KiB of a large download.
constexpr long RECEIVE_BUFFER_SIZE = 64 * 1024;
// Body pieces are gathered up to this much before libcurl is driven to send
// them: a send and a poll per 8 KiB piece cost more than moving its bytes.
constexpr size_t SEND_STAGE_SIZE = 64 * 1024;

struct NetConnection {
  HandleKind kind = HandleKind::Connection;
  std::string agent;
  std::string hostName;
  uint16_t port = 0;
};

struct NetRequest {
  HandleKind kind = HandleKind::Request;
  std::string agent;
  std::string verb;
  // Where the current hop goes; a followed redirect changes them.
  std::string hostName;
  std::string objectName;
  uint16_t port = 0;
  bool secure = false;
  std::string target;  // what libcurl must keep alive while it runs
  std::string proxy;
  std::vector<std::string> headerLines;  // the caller's, without CRLF
  curl_off_t contentLength = -1;

  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  curl_slist* proxyHeaders = nullptr;
  CURLcode result = CURLE_OK;
  long osError = 0;  // the system's reason when the transfer could not connect
  bool started = false;
  bool transferDone = false;
  LowSpeedWatch speed;

  // Upload.
  const char* piece = nullptr;
  size_t pieceLeft = 0;
  uint64_t bodySent = 0;
  std::string staged;  // body bytes taken by netWrite, not yet given to libcurl
  bool requestSent = false;
  bool bodyEnded = false;
  bool sendPaused = false;

  // The head of the last hop's request as it went out, for a trace.
  std::string requestHead;

  // Reply.
  std::string statusText;
  std::string replyHeadText;  // the current reply's status line and headers
  bool replyHeadTooLong = false;
  ReplyHead replyHead;  // read once the final reply's head is complete
  std::string replyBuffer;
  size_t replyOffset = 0;
  int redirectsFollowed = 0;
  bool replyHeadersDone = false;
  bool recvPaused = false;

  size_t replyBuffered() const { return replyBuffer.size() - replyOffset; }
  void moved(size_t bytes) { speed.moved(bytes, millisecondsNow()); }
  static uint64_t millisecondsNow() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
  }
};

// Records `code` as the last error of the layer and returns false.
bool failWith(unsigned long code);
unsigned long failureCode(const NetRequest& r, CURLcode fallback);
// The system's reason (errno) for the last failure that could not connect;
// 0 when it gave none.
long lastNetOsError();
