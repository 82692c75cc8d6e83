// Rules every exchange keeps, whichever HTTP library carries it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct HttpRequest;

// The low-speed rule, as curl's --speed-limit 1024 --speed-time 60 means
// it: an exchange fails as timed out once less than LOW_SPEED_LIMIT bytes a
// second have moved on average (request, reply head and body alike) for
// LOW_SPEED_WINDOW_SECONDS, connecting included. A server that trickles
// cannot hold a run for ever; a transfer that keeps 2 KiB/s is never cut.
// libcurl keeps it (CURLOPT_LOW_SPEED_LIMIT and _TIME); WinINet has no such
// rule, and the Windows watchdog keeps it.
extern const long LOW_SPEED_WINDOW_SECONDS;
constexpr uint64_t LOW_SPEED_LIMIT = 1024;

// WinINet follows at most this many redirects.
constexpr int MAX_REDIRECTS = 10;

// Whether a reply with `status` to a request with `verb` is followed. A GET
// follows 301, 302, 303, 307 and 308. A POST follows 301, 302 and 303 with a
// GET, as browsers and WinINet do; 307 and 308 would need the streamed body
// sent again, so such a reply stands as it is.
bool followsRedirect(const std::string& verb, int status);

// The object name a request line carries: the URL path and the query, with
// blanks escaped. A fragment is for the client alone and never goes on the
// wire.
std::string objectNameOf(const std::string& urlPath, const std::string& extraInfo);

// An IPv6 literal as a host name without the brackets a URL puts round it.
std::string hostWithoutBrackets(const std::string& host);

// "http://host[:port]", the port left out when it is the scheme's own.
std::string originOf(const std::string& hostName, uint16_t port, bool secure);

// The absolute URL that a Location header names, read relative to the URL
// of the hop that answered with it, blanks escaped.
std::string resolveLocation(const std::string& hostName, uint16_t port, bool secure,
                            const std::string& objectName, const std::string& location);

// Where a reply redirects the request to, when it is followed: true with
// `request` turned into the next hop (a form post into a GET without its
// body, Content-Type or Content-Length), false when the reply stands: its
// status is not followed (followsRedirect), MAX_REDIRECTS were followed
// already, its Location is missing, given twice with different values, or
// names no http or https URL. `replyHead` is the hop's whole reply head.
bool nextHop(HttpRequest& request, int& redirectsFollowed, int status,
             const std::string& replyHead);
