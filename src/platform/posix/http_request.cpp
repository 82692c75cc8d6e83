// How a failed call of the POSIX HTTP layer records its error.
#include "platform/posix/http_request.h"

namespace {

unsigned long lastNetError = 0;

}  // namespace

bool failWith(unsigned long code) {
  lastNetError = code;
  return false;
}

unsigned long failureCode(const NetRequest& r, CURLcode fallback) {
  return r.result != CURLE_OK ? r.result : fallback;
}

void noteInvalidHandle() {
  failWith(CURLE_BAD_FUNCTION_ARGUMENT);
}

unsigned long netLastError() {
  return lastNetError;
}

unsigned long netLastResponseError() {
  return lastNetError;
}
