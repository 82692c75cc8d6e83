// One HTTP request to the signing service and what comes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formpost/body_sink.h"
#include "formpost/retry.h"
#include "platform/files.h"
#include "platform/http.h"

enum SendMode : int32_t { Get = 0, MultipartPost = 1 };

// File contents and replies pass through a buffer of this size.
constexpr uint32_t FILE_CHUNK_SIZE = 8192;

struct TextField {
  std::string name;
  std::string value;

  int32_t partLength(int32_t boundaryLength) const;
  // The whole part: boundary, disposition, value.
  std::string part(const std::string& boundary) const;
};

struct FileField {
  std::string path;
  std::string fileName;
  std::string fileNameUtf8;
  std::string contentType;
  std::string fieldName;
  uint64_t size = SIZE_UNKNOWN;
  int32_t contentHandle = -1;

  // Derives the file name, its UTF-8 form, the content type and the size.
  static FileField fromPath(const std::string& fieldName, const std::string& path);

  uint64_t partLength(int32_t boundaryLength) const;
  // The part up to its content: boundary, disposition and type. The content
  // follows, then the trailer "\r\n".
  std::string partHeader(const std::string& boundary) const;

  bool openContent();
  bool readContent(void* buffer, uint32_t capacity, int64_t& count);
  void closeContent();
};

// Sees the bytes of each uploaded file and of the reply file, in order, as
// they go by, for checks that should not read them again; nobody is told
// when `seen` is null. `file` is the index of the file field, or
// TAP_REPLY_FILE.
// A stream sent or received again from its start is told first, so that
// what it saw of the earlier attempt is forgotten.
struct ContentTap {
  void* context = nullptr;
  void (*seen)(void* context, int32_t file, const void* bytes, uint32_t count) = nullptr;
  void (*startedOver)(void* context, int32_t file) = nullptr;

  void tell(int32_t file, const void* bytes, uint32_t count) const {
    if (seen) seen(context, file, bytes, count);
  }
  void restart(int32_t file) const {
    if (startedOver) startedOver(context, file);
  }
};
constexpr int32_t TAP_REPLY_FILE = -1;

// The MIME type a file field carries for `path`: a few image types by their
// extension, else what the system records for the extension, else
// "application/octet-stream". The extension starts at the last dot of the
// whole path.
std::string contentTypeForPath(const std::string& path);

// An ordered list that grows by doubling and reports a failed growth by its
// result instead of throwing.
template <typename T>
struct FieldList {
  std::vector<T> items;

  bool append(const T& item);
  size_t size() const { return items.size(); }
  const T& operator[](size_t i) const { return items[i]; }
  T& operator[](size_t i) { return items[i]; }
};

// Reports transfer progress to whoever shows it; bytes of the body sent or
// received so far, and the total when it is known (else 0).
struct NetProgress {
  void* context = nullptr;
  void (*report)(void* context, bool upload, uint64_t done, uint64_t total) = nullptr;
};

// How a failed exchange failed: the step's code, the number shown beside it
// on standard output, and the cause in words for people (failure_cause.h).
struct ExchangeFailure {
  int32_t step = 0;
  unsigned long number = 0;
  std::string cause;
  bool onFile = false;  // a file failed, not the connection
};

// A reply held in memory may grow to this many bytes; a larger one fails the
// exchange (STEP_READ_REPLY) instead of exhausting a 32-bit process's address
// space. Large downloads go into a reply file, which has no such bound.
constexpr size_t MAX_REPLY_IN_MEMORY = 16 * 1024 * 1024;

// Where the next attempt of a cut download takes up: the bytes kept in the
// reply file, the whole file's length and what names that file (its strong
// ETag, else its Last-Modified). With no validator nothing proves that the
// rest belongs to the same file, and the next attempt fetches it whole.
struct ResumePoint {
  uint64_t kept = 0;
  uint64_t total = 0;
  std::string validator;
  // A resumed reply whose range was not the one asked for: its bytes were
  // not spliced, and the next attempt fetches the file whole.
  bool refused = false;

  bool canResume() const { return kept > 0 && !validator.empty(); }
};

struct FormRequest {
  FieldList<TextField> textFields;
  FieldList<FileField> fileFields;
  SendMode sendMode = Get;
  UrlParts urlParts;
  int32_t statusCode = 0;
  std::string replyBody;
  std::string replyFile;
  // Who shows the transfer's progress; nobody when `report` is null.
  NetProgress progress;
  // Set when the exchange failed; its cause is empty until then.
  ExchangeFailure failure;
  // How the exchange went: the heads and the proxy, for the trace.
  HttpOutcome exchange;
  // Takes each line of the exchange's trace (trace.cpp); no trace when null.
  void (*traceLine)(const std::string& line) = nullptr;
  // The body's announced length and the reply bytes received, for the trace.
  uint64_t bodyLength = 0;
  uint64_t replyReceived = 0;
  ContentTap contentTap;
  // When the call is sent again after a fault that may pass (retry.h), and
  // its name in the line that says so; sent once when null.
  RetryPlan* retryPlan = nullptr;
  const char* callName = "";
  ResumePoint resume;

  FormRequest() = default;
  FormRequest(const FormRequest&) = delete;
  FormRequest& operator=(const FormRequest&) = delete;

  bool addTextField(const char* name, const char* value);
  bool addFileField(const char* fieldName, const char* path);
  void setSendMode(SendMode mode) { sendMode = mode; }
  void setReplyFile(const char* path);

  // The exchange, tried again as retryPlan says: see transport.cpp. Returns
  // -1 when the URL cannot be split, else the final statusCode of the last
  // attempt.
  int32_t send(const char* url);
  int32_t sendTo(const std::string& hostName, uint16_t port, const std::string& urlPath,
                 const std::string& extraInfo);
};
