// The trace of an exchange (TARVOLIN_TRACE), handed line by line to the
// request's traceLine, in the manner of curl -v: "*" for what the agent says,
// ">" for what went out, "<" for what came back. The key never appears: the
// authId field's value, authorisation headers and passwords in URLs are
// masked.
#pragma once

#include <string>

struct FormRequest;

// "* POST <url>": the exchange is about to start.
void traceRequestLine(const FormRequest& request, const std::string& url);
// The rest, as far as the exchange went: the proxy, the form's fields, the
// request's head, the body's size, the reply's head and the bytes received.
void traceExchange(const FormRequest& request);

// A header line with the value of an Authorization, Proxy-Authorization or
// Cookie header masked.
std::string maskedHeaderLine(const std::string& line);
// A URL with the password of its user information masked.
std::string maskedUrl(const std::string& url);
