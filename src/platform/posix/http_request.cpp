// How a failed call of the POSIX HTTP layer records its error.
#include "platform/posix/http_request.h"

namespace {

unsigned long lastNetError = 0;
// The system's reason for the last failure that could not connect.
long lastOsError = 0;

}  // namespace

bool failWith(unsigned long code) {
  lastNetError = code;
  return false;
}

unsigned long failureCode(const NetRequest& r, CURLcode fallback) {
  lastOsError = r.osError;
  return r.result != CURLE_OK ? r.result : fallback;
}

void noteInvalidHandle() {
  failWith(CURLE_BAD_FUNCTION_ARGUMENT);
}

long lastNetOsError() {
  return lastOsError;
}

unsigned long netLastError() {
  return lastNetError;
}

unsigned long netLastResponseError() {
  return lastNetError;
}
