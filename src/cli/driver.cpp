#include "cli/driver.h"

#include <string>

#include "cli/options.h"
#include "cli/progress.h"
#include "formpost/form_request.h"
#include "formpost/step_codes.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/system_error.h"
#include "service/endpoints.h"
#include "service/reply.h"

namespace {

constexpr int32_t FAILURE = 1;
constexpr int32_t HTTP_OK = 200;

// The system's text for the error the call that just failed left; nothing
// when the system has none.
void writeSystemMessage() {
  writeOut(systemMessage(lastSystemError()));
}

// A request whose fields could not all be added is not sent: it would go out
// without them.
int32_t outOfMemory() {
  writeErr("tarvolin-agent: out of memory: the request's form fields could not be added\n");
  return FAILURE;
}

// Sends `request` to `url`, showing the transfer when `progress` is given.
// True on status 200; otherwise the server's text or the transport's error
// line is written.
bool exchange(FormRequest& request, const char* url, TransferProgress* progress = nullptr) {
  if (progress) request.progress = progress->hook();
  request.send(url);
  if (progress) progress->finish();
  if (request.statusCode == HTTP_OK) return true;
  writeOut(request.replyBody);
  return false;
}

int32_t runUpgrade() {
  FormRequest query;
  prepareUpgradeQuery(query);
  if (!exchange(query, UPGRADE_QUERY_URL)) return FAILURE;
  ServiceReply reply;
  reply.parseReply(query.replyBody.c_str());
  if (!reply.url.empty()) openWebPage(reply.url);
  // The upgrade page's code is informative only.
  reply.printServiceMessage();
  return 0;
}

// Version check and upload; on success `reply` holds the download URL.
// Returns 0 to go on, else the exit code.
int32_t askService(ServiceReply& reply) {
  const RunSettings& settings = runSettings;
  {
    FormRequest check;
    if (!prepareVersionCheck(check, settings.authKey, settings.programVersion))
      return outOfMemory();
    if (!exchange(check, VERSION_CHECK_URL)) return FAILURE;
    reply.parseReply(check.replyBody.c_str());
    if (reply.code != 0) return reply.printServiceMessage();
  }
  FormRequest upload;
  std::string missingInput;
  if (!prepareUpload(upload, settings.authKey, settings.programVersion, settings.inputFiles,
                     missingInput)) {
    if (missingInput.empty()) return outOfMemory();
    writeOut("[" + missingInput + INPUT_MISSING_TEXT);
    return FAILURE;
  }
  TransferProgress progress("Uploading", true);
  if (!exchange(upload, UPLOAD_URL, &progress)) return FAILURE;
  reply.parseReply(upload.replyBody.c_str());
  if (reply.code != 0) return reply.printServiceMessage();
  return 0;
}

int32_t runSigningJob() {
  RunSettings& settings = runSettings;
  if (settings.authKey.empty() || settings.inputFiles.empty()) {
    printUsage();
    return FAILURE;
  }
  for (const std::string& input : settings.inputFiles) {
    if (!fileExists(input)) {
      writeOut("[" + input + INPUT_MISSING_TEXT);
      return FAILURE;
    }
  }

  ServiceReply reply;
  if (int32_t refusal = askService(reply)) return refusal;

  std::string directory = tempDirectory();
  std::string tempFile;
  if (directory.empty() || !createTempFile(directory, "tvf", tempFile)) {
    writeSystemMessage();
    return FAILURE;
  }

  {
    FormRequest download;
    prepareDownload(download, tempFile);
    TransferProgress progress("Downloading", false);
    if (!exchange(download, reply.url.c_str(), &progress)) {
      // Nothing usable came: leave no half-written file behind.
      deleteFile(tempFile);
      return FAILURE;
    }
  }

  if (settings.outputFile.empty()) {
    settings.outputFile = outputNameFromUrl(reply.url);
    if (settings.outputFile.empty()) {
      writeOut(NO_OUTPUT_NAME_TEXT);
      return FAILURE;
    }
  }
  if (!copyFileOverwriting(tempFile, settings.outputFile)) {
    writeSystemMessage();
    return FAILURE;
  }
  if (!deleteFile(tempFile)) {
    // The output is in place; only the clean-up failed.
    writeSystemMessage();
    return 0;
  }
  writeOut("Succeeded.\n");
  return 0;
}

}  // namespace

int32_t runAgent() {
  startDesktopLibraries();
  int32_t exitCode = runSettings.upgradeMode ? runUpgrade() : runSigningJob();
  stopDesktopLibraries();
  return exitCode;
}
