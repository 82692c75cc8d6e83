// The signing service's calls: their fixed URLs and the form fields each
// carries. The driver decides when to make them and what the replies mean.
#pragma once

#include <string>
#include <vector>

struct FormRequest;

// The environment variable that names the service's root at run time.
constexpr const char* SERVICE_URL_VARIABLE = "TARVOLIN_SERVICE_URL";
// "http://" + the compiled-in service host + ":8080/tarvolinFE/"; empty in a
// program built without a service host, which then has none.
extern const char* const BUILT_IN_SERVICE_ROOT;

// The folder that holds version.aspx and upload.aspx, and where it came from.
// SERVICE_URL_VARIABLE may name several, separated by blanks or commas: a
// call that cannot reach one goes on to the next, and the one that answered
// serves every call after it.
struct ServiceRoot {
  std::string url;                // the root calls go to now
  std::vector<std::string> urls;  // every root, in the order given
  bool fromEnvironment = false;
};

// The URL of a call under a root (versionCheckUrl, uploadUrl...).
using ServiceCallUrl = std::string (*)(const std::string& root);

// Sends `request` to the call `urlOf` names under the current root and, while
// a root cannot be reached (no connection could be made, or 502, 503 or 504
// on every attempt), under each root after it. The root that answered
// becomes the current one; the request holds the last root's outcome.
void sendToService(FormRequest& request, ServiceRoot& root, ServiceCallUrl urlOf);

// Whether the last attempt of `request` could not reach its root.
bool rootUnreachable(const FormRequest& request);

// The root a value of SERVICE_URL_VARIABLE names: an absolute http:// or
// https:// URL with a host and without query or fragment, given a trailing
// "/" when it has none. False when the value is not such a URL.
bool serviceRootFromValue(const std::string& value, std::string& root);
// SERVICE_URL_VARIABLE when it is set and not empty, else the built-in root.
// False, with `refusal` saying why in one line, when the variable holds
// something else than a service root, or is empty where no root is built in.
bool findServiceRoot(ServiceRoot& root, std::string& refusal);

std::string upgradeQueryUrl(const std::string& root);
std::string versionCheckUrl(const std::string& root);
std::string uploadUrl(const std::string& root);

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
