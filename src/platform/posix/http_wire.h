// What the server sees (http_wire.cpp): WinINet's request line and headers,
// its redirects. Internal to the POSIX side of the HTTP layer; builds on
// http_transfer.h and http_request.h.
#pragma once

#include <cstddef>

#include "platform/posix/http_request.h"

size_t takeHeader(char* bytes, size_t size, size_t count, void* user);
bool sendHop(NetRequest& r);
bool followRedirects(NetRequest& r);
