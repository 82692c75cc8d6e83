#include "platform/http_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Redirects, FollowedStatusesByVerb) {
  struct Case {
    const char* verb;
    int status;
    bool follows;
  };
  const Case cases[] = {
      {"GET", 301, true},   {"GET", 302, true},   {"GET", 303, true},  {"GET", 307, true},
      {"GET", 308, true},   {"GET", 300, false},  {"GET", 304, false}, {"GET", 200, false},
      {"POST", 301, true},  {"POST", 302, true},  {"POST", 303, true}, {"POST", 307, false},
      {"POST", 308, false}, {"POST", 200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " " + std::to_string(c.status));
    EXPECT_EQ(c.follows, followsRedirect(c.verb, c.status));
  }
}

TEST(Redirects, LocationReadRelativeToTheHopThatAnswered) {
  struct Case {
    const char* host;
    uint16_t port;
    bool secure;
    const char* objectName;
    const char* location;
    const char* resolved;
  };
  const Case cases[] = {
      {"h", 8080, false, "/d/p.aspx?q=1", "HTTPS://other:81/x", "HTTPS://other:81/x"},
      {"h", 443, true, "/d/p", "//cdn/y", "https://cdn/y"},
      {"h", 8080, false, "/d/p.aspx?q=1", "/a/b?c", "http://h:8080/a/b?c"},
      {"h", 80, false, "/d/p.aspx?q=1#f", "c.bin", "http://h/d/c.bin"},
      {"h", 443, true, "/d/p?q=1#f", "?n=2", "https://h/d/p?n=2"},
      {"h", 80, false, "/d/p?q=1", "#top", "http://h/d/p#top"},
      {"h", 80, false, "/d/p?q=1", "", "http://h/d/p"},
      {"h", 80, false, "", "x", "http://h/x"},
      {"::1", 8080, false, "/d/", "x", "http://[::1]:8080/d/x"},
      {"[::1]", 80, false, "/", "/x", "http://[::1]/x"},
      {"h", 80, false, "/d/p", "mailto:a@b", "mailto:a@b"},
      {"h", 80, false, "/d/p", "a/b:c", "http://h/d/a/b:c"},
      {"h", 80, false, "/a/b/c/d;p?q", "../g", "http://h/a/b/g"},
      {"h", 80, false, "/a/b/c/d;p?q", "../../g?x=../y", "http://h/a/g?x=../y"},
      {"h", 80, false, "/a/b/c/d;p?q", "../../../../g", "http://h/g"},
      {"h", 80, false, "/a/b/c/d;p?q", "./g/.", "http://h/a/b/c/g/"},
      {"h", 80, false, "/a/b/c/d;p?q", "g/../h/./..", "http://h/a/b/c/"},
      {"h", 80, false, "/a/b/c/d;p?q", "/./g/../x", "http://h/x"},
      {"h", 80, false, "/a/b/c/d;p?q", "..", "http://h/a/b/"},
      {"h", 80, false, "/a/b/c/d;p?q", "g..", "http://h/a/b/c/g.."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.objectName) + " + " + c.location);
    EXPECT_EQ(c.resolved, resolveLocation(c.host, c.port, c.secure, c.objectName, c.location));
  }
}

}  // namespace
