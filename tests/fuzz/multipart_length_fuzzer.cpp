// The announced body length against the bytes actually written, for field
// sets built from the input: text fields with any bytes, small files with
// odd names (wildcards, backslashes, high bytes, none at all so that the
// path names a folder), files that change after they were added, and a sink
// that refuses a write. Whatever happens, the body never runs past the
// announced length; it reaches it exactly when the write sequence reports
// success, and it always does when nothing went wrong.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formpost/form_request.h"
#include "formpost/multipart.h"
#include "fuzz_target.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

std::filesystem::path scratchRoot;

struct InputReader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  uint8_t byte() { return at < size ? data[at++] : 0; }
  uint32_t twoBytes() { return byte() | (static_cast<uint32_t>(byte()) << 8); }
  std::string bytes(size_t count) {
    std::string taken;
    while (count-- > 0 && at < size) taken += static_cast<char>(data[at++]);
    return taken;
  }
};

// Characters a file name is made of: ordinary ones, the separators and
// wildcards the agent treats specially, and lead and trail bytes of
// double-byte code pages.
const char NAME_CHARS[] = "abcXYZ019._- \\*?[]\x82\x5c\x81\x40\xa0\xe3";

struct CountingSink {
  uint64_t written = 0;
  uint32_t writes = 0;
  uint32_t failingWrite = UINT32_MAX;
  std::string body;

  static bool take(void* target, const void* bytes, uint32_t count) {
    auto* self = static_cast<CountingSink*>(target);
    if (self->writes++ == self->failingWrite) return false;
    self->written += count;
    self->body.append(static_cast<const char*>(bytes), count);
    return true;
  }
  BodySink sink() { return BodySink{this, &CountingSink::take}; }
};

enum Change { UNCHANGED, SHRUNK, GROWN, DELETED };

struct PlannedFile {
  std::string fieldName;
  std::string name;
  std::string content;
  Change change = UNCHANGED;
};

void writeContent(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("*?") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  initAnsiCodePage();
  std::string reserved;
  if (!createTempFile(tempDirectory(), "tvz", reserved)) invariantBroken("no temporary file");
  deleteFile(reserved);
  scratchRoot = reserved + ".d";
  std::filesystem::create_directories(scratchRoot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input{data, size};
  uint8_t counts = input.byte();
  int textCount = counts % 5;
  int fileCount = (counts / 5) % 4;
  std::string boundary = input.bytes(1 + input.byte() % 70);
  if (boundary.empty()) boundary = "b";

  FormRequest request;
  for (int i = 0; i < textCount; ++i) {
    std::string name = input.bytes(input.byte() % 16);
    std::string value = input.bytes(input.twoBytes() % 300);
    FUZZ_CHECK(request.addTextField(name.c_str(), value.c_str()));
  }

  std::vector<PlannedFile> files(fileCount);
  for (PlannedFile& file : files) {
    file.fieldName = input.bytes(input.byte() % 12);
    for (size_t n = input.byte() % 10; n > 0; --n)
      file.name += NAME_CHARS[input.byte() % (sizeof NAME_CHARS - 1)];
    uint32_t length = input.twoBytes() % 20000;
    uint8_t seed = input.byte();
    for (uint32_t i = 0; i < length; ++i) file.content += static_cast<char>((i * 7 + seed) % 251);
    file.change = static_cast<Change>(input.byte() % 4);
  }
  uint8_t failAt = input.byte();

  std::filesystem::path folder = scratchRoot / "run";
  std::filesystem::create_directories(folder);
  std::string folderPath = folder.string() + "/";
  for (const PlannedFile& file : files)
    if (plainName(file.name)) writeContent(folderPath + file.name, file.content);

  bool expectComplete = failAt >= 64;
  for (const PlannedFile& file : files) {
    std::string path = folderPath + file.name;
    if (!request.addFileField(file.fieldName.c_str(), path.c_str())) {
      // Only a name that names nothing may be refused.
      FUZZ_CHECK(!fileExists(path));
      continue;
    }
    if (!plainName(file.name)) expectComplete = false;
  }
  // Files change after their sizes were recorded, as when another program
  // writes them while the agent waits for the service.
  for (const PlannedFile& file : files) {
    if (!plainName(file.name) || file.change == UNCHANGED) continue;
    std::string path = folderPath + file.name;
    if (file.change == SHRUNK && !file.content.empty())
      writeContent(path, file.content.substr(0, file.content.size() / 2));
    else if (file.change == GROWN)
      writeContent(path, file.content + "grown");
    else if (file.change == DELETED)
      std::filesystem::remove(path);
    else
      continue;
    expectComplete = false;
  }

  uint64_t announced = multipartBodyLength(request, static_cast<int32_t>(boundary.size()));
  CountingSink counter;
  if (failAt < 64) counter.failingWrite = failAt;
  BodyWriteOutcome outcome = writeMultipartBody(request, counter.sink(), boundary);

  FUZZ_CHECK(counter.written <= announced);
  FUZZ_CHECK((outcome.stepCode == 0) == (counter.written == announced));
  FUZZ_CHECK(outcome.sinkFailed == (counter.writes > counter.failingWrite));
  if (expectComplete) FUZZ_CHECK(outcome.stepCode == 0);
  if (outcome.stepCode == 0) {
    std::string closing = "--" + boundary + "--\r\n";
    FUZZ_CHECK(counter.body.size() >= closing.size());
    FUZZ_CHECK(
        counter.body.compare(counter.body.size() - closing.size(), closing.size(), closing) == 0);
  } else {
    FUZZ_CHECK(outcome.stepCode <= STEP_WRITE_TEXT_PART &&
               outcome.stepCode >= STEP_WRITE_CLOSING_DELIMITER);
  }
  for (size_t i = 0; i < request.fileFields.size(); ++i)
    FUZZ_CHECK(request.fileFields[i].contentHandle == -1);

  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
