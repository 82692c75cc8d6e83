// FormRequest::send: one HTTP exchange, carried by httpExchange. A step that
// fails ends the exchange with its step code in statusCode, a one-line
// message in replyBody and the failure's record.
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
#include "platform/pause.h"
#include "platform/system_error.h"

namespace {

constexpr size_t VERSION_TEXT_CAPACITY = 260;
// How much of a reply is converted to the ANSI code page at a time.
constexpr size_t CONVERSION_SLICE = 1024 * 1024;
// The reply file is written in blocks of up to this much.
constexpr size_t FILE_WRITE_BLOCK = 64 * 1024;
constexpr uint16_t LANGUAGE_PRIMARY_MASK = 0x3FF;
// A time-out this close to the run's deadline is the deadline's.
constexpr uint64_t DEADLINE_SLACK_MILLISECONDS = 500;

enum class NumberStyle { Decimal, Hexadecimal };

// "error : <code>\n": the line of a step that has no error number.
std::string stepLine(int32_t code) {
  return "error : " + std::to_string(code) + "\n";
}

// Ends the exchange at a failed step: its line "error : <code>(<number>)\n"
// in replyBody, its code in statusCode, and the one record of the failure.
int32_t fail(FormRequest& request, int32_t code, unsigned long number, std::string cause,
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
  request.failure = ExchangeFailure{code, number, std::move(cause)};
  return code;
}

// The connection or the HTTP library failed at `code`.
int32_t failOnNetwork(FormRequest& request, int32_t code, unsigned long number,
                      NumberStyle style = NumberStyle::Decimal) {
  return fail(request, code, number, networkFailureCause(request, code, number), style);
}

// A file failed at `code`, not the connection: trying again would not mend
// it.
int32_t failOnFile(FormRequest& request, int32_t code, unsigned long number, std::string cause) {
  fail(request, code, number, std::move(cause));
  request.failure.onFile = true;
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

// The form's body as the exchange pulls it, with the upload's progress.
struct UploadBody {
  MultipartReader reader;
  UploadBody(FormRequest& request, const std::string& boundary) : reader(request, boundary) {}
  uint64_t total = 0;
  uint64_t sent = 0;

  static bool next(void* context, const char*& bytes, uint32_t& count) {
    UploadBody& body = *static_cast<UploadBody*>(context);
    if (!body.reader.next(bytes, count)) return false;
    body.sent += count;
    if (count > 0) reportProgress(body.reader.request.progress, true, body.sent, body.total);
    return true;
  }
};

// The reply, as it comes: held in replyBody, whole (NUL bytes are kept, since
// the reply may be binary), or for a 200 with a reply file, written to it
// from its start. A file that cannot be opened or written fails the exchange
// rather than leaving a short file behind a status of 200. So does a reply
// that does not declare its length: a body that ends only when the server
// closes cannot be told from one cut short, and a download must arrive whole
// or not at all.
struct ReplyCapture {
  FormRequest& request;
  explicit ReplyCapture(FormRequest& request) : request(request) {}
  int file = -1;
  // Pieces gather in one block, written whenever it cannot take another
  // piece: a write per small piece costs more than receiving it.
  std::vector<char> block;
  bool lengthKnown = false;
  uint64_t announced = 0;  // 0 when unknown, as the progress hook takes it
  uint64_t received = 0;
  uint64_t offset = 0;  // where this reply's body starts in the file

  ~ReplyCapture() {
    if (file != -1) closeFile(file);
  }

  // The validator a resumed request names the file by: a strong ETag, else
  // a Last-Modified; empty for none.
  static std::string validatorOf(const std::string& text) {
    std::string value;
    if (singleFieldValue(text, "ETag", value) && !value.empty() && value.compare(0, 2, "W/") != 0)
      return value;
    if (singleFieldValue(text, "Last-Modified", value)) return value;
    return std::string();
  }

  // A 206 to a resumed request is spliced only when it carries the rest of
  // the same file: from the byte asked for, to its end, of the same total.
  bool takesUpWhereCut(const ReplyHead& head, const std::string& text) const {
    const ResumePoint& resume = request.resume;
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
    std::string range;
    return head.framing == BodyFraming::Length && singleFieldValue(text, "Content-Range", range) &&
           readContentRange(range, first, last, total) && first == resume.kept &&
           total == resume.total && last + 1 == total && head.contentLength == total - first;
  }

  static bool head(void* context, const ReplyHead& head, const std::string& text) {
    ReplyCapture& capture = *static_cast<ReplyCapture*>(context);
    FormRequest& request = capture.request;
    request.statusCode = head.status;
    capture.lengthKnown = head.framing == BodyFraming::Length;
    capture.announced = capture.lengthKnown ? head.contentLength : 0;
    const bool resumed = request.resume.canResume();
    if (request.replyFile.empty()) return true;
    uint64_t keep = 0;
    if (head.status == 206 && resumed) {
      if (!capture.takesUpWhereCut(head, text)) {
        request.resume = ResumePoint();
        request.resume.refused = true;
        fail(request, STEP_READ_REPLY, NET_ERRORS.replyFraming,
             "the resumed download from " + endpointOf(request) +
                 " is not the rest of the file cut short; its bytes are not spliced");
        return false;
      }
      keep = request.resume.kept;
      request.statusCode = 200;  // the whole file is there once this part is
    } else if (head.status != 200) {
      return true;
    } else if (head.framing != BodyFraming::Length && head.framing != BodyFraming::Chunked) {
      fail(request, STEP_READ_REPLY, NET_ERRORS.replyFraming,
           "the download from " + endpointOf(request) +
               " declares no length, so a download cut short could not be told from a whole "
               "one");
      return false;
    } else {
      // The file from its start: what this reply names it by, for a resume.
      request.resume = ResumePoint();
      if (capture.lengthKnown) {
        request.resume.total = head.contentLength;
        request.resume.validator = validatorOf(text);
      }
    }
    capture.file = openFileForUpdate(request.replyFile);
    // An earlier attempt may have left some of its bytes there: those of a
    // cut download are kept, the rest go.
    if (capture.file != -1 && cutFileTo(capture.file, keep)) {
      capture.offset = keep;
      if (keep == 0) request.contentTap.restart(TAP_REPLY_FILE);
      return true;
    }
    unsigned long number = lastSystemError();
    failOnFile(request, STEP_READ_REPLY, number,
               fileFailureCause("open", request.replyFile, number, "the download"));
    return false;
  }

  // After an attempt that ended early: the bytes that came are written, and
  // the next attempt may take up after them.
  void keepWhatCame() {
    if (file == -1) return;
    ResumePoint& resume = request.resume;
    resume.kept = flush() ? offset + received : 0;
    closeFile(file);
    file = -1;
  }

  bool write(const char* bytes, size_t count) {
    if (!writeFile(file, bytes, static_cast<uint32_t>(count))) {
      unsigned long number = lastSystemError();
      failOnFile(request, STEP_READ_REPLY, number,
                 fileFailureCause("write", request.replyFile, number, "the download"));
      return false;
    }
    request.contentTap.tell(TAP_REPLY_FILE, bytes, static_cast<uint32_t>(count));
    return true;
  }

  bool flush() {
    bool written = block.empty() || write(block.data(), block.size());
    block.clear();
    return written;
  }

  static bool bytes(void* context, const char* bytes, size_t count) {
    ReplyCapture& capture = *static_cast<ReplyCapture*>(context);
    FormRequest& request = capture.request;
    if (capture.file != -1) {
      if (capture.block.size() + count > FILE_WRITE_BLOCK && !capture.flush()) return false;
      if (count >= FILE_WRITE_BLOCK) {
        if (!capture.write(bytes, count)) return false;
      } else {
        capture.block.insert(capture.block.end(), bytes, bytes + count);
      }
    } else {
      if (request.replyBody.size() + count > MAX_REPLY_IN_MEMORY) {
        failOnNetwork(request, STEP_READ_REPLY, NET_ERRORS.replyTooLarge);
        return false;
      }
      request.replyBody.append(bytes, count);
    }
    capture.received += count;
    request.replyReceived = capture.received;
    reportProgress(request.progress, false, capture.received, capture.announced);
    return true;
  }

  // After the exchange: the file complete and closed, and a body that some
  // HTTP libraries end quietly when the server closes early refused as cut
  // short.
  int32_t finish() {
    if (file != -1) {
      bool flushed = flush();
      closeFile(file);
      file = -1;
      if (!flushed) return STEP_READ_REPLY;
    }
    if (!lengthKnown || received >= announced) return 0;
    if (!request.replyFile.empty() && request.statusCode == 200)
      request.resume.kept = offset + received;
    return fail(request, STEP_READ_REPLY, NET_ERRORS.replyCutShort,
                "the reply from " + endpointOf(request) + " ended after " +
                    std::to_string(received) + " of the " + std::to_string(announced) +
                    " bytes it announced");
  }
};

// The step at which the body failed: the piece going out, or, before the
// first, the piece that would have.
int32_t bodyStep(const FormRequest& request, const MultipartReader& reader) {
  if (reader.step != 0) return reader.step;
  if (request.textFields.size() > 0) return STEP_WRITE_TEXT_PART;
  return request.fileFields.size() > 0 ? STEP_WRITE_FILE_HEADER : STEP_WRITE_CLOSING_DELIMITER;
}

// A failed exchange's step and line, from the stage at which it ended. The
// caller's header lines are, in order: Agent-Version, Agent-Language, and for
// a form post Content-Type and Content-Length.
int32_t failedExchange(FormRequest& request, const HttpOutcome& outcome, UploadBody* body) {
  const unsigned long number = outcome.number;
  switch (outcome.stage) {
    case HttpStage::OpenSession:
      return failOnNetwork(request, STEP_OPEN_SESSION, number);
    case HttpStage::Connect:
      return failOnNetwork(request, STEP_CONNECT, number);
    case HttpStage::OpenRequest:
      return failOnNetwork(request, STEP_OPEN_REQUEST, number, NumberStyle::Hexadecimal);
    case HttpStage::AddHeader: {
      const int32_t steps[] = {STEP_ADD_AGENT_HEADER, STEP_ADD_AGENT_HEADER, STEP_ADD_CONTENT_TYPE,
                               STEP_ADD_CONTENT_LENGTH};
      const size_t index = outcome.headerIndex < 4 ? outcome.headerIndex : 3;
      return failOnNetwork(request, steps[index], number,
                           index == 0 ? NumberStyle::Hexadecimal : NumberStyle::Decimal);
    }
    case HttpStage::Send:
      return failOnNetwork(request, request.sendMode == Get ? STEP_SEND_GET : STEP_SEND_POST,
                           number);
    case HttpStage::Body: {
      if (outcome.sourceFailed) return failOnSentFile(request, body->reader.failure);
      const int32_t step = bodyStep(request, body->reader);
      if (step != STEP_WRITE_FILE_CONTENT) return failOnNetwork(request, step, number);
      // The response information is shown; the connection's own error says
      // more in words.
      const std::string& file = request.fileFields[body->reader.field].path;
      return fail(request, step, outcome.responseNumber,
                  networkFailureCause(request, step, number, file));
    }
    case HttpStage::Reply:
      return failOnNetwork(request, STEP_END_REQUEST, number);
    case HttpStage::Status:
      return failOnNetwork(request, STEP_QUERY_STATUS, number);
    case HttpStage::ReadBody:
    case HttpStage::Done:
      break;
  }
  if (outcome.sinkRefused) return request.statusCode;
  return failOnNetwork(request, STEP_READ_REPLY, number);
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
    failure = ExchangeFailure{STEP_SPLIT_URL, 0,
                              "cannot split the URL '" + address + "' into host, port and path"};
    return -1;
  }
  for (int attempt = 1;; ++attempt) {
    // Each attempt starts as the first did, even when the request was sent
    // before (to another of the service's roots).
    statusCode = 0;
    replyBody.clear();
    failure = ExchangeFailure();
    exchange = HttpOutcome();
    replyReceived = 0;
    for (size_t i = 0; i < fileFields.size(); ++i) contentTap.restart(static_cast<int32_t>(i));
    if (traceLine) traceRequestLine(*this, address);
    int32_t result = sendTo(urlParts.hostName, urlParts.port, urlParts.urlPath, urlParts.extraInfo);
    if (traceLine) traceExchange(*this);
    uint64_t wait = 0;
    if (!retryPlan || !retryPlan->waitBeforeNext(*this, attempt, steadyMilliseconds(), wait))
      return result;
    const std::string attempts =
        "attempt " + std::to_string(attempt + 1) + " of " + std::to_string(retryPlan->retries + 1);
    if (retryPlan->noteRetry)
      retryPlan->noteRetry(std::string(callName) + ": " + faultOf(*this) + "; retrying in " +
                           std::to_string((wait + 999) / 1000) + " s (" + attempts + ")");
    pauseMilliseconds(wait);
    if (traceLine) traceLine("* " + attempts);
  }
}

int32_t FormRequest::sendTo(const std::string& hostName, uint16_t port, const std::string& urlPath,
                            const std::string& extraInfo) {
  HttpRequest http;
  http.agent = AGENT_NAME;
  // Any mode but Get opens a POST; one that is not MultipartPost is refused
  // below, before anything is sent.
  http.verb = sendMode != Get ? "POST" : "GET";
  http.hostName = hostName;
  http.port = port;
  http.secure = urlParts.secure;
  http.objectName = objectNameOf(urlPath, extraInfo);
  // A version that cannot be read goes out as an empty value.
  char version[VERSION_TEXT_CAPACITY] = "";
  const char* versionText = formatModuleVersion(version) ? version : "";
  const int language = systemDefaultLanguageId() & LANGUAGE_PRIMARY_MASK;
  http.headerLines = {std::string("Agent-Version: ") + versionText + "\r\n",
                      "Agent-Language: " + std::to_string(language) + "\r\n"};

  const std::string boundary = makeBoundary(static_cast<uint32_t>(std::time(nullptr)));
  UploadBody body(*this, boundary);
  if (sendMode == MultipartPost) {
    BodyWriteOutcome sizes = checkFileSizesKnown(*this);
    if (sizes.stepCode != 0) return failOnSentFile(*this, sizes);
    body.total = multipartBodyLength(*this, static_cast<int32_t>(boundary.size()));
    bodyLength = body.total;
    http.headerLines.push_back(std::string("Content-Type: ") + MULTIPART_CONTENT_TYPE + boundary +
                               "\r\n");
    http.headerLines.push_back("Content-Length: " + std::to_string(body.total) + "\r\n");
    http.body = BodySource{&body, UploadBody::next};
    http.bodyLength = body.total;
  } else if (sendMode != Get) {
    statusCode = STEP_UNKNOWN_SEND_MODE;
    replyBody = stepLine(STEP_UNKNOWN_SEND_MODE);
    failure = ExchangeFailure{STEP_UNKNOWN_SEND_MODE, 0, "the request's send mode is unknown"};
    return STEP_UNKNOWN_SEND_MODE;
  }

  // A cut download asks for the rest of the same file only.
  if (!replyFile.empty() && resume.canResume()) {
    http.headerLines.push_back("Range: bytes=" + std::to_string(resume.kept) + "-\r\n");
    http.headerLines.push_back("If-Range: " + resume.validator + "\r\n");
  }
  resume.refused = false;
  if (retryPlan) http.deadline = retryPlan->exchangeDeadline();
  ReplyCapture capture(*this);
  httpExchange(http, ReplySink{&capture, ReplyCapture::head, ReplyCapture::bytes}, exchange);
  if (exchange.stage != HttpStage::Done) {
    capture.keepWhatCame();
    int32_t step = failedExchange(*this, exchange, &body);
    if (retryPlan && retryPlan->deadline != 0 && exchange.number == NET_ERRORS.timedOut &&
        steadyMilliseconds() + DEADLINE_SLACK_MILLISECONDS >= retryPlan->deadline)
      failure.cause = "timed out: the run reached its time limit (" +
                      std::string(MAX_TIME_VARIABLE) + ") at " + endpointOf(*this);
    return step;
  }
  int32_t code = capture.finish();
  if (code != 0) return code;
  if (!convertReplyToAnsi(replyBody))
    return failOnNetwork(*this, STEP_READ_REPLY, NET_ERRORS.replyTooLarge);
  return statusCode;
}
