// A failed step in words, for people: what the agent was doing, what it
// worked on (a host and port, a file, a folder) and the system's explanation.
// The step codes on standard output stay as they are; these lines go beside
// them on standard error.
#pragma once

#include <cstdint>
#include <string>

struct FormRequest;

// "host:port" of the request's URL.
std::string endpointOf(const FormRequest& request);

// The connection or the HTTP library failed at `stepCode` with the error
// number `number` (HttpOutcome::number); `sentFile`, when given, is the file
// whose content was being sent.
std::string networkFailureCause(const FormRequest& request, int32_t stepCode, unsigned long number,
                                const std::string& sentFile = std::string());

// A file failed: it could not be opened, read or written (`doing` is "open",
// "read" or "write"), with the system's error number. A write that found the
// disk full names the folder instead: "no space left on /tmp while saving
// <what>".
std::string fileFailureCause(const char* doing, const std::string& path, unsigned long number,
                             const std::string& what);

// The folder part of a path, without its last separator; "." when it has none.
std::string folderOf(const std::string& path);

// The system's text for a file error, on one line, without its line end.
std::string systemExplanation(unsigned long number);
