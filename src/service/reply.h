// The service's XML reply: a verdict code and three texts.
#pragma once

#include <cstdint>
#include <string>

struct ServiceReply {
  std::string title;
  std::string text;
  std::string url;
  // Not accepted until a reply says so: a version check answered with a body
  // that holds no <result> must end the run, not pass as acceptance.
  int32_t code = 1;

  // Replaces all four fields when `body` has a top-level <result>, else none;
  // true when it had one.
  bool parseReply(const char* body);
  // Writes the title (then a blank line) when there is one, then the text and
  // a line end. Returns code.
  int32_t printServiceMessage() const;
};
