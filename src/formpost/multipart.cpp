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

}  // namespace

int32_t TextField::partLength(int32_t boundaryLength) const {
  return boundaryLength + TEXT_PART_FIXED + static_cast<int32_t>(name.size()) +
         static_cast<int32_t>(value.size());
}

std::string TextField::part(const std::string& boundary) const {
  return "--" + boundary + TEXT_DISPOSITION + name + "\"\r\n\r\n" + value + "\r\n";
}

uint64_t FileField::partLength(int32_t boundaryLength) const {
  int32_t headerAndTrailer =
      boundaryLength + FILE_PART_FIXED + static_cast<int32_t>(fieldName.size()) +
      static_cast<int32_t>(fileNameUtf8.size()) + static_cast<int32_t>(contentType.size());
  return static_cast<uint64_t>(headerAndTrailer) + size;
}

std::string FileField::partHeader(const std::string& boundary) const {
  return "--" + boundary + "\r\n" + FILE_DISPOSITION + fieldName + "\"; filename=\"" +
         fileNameUtf8 + "\"\r\nContent-Type: " + contentType + "\r\n\r\n";
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

MultipartReader::MultipartReader(FormRequest& request, const std::string& boundary)
    : request(request), boundary(boundary) {}

MultipartReader::~MultipartReader() {
  if (contentOpen) request.fileFields[field].closeContent();
}

bool MultipartReader::hand(const std::string& piece, int32_t pieceStep, const char*& bytes,
                           uint32_t& count) {
  text = piece;
  step = pieceStep;
  bytes = text.data();
  count = static_cast<uint32_t>(text.size());
  return true;
}

bool MultipartReader::failFile(unsigned long errorNumber) {
  FileField& file = request.fileFields[field];
  if (contentOpen) file.closeContent();
  contentOpen = false;
  failure = fileFailure(errorNumber);
  failure.filePath = file.path;
  step = STEP_WRITE_FILE_CONTENT;
  piece = Piece::End;
  return false;
}

// Reads the next block of the file's content: exactly its recorded size in
// all, read in blocks of several chunks, since a read per chunk costs more
// than sending it. A file that no longer holds that many bytes fails before
// the body could differ from its announced length: once fewer than a chunk
// are left, the read asks for one byte more, so a grown file shows itself
// without a byte beyond its size being sent. False when the file failed;
// blockUsed 0 at the content's end.
bool MultipartReader::readBlock() {
  FileField& file = request.fileFields[field];
  if (!contentOpen) {
    setLastSystemError(0);
    if (!file.openContent()) return failFile(systemErrorOr(fileVanishedError()));
    contentOpen = true;
    block.resize(FILE_READ_BLOCK);
    remaining = file.size;
  }
  uint32_t wanted;
  if (remaining >= FILE_READ_BLOCK)
    wanted = FILE_READ_BLOCK;
  else if (remaining >= FILE_CHUNK_SIZE)
    wanted = static_cast<uint32_t>(remaining - remaining % FILE_CHUNK_SIZE);
  else
    wanted = static_cast<uint32_t>(remaining) + 1;
  int64_t count = 0;
  setLastSystemError(0);
  if (!file.readContent(block.data(), wanted, count))
    return failFile(systemErrorOr(fileSizeChangedError()));
  if (count == 0 && remaining == 0) {
    file.closeContent();
    contentOpen = false;
    blockUsed = 0;
    return true;
  }
  if (count == 0 || static_cast<uint64_t>(count) > remaining)
    return failFile(fileSizeChangedError());
  blockUsed = static_cast<size_t>(count);
  blockTaken = 0;
  remaining -= static_cast<uint64_t>(count);
  request.contentTap.tell(static_cast<int32_t>(field), block.data(), static_cast<uint32_t>(count));
  return true;
}

bool MultipartReader::next(const char*& bytes, uint32_t& count) {
  FieldList<TextField>& texts = request.textFields;
  FieldList<FileField>& files = request.fileFields;
  for (;;) {
    switch (piece) {
      case Piece::Text:
        if (field < texts.size())
          return hand(texts[field++].part(boundary), STEP_WRITE_TEXT_PART, bytes, count);
        piece = Piece::FileHeader;
        field = 0;
        break;
      case Piece::FileHeader:
        if (field == files.size()) {
          piece = Piece::Closing;
          break;
        }
        piece = Piece::FileContent;
        blockUsed = blockTaken = 0;
        return hand(files[field].partHeader(boundary), STEP_WRITE_FILE_HEADER, bytes, count);
      case Piece::FileContent:
        if (blockTaken == blockUsed) {
          if (!readBlock()) return false;
          if (blockUsed == 0) {
            piece = Piece::FileTrailer;
            break;
          }
        }
        step = STEP_WRITE_FILE_CONTENT;
        bytes = block.data() + blockTaken;
        count = static_cast<uint32_t>(
            blockUsed - blockTaken < FILE_CHUNK_SIZE ? blockUsed - blockTaken : FILE_CHUNK_SIZE);
        blockTaken += count;
        return true;
      case Piece::FileTrailer:
        piece = Piece::FileHeader;
        ++field;
        return hand("\r\n", STEP_WRITE_FILE_TRAILER, bytes, count);
      case Piece::Closing:
        piece = Piece::End;
        return hand("--" + boundary + "--\r\n", STEP_WRITE_CLOSING_DELIMITER, bytes, count);
      case Piece::End:
        count = 0;
        return true;
    }
  }
}

BodyWriteOutcome writeMultipartBody(FormRequest& request, const BodySink& sink,
                                    const std::string& boundary) {
  BodyWriteOutcome sizes = checkFileSizesKnown(request);
  if (sizes.stepCode != 0) return sizes;
  MultipartReader reader(request, boundary);
  for (;;) {
    const char* bytes = nullptr;
    uint32_t count = 0;
    if (!reader.next(bytes, count)) return reader.failure;
    if (count == 0) return BodyWriteOutcome();
    if (!sink.write(bytes, count)) return sinkFailure(reader.step);
  }
}
