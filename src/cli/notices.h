// What the agent tells people beside its results, all on standard error:
// skipped words, why a step failed, and the trace of each exchange.
#pragma once

#include <string>

#include "cli/options.h"

struct FormRequest;

// The environment variable that switches the trace on ("1").
constexpr const char* TRACE_VARIABLE = "TARVOLIN_TRACE";

// "tarvolin-agent: ignored argument '<word>'", one line per skipped word.
void noteIgnoredArguments(const RunSettings& settings);
// "tarvolin-agent: <text>": a note for people, beside the exact texts of
// standard output.
void note(const std::string& text);
// "tarvolin-agent: <call>: <cause>".
void noteFailure(const char* call, const std::string& cause);
// Why `request` did not end with status 200: the transport's failure cause,
// or the status the server answered with.
void noteExchangeFailure(const char* call, const FormRequest& request);
// Gives `request` the trace when TRACE_VARIABLE asks for it.
void traceWhenWanted(FormRequest& request);
