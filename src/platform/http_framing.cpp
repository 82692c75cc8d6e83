#include "platform/http_framing.h"

#include "platform/ascii.h"

namespace {

bool isDigit(char ch) {
  return ch >= '0' && ch <= '9';
}

// The head's lines without their line ends, up to the blank line that
// closes it.
std::vector<std::string> headLines(const std::string& head) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < head.size();) {
    size_t end = head.find('\n', at);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

// "HTTP/1.x NNN" followed by a blank or nothing; the minor version digit.
// A status starts at 100: "064" is three digits but no status.
bool readStatusLine(const std::string& line, int& status, char& minor) {
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !isDigit(line[7]) ||
      line[8] != ' ' || line[9] == '0')
    return false;
  for (size_t at = 9; at < 12; ++at)
    if (!isDigit(line[at])) return false;
  if (line.size() > 12 && line[12] != ' ') return false;
  minor = line[7];
  status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  return true;
}

// The comma-separated elements of every one of `values`, trimmed, empty ones
// left out.
std::vector<std::string> listElements(const std::vector<std::string>& values) {
  std::vector<std::string> elements;
  for (const std::string& value : values) {
    for (size_t at = 0; at <= value.size();) {
      size_t comma = value.find(',', at);
      if (comma == std::string::npos) comma = value.size();
      std::string element = trimmedBlanks(value.substr(at, comma - at));
      if (!element.empty()) elements.push_back(element);
      at = comma + 1;
    }
  }
  return elements;
}

// A framing field written "Name :" is read differently by different
// parsers, and so cannot be trusted.
bool hasBlankBeforeColon(const std::vector<std::string>& lines, const char* name) {
  for (const std::string& line : lines) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string field = line.substr(0, colon);
    if (field != trimmedBlanks(field) && equalsIgnoringAsciiCase(trimmedBlanks(field), name))
      return true;
  }
  return false;
}

bool readLength(const std::string& text, uint64_t& length) {
  if (text.empty() || text.size() > 19) return false;
  length = 0;
  for (char ch : text) {
    if (!isDigit(ch)) return false;
    length = length * 10 + static_cast<uint64_t>(ch - '0');
  }
  return true;
}

bool refuse(ReplyHead& reply, const char* why) {
  reply.refusal = why;
  return false;
}

}  // namespace

std::string trimmedBlanks(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> headerFieldValues(const std::string& head, const char* name) {
  std::vector<std::string> values;
  std::vector<std::string> lines = headLines(head);
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t colon = lines[i].find(':');
    if (colon != std::string::npos && equalsIgnoringAsciiCase(lines[i].substr(0, colon), name))
      values.push_back(trimmedBlanks(lines[i].substr(colon + 1)));
  }
  return values;
}

bool singleFieldValue(const std::string& head, const char* name, std::string& value) {
  std::vector<std::string> values = headerFieldValues(head, name);
  if (values.empty()) return false;
  for (const std::string& other : values)
    if (other != values.front()) return false;
  value = values.front();
  return true;
}

bool readReplyHead(const std::string& head, ReplyHead& reply) {
  if (head.size() > MAX_REPLY_HEAD) return refuse(reply, "its head is longer than 256 KiB");
  std::vector<std::string> lines = headLines(head);
  char minor = 0;
  if (lines.empty() || !readStatusLine(lines[0], reply.status, minor))
    return refuse(reply, "its status line is not \"HTTP/1.x\", a blank and three digits");
  if (hasBlankBeforeColon(lines, "Transfer-Encoding") ||
      hasBlankBeforeColon(lines, "Content-Length"))
    return refuse(reply, "a framing field has white space before its colon");

  std::vector<std::string> codings = listElements(headerFieldValues(head, "Transfer-Encoding"));
  std::vector<std::string> lengths = listElements(headerFieldValues(head, "Content-Length"));
  if (reply.status < 200 || reply.status == 204 || reply.status == 304) {
    reply.framing = BodyFraming::None;
    return true;
  }
  if (!codings.empty()) {
    if (minor == '0' || codings.size() != 1 || !equalsIgnoringAsciiCase(codings[0], "chunked"))
      return refuse(reply,
                    "it names a transfer coding other than one \"chunked\" (or any, as HTTP/1.0)");
    reply.framing = BodyFraming::Chunked;
    return true;
  }
  if (lengths.empty()) {
    reply.framing = BodyFraming::UntilClose;
    return true;
  }
  for (size_t i = 0; i < lengths.size(); ++i) {
    uint64_t value = 0;
    if (!readLength(lengths[i], value) || (i > 0 && value != reply.contentLength))
      return refuse(reply, "its Content-Length values differ or are not decimal numbers");
    reply.contentLength = value;
  }
  reply.framing = BodyFraming::Length;
  return true;
}

namespace {

// Decimal digits up to `end` (the string's end when it is '\0'), moving
// `at` past them and past `end`.
bool readDecimal(const std::string& text, size_t& at, char end, uint64_t& value) {
  size_t start = at;
  value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (at == start) return false;
  if (end == '\0') return at == text.size();
  if (at >= text.size() || text[at] != end) return false;
  ++at;
  return true;
}

}  // namespace

bool readContentRange(const std::string& value, uint64_t& first, uint64_t& last, uint64_t& total) {
  if (value.compare(0, 6, "bytes ") != 0) return false;
  size_t at = 6;
  return readDecimal(value, at, '-', first) && readDecimal(value, at, '/', last) &&
         readDecimal(value, at, '\0', total) && first <= last && last < total;
}
