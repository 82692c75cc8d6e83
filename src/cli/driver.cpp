#include "cli/driver.h"

#include <string>

#include "cli/notices.h"
#include "cli/options.h"
#include "cli/output_target.h"
#include "cli/progress.h"
#include "cli/result_proof.h"
#include "formpost/failure_cause.h"
#include "formpost/form_request.h"
#include "platform/ascii.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/interrupts.h"
#include "platform/paths.h"
#include "platform/pause.h"
#include "platform/system_error.h"
#include "service/endpoints.h"
#include "service/reply.h"

namespace {

// Console texts that look like slips and are not: scripts match them byte
// for byte, so they stay exactly as they are.
// "[<input>] is not exist": an input that does not exist.
constexpr const char* INPUT_MISSING_TEXT = "] is not exist\n";
// No output name can be taken from the download address.
constexpr const char* NO_OUTPUT_NAME_TEXT = "can'not resolve filename to save.\n";

constexpr int32_t FAILURE = 1;
constexpr int32_t HTTP_OK = 200;

// The service's root for this run; set before the first request.
ServiceRoot serviceRoot;
// When calls are sent again, for the whole run; read with the root.
RetryPlan retryPlan;

// The system's text for the error the call that just failed left; nothing
// when the system has none. Returns that error.
unsigned long writeSystemMessage() {
  unsigned long error = lastSystemError();
  writeOut(systemMessage(error));
  return error;
}

// A request whose fields could not all be added is not sent: it would go out
// without them.
int32_t outOfMemory() {
  note("out of memory: the request's form fields could not be added");
  return FAILURE;
}

// Sends `request` to `url`, or to the service's call `urlOf` names under its
// roots, showing the transfer when `progress` is given. True on status 200;
// otherwise the server's text or the transport's error line is written, and
// why on standard error.
bool exchange(const char* call, FormRequest& request, const std::string& url,
              TransferProgress* progress = nullptr, ServiceCallUrl urlOf = nullptr) {
  if (progress) request.progress = progress->hook();
  traceWhenWanted(request);
  request.retryPlan = &retryPlan;
  request.callName = call;
  if (urlOf)
    sendToService(request, serviceRoot, urlOf);
  else
    request.send(url.c_str());
  if (progress) progress->finish();
  if (request.statusCode == HTTP_OK) return true;
  writeOut(request.replyBody);
  // Where both streams reach one terminal or log, the cause starts a line of
  // its own even after a reply text without a final line end.
  const std::string& shown = request.replyBody;
  if (!shown.empty() && shown.back() != '\n') writeErr("\n");
  noteExchangeFailure(call, request);
  return false;
}

// False, after saying why, when TARVOLIN_SERVICE_URL holds no service root or
// TARVOLIN_RETRIES or TARVOLIN_MAX_TIME no number.
bool settleServiceRoot() {
  std::string refusal;
  if (findServiceRoot(serviceRoot, refusal) &&
      retryPlan.readEnvironment(steadyMilliseconds(), refusal)) {
    retryPlan.noteRetry = note;
    return true;
  }
  note(refusal);
  return false;
}

int32_t printVersion() {
  writeOut(versionLine() + "\n");
  // A package made without a service host answers the question all the same.
  if (*BUILT_IN_SERVICE_ROOT == '\0' && environmentVariable(SERVICE_URL_VARIABLE).empty()) {
    writeOut(std::string("service none built in; set ") + SERVICE_URL_VARIABLE + "\n");
    return 0;
  }
  if (!settleServiceRoot()) return FAILURE;
  for (const std::string& root : serviceRoot.urls)
    writeOut("service " + root +
             (serviceRoot.fromEnvironment ? std::string(" (from ") + SERVICE_URL_VARIABLE + ")"
                                          : std::string(" (built in)")) +
             "\n");
  return 0;
}

// Each reply is read into a record of its own: a reply without <result>
// (a maintenance page) keeps the record's refusal, and nothing of an earlier
// reply, its address least of all, can stand in for it.
ServiceReply readReply(const FormRequest& request, const char* call) {
  ServiceReply reply;
  if (!reply.parseReply(request.replyBody.c_str()))
    note(std::string("the ") + call + " reply holds no <result>; taken as a refusal");
  return reply;
}

// Only a web page is opened: the opener would as readily run a local file,
// a script address or an option.
bool isWebAddress(const std::string& url) {
  return startsWithIgnoringAsciiCase(url, "http://") ||
         startsWithIgnoringAsciiCase(url, "https://");
}

int32_t runUpgrade() {
  if (!settleServiceRoot()) return FAILURE;
  FormRequest query;
  prepareUpgradeQuery(query);
  if (!exchange("upgrade query", query, "", nullptr, upgradeQueryUrl)) return FAILURE;
  ServiceReply reply;
  reply.parseReply(query.replyBody.c_str());
  int32_t exitCode = 0;
  if (!reply.url.empty()) {
    if (isWebAddress(reply.url)) {
      // The browser is none of the key's business.
      clearEnvironmentVariable(AUTH_KEY_VARIABLE);
      if (!openWebPage(reply.url))
        note("the upgrade page could not be opened; its address is " + reply.url);
    } else {
      note("the upgrade page was not opened: its address is not http:// or https://");
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
    if (!exchange("version check", check, "", nullptr, versionCheckUrl)) return FAILURE;
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
  if (!exchange("upload", upload, "", &progress, uploadUrl)) return FAILURE;
  accepted = readReply(upload, "upload's");
  if (accepted.code != 0) return accepted.printServiceMessage();
  return 0;
}

// Every input must exist and be a regular file, whose content can be sent
// from its start to its end: a directory or a device has none to send, a
// pattern names no file, and a pipe would hold the run until some writer
// closed it.
bool inputsAreFiles(const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    bool exists = fileExists(input);
    if (exists && isRegularFile(input)) continue;
    if (exists) note("[" + input + "] is not a regular file (a folder, device, pipe or pattern)");
    writeOut("[" + input + INPUT_MISSING_TEXT);
    return false;
  }
  return true;
}

// The downloaded result stays where the user can still copy it by hand; the
// one line that says why also says where.
int32_t keepDownload(const std::string& tempFile, const std::string& cause) {
  keepOnInterrupt(tempFile);
  noteFailure("saving", cause + "; the downloaded result is kept in " + tempFile);
  return FAILURE;
}

// Makes the download's temporary file, or says why there is none.
bool makeTempFile(std::string& tempFile) {
  std::string directory = tempDirectory();
  if (!directory.empty() && createTempFile(directory, "tvf", tempFile)) return true;
  unsigned long error = writeSystemMessage();
  noteFailure("download", directory.empty()
                              ? "no temporary folder (" + systemExplanation(error) + ")"
                              : "cannot make a temporary file in " + directory + " (" +
                                    systemExplanation(error) + ")");
  return false;
}

// Before any request: the temporary folder and the output's folder take a
// new file, so that a run that could not save its result never uploads.
// Each failure says what the later step would have said.
bool resultCanBeSaved(const RunSettings& settings, const OutputTarget& target) {
  std::string probe;
  if (!makeTempFile(probe)) return false;
  deleteOnInterrupt(probe);
  deleteFile(probe);
  keepOnInterrupt(probe);
  if (target.intoFolder && settings.inputFiles.size() > 1) {
    std::string repeated = inputWithRepeatedName(settings.inputFiles);
    if (!repeated.empty()) {
      note("two inputs are named " + lastPathSegment(repeated) + "; each must have its own name " +
           "to be saved into the folder " + target.folder);
      return false;
    }
  }
  if (target.inPlace || folderTakesNewFile(target.folder)) return true;
  unsigned long error = writeSystemMessage();
  // A folder that is there but takes no file is what is named; otherwise the
  // output, as the copy would have named it.
  const std::string& folder = target.folder;
  std::string named = !target.intoFolder && !settings.outputFile.empty() && !isFolder(folder)
                          ? settings.outputFile
                      : lastPathSegment(folder).empty() ? folderOf(folder)
                                                        : folder;
  noteFailure("saving", fileFailureCause("write", named, error, named));
  return false;
}

// This machine itself: "localhost", an address in 127.0.0.0/8, or ::1.
bool isLoopbackHost(std::string host) {
  host = asciiLowered(host);
  if (host == "localhost" || host == "[::1]" || host == "::1") return true;
  return host.compare(0, 4, "127.") == 0 &&
         host.find_first_not_of("0123456789.") == std::string::npos;
}

// The key goes out in the version check and the upload; over plain HTTP to
// another machine anyone on the way can read it.
void warnOfPlainHttp() {
  UrlParts parts;
  if (!startsWithIgnoringAsciiCase(serviceRoot.url, "http://") ||
      !crackUrl(serviceRoot.url, parts) || isLoopbackHost(parts.hostName))
    return;
  note("the key goes to " + parts.hostName + " over plain HTTP, unencrypted; use https://");
}

int32_t runSigningJob() {
  RunSettings& settings = runSettings;
  if (settings.authKey.empty() || settings.inputFiles.empty()) {
    printUsage();
    if (settings.authKey.empty())
      note(std::string("no key: give -k <key> or set ") + AUTH_KEY_VARIABLE);
    return FAILURE;
  }
  if (!inputsAreFiles(settings.inputFiles)) return FAILURE;
  if (!settleServiceRoot()) return FAILURE;
  if (!inputsCanBeProven(settings)) return FAILURE;
  const OutputTarget target = planOutput(settings);
  if (!resultCanBeSaved(settings, target)) return FAILURE;
  warnOfPlainHttp();

  ProofStreams proofStreams(settings);
  ServiceReply reply;
  if (int32_t refusal = askService(reply, proofStreams.tap())) return refusal;

  std::string tempFile;
  if (!makeTempFile(tempFile)) return FAILURE;
  deleteOnInterrupt(tempFile);

  {
    FormRequest download;
    prepareDownload(download, tempFile);
    download.contentTap = proofStreams.tap();
    TransferProgress progress("Downloading", false);
    if (!exchange("download", download, reply.url, &progress)) {
      // Nothing usable came: leave no half-written file behind.
      deleteFile(tempFile);
      keepOnInterrupt(tempFile);
      return FAILURE;
    }
  }
  ResultProof proof;
  if (!proveDownloadedResult(settings, tempFile, proofStreams, proof))
    return keepDownload(tempFile, "the result did not pass verification");

  bool moved = false;
  if (target.intoFolder && settings.inputFiles.size() > 1) {
    // Each signed file under its input's name, rather than the zip.
    settings.outputFile = target.folder;
    unsigned long error = 0;
    std::string cause = saveEntriesIntoFolder(tempFile, settings, proof, target.folder, error);
    if (!cause.empty()) {
      if (error != 0) writeOut(systemMessage(error));
      return keepDownload(tempFile, cause);
    }
  } else {
    if (settings.outputFile.empty() || target.intoFolder) {
      std::string name = outputNameFromUrl(reply.url);
      if (name.empty()) {
        writeOut(NO_OUTPUT_NAME_TEXT);
        return keepDownload(tempFile,
                            "no file name in the download address " + reply.url + "; give -o");
      }
      settings.outputFile = target.intoFolder ? pathInFolder(target.folder, name) : name;
    }
    if (!replaceFileWithMove(tempFile, settings.outputFile, moved)) {
      unsigned long error = writeSystemMessage();
      return keepDownload(
          tempFile, fileFailureCause("write", settings.outputFile, error, settings.outputFile));
    }
  }
  reportProvenResult(settings, proof);
  if (!moved && !deleteFile(tempFile)) {
    // The output is in place; only the clean-up failed.
    unsigned long error = writeSystemMessage();
    keepOnInterrupt(tempFile);
    noteFailure("saving", "the result is saved, but the temporary file " + tempFile +
                              " could not be deleted (" + systemExplanation(error) + ")");
    return 0;
  }
  keepOnInterrupt(tempFile);
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
  if (runSettings.signerMissing) {
    note("-signer needs the certificate file the signer must chain to; nothing was sent");
    return FAILURE;
  }
  startDesktopLibraries();
  int32_t exitCode = runSettings.upgradeMode ? runUpgrade() : runSigningJob();
  stopDesktopLibraries();
  return exitCode;
}
