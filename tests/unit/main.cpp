#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  // What a caller (or a CI job following the README) may have exported must
  // not change what the tests see: the key stands in for -k, the proxy and
  // certificate settings steer the transport, and TMPDIR moves the scratch
  // folders. A test that needs one of them sets it itself.
  for (const char* name : {"TARVOLIN_AUTH_KEY", "http_proxy", "HTTP_PROXY", "https_proxy",
                           "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY",
                           "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR", "TMPDIR"})
    clearEnvironmentVariable(name);
  // Like the agent, the tests take their code page from the environment, so
  // the same binary runs under a double-byte locale too.
  initAnsiCodePage();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
