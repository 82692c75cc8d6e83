#include "service/reply.h"

#include <tinyxml.h>

#include <string>

#include "platform/ascii.h"
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

// What TinyXML spends grows with what it is given: a node per element and
// comment, a copy of every text, and a stack frame per nesting level (the
// Windows main thread has 1 MiB). The service's replies are a few hundred
// bytes with a handful of elements, so a reply far beyond that is refused
// like one without <result>. Every node that can hold or open another begins
// with a "<", so their count bounds both the nodes and the depth, whatever
// the markup around them pretends to be.
constexpr size_t MAX_PARSED_REPLY = 1024 * 1024;
constexpr size_t MAX_MARKUP_OPENINGS = 1024;

bool tooCostlyToParse(const char* body) {
  size_t openings = 0;
  size_t length = 0;
  for (; body[length] != '\0'; ++length) {
    if (length == MAX_PARSED_REPLY) return true;
    if (body[length] == '<' && ++openings > MAX_MARKUP_OPENINGS) return true;
  }
  return false;
}

}  // namespace

// Whatever the parser built before an error is used: a reply that breaks off
// after some children still yields those.
bool ServiceReply::parseReply(const char* body) {
  if (body == nullptr || tooCostlyToParse(body)) return false;
  TiXmlDocument document;
  document.Parse(body, nullptr, TIXML_ENCODING_LEGACY);
  const TiXmlElement* result = document.FirstChildElement("result");
  if (result == nullptr) return false;
  code = leadingInteger(childValue(result, "code").c_str());
  title = childValue(result, "title");
  text = childValue(result, "text");
  url = childValue(result, "url");
  return true;
}

int32_t ServiceReply::printServiceMessage() const {
  if (!title.empty()) writeOut(title + "\n\n");
  writeOut(text + "\n");
  return code;
}
