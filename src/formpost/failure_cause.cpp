#include "formpost/failure_cause.h"

#include "formpost/form_request.h"
#include "formpost/step_codes.h"
#include "formpost/trace.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/http_rules.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "platform/text.h"

namespace {

std::string oneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

std::string explained(const std::string& text, unsigned long number) {
  if (text.empty()) return " (error " + std::to_string(number) + ")";
  return " (" + text + ")";
}

// The system's reason where the exchange found one, else the library's text
// for the number.
std::string netExplanation(const FormRequest& request, unsigned long number) {
  const std::string& reason = request.exchange.reason;
  return explained(oneLine(reason.empty() ? netErrorText(number) : reason), number);
}

// The low-speed rule's words: less than LOW_SPEED_LIMIT bytes a second on
// average over its window.
std::string tooSlow(const char* moved, const std::string& host) {
  return "timed out: less than " + std::to_string(LOW_SPEED_LIMIT) + " bytes a second " + moved +
         " " + host + " over " + std::to_string(LOW_SPEED_WINDOW_SECONDS) + " s";
}

}  // namespace

std::string endpointOf(const FormRequest& request) {
  return request.urlParts.hostName + ":" + std::to_string(request.urlParts.port);
}

std::string systemExplanation(unsigned long number) {
  return oneLine(systemMessage(number));
}

std::string folderOf(const std::string& path) {
  size_t folderLength = path.size() - lastPathSegment(path).size();
  if (folderLength == 0) return ".";
  // The separator goes, unless it is all there is ("/").
  return folderLength == 1 ? path.substr(0, 1) : path.substr(0, folderLength - 1);
}

std::string networkFailureCause(const FormRequest& request, int32_t stepCode, unsigned long number,
                                const std::string& sentFile) {
  std::string endpoint = endpointOf(request);
  // Through a proxy, the proxy is what the agent connects to.
  const std::string& proxy = request.exchange.proxy;
  if (!proxy.empty()) endpoint += " through the proxy " + maskedUrl(proxy);
  const std::string& host = request.urlParts.hostName;
  const bool timedOut = number == NET_ERRORS.timedOut;
  switch (stepCode) {
    case STEP_OPEN_SESSION:
      return "could not start the HTTP library" + netExplanation(request, number);
    case STEP_CONNECT:
      return "could not set up a connection to " + endpoint + netExplanation(request, number);
    case STEP_OPEN_REQUEST:
      return "could not open a request to " + endpoint + netExplanation(request, number);
    case STEP_ADD_AGENT_HEADER:
    case STEP_ADD_CONTENT_TYPE:
    case STEP_ADD_CONTENT_LENGTH:
      return "could not add a header to the request for " + endpoint +
             netExplanation(request, number);
    case STEP_SEND_GET:
    case STEP_SEND_POST:
      if (timedOut)
        return "timed out: no connection to " + endpoint + " within " +
               std::to_string(LOW_SPEED_WINDOW_SECONDS) + " s";
      return "could not connect to " + endpoint + netExplanation(request, number);
    case STEP_WRITE_TEXT_PART:
    case STEP_WRITE_FILE_HEADER:
    case STEP_WRITE_FILE_CONTENT:
    case STEP_WRITE_FILE_TRAILER:
    case STEP_WRITE_CLOSING_DELIMITER:
      if (timedOut) return tooSlow("of the upload taken by", host);
      return "the connection to " + endpoint + " failed while sending " +
             (sentFile.empty() ? std::string("the form") : sentFile) +
             netExplanation(request, number);
    case STEP_END_REQUEST:
    case STEP_QUERY_STATUS:
      if (timedOut) return tooSlow("received from", host);
      if (!request.exchange.refusal.empty())
        return "the reply from " + endpoint + " was refused: " + request.exchange.refusal;
      if (number == NET_ERRORS.replyFraming)
        return "the reply from " + endpoint + " is not a well-formed HTTP reply" +
               netExplanation(request, number);
      return "no reply from " + endpoint + netExplanation(request, number);
    case STEP_READ_REPLY:
      if (timedOut) return tooSlow("received from", host);
      if (number == NET_ERRORS.replyFraming)
        return "the reply from " + endpoint + " breaks its own framing" +
               netExplanation(request, number);
      if (number == NET_ERRORS.replyTooLarge)
        return "the reply from " + endpoint + " is larger than " +
               std::to_string(MAX_REPLY_IN_MEMORY / (1024 * 1024)) + " MiB";
      return "the connection to " + endpoint + " failed while receiving the reply" +
             netExplanation(request, number);
    default:
      return "step " + std::to_string(stepCode) + " failed for " + endpoint +
             netExplanation(request, number);
  }
}

std::string fileFailureCause(const char* doing, const std::string& path, unsigned long number,
                             const std::string& what) {
  if (isDiskFullError(number))
    return "no space left on " + folderOf(path) + " while saving " + what;
  return std::string("cannot ") + doing + " " + path + explained(systemExplanation(number), number);
}
