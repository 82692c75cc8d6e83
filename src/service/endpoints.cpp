#include "service/endpoints.h"

#include <string>

#include "formpost/form_request.h"
#include "formpost/retry.h"
#include "formpost/step_codes.h"
#include "platform/ascii.h"
#include "platform/environment.h"
#include "platform/http.h"
#include "platform/net_faults.h"
#include "platform/paths.h"
#include "platform/pause.h"
#include "platform/text.h"

const char* const BUILT_IN_SERVICE_ROOT =
    sizeof(TARVOLIN_SERVICE_HOST) > 1 ? "http://" TARVOLIN_SERVICE_HOST ":8080/tarvolinFE/" : "";

namespace {

// The port a URL's authority names is a number up to 65535, or none; some
// URL splitters cut a larger one down to 16 bits instead of refusing it.
bool portIsValid(const std::string& url) {
  size_t start = url.find("://") + 3;
  size_t end = url.find('/', start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  authority.erase(0, authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  size_t colon = authority.rfind(':');
  if (colon == std::string::npos || authority.find(']', colon) != std::string::npos) return true;
  std::string digits = authority.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  return digits.empty() || std::stoul(digits) <= 65535;
}

}  // namespace

bool serviceRootFromValue(const std::string& value, std::string& root) {
  if (!startsWithIgnoringAsciiCase(value, "http://") &&
      !startsWithIgnoringAsciiCase(value, "https://"))
    return false;
  // The calls' names are appended to the root: a query or fragment would
  // swallow them, and blanks or control characters have no place in a URL.
  for (char c : value)
    if (static_cast<unsigned char>(c) <= ' ' || c == '?' || c == '#' || c == 0x7F) return false;
  std::string candidate = value;
  if (candidate.back() != '/') candidate += '/';
  UrlParts parts;
  if (!portIsValid(candidate) || !crackUrl(candidate, parts) || parts.hostName.empty())
    return false;
  root = candidate;
  return true;
}

bool findServiceRoot(ServiceRoot& root, std::string& refusal) {
  std::string value = environmentVariable(SERVICE_URL_VARIABLE);
  root.urls.clear();
  // Blanks and commas separate roots; neither has a place in one.
  size_t at = 0;
  while ((at = value.find_first_not_of(" \t,", at)) != std::string::npos) {
    size_t end = value.find_first_of(" \t,", at);
    if (end == std::string::npos) end = value.size();
    const std::string word = value.substr(at, end - at);
    std::string url;
    if (!serviceRootFromValue(word, url)) {
      refusal = std::string(SERVICE_URL_VARIABLE) + " is not an http:// or https:// URL of the " +
                "service's folder (such as https://sign.example.com/tarvolinFE/): '" + word + "'";
      return false;
    }
    root.urls.push_back(url);
    at = end;
  }
  root.fromEnvironment = !root.urls.empty();
  if (root.urls.empty()) {
    if (*BUILT_IN_SERVICE_ROOT == '\0') {
      refusal = std::string("this program has no built-in service: set ") + SERVICE_URL_VARIABLE +
                " to the service's folder (such as https://sign.example.com/tarvolinFE/)";
      return false;
    }
    root.urls.push_back(BUILT_IN_SERVICE_ROOT);
  }
  root.url = root.urls[0];
  return true;
}

bool rootUnreachable(const FormRequest& request) {
  if (request.failure.cause.empty())
    return request.statusCode == 502 || request.statusCode == 503 || request.statusCode == 504;
  switch (request.failure.step) {
    case STEP_CONNECT:
    case STEP_SEND_GET:
    case STEP_SEND_POST:
      return isPassingNetError(request.exchange.number);
    default:
      return false;
  }
}

void sendToService(FormRequest& request, ServiceRoot& root, ServiceCallUrl urlOf) {
  size_t next = 0;
  while (next < root.urls.size() && root.urls[next] != root.url) ++next;
  for (;;) {
    request.send(urlOf(root.url).c_str());
    if (++next >= root.urls.size() || !rootUnreachable(request)) return;
    RetryPlan* plan = request.retryPlan;
    if (plan && plan->deadline != 0 && steadyMilliseconds() >= plan->deadline) return;
    if (plan && plan->noteRetry)
      plan->noteRetry(std::string(request.callName) + ": " + faultOf(request) +
                      "; trying the next service root, " + root.urls[next]);
    root.url = root.urls[next];
  }
}

std::string upgradeQueryUrl(const std::string& root) {
  return root + "version.aspx?type=upgrade";
}

std::string versionCheckUrl(const std::string& root) {
  return root + "version.aspx";
}

std::string uploadUrl(const std::string& root) {
  return root + "upload.aspx";
}

void prepareUpgradeQuery(FormRequest& request) {
  request.setSendMode(Get);
}

bool prepareVersionCheck(FormRequest& request, const std::string& authKey,
                         const std::string& programVersion) {
  request.setSendMode(MultipartPost);
  if (!request.addTextField("authId", authKey.c_str())) return false;
  return programVersion.empty() || request.addTextField("version", programVersion.c_str());
}

bool prepareUpload(FormRequest& request, const std::string& authKey,
                   const std::string& programVersion, const std::vector<std::string>& inputFiles,
                   std::string& missingInput) {
  missingInput.clear();
  if (!prepareVersionCheck(request, authKey, programVersion)) return false;
  for (size_t i = 0; i < inputFiles.size(); ++i) {
    std::string fieldName = "filename" + std::to_string(i + 1);
    if (!request.addFileField(fieldName.c_str(), inputFiles[i].c_str())) {
      missingInput = inputFiles[i];
      return false;
    }
  }
  return true;
}

void prepareDownload(FormRequest& request, const std::string& replyFile) {
  request.setSendMode(Get);
  request.setReplyFile(replyFile.c_str());
}

std::string outputNameFromUrl(const std::string& url) {
  size_t slash = findLastChar(url, '/');
  if (slash == std::string::npos) return std::string();
  // The last segment first, and only then the query and fragment cut off:
  // ".../get?name=x/y.bin" names y.bin. "?" and "#" are never the trail byte
  // of a double-byte character, so a plain byte search finds the real ones.
  std::string name = url.substr(slash + 1);
  name = name.substr(0, name.find_first_of("?#"));
  if (name.empty() || name == "." || name == ".." || holdsPathSyntax(name) ||
      isReservedFileName(name))
    return std::string();
  return name;
}
