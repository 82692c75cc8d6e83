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

void prepareVersionCheck(FormRequest& request, const std::string& authKey,
                         const std::string& programVersion) {
  request.addTextField("authId", authKey.c_str());
  if (!programVersion.empty()) request.addTextField("version", programVersion.c_str());
  request.setSendMode(MultipartPost);
}

bool prepareUpload(FormRequest& request, const std::string& authKey,
                   const std::string& programVersion, const std::vector<std::string>& inputFiles,
                   std::string& missingInput) {
  prepareVersionCheck(request, authKey, programVersion);
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
  // "?" and "#" are never the trail byte of a double-byte character, so a
  // plain byte search finds the real ones.
  std::string withoutQuery = url.substr(0, url.find_first_of("?#"));
  size_t slash = findLastChar(withoutQuery, '/');
  if (slash == std::string::npos) return std::string();
  std::string name = withoutQuery.substr(slash + 1);
  if (name.empty() || name == "." || name == ".." || holdsPathSyntax(name)) return std::string();
  return name;
}
