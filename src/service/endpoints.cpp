#include "service/endpoints.h"

#include <string>

#include "formpost/form_request.h"
#include "platform/ascii.h"
#include "platform/environment.h"
#include "platform/http.h"
#include "platform/paths.h"
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
  if (value.empty()) {
    if (*BUILT_IN_SERVICE_ROOT == '\0') {
      refusal = std::string("this program has no built-in service: set ") + SERVICE_URL_VARIABLE +
                " to the service's folder (such as https://sign.example.com/tarvolinFE/)";
      return false;
    }
    root.url = BUILT_IN_SERVICE_ROOT;
    root.fromEnvironment = false;
    return true;
  }
  if (!serviceRootFromValue(value, root.url)) {
    refusal = std::string(SERVICE_URL_VARIABLE) + " is not an http:// or https:// URL of the " +
              "service's folder (such as https://sign.example.com/tarvolinFE/): '" + value + "'";
    return false;
  }
  root.fromEnvironment = true;
  return true;
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
