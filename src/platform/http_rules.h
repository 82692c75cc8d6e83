// Rules every exchange keeps, whichever HTTP library carries it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How long an exchange may wait without a byte moving, connecting included,
// before it fails as timed out; WinINet's default of a minute.
extern const long NET_IDLE_SECONDS;

// WinINet follows at most this many redirects.
constexpr int MAX_REDIRECTS = 10;

// Whether a reply with `status` to a request with `verb` is followed. A GET
// follows 301, 302, 303, 307 and 308. A POST follows 301, 302 and 303 with a
// GET, as browsers and WinINet do; 307 and 308 would need the streamed body
// sent again, so such a reply stands as it is.
bool followsRedirect(const std::string& verb, int status);

// The caller's header lines that a redirected form post keeps when it is
// followed with a GET: all but its Content-Type and Content-Length, since its
// body is not sent again.
std::vector<std::string> headerLinesForGet(const std::vector<std::string>& lines);

// The object name a request line carries: the URL path and the query. A
// fragment is for the client alone and never goes on the wire.
std::string objectNameOf(const std::string& urlPath, const std::string& extraInfo);

// An IPv6 literal as a host name without the brackets a URL puts round it.
std::string hostWithoutBrackets(const std::string& host);

// "http://host[:port]", the port left out when it is the scheme's own.
std::string originOf(const std::string& hostName, uint16_t port, bool secure);

// The absolute URL that a Location header names, read relative to the URL
// of the hop that answered with it.
std::string resolveLocation(const std::string& hostName, uint16_t port, bool secure,
                            const std::string& objectName, const std::string& location);
