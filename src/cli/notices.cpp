#include "cli/notices.h"

#include "formpost/failure_cause.h"
#include "formpost/form_request.h"
#include "formpost/trace.h"
#include "platform/ascii.h"
#include "platform/console.h"
#include "platform/environment.h"

namespace {

const std::string PROGRAM = "tarvolin-agent: ";

void traceToStandardError(const std::string& line) {
  writeErr(line + "\n");
}

// A key written onto its option ("-kSECRET") is skipped like any unknown
// word, but must not be shown.
bool looksLikeAttachedKey(const std::string& word) {
  return word.size() > 2 &&
         (startsWithIgnoringAsciiCase(word, "-k") || startsWithIgnoringAsciiCase(word, "/k"));
}

}  // namespace

void noteIgnoredArguments(const RunSettings& settings) {
  for (const std::string& word : settings.ignoredArguments) {
    if (looksLikeAttachedKey(word))
      note("ignored argument '" + word.substr(0, 2) +
           "...' (not shown: it may hold a key; give the key as the next argument)");
    else
      note("ignored argument '" + word + "'");
  }
}

void note(const std::string& text) {
  writeErr(PROGRAM + text + "\n");
}

void noteFailure(const char* call, const std::string& cause) {
  note(std::string(call) + ": " + cause);
}

void noteExchangeFailure(const char* call, const FormRequest& request) {
  if (!request.failure.cause.empty()) {
    noteFailure(call, request.failure.cause);
  } else if (request.statusCode == 0) {
    noteFailure(call, endpointOf(request) + " sent no HTTP status");
  } else if (request.statusCode == 407 && !request.exchange.proxy.empty()) {
    // The proxy answered, not the service.
    noteFailure(call, "the proxy " + maskedUrl(request.exchange.proxy) +
                          " answered with HTTP status 407 (Proxy Authentication Required) "
                          "instead of passing the request on to " +
                          endpointOf(request));
  } else {
    noteFailure(call, endpointOf(request) + " answered with HTTP status " +
                          std::to_string(request.statusCode) + " instead of 200");
  }
}

void traceWhenWanted(FormRequest& request) {
  std::string wanted = environmentVariable(TRACE_VARIABLE);
  if (!wanted.empty() && wanted != "0") request.traceLine = traceToStandardError;
}
