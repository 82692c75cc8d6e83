// The signing service's calls: their fixed URLs and the form fields each
// carries. The driver decides when to make them and what the replies mean.
#pragma once

#include <string>
#include <vector>

struct FormRequest;

// "http://" + the compiled-in service host + ":8080/tarvolinFE/...".
extern const char* const UPGRADE_QUERY_URL;
extern const char* const VERSION_CHECK_URL;
extern const char* const UPLOAD_URL;

// A GET without fields.
void prepareUpgradeQuery(FormRequest& request);
// "authId", then "version" when `programVersion` is not empty; a form post.
// False when a field could not be added (out of memory).
bool prepareVersionCheck(FormRequest& request, const std::string& authKey,
                         const std::string& programVersion);
// The version check's fields, then one file field "filename1", "filename2"...
// per input, in order. False when a field could not be added: `missingInput`
// names the input that vanished after it was checked, or is empty when memory
// ran out.
bool prepareUpload(FormRequest& request, const std::string& authKey,
                   const std::string& programVersion, const std::vector<std::string>& inputFiles,
                   std::string& missingInput);
// A GET whose reply, when its status is 200, goes into `replyFile`.
void prepareDownload(FormRequest& request, const std::string& replyFile);

// The name under which a download is saved when no output path is given: the
// URL's last segment, without query or fragment. Empty when the URL has none
// that names a file in the current directory.
std::string outputNameFromUrl(const std::string& url);
