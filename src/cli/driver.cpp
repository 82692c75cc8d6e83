#include "cli/driver.h"

#include <string>

#include "cli/notices.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "formpost/failure_cause.h"
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

// The service's root for this run; set before the first request.
ServiceRoot serviceRoot;

// The system's text for the error the call that just failed left; nothing
// when the system has none. Returns that error.
unsigned long writeSystemMessage() {
  unsigned long error = lastSystemError();
  writeOut(systemMessage(error));
  return error;
}

// Sends `request` to `url`, showing the transfer when `progress` is given.
// True on status 200; otherwise the server's text or the transport's error
// line is written, and why on standard error.
bool exchange(const char* call, FormRequest& request, const std::string& url,
              TransferProgress* progress = nullptr) {
  if (progress) request.progress = progress->hook();
  traceWhenWanted(request);
  request.send(url.c_str());
  if (progress) progress->finish();
  if (request.statusCode == HTTP_OK) return true;
  writeOut(request.replyBody);
  noteExchangeFailure(call, request);
  return false;
}

// False, after saying why, when TARVOLIN_SERVICE_URL holds no service root.
bool settleServiceRoot() {
  std::string refusal;
  if (findServiceRoot(serviceRoot, refusal)) return true;
  writeErr("tarvolin-agent: " + refusal + "\n");
  return false;
}

int32_t printVersion() {
  writeOut(versionLine() + "\n");
  if (!settleServiceRoot()) return FAILURE;
  writeOut("service " + serviceRoot.url +
           (serviceRoot.fromEnvironment ? std::string(" (from ") + SERVICE_URL_VARIABLE + ")"
                                        : std::string(" (built in)")) +
           "\n");
  return 0;
}

int32_t runUpgrade() {
  if (!settleServiceRoot()) return FAILURE;
  FormRequest query;
  prepareUpgradeQuery(query);
  if (!exchange("upgrade query", query, upgradeQueryUrl(serviceRoot.url))) return FAILURE;
  ServiceReply reply;
  reply.parseReply(query.replyBody.c_str());
  if (!reply.url.empty() && !openWebPage(reply.url))
    writeErr("tarvolin-agent: the upgrade page could not be opened; its address is " + reply.url +
             "\n");
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
    prepareVersionCheck(check, settings.authKey, settings.programVersion);
    if (!exchange("version check", check, versionCheckUrl(serviceRoot.url))) return FAILURE;
    reply.parseReply(check.replyBody.c_str());
    if (reply.code != 0) return reply.printServiceMessage();
  }
  FormRequest upload;
  std::string missingInput;
  if (!prepareUpload(upload, settings.authKey, settings.programVersion, settings.inputFiles,
                     missingInput)) {
    writeOut("[" + missingInput + INPUT_MISSING_TEXT);
    return FAILURE;
  }
  TransferProgress progress("Uploading", true);
  if (!exchange("upload", upload, uploadUrl(serviceRoot.url), &progress)) return FAILURE;
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
    // A pattern is not a file: it would match when checked and fail when sent.
    bool pattern = input.find_first_of("*?") != std::string::npos;
    if (!fileExists(input) || (pattern && !existsAsWritten(input))) {
      writeOut("[" + input + INPUT_MISSING_TEXT);
      return FAILURE;
    }
  }
  if (!settleServiceRoot()) return FAILURE;

  ServiceReply reply;
  if (int32_t refusal = askService(reply)) return refusal;

  std::string directory = tempDirectory();
  std::string tempFile;
  if (directory.empty() || !createTempFile(directory, "tvf", tempFile)) {
    unsigned long error = writeSystemMessage();
    noteFailure("download", directory.empty()
                                ? "no temporary folder (" + systemExplanation(error) + ")"
                                : "cannot make a temporary file in " + directory + " (" +
                                      systemExplanation(error) + ")");
    return FAILURE;
  }

  {
    FormRequest download;
    prepareDownload(download, tempFile);
    TransferProgress progress("Downloading", false);
    if (!exchange("download", download, reply.url, &progress)) {
      // Nothing usable came: leave no half-written file behind.
      deleteFile(tempFile);
      return FAILURE;
    }
  }

  if (settings.outputFile.empty()) {
    settings.outputFile = outputNameFromUrl(reply.url);
    if (settings.outputFile.empty()) {
      writeOut(NO_OUTPUT_NAME_TEXT);
      noteFailure("saving", "no file name in the download address " + reply.url +
                                "; give one with -o. The signed result is kept in " + tempFile);
      return FAILURE;
    }
  }
  if (!copyFileOverwriting(tempFile, settings.outputFile)) {
    unsigned long error = writeSystemMessage();
    noteFailure("saving",
                fileFailureCause("write", settings.outputFile, error, settings.outputFile) +
                    ". The signed result is kept in " + tempFile);
    return FAILURE;
  }
  if (!deleteFile(tempFile)) {
    // The output is in place; only the clean-up failed.
    unsigned long error = writeSystemMessage();
    noteFailure("saving", "the result is saved, but the temporary file " + tempFile +
                              " could not be deleted (" + systemExplanation(error) + ")");
    return 0;
  }
  writeOut("Succeeded.\n");
  return 0;
}

}  // namespace

int32_t runAgent() {
  noteIgnoredArguments(runSettings);
  if (runSettings.helpWanted) {
    printUsage();
    printHelpPointer();
    return 0;
  }
  if (runSettings.versionWanted) return printVersion();
  startDesktopLibraries();
  int32_t exitCode = runSettings.upgradeMode ? runUpgrade() : runSigningJob();
  stopDesktopLibraries();
  return exitCode;
}
