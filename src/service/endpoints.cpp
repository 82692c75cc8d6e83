#include "service/endpoints.h"

#include <string>

#include "formpost/form_request.h"
#include "platform/paths.h"
#include "platform/text.h"

#define SERVICE_ROOT "http://" TARVOLIN_SERVICE_HOST ":8080/tarvolinFE/"

const char* const UPGRADE_QUERY_URL = SERVICE_ROOT "version.aspx?type=upgrade";
const char* const VERSION_CHECK_URL = SERVICE_ROOT "version.aspx";
const char* const UPLOAD_URL = SERVICE_ROOT "upload.aspx";

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
