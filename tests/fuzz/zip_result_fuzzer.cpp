// Zips from arbitrary bytes, as a misbehaving service may hand back for
// several inputs: minizip's walk through the agent's file calls never
// crashes, never accepts a zip of strangers, and leaves no unpacked entry
// behind.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "platform/files.h"
#include "verify/zip_result.h"

namespace {

std::string directory;
std::string zipPath;
std::vector<InputRecord> inputs;

bool writeWhole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

void removeScratchFiles() {
  deleteFile(zipPath);
  for (const InputRecord& record : inputs) deleteFile(record.path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  directory = tempDirectory();
  std::atexit(removeScratchFiles);
  std::string input;
  FUZZ_CHECK(createTempFile(directory, "tvq", zipPath));
  // Two inputs that are PE files no zip of the corpus holds signed.
  for (int i = 0; i < 2; ++i) {
    FUZZ_CHECK(createTempFile(directory, "tvq", input));
    std::vector<uint8_t> image(0x400);
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x40;
    image[0x40] = 'P';
    image[0x41] = 'E';
    image[0x40 + 20] = 240;
    image[0x40 + 24] = 0x0B;
    image[0x40 + 25] = 0x02;
    image[0x40 + 24 + 108] = 16;
    image[0x300] = static_cast<uint8_t>(i);
    FUZZ_CHECK(writeWhole(input, image.data(), image.size()));
    InputRecord record;
    record.path = input;
    FUZZ_CHECK(readPeLayout(image.data(), image.size(), image.size(), record.layout).empty());
    inputs.push_back(record);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!writeWhole(zipPath, data, size)) return 0;
  for (InputRecord& record : inputs) record.matched = false;
  std::vector<SignedFileProof> files;
  std::string fault = proveZipResult(zipPath, inputs, "", files);
  // Nothing unsigned can be proven.
  FUZZ_CHECK(!fault.empty());
  return 0;
}
