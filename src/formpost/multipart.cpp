#include "formpost/multipart.h"

#include <vector>

#include "platform/files.h"
#include "platform/system_error.h"

namespace {

const char* const TEXT_DISPOSITION = "\r\nContent-Disposition: form-data; name=\"";
const char* const FILE_DISPOSITION = "Content-Disposition: form-data; name=\"";
// Fixed bytes of a text part: "--", the disposition, the quote and blank line
// after the name, the line end after the value.
const int32_t TEXT_PART_FIXED = 2 + 40 + 5 + 2;
// Fixed bytes of a file part: "--", the line end after the boundary, the
// disposition, the filename parameter, its closing quote and line end, the
// Content-Type label, the blank line after the type and the trailer.
const int32_t FILE_PART_FIXED = 2 + 2 + 38 + 13 + 3 + 14 + 4 + 2;
// File contents are read from disk in blocks of this many chunks.
const uint32_t FILE_READ_BLOCK = 8 * FILE_CHUNK_SIZE;

bool writeText(const BodySink& sink, const std::string& text) {
  return sink.write(text.data(), static_cast<uint32_t>(text.size()));
}

BodyWriteOutcome sinkFailure(int32_t stepCode) {
  BodyWriteOutcome outcome;
  outcome.stepCode = stepCode;
  outcome.sinkFailed = true;
  outcome.errorNumber = lastSystemError();
  return outcome;
}

// The file, not the connection, failed while its content was due.
BodyWriteOutcome fileFailure(unsigned long errorNumber) {
  BodyWriteOutcome outcome;
  outcome.stepCode = STEP_WRITE_FILE_CONTENT;
  outcome.errorNumber = errorNumber;
  return outcome;
}

unsigned long systemErrorOr(unsigned long fallback) {
  unsigned long error = lastSystemError();
  return error != 0 ? error : fallback;
}

// Streams exactly `size` bytes of the file in chunks of FILE_CHUNK_SIZE,
// each written on its own, as they always have been; the file is read in
// blocks of several chunks, since a read per chunk costs more than sending
// it. A file that no longer holds that many bytes fails before the body could
// differ from its announced length: once fewer than a chunk are left, the
// read asks for one byte more, so a grown file shows itself without a byte
// beyond `size` being written.
BodyWriteOutcome streamContent(FileField& file, const BodySink& sink, const ContentTap& tap,
                               int32_t index) {
  setLastSystemError(0);
  if (!file.openContent()) return fileFailure(systemErrorOr(fileVanishedError()));
  std::vector<char> block(FILE_READ_BLOCK);
  uint64_t remaining = file.size;
  for (;;) {
    uint32_t wanted;
    if (remaining >= FILE_READ_BLOCK)
      wanted = FILE_READ_BLOCK;
    else if (remaining >= FILE_CHUNK_SIZE)
      wanted = static_cast<uint32_t>(remaining - remaining % FILE_CHUNK_SIZE);
    else
      wanted = static_cast<uint32_t>(remaining) + 1;
    int64_t count = 0;
    setLastSystemError(0);
    if (!file.readContent(block.data(), wanted, count)) {
      unsigned long error = systemErrorOr(fileSizeChangedError());
      file.closeContent();
      return fileFailure(error);
    }
    if (count == 0 && remaining == 0) break;
    if (count == 0 || static_cast<uint64_t>(count) > remaining) {
      file.closeContent();
      return fileFailure(fileSizeChangedError());
    }
    for (int64_t at = 0; at < count; at += FILE_CHUNK_SIZE) {
      int64_t left = count - at;
      uint32_t piece = left < FILE_CHUNK_SIZE ? static_cast<uint32_t>(left) : FILE_CHUNK_SIZE;
      if (!sink.write(block.data() + at, piece)) {
        BodyWriteOutcome outcome = sinkFailure(STEP_WRITE_FILE_CONTENT);
        file.closeContent();
        return outcome;
      }
    }
    tap.tell(index, block.data(), static_cast<uint32_t>(count));
    remaining -= static_cast<uint64_t>(count);
  }
  file.closeContent();
  return BodyWriteOutcome();
}

}  // namespace

int32_t TextField::partLength(int32_t boundaryLength) const {
  return boundaryLength + TEXT_PART_FIXED + static_cast<int32_t>(name.size()) +
         static_cast<int32_t>(value.size());
}

bool TextField::writePart(const BodySink& sink, const std::string& boundary) const {
  return writeText(sink, "--" + boundary + TEXT_DISPOSITION + name + "\"\r\n\r\n" + value + "\r\n");
}

uint64_t FileField::partLength(int32_t boundaryLength) const {
  int32_t headerAndTrailer =
      boundaryLength + FILE_PART_FIXED + static_cast<int32_t>(fieldName.size()) +
      static_cast<int32_t>(fileNameUtf8.size()) + static_cast<int32_t>(contentType.size());
  return static_cast<uint64_t>(headerAndTrailer) + size;
}

bool FileField::writePartHeader(const BodySink& sink, const std::string& boundary) const {
  if (sink.isNull()) return false;
  return writeText(sink, "--" + boundary + "\r\n" + FILE_DISPOSITION + fieldName +
                             "\"; filename=\"" + fileNameUtf8 +
                             "\"\r\nContent-Type: " + contentType + "\r\n\r\n");
}

bool FileField::writePartTrailer(const BodySink& sink) const {
  if (sink.isNull()) return false;
  return sink.write("\r\n", 2);
}

uint64_t multipartBodyLength(const FormRequest& request, int32_t boundaryLength) {
  uint64_t total = static_cast<uint64_t>(boundaryLength) + 6;
  for (const TextField& field : request.textFields.items)
    total += static_cast<uint64_t>(field.partLength(boundaryLength));
  for (const FileField& field : request.fileFields.items) total += field.partLength(boundaryLength);
  return total;
}

BodyWriteOutcome checkFileSizesKnown(const FormRequest& request) {
  // A file whose size could not be looked up has no place in an announced
  // length: refuse the body before any of it goes out.
  for (const FileField& field : request.fileFields.items)
    if (field.size == SIZE_UNKNOWN) {
      BodyWriteOutcome outcome = fileFailure(fileVanishedError());
      outcome.filePath = field.path;
      return outcome;
    }
  return BodyWriteOutcome();
}

BodyWriteOutcome writeMultipartBody(FormRequest& request, const BodySink& sink,
                                    const std::string& boundary) {
  BodyWriteOutcome sizes = checkFileSizesKnown(request);
  if (sizes.stepCode != 0) return sizes;

  for (const TextField& field : request.textFields.items)
    if (!field.writePart(sink, boundary)) return sinkFailure(STEP_WRITE_TEXT_PART);

  for (size_t index = 0; index < request.fileFields.size(); ++index) {
    FileField& field = request.fileFields[index];
    if (!field.writePartHeader(sink, boundary)) return sinkFailure(STEP_WRITE_FILE_HEADER);
    BodyWriteOutcome content =
        streamContent(field, sink, request.contentTap, static_cast<int32_t>(index));
    if (content.stepCode != 0) {
      content.filePath = field.path;
      return content;
    }
    if (!field.writePartTrailer(sink)) return sinkFailure(STEP_WRITE_FILE_TRAILER);
  }

  if (!writeText(sink, "--" + boundary + "--\r\n"))
    return sinkFailure(STEP_WRITE_CLOSING_DELIMITER);
  return BodyWriteOutcome();
}
