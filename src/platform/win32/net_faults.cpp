#include <windows.h>
#include <wininet.h>
#include <winsock2.h>

#include "platform/net_faults.h"

bool isPassingNetError(unsigned long number) {
  switch (number) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_TIMEOUT:
    // Some WinINets (wine's) pass on the socket's own error.
    case WSAECONNREFUSED:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAETIMEDOUT:
      return true;
    default:
      return false;
  }
}
