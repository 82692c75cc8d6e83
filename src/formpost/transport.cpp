// FormRequest::send: one HTTP exchange. Every step that fails ends the
// exchange at once with its step code in statusCode and a one-line message
// in replyBody; the handles obtained so far stay in the request, which closes
// them when it is destroyed.
#include "formpost/transport.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "formpost/failure_cause.h"
#include "formpost/form_request.h"
#include "formpost/multipart.h"
#include "formpost/step_codes.h"
#include "formpost/trace.h"
#include "platform/ascii.h"
#include "platform/encoding.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/http_rules.h"
#include "platform/module.h"
#include "platform/system_error.h"

namespace {

constexpr size_t VERSION_TEXT_CAPACITY = 260;
// How much of a reply is converted to the ANSI code page at a time.
constexpr size_t CONVERSION_SLICE = 1024 * 1024;
// One less than the buffer, as the reply has always been read.
constexpr uint32_t REPLY_READ_SIZE = FILE_CHUNK_SIZE - 1;
// The reply file is written in blocks of up to this much.
constexpr size_t FILE_WRITE_BLOCK = 64 * 1024;
constexpr uint16_t LANGUAGE_PRIMARY_MASK = 0x3FF;

enum class NumberStyle { Decimal, Hexadecimal };

// "error : <code>\n": the line of a step that has no error number.
std::string stepLine(int32_t code) {
  return "error : " + std::to_string(code) + "\n";
}

int32_t fail(FormRequest& request, int32_t code, unsigned long number,
             NumberStyle style = NumberStyle::Decimal) {
  char message[64];
  if (style == NumberStyle::Hexadecimal)
    std::snprintf(message, sizeof message, "error : %d(%x)\n", static_cast<int>(code),
                  static_cast<unsigned>(number));
  else
    std::snprintf(message, sizeof message, "error : %d(%d)\n", static_cast<int>(code),
                  static_cast<int>(number));
  request.statusCode = code;
  request.replyBody = message;
  request.failureCause = networkFailureCause(request, code, number);
  return code;
}

// A failure that a file, not the connection, caused: the same step code and
// message, and words that name the file.
int32_t failOnFile(FormRequest& request, int32_t code, unsigned long number,
                   const std::string& cause) {
  fail(request, code, number);
  request.failureCause = cause;
  return code;
}

int32_t failOnSentFile(FormRequest& request, const BodyWriteOutcome& outcome) {
  if (outcome.errorNumber == fileSizeChangedError())
    return failOnFile(request, outcome.stepCode, outcome.errorNumber,
                      outcome.filePath + " changed its size while it was being sent");
  return failOnFile(request, outcome.stepCode, outcome.errorNumber,
                    fileFailureCause("read", outcome.filePath, outcome.errorNumber, ""));
}

void reportProgress(const NetProgress& progress, bool upload, uint64_t done, uint64_t total) {
  if (progress.report) progress.report(progress.context, upload, done, total);
}

// The body's way onto the wire: each sink write is one netWrite. The error
// numbers of a failed write are taken at once, before the body writer closes
// a file or does anything else that could change them.
struct BodyChannel {
  NetHandle request = nullptr;
  NetProgress progress;
  uint64_t total = 0;
  uint64_t sent = 0;
  unsigned long writeError = 0;
  unsigned long responseError = 0;
};

bool writeToChannel(void* target, const void* bytes, uint32_t count) {
  BodyChannel& channel = *static_cast<BodyChannel*>(target);
  if (!netWrite(channel.request, bytes, count)) {
    channel.writeError = netLastError();
    channel.responseError = netLastResponseError();
    return false;
  }
  channel.sent += count;
  reportProgress(channel.progress, true, channel.sent, channel.total);
  return true;
}

// Announces the multipart body and sends it; 0 when all of it went out.
int32_t sendMultipartBody(FormRequest& request) {
  BodyWriteOutcome sizes = checkFileSizesKnown(request);
  if (sizes.stepCode != 0) return failOnSentFile(request, sizes);
  const std::string boundary = makeBoundary(static_cast<uint32_t>(std::time(nullptr)));
  const uint64_t total = multipartBodyLength(request, static_cast<int32_t>(boundary.size()));
  request.bodyLength = total;
  if (!netAddHeaderLine(request.requestHandle,
                        std::string("Content-Type: ") + MULTIPART_CONTENT_TYPE + boundary + "\r\n"))
    return fail(request, STEP_ADD_CONTENT_TYPE, netLastError());
  if (!netAddHeaderLine(request.requestHandle, "Content-Length: " + std::to_string(total) + "\r\n"))
    return fail(request, STEP_ADD_CONTENT_LENGTH, netLastError());
  if (!netSendRequest(request.requestHandle)) return fail(request, STEP_SEND_POST, netLastError());

  BodyChannel channel;
  channel.request = request.requestHandle;
  channel.progress = request.progress;
  channel.total = total;
  BodySink sink{&channel, writeToChannel};
  BodyWriteOutcome outcome = writeMultipartBody(request, sink, boundary);
  if (outcome.stepCode == 0) return 0;
  if (!outcome.sinkFailed) return failOnSentFile(request, outcome);
  if (outcome.stepCode != STEP_WRITE_FILE_CONTENT)
    return fail(request, outcome.stepCode, channel.writeError);
  fail(request, outcome.stepCode, channel.responseError);
  // The connection's own error says more than the response information.
  request.failureCause =
      networkFailureCause(request, outcome.stepCode, channel.writeError, outcome.filePath);
  return outcome.stepCode;
}

// What the reply announced and what has come. Some HTTP libraries end a body
// quietly when the server closes the connection early; a download cut short
// must not pass for a whole one.
struct ReplyLength {
  bool known = false;
  uint64_t announced = 0;  // 0 when unknown, as the progress hook takes it
  uint64_t received = 0;

  explicit ReplyLength(NetHandle request) { known = netQueryContentLength(request, announced); }
  bool cutShort() const { return known && received < announced; }
};

int32_t failCutShort(FormRequest& request, const ReplyLength& length) {
  fail(request, STEP_READ_REPLY, netReplyCutShortError());
  request.failureCause = "the reply from " + endpointOf(request) + " ended after " +
                         std::to_string(length.received) + " of the " +
                         std::to_string(length.announced) + " bytes it announced";
  return STEP_READ_REPLY;
}

// Reads the reply into replyBody, whole: NUL bytes are kept, since the reply
// may be binary.
int32_t captureToMemory(FormRequest& request) {
  std::vector<char> buffer(FILE_CHUNK_SIZE);
  ReplyLength length(request.requestHandle);
  for (;;) {
    uint32_t count = 0;
    if (!netRead(request.requestHandle, buffer.data(), REPLY_READ_SIZE, count))
      return fail(request, STEP_READ_REPLY, netLastError());
    if (count == 0) break;
    if (request.replyBody.size() + count > MAX_REPLY_IN_MEMORY)
      return fail(request, STEP_READ_REPLY, netReplyTooLargeError());
    request.replyBody.append(buffer.data(), count);
    length.received += count;
    request.replyReceived = length.received;
    reportProgress(request.progress, false, length.received, length.announced);
  }
  if (length.cutShort()) return failCutShort(request, length);
  return 0;
}

// Reads the reply into replyFile, from its start. A file that cannot be
// opened or written fails the exchange rather than leaving a short file
// behind a status of 200. So does a reply that does not declare its length:
// a body that ends only when the server closes cannot be told from one cut
// short, and a download must arrive whole or not at all.
int32_t captureToFile(FormRequest& request) {
  BodyFraming framing = netQueryBodyFraming(request.requestHandle);
  if (framing != BodyFraming::Length && framing != BodyFraming::Chunked) {
    fail(request, STEP_READ_REPLY, netReplyFramingError());
    request.failureCause = "the download from " + endpointOf(request) +
                           " declares no length, so a download cut short could not be told "
                           "from a whole one";
    return STEP_READ_REPLY;
  }
  int file = openFileForUpdate(request.replyFile);
  if (file == -1) {
    unsigned long number = lastSystemError();
    return failOnFile(request, STEP_READ_REPLY, number,
                      fileFailureCause("open", request.replyFile, number, "the download"));
  }
  auto closeAndFail = [&](unsigned long number) {
    closeFile(file);
    return fail(request, STEP_READ_REPLY, number);
  };
  // The pieces gather in one block, written whenever it cannot take another
  // piece: a write per 8 KiB piece costs more than receiving it.
  std::vector<char> block(FILE_WRITE_BLOCK);
  size_t used = 0;
  ReplyLength length(request.requestHandle);
  for (;;) {
    uint32_t count = 0;
    if (!netRead(request.requestHandle, block.data() + used, REPLY_READ_SIZE, count))
      return closeAndFail(netLastError());
    used += count;
    bool blockFull = block.size() - used < REPLY_READ_SIZE;
    if ((count == 0 || blockFull) && used > 0) {
      if (!writeFile(file, block.data(), static_cast<uint32_t>(used))) {
        unsigned long number = lastSystemError();
        closeAndFail(number);
        request.failureCause = fileFailureCause("write", request.replyFile, number, "the download");
        return STEP_READ_REPLY;
      }
      request.contentTap.tell(TAP_REPLY_FILE, block.data(), static_cast<uint32_t>(used));
      used = 0;
    }
    if (count == 0) break;
    length.received += count;
    request.replyReceived = length.received;
    reportProgress(request.progress, false, length.received, length.announced);
  }
  closeFile(file);
  if (length.cutShort()) return failCutShort(request, length);
  return 0;
}

bool isUtf8ContinuationByte(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Where the next slice of the reply to convert ends: about CONVERSION_SLICE
// bytes on, where no UTF-8 sequence is cut in two: before a byte that cannot
// continue one, or after four bytes that continue one, more than any
// sequence holds.
size_t sliceEnd(const std::string& body, size_t from) {
  if (body.size() - from <= CONVERSION_SLICE) return body.size();
  size_t continuing = 0;
  for (size_t at = from + CONVERSION_SLICE; at < body.size(); ++at) {
    if (!isUtf8ContinuationByte(body[at]) || continuing == 4) return at;
    ++continuing;
  }
  return body.size();
}

// The reply in the ANSI code page, converted a slice at a time so that the
// conversion holds one slice's wide text, never a whole reply's. NUL bytes
// survive, and cost nothing more than other bytes. False when the converted
// text outgrows what a reply may hold in memory: replacement characters can
// make it longer than the bytes received.
bool convertReplyToAnsi(std::string& body) {
  std::string converted;
  converted.reserve(body.size());
  for (size_t at = 0; at < body.size();) {
    size_t end = sliceEnd(body, at);
    std::string slice;
    utf8ToAnsiWhole(body.substr(at, end - at), slice);
    if (converted.size() + slice.size() > MAX_REPLY_IN_MEMORY) return false;
    converted += slice;
    at = end;
  }
  body.swap(converted);
  return true;
}

}  // namespace

std::string makeBoundary(uint32_t seed) {
  uint32_t state = seed;
  auto draw = [&state] {
    state = state * 214013u + 2531011u;
    return static_cast<unsigned>((state >> 16) & 0x7FFF);
  };
  unsigned r1 = draw();
  unsigned r2 = draw();
  unsigned r3 = draw();
  char text[64];
  std::snprintf(text, sizeof text, "---------------------------%04X%04X%06X", r3, r2, r1);
  return text;
}

int formatModuleVersion(char* buffer) {
  uint32_t mostSignificant = 0;
  uint32_t leastSignificant = 0;
  if (!readModuleVersion(&mostSignificant, &leastSignificant)) return 0;
  std::snprintf(buffer, VERSION_TEXT_CAPACITY, "%d, %d, %d, %d",
                static_cast<int>(mostSignificant >> 16), static_cast<int>(mostSignificant & 0xFFFF),
                static_cast<int>(leastSignificant >> 16),
                static_cast<int>(leastSignificant & 0xFFFF));
  return 1;
}

int32_t FormRequest::send(const char* url) {
  const std::string address = url ? url : "";
  if (!crackUrl(address, urlParts)) {
    replyBody = stepLine(STEP_SPLIT_URL);  // statusCode keeps its value
    failureCause = "cannot split the URL '" + address + "' into host, port and path";
    return -1;
  }
  if (traceLine) traceRequestLine(*this, address);
  int32_t result = sendTo(urlParts.hostName, urlParts.port, urlParts.urlPath, urlParts.extraInfo);
  if (traceLine) traceExchange(*this);
  return result;
}

int32_t FormRequest::sendTo(const std::string& hostName, uint16_t port, const std::string& urlPath,
                            const std::string& extraInfo) {
  internetHandle = netOpen(AGENT_NAME);
  if (!internetHandle) return fail(*this, STEP_OPEN_SESSION, netLastError());
  connectionHandle = netConnect(internetHandle, hostName, port);
  if (!connectionHandle) return fail(*this, STEP_CONNECT, netLastError());
  const std::string objectName = objectNameOf(urlPath, extraInfo);
  // Any mode but Get opens a POST; one that is not MultipartPost is refused
  // below, before anything is sent.
  const char* verb = sendMode != Get ? "POST" : "GET";
  requestHandle = netOpenRequest(connectionHandle, verb, objectName, urlParts.secure);
  if (!requestHandle)
    return fail(*this, STEP_OPEN_REQUEST, netLastError(), NumberStyle::Hexadecimal);

  // A version that cannot be read goes out as an empty value.
  char version[VERSION_TEXT_CAPACITY] = "";
  const char* versionText = formatModuleVersion(version) ? version : "";
  if (!netAddHeaderLine(requestHandle, std::string("Agent-Version: ") + versionText + "\r\n"))
    return fail(*this, STEP_ADD_AGENT_HEADER, netLastError(), NumberStyle::Hexadecimal);
  const int language = systemDefaultLanguageId() & LANGUAGE_PRIMARY_MASK;
  if (!netAddHeaderLine(requestHandle, "Agent-Language: " + std::to_string(language) + "\r\n"))
    return fail(*this, STEP_ADD_AGENT_HEADER, netLastError());

  if (sendMode == Get) {
    if (!netSendRequest(requestHandle)) return fail(*this, STEP_SEND_GET, netLastError());
  } else if (sendMode == MultipartPost) {
    int32_t code = sendMultipartBody(*this);
    if (code != 0) return code;
  } else {
    statusCode = STEP_UNKNOWN_SEND_MODE;
    replyBody = stepLine(STEP_UNKNOWN_SEND_MODE);
    return STEP_UNKNOWN_SEND_MODE;
  }

  if (!netEndRequest(requestHandle)) return fail(*this, STEP_END_REQUEST, netLastError());
  char status[10] = "";
  if (!netQueryStatusText(requestHandle, status, sizeof status))
    return fail(*this, STEP_QUERY_STATUS, netLastError());
  statusCode = leadingInteger(status);

  int32_t code =
      !replyFile.empty() && statusCode == 200 ? captureToFile(*this) : captureToMemory(*this);
  if (code != 0) return code;
  if (!convertReplyToAnsi(replyBody)) return fail(*this, STEP_READ_REPLY, netReplyTooLargeError());
  return statusCode;
}
