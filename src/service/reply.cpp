#include "service/reply.h"

#include <tinyxml.h>

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

}  // namespace

// Whatever the parser built before an error is used: a reply that breaks off
// after some children still yields those.
void ServiceReply::parseReply(const char* body) {
  if (body == nullptr) return;
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
