// How a reply's head says where its body ends, read by the same rules on
// every system, whatever the HTTP library below makes of it. A reply whose
// framing is invalid, or which cannot be told from one cut short, must not
// pass for a whole one (RFC 9112, section 6).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A reply head longer than this is refused rather than held.
constexpr size_t MAX_REPLY_HEAD = 256 * 1024;

enum class BodyFraming {
  None,        // 1xx, 204 and 304 replies carry no body
  Length,      // Content-Length
  Chunked,     // chunked transfer coding, ended by its last chunk
  UntilClose,  // neither: the body ends when the server closes
};

struct ReplyHead {
  int status = 0;
  BodyFraming framing = BodyFraming::UntilClose;
  uint64_t contentLength = 0;  // with BodyFraming::Length
  const char* refusal = "";    // why readReplyHead refused the head, in words
};

// Reads a final reply's head: its status line, then its header lines, each
// ending in CRLF or LF; a blank line may close it. False, with the rule it
// broke in `refusal`, when the framing is invalid (a chunked reply's
// Content-Length is ignored: chunked wins).
bool readReplyHead(const std::string& head, ReplyHead& reply);

// The values of every header field named `name` (ASCII case ignored), in
// order, with the blanks and tabs around each value trimmed.
std::vector<std::string> headerFieldValues(const std::string& head, const char* name);

// The value of a header field that should be given once: false when the
// field is missing, or given more than once with values that differ.
bool singleFieldValue(const std::string& head, const char* name, std::string& value);

// A 206 reply's Content-Range value, "bytes <first>-<last>/<total>", with
// first <= last < total; false for anything else (an unknown total "*", a
// unit other than bytes, blanks, a number past 64 bits).
bool readContentRange(const std::string& value, uint64_t& first, uint64_t& last, uint64_t& total);

// Space and tab trimmed from both ends, as around a header field's value.
std::string trimmedBlanks(const std::string& text);
