// One HTTP request to the signing service and what comes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formpost/body_sink.h"
#include "platform/files.h"
#include "platform/http.h"

enum SendMode : int32_t { Get = 0, MultipartPost = 1 };

// File contents and replies pass through a buffer of this size.
constexpr uint32_t FILE_CHUNK_SIZE = 8192;

struct TextField {
  std::string name;
  std::string value;

  int32_t partLength(int32_t boundaryLength) const;
  bool writePart(const BodySink& sink, const std::string& boundary) const;
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
  bool writePartHeader(const BodySink& sink, const std::string& boundary) const;
  bool writePartTrailer(const BodySink& sink) const;

  bool openContent();
  bool readContent(void* buffer, uint32_t capacity, int64_t& count);
  void closeContent();
};

// Sees the bytes of each uploaded file and of the reply file, in order, as
// they go by, for checks that should not read them again; nobody is told
// when `seen` is null. `file` is the index of the file field, or
// TAP_REPLY_FILE.
struct ContentTap {
  void* context = nullptr;
  void (*seen)(void* context, int32_t file, const void* bytes, uint32_t count) = nullptr;

  void tell(int32_t file, const void* bytes, uint32_t count) const {
    if (seen) seen(context, file, bytes, count);
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

struct FormRequest {
  FieldList<TextField> textFields;
  FieldList<FileField> fileFields;
  NetHandle requestHandle = nullptr;
  NetHandle connectionHandle = nullptr;
  NetHandle internetHandle = nullptr;
  SendMode sendMode = Get;
  UrlParts urlParts;
  int32_t statusCode = 0;
  std::string replyBody;
  std::string replyFile;
  // Who shows the transfer's progress; nobody when `report` is null.
  NetProgress progress;
  // A failed exchange in words for people (failure_cause.h); empty until then.
  std::string failureCause;
  // Takes each line of the exchange's trace (trace.cpp); no trace when null.
  void (*traceLine)(const std::string& line) = nullptr;
  // The body's announced length and the reply bytes received, for the trace.
  uint64_t bodyLength = 0;
  uint64_t replyReceived = 0;
  ContentTap contentTap;

  FormRequest() = default;
  FormRequest(const FormRequest&) = delete;
  FormRequest& operator=(const FormRequest&) = delete;
  ~FormRequest();

  bool addTextField(const char* name, const char* value);
  bool addFileField(const char* fieldName, const char* path);
  void setSendMode(SendMode mode) { sendMode = mode; }
  void setReplyFile(const char* path);

  // The exchange: see transport.cpp. Returns -1 when the URL cannot be split,
  // else the final statusCode.
  int32_t send(const char* url);
  int32_t sendTo(const std::string& hostName, uint16_t port, const std::string& urlPath,
                 const std::string& extraInfo);
};
