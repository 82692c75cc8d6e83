// The bridge between WinINet's push-style calls and libcurl
// (http_transfer.cpp). Internal to the POSIX side of the HTTP layer; builds
// on http_request.h alone.
#pragma once

#include <cstddef>

#include "platform/posix/http_request.h"

size_t supplyBody(char* buffer, size_t size, size_t count, void* user);
size_t takeReply(char* bytes, size_t size, size_t count, void* user);
void abortTransfer(NetRequest& r, CURLcode code);
void resumeSending(NetRequest& r);
void resumeReceiving(NetRequest& r);
void releaseTransfer(NetRequest& r);
bool sendStaged(NetRequest& r);

// One round of the transfer: false when it had to be given up.
bool driveOnce(NetRequest& r);
// Waits for traffic, a little; gives the transfer up as timed out once the
// low-speed rule (http_rules.h) says so.
void waitForTraffic(NetRequest& r);

// Runs the transfer until `satisfied` holds, it ends, or the low-speed rule
// gives it up. The rule's window runs on from one call to the next, so that
// a server trickling a byte per call cannot keep the exchange alive.
template <typename Condition>
void driveUntil(NetRequest& r, Condition satisfied) {
  while (!satisfied() && !r.transferDone) {
    if (!driveOnce(r)) return;
    if (satisfied() || r.transferDone) return;
    waitForTraffic(r);
  }
}
