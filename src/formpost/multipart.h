// The multipart/form-data body of a request: its exact length and the
// sequence of writes that produces it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formpost/body_sink.h"
#include "formpost/form_request.h"
#include "formpost/step_codes.h"

// Length in bytes of the whole body for a boundary of `boundaryLength`.
uint64_t multipartBodyLength(const FormRequest& request, int32_t boundaryLength);

// How the write sequence ended. `stepCode` is 0 when the whole body went out;
// otherwise it is the failed piece's step code (STEP_WRITE_TEXT_PART to
// STEP_WRITE_CLOSING_DELIMITER).
// When a write to the sink failed, `sinkFailed` is set and the caller reads
// the error number from its connection right away. When the failure was the
// file's (it could not be opened or read, or it no longer holds the size
// recorded for it), `errorNumber` holds the system's error number for it.
struct BodyWriteOutcome {
  int32_t stepCode = 0;
  bool sinkFailed = false;
  unsigned long errorNumber = 0;
  // The file being sent when STEP_WRITE_FILE_CONTENT failed.
  std::string filePath;
};

// Writes every text part, every file part and the closing delimiter, in that
// order, one sink write per piece and per content chunk of at most
// FILE_CHUNK_SIZE bytes. Never writes more or fewer bytes than
// multipartBodyLength announced: a file that fails stops the body at once,
// right after its part header, with STEP_WRITE_FILE_CONTENT and the file closed again. A file
// fails when it cannot be opened or read (the system's error number), or when
// it holds fewer or more bytes than its recorded size (fileSizeChangedError():
// ERROR_HANDLE_EOF on Windows, EIO on POSIX; none of its bytes past the size is
// written). A file field whose size was never known (SIZE_UNKNOWN) fails with
// STEP_WRITE_FILE_CONTENT and fileVanishedError() before anything is written.
BodyWriteOutcome writeMultipartBody(FormRequest& request, const BodySink& sink,
                                    const std::string& boundary);

// The body as the pieces writeMultipartBody writes, handed out one at a
// time, for an exchange that pulls its body (BodySource). Each piece stays
// valid until the next call; a file is open only while its content is due,
// and closed again when the reader ends or is dropped.
struct MultipartReader {
  FormRequest& request;
  std::string boundary;
  // The step code of the piece handed out last; a connection that fails
  // while it goes out fails at this step.
  int32_t step = 0;
  // How next() failed: a file, not the connection, failed while due.
  BodyWriteOutcome failure;

  MultipartReader(FormRequest& request, const std::string& boundary);
  MultipartReader(const MultipartReader&) = delete;
  MultipartReader& operator=(const MultipartReader&) = delete;
  ~MultipartReader();

  // The next piece; `count` 0 at the body's end. False when a file failed
  // (`failure`), which ends the body.
  bool next(const char*& bytes, uint32_t& count);

  enum class Piece { Text, FileHeader, FileContent, FileTrailer, Closing, End };
  Piece piece = Piece::Text;
  size_t field = 0;
  std::string text;
  std::vector<char> block;
  size_t blockUsed = 0;
  size_t blockTaken = 0;
  uint64_t remaining = 0;
  bool contentOpen = false;

 private:
  bool hand(const std::string& piece, int32_t pieceStep, const char*& bytes, uint32_t& count);
  bool readBlock();
  bool failFile(unsigned long errorNumber);
};

// The STEP_WRITE_FILE_CONTENT failure writeMultipartBody gives for a file of unknown size, or a
// stepCode of 0: the transport asks before it announces a length.
BodyWriteOutcome checkFileSizesKnown(const FormRequest& request);
