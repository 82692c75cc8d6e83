// The proxy an exchange goes through on POSIX, decided from the standard
// environment variables the way libcurl reads them, so that the request line
// we compose (absolute form for an HTTP proxy) and the proxy libcurl uses
// always agree.
#pragma once

#include <string>

// What a lookup returns for one variable; null when it is not set.
using EnvironmentLookup = const char* (*)(const char* name);

// The proxy URL for a request to `host` over http or, when `secure`, https:
// http_proxy (lower case only), or https_proxy / HTTPS_PROXY, else all_proxy /
// ALL_PROXY; empty when none is set or no_proxy / NO_PROXY names the host.
std::string proxyForHost(const std::string& host, bool secure, EnvironmentLookup lookup);

// True when the comma- or blank-separated `noProxy` list covers `host`: "*",
// the host itself, a domain it lies in (with or without a leading dot), or an
// IPv4 network in CIDR notation.
bool noProxyCovers(const std::string& noProxy, const std::string& host);

// True when requests through `proxy` name their target in absolute form: an
// HTTP or HTTPS proxy, as opposed to a SOCKS one.
bool proxySpeaksHttp(const std::string& proxy);
