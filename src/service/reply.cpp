#include "service/reply.h"

#include <tinyxml.h>

#include <cstring>
#include <string>

#include "platform/console.h"

namespace {

// The value of the first child node of the first element `name` under
// `result`, copied whole; empty when either is missing.
std::string childValue(const TiXmlElement* result, const char* name) {
  const TiXmlElement* element = result->FirstChildElement(name);
  if (element == nullptr) return {};
  const TiXmlNode* first = element->FirstChild();
  if (first == nullptr) return {};
  return first->Value();
}

bool isAsciiSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// Reads a number as atoi does (leading white space, optional sign, digits up
// to the first non-digit, 0 when there are none), but a number beyond the
// 32-bit range stops at its nearer limit instead of being undefined.
int32_t leadingInteger(const std::string& text) {
  size_t offset = 0;
  while (offset < text.size() && isAsciiSpace(text[offset])) ++offset;
  bool negative = false;
  if (offset < text.size() && (text[offset] == '+' || text[offset] == '-')) {
    negative = text[offset] == '-';
    ++offset;
  }
  const int64_t limit = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
  int64_t magnitude = 0;
  for (; offset < text.size() && text[offset] >= '0' && text[offset] <= '9'; ++offset) {
    magnitude = magnitude * 10 + (text[offset] - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

// The parser descends once per nested element, on the stack: a hostile reply
// nested deep enough would overflow it (the Windows main thread has 1 MiB).
// The service's documents are two levels deep.
constexpr int MAX_ELEMENT_DEPTH = 256;

// Skips from `from` past the next `terminator`; npos when there is none.
size_t skipPast(const char* body, size_t from, const char* terminator) {
  const char* found = std::strstr(body + from, terminator);
  return found == nullptr ? std::string::npos : (found - body) + std::strlen(terminator);
}

// True when elements nest deeper than `limit` anywhere in `body`. Comments,
// CDATA sections and declarations are passed over whole, so markup quoted in
// them does not count.
bool nestsDeeperThan(const char* body, int limit) {
  int depth = 0;
  size_t at = 0;
  while (at != std::string::npos && body[at] != '\0') {
    if (body[at] != '<') {
      ++at;
    } else if (std::strncmp(body + at, "<!--", 4) == 0) {
      at = skipPast(body, at, "-->");
    } else if (std::strncmp(body + at, "<![CDATA[", 9) == 0) {
      at = skipPast(body, at, "]]>");
    } else if (body[at + 1] == '?') {
      at = skipPast(body, at, "?>");
    } else if (body[at + 1] == '!') {
      at = skipPast(body, at, ">");
    } else if (body[at + 1] == '/') {
      --depth;
      at = skipPast(body, at, ">");
    } else {
      // A start tag: find its end outside quoted attribute values.
      char quote = 0;
      size_t end = at + 1;
      for (; body[end] != '\0'; ++end) {
        if (quote != 0) {
          if (body[end] == quote) quote = 0;
        } else if (body[end] == '"' || body[end] == '\'') {
          quote = body[end];
        } else if (body[end] == '>') {
          break;
        }
      }
      if (body[end] == '\0') return false;
      if (body[end - 1] != '/' && ++depth > limit) return true;
      at = end + 1;
    }
  }
  return false;
}

}  // namespace

// Whatever the parser built before an error is used: a reply that breaks off
// after some children still yields those.
void ServiceReply::parseReply(const char* body) {
  if (body == nullptr || nestsDeeperThan(body, MAX_ELEMENT_DEPTH)) return;
  TiXmlDocument document;
  document.Parse(body, nullptr, TIXML_ENCODING_LEGACY);
  const TiXmlElement* result = document.FirstChildElement("result");
  if (result == nullptr) return;
  code = leadingInteger(childValue(result, "code"));
  title = childValue(result, "title");
  text = childValue(result, "text");
  url = childValue(result, "url");
}

int32_t ServiceReply::printServiceMessage() const {
  if (!title.empty()) writeOut(title + "\n\n");
  writeOut(text + "\n");
  return code;
}
