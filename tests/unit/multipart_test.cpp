#include "formpost/multipart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"
#include "scratch_dir.h"

namespace {

const std::string BOUNDARY = std::string(27, '-') + "7A3F01C2004B1E";

// Keeps every write call apart, so the tests see how the body was cut.
struct Recorder {
  std::vector<std::string> writes;
  size_t failingCall = SIZE_MAX;  // index of the write that is refused

  static bool record(void* target, const void* bytes, uint32_t count) {
    auto* self = static_cast<Recorder*>(target);
    if (self->writes.size() == self->failingCall) return false;
    self->writes.emplace_back(static_cast<const char*>(bytes), count);
    return true;
  }
  BodySink sink() { return BodySink{this, &Recorder::record}; }
  std::string body() const {
    std::string all;
    for (const std::string& piece : writes) all += piece;
    return all;
  }
};

std::string textPart(const std::string& name, const std::string& value) {
  return "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

std::string filePartHeader(const FileField& field) {
  return "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + field.fieldName +
         "\"; filename=\"" + field.fileNameUtf8 + "\"\r\nContent-Type: " + field.contentType +
         "\r\n\r\n";
}

const std::string CLOSING = "--" + BOUNDARY + "--\r\n";

// The content writes a file of `size` bytes must come in.
std::vector<size_t> chunkSizes(uint64_t size) {
  std::vector<size_t> sizes;
  for (; size > FILE_CHUNK_SIZE; size -= FILE_CHUNK_SIZE) sizes.push_back(FILE_CHUNK_SIZE);
  if (size > 0) sizes.push_back(size);
  return sizes;
}

class MultipartBody : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch.ok()); }

  std::string makeFile(const std::string& name, const std::string& content) {
    std::string path = scratch.path + name;
    EXPECT_TRUE(writeWholeFile(path, content));
    return path;
  }

  ScratchDir scratch;
};

TEST_F(MultipartBody, WorkedExampleByteForByte) {
  ASSERT_EQ(41u, BOUNDARY.size());
  std::string content = patternBytes(1000);
  std::string path = scratch.backslashPath("logo.png");
  ASSERT_TRUE(writeWholeFile(path, content));

  FormRequest request;
  ASSERT_TRUE(request.addTextField("version", "2.1"));
  ASSERT_TRUE(request.addFileField("filename1", path.c_str()));
  const FileField& file = request.fileFields[0];
  EXPECT_EQ("logo.png", file.fileNameUtf8);
  EXPECT_EQ("image/png", file.contentType);

  EXPECT_EQ(100, request.textFields[0].partLength(41));
  EXPECT_EQ(1145u, file.partLength(41));
  EXPECT_EQ(1292u, multipartBodyLength(request, 41));

  Recorder recorder;
  BodyWriteOutcome outcome = writeMultipartBody(request, recorder.sink(), BOUNDARY);
  EXPECT_EQ(0, outcome.stepCode);
  const std::string dashes(29, '-');
  std::vector<std::string> expected = {
      dashes + "7A3F01C2004B1E\r\nContent-Disposition: form-data; name=\"version\"\r\n\r\n2.1\r\n",
      dashes +
          "7A3F01C2004B1E\r\nContent-Disposition: form-data; name=\"filename1\"; "
          "filename=\"logo.png\"\r\nContent-Type: image/png\r\n\r\n",
      content, "\r\n", dashes + "7A3F01C2004B1E--\r\n"};
  EXPECT_EQ(expected, recorder.writes);
  EXPECT_EQ(1292u, recorder.body().size());
  EXPECT_EQ(-1, request.fileFields[0].contentHandle);
}

TEST_F(MultipartBody, GeneratedFieldSetsMatchTheirAnnouncedLength) {
  const std::vector<std::string> texts = {"",
                                          "a",
                                          "authId",
                                          "\r\n",
                                          "line one\r\nline two",
                                          BOUNDARY,
                                          "--" + BOUNDARY + "--\r\n",
                                          "\"quoted\"",
                                          std::string("nul\0inside", 10),
                                          "\xff\xfe\x80 high bytes",
                                          "%s %d"};
  const std::vector<uint64_t> sizes = {0,     1,     100,   8191,  8192,  8193,
                                       16384, 16385, 30000, 65536, 65537, 200000};
  std::mt19937 random(20261208);
  auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };

  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    FormRequest request;
    std::string expectedTexts, expectedFiles;
    std::vector<size_t> expectedWriteSizes;
    std::vector<size_t> fileWriteSizes;
    size_t fieldCount = round == 0 ? 0 : pick(7);  // round 0: the closing delimiter alone
    for (size_t i = 0; i < fieldCount; ++i) {
      if (random() % 2) {
        const std::string& name = texts[pick(texts.size())];
        const std::string& value = texts[pick(texts.size())];
        // Names pass through C strings: a NUL ends them there.
        std::string storedName(name.c_str());
        std::string storedValue(value.c_str());
        ASSERT_TRUE(request.addTextField(name.c_str(), value.c_str()));
        expectedTexts += textPart(storedName, storedValue);
        expectedWriteSizes.push_back(textPart(storedName, storedValue).size());
      } else {
        uint64_t size = sizes[pick(sizes.size())];
        std::string content = patternBytes(size, static_cast<unsigned>(round + i));
        std::string path = makeFile("f" + std::to_string(i) + ".dat", content);
        std::string fieldName(texts[pick(texts.size())].c_str());
        ASSERT_TRUE(request.addFileField(fieldName.c_str(), path.c_str()));
        const FileField& field = request.fileFields[request.fileFields.size() - 1];
        ASSERT_EQ(size, field.size);
        expectedFiles += filePartHeader(field) + content + "\r\n";
        fileWriteSizes.push_back(filePartHeader(field).size());
        for (size_t chunk : chunkSizes(size)) fileWriteSizes.push_back(chunk);
        fileWriteSizes.push_back(2);
      }
    }
    expectedWriteSizes.insert(expectedWriteSizes.end(), fileWriteSizes.begin(),
                              fileWriteSizes.end());
    expectedWriteSizes.push_back(CLOSING.size());

    Recorder recorder;
    BodyWriteOutcome outcome = writeMultipartBody(request, recorder.sink(), BOUNDARY);
    ASSERT_EQ(0, outcome.stepCode);
    std::string body = recorder.body();
    EXPECT_EQ(multipartBodyLength(request, 41), body.size());
    EXPECT_TRUE(body == expectedTexts + expectedFiles + CLOSING);
    std::vector<size_t> writeSizes;
    for (const std::string& piece : recorder.writes) writeSizes.push_back(piece.size());
    EXPECT_EQ(expectedWriteSizes, writeSizes);
  }
}

TEST_F(MultipartBody, AFailedWriteStopsTheBodyWithItsStepCode) {
  std::string path = makeFile("data.bin", patternBytes(9000));
  struct Case {
    size_t failingCall;
    int32_t stepCode;
  };
  // Calls: text part, file header, two content chunks, trailer, closing.
  for (Case c : {Case{0, STEP_WRITE_TEXT_PART}, Case{1, STEP_WRITE_FILE_HEADER},
                 Case{2, STEP_WRITE_FILE_CONTENT}, Case{3, STEP_WRITE_FILE_CONTENT},
                 Case{4, STEP_WRITE_FILE_TRAILER}, Case{5, STEP_WRITE_CLOSING_DELIMITER}}) {
    SCOPED_TRACE(c.failingCall);
    FormRequest request;
    ASSERT_TRUE(request.addTextField("authId", "key"));
    ASSERT_TRUE(request.addFileField("filename1", path.c_str()));
    Recorder recorder;
    recorder.failingCall = c.failingCall;
    BodyWriteOutcome outcome = writeMultipartBody(request, recorder.sink(), BOUNDARY);
    EXPECT_EQ(c.stepCode, outcome.stepCode);
    EXPECT_TRUE(outcome.sinkFailed);
    EXPECT_EQ(c.failingCall, recorder.writes.size());
    EXPECT_EQ(-1, request.fileFields[0].contentHandle);
  }
}

// A file that changes between building its field and sending it must never
// make the body longer than announced, nor silently shorter.
class ChangedFile : public MultipartBody {
 protected:
  // Builds a request for a file of `recorded` bytes, lets `change` act on it,
  // writes the body and checks that the file failed cleanly after its header
  // and `contentBytes` of content.
  void expectFileFailure(uint64_t recorded, uint64_t contentBytes, unsigned long errorNumber,
                         const std::function<void(const std::string&)>& change) {
    std::string content = patternBytes(recorded);
    std::string path = makeFile("changing.bin", content);
    FormRequest request;
    ASSERT_TRUE(request.addFileField("filename1", path.c_str()));
    ASSERT_EQ(recorded, request.fileFields[0].size);
    change(path);

    Recorder recorder;
    BodyWriteOutcome outcome = writeMultipartBody(request, recorder.sink(), BOUNDARY);
    EXPECT_EQ(STEP_WRITE_FILE_CONTENT, outcome.stepCode);
    EXPECT_FALSE(outcome.sinkFailed);
    EXPECT_EQ(errorNumber, outcome.errorNumber);
    EXPECT_EQ(-1, request.fileFields[0].contentHandle);
    std::string body = recorder.body();
    std::string header = filePartHeader(request.fileFields[0]);
    ASSERT_EQ(header.size() + contentBytes, body.size());
    EXPECT_TRUE(body == header + content.substr(0, contentBytes));
    EXPECT_LT(body.size(), multipartBodyLength(request, 41));
    for (size_t i = 1; i < recorder.writes.size(); ++i)
      EXPECT_LE(recorder.writes[i].size(), FILE_CHUNK_SIZE);
    // The file is closed: it can go away now, even on Windows.
    if (fileExists(path)) {
      EXPECT_TRUE(deleteFile(path));
    }
  }
};

TEST_F(ChangedFile, DeletedFileFailsAfterItsHeader) {
  expectFileFailure(5000, 0, fileVanishedError(),
                    [](const std::string& path) { ASSERT_TRUE(deleteFile(path)); });
}

TEST_F(ChangedFile, TruncatedFileFailsAtItsEnd) {
  expectFileFailure(20000, 10000, fileSizeChangedError(), [](const std::string& path) {
    ASSERT_TRUE(writeWholeFile(path, patternBytes(10000)));
  });
  // Cut inside the second block the file is read in.
  expectFileFailure(200000, 100000, fileSizeChangedError(), [](const std::string& path) {
    ASSERT_TRUE(writeWholeFile(path, patternBytes(100000)));
  });
}

TEST_F(ChangedFile, GrownFileFailsWithoutSendingMoreThanItsSize) {
  // Grown within the last chunk: nothing of that chunk goes out.
  expectFileFailure(100, 0, fileSizeChangedError(), [](const std::string& path) {
    ASSERT_TRUE(writeWholeFile(path, patternBytes(101)));
  });
  // Grown past a whole number of chunks: the recorded bytes go out, no more.
  expectFileFailure(8192, 8192, fileSizeChangedError(), [](const std::string& path) {
    ASSERT_TRUE(writeWholeFile(path, patternBytes(8193)));
  });
  expectFileFailure(10000, 8192, fileSizeChangedError(), [](const std::string& path) {
    ASSERT_TRUE(writeWholeFile(path, patternBytes(10001)));
  });
  expectFileFailure(131072, 131072, fileSizeChangedError(), [](const std::string& path) {
    ASSERT_TRUE(writeWholeFile(path, patternBytes(131073)));
  });
  expectFileFailure(140000, 139264, fileSizeChangedError(), [](const std::string& path) {
    ASSERT_TRUE(writeWholeFile(path, patternBytes(140001)));
  });
  expectFileFailure(0, 0, fileSizeChangedError(),
                    [](const std::string& path) { ASSERT_TRUE(writeWholeFile(path, "x")); });
}

TEST_F(MultipartBody, UnreadableContentFails) {
  // A directory passes the existence test but has no content to read.
  std::string directory = scratch.makeDirectory("folder.bin");
  FormRequest request;
  ASSERT_TRUE(request.addFileField("filename1", directory.c_str()));
  EXPECT_EQ(0u, request.fileFields[0].size);
  Recorder recorder;
  BodyWriteOutcome outcome = writeMultipartBody(request, recorder.sink(), BOUNDARY);
  EXPECT_EQ(STEP_WRITE_FILE_CONTENT, outcome.stepCode);
  EXPECT_FALSE(outcome.sinkFailed);
  EXPECT_NE(0u, outcome.errorNumber);
  EXPECT_EQ(-1, request.fileFields[0].contentHandle);
  EXPECT_EQ(std::vector<std::string>{filePartHeader(request.fileFields[0])}, recorder.writes);
}

TEST_F(MultipartBody, UnknownSizeIsRefusedBeforeAnythingIsWritten) {
  FormRequest request;
  ASSERT_TRUE(request.addTextField("authId", "key"));
  FileField gone = FileField::fromPath("filename1", scratch.path + "gone.bin");
  ASSERT_EQ(SIZE_UNKNOWN, gone.size);
  ASSERT_TRUE(request.fileFields.append(gone));
  Recorder recorder;
  BodyWriteOutcome outcome = writeMultipartBody(request, recorder.sink(), BOUNDARY);
  EXPECT_EQ(STEP_WRITE_FILE_CONTENT, outcome.stepCode);
  EXPECT_FALSE(outcome.sinkFailed);
  EXPECT_EQ(fileVanishedError(), outcome.errorNumber);
  EXPECT_TRUE(recorder.writes.empty());
}

}  // namespace

namespace {

// Counts what goes out and keeps only the last three writes.
struct Tally {
  uint64_t bytes = 0;
  uint64_t writes = 0;
  std::vector<std::string> lastWrites;
  static bool write(void* target, const void* bytes, uint32_t count) {
    auto* self = static_cast<Tally*>(target);
    self->bytes += count;
    ++self->writes;
    if (self->lastWrites.size() == 3) self->lastWrites.erase(self->lastWrites.begin());
    self->lastWrites.emplace_back(static_cast<const char*>(bytes), count);
    return true;
  }
};

// A file just over 4 GiB, made sparse so that it takes no room.
TEST(MultipartHugeFile, SizesAndStreamingPastFourGigabytes) {
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  const uint64_t fourGiB = uint64_t{1} << 32;
  std::string path = scratch.path + "huge.bin";
  { std::ofstream(path, std::ios::binary); }
  std::filesystem::resize_file(path, fourGiB);
  { std::ofstream(path, std::ios::binary | std::ios::app) << 'Z'; }

  FormRequest request;
  ASSERT_TRUE(request.addFileField("filename1", path.c_str()));
  const FileField& field = request.fileFields[0];
  EXPECT_EQ(fourGiB + 1, field.size);
  uint64_t header = filePartHeader(field).size();
  EXPECT_EQ(header + fourGiB + 1 + 2, field.partLength(41));
  EXPECT_EQ(header + fourGiB + 1 + 2 + 47, multipartBodyLength(request, 41));

  Tally tally;
  BodyWriteOutcome outcome = writeMultipartBody(request, BodySink{&tally, &Tally::write}, BOUNDARY);
  EXPECT_EQ(0, outcome.stepCode);
  EXPECT_EQ(multipartBodyLength(request, 41), tally.bytes);
  // Header, 524288 full chunks, the last byte, the trailer and the closing.
  EXPECT_EQ(1 + fourGiB / FILE_CHUNK_SIZE + 1 + 1 + 1, tally.writes);
  // The byte past 4 GiB is the file's own.
  EXPECT_EQ((std::vector<std::string>{"Z", "\r\n", CLOSING}), tally.lastWrites);
  EXPECT_TRUE(deleteFile(path));
}

}  // namespace
