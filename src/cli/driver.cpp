#include "cli/driver.h"

#include <string>

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/result_proof.h"
#include "formpost/form_request.h"
#include "formpost/step_codes.h"
#include "platform/ascii.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/interrupts.h"
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

// A note for people, beside the exact texts of standard output.
void explain(const std::string& note) {
  writeErr("tarvolin-agent: " + note + "\n");
}

// A request whose fields could not all be added is not sent: it would go out
// without them.
int32_t outOfMemory() {
  explain("out of memory: the request's form fields could not be added");
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

// Each reply is read into a record of its own: a reply without <result>
// (a maintenance page) keeps the record's refusal, and nothing of an earlier
// reply, its address least of all, can stand in for it.
ServiceReply readReply(const FormRequest& request, const char* call) {
  ServiceReply reply;
  if (!reply.parseReply(request.replyBody.c_str()))
    explain(std::string("the ") + call + " reply holds no <result>; taken as a refusal");
  return reply;
}

// Only a web page is opened: the opener would as readily run a local file,
// a script address or an option.
bool isWebAddress(const std::string& url) {
  return startsWithIgnoringAsciiCase(url, "http://") ||
         startsWithIgnoringAsciiCase(url, "https://");
}

int32_t runUpgrade() {
  FormRequest query;
  prepareUpgradeQuery(query);
  if (!exchange(query, UPGRADE_QUERY_URL)) return FAILURE;
  ServiceReply reply;
  reply.parseReply(query.replyBody.c_str());
  int32_t exitCode = 0;
  if (!reply.url.empty()) {
    if (isWebAddress(reply.url)) {
      // The browser is none of the key's business.
      clearEnvironmentVariable(AUTH_KEY_VARIABLE);
      openWebPage(reply.url);
    } else {
      explain("the upgrade page was not opened: its address is not http:// or https://");
      exitCode = FAILURE;
    }
  }
  // The upgrade page's code is informative only.
  reply.printServiceMessage();
  return exitCode;
}

// Version check and upload; on success `accepted` holds the upload's reply,
// with the download URL. Returns 0 to go on, else the exit code.
int32_t askService(ServiceReply& accepted, const ContentTap& uploadTap) {
  const RunSettings& settings = runSettings;
  {
    FormRequest check;
    if (!prepareVersionCheck(check, settings.authKey, settings.programVersion))
      return outOfMemory();
    if (!exchange(check, VERSION_CHECK_URL)) return FAILURE;
    ServiceReply reply = readReply(check, "version check's");
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
  upload.contentTap = uploadTap;
  TransferProgress progress("Uploading", true);
  if (!exchange(upload, UPLOAD_URL, &progress)) return FAILURE;
  accepted = readReply(upload, "upload's");
  if (accepted.code != 0) return accepted.printServiceMessage();
  return 0;
}

// Every input must exist and be a regular file, whose content can be sent
// from its start to its end: a directory or a device has none to send, and a
// pipe would hold the run until some writer closed it.
bool inputsAreFiles(const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    bool exists = fileExists(input);
    if (exists && isRegularFile(input)) continue;
    if (exists)
      explain("[" + input + "] is not a regular file (a folder, device, pipe or pattern)");
    writeOut("[" + input + INPUT_MISSING_TEXT);
    return false;
  }
  return true;
}

// The downloaded result stays where the user can still copy it by hand.
int32_t keepDownload(const std::string& tempFile) {
  keepOnInterrupt(DOWNLOAD_SLOT);
  explain("the downloaded result is kept in " + tempFile);
  return FAILURE;
}

int32_t runSigningJob() {
  RunSettings& settings = runSettings;
  if (settings.authKey.empty() || settings.inputFiles.empty()) {
    printUsage();
    return FAILURE;
  }
  if (!inputsAreFiles(settings.inputFiles)) return FAILURE;
  if (!inputsCanBeProven(settings)) return FAILURE;

  ProofStreams proofStreams(settings);
  ServiceReply reply;
  if (int32_t refusal = askService(reply, proofStreams.tap())) return refusal;

  std::string directory = tempDirectory();
  std::string tempFile;
  if (directory.empty() || !createTempFile(directory, "tvf", tempFile)) {
    writeSystemMessage();
    return FAILURE;
  }
  deleteOnInterrupt(DOWNLOAD_SLOT, tempFile);

  {
    FormRequest download;
    prepareDownload(download, tempFile);
    download.contentTap = proofStreams.tap();
    TransferProgress progress("Downloading", false);
    if (!exchange(download, reply.url.c_str(), &progress)) {
      // Nothing usable came: leave no half-written file behind.
      deleteFile(tempFile);
      keepOnInterrupt(DOWNLOAD_SLOT);
      return FAILURE;
    }
  }
  ResultProof proof;
  if (!proveDownloadedResult(settings, tempFile, proofStreams, proof))
    return keepDownload(tempFile);

  if (settings.outputFile.empty()) {
    settings.outputFile = outputNameFromUrl(reply.url);
    if (settings.outputFile.empty()) {
      writeOut(NO_OUTPUT_NAME_TEXT);
      return keepDownload(tempFile);
    }
  }
  if (!replaceFileWithCopy(tempFile, settings.outputFile)) {
    writeSystemMessage();
    return keepDownload(tempFile);
  }
  reportProvenResult(settings, proof);
  if (!deleteFile(tempFile)) {
    // The output is in place; only the clean-up failed.
    writeSystemMessage();
    keepOnInterrupt(DOWNLOAD_SLOT);
    explain("the temporary file " + tempFile + " could not be deleted");
    return 0;
  }
  keepOnInterrupt(DOWNLOAD_SLOT);
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
