#include "platform/system_error.h"

#include <errno.h>
#include <limits.h>
#include <string.h>

unsigned long lastSystemError() {
  return static_cast<unsigned long>(errno);
}

void setLastSystemError(unsigned long code) {
  errno = static_cast<int>(code);
}

std::string systemMessage(unsigned long code) {
  if (code > INT_MAX) return std::string();
  int number = static_cast<int>(code);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // strerror() invents "Unknown error N" for numbers the system does not know.
  if (strerrordesc_np(number) == nullptr) return std::string();
#endif
  // The text in the locale's language and code page, like the Windows one.
  return std::string(strerror(number)) + "\n";
}
